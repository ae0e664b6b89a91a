# SPDX-License-Identifier: MIT
"""The verify command's own checks, offline: a download changed since it was
signed is named; a release signed by another key is refused; a root whose
packages are not exactly the .buildinfo's is refused before anything builds;
a rebuild attaches the shipped signatures it detached."""
import pathlib
import subprocess
import tempfile
import types
import zipfile

from ..fakes import done, expect, fake_run, signed_release, stops
from ..verify import downloads
from .build import build_rows
from .rebuild import detach_signatures, pin_roots, take_source
from .windows import sign_windows

with tempfile.TemporaryDirectory() as home:
    folder, fingerprint, gpg = signed_release(home)
    expect("verify: a release as signed refused",
           list(downloads(folder, fingerprint)[0]) == ["classbanner_0.0.0-1.dsc"])
    stops("verify: another key", f"not signed by the key {'F' * 40}, but by {fingerprint}", downloads, folder, "F" * 40)
    (folder / "classbanner_0.0.0-1.dsc").write_text("a source packagE")
    stops("verify: a changed download", "classbanner_0.0.0-1.dsc: does not match SHA256SUMS", downloads, folder,
          fingerprint)
    subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])

with tempfile.TemporaryDirectory() as tmp:
    cache, wanted = pathlib.Path(tmp), ["apt:amd64 (= 3.0)", "zlib1g:amd64 (= 1:1.3)"]
    (cache / "trixie-pinned-0.tar").write_text("")
    (cache / "trixie-pinned-0.packages").write_text("".join(line + "\n" for line in wanted))

    def pinned(listing):
        with fake_run([pin_roots], env=types.MappingProxyType({"CLASSBANNER_ROOTS": tmp}), pinned={"trixie": wanted},
                      roots={"listings": {"root-trixie": listing}}):
            pass
    pinned("ii  apt:amd64 (= 3.0)\nii  zlib1g:amd64 (= 1:1.3)\n")
    stops("verify: a root that differs from its list", "trixie root: holds zlib1g:amd64 (= 1:1.4), lacks "
          "zlib1g:amd64 (= 1:1.3), against the .buildinfo", pinned,
          "ii  apt:amd64 (= 3.0)\nii  zlib1g:amd64 (= 1:1.4)\n")

# The rebuild of a signed release: the shipped files' signatures detached,
# then attached to the rebuilt ones.
with tempfile.TemporaryDirectory() as tmp:
    shipped = pathlib.Path(tmp) / "shipped"
    shipped.mkdir()
    for name in ("classbanner-0.0.1.tar.gz", "classbanner-0.0.1-win64.msi"):
        (shipped / name).write_text(name)
    with zipfile.ZipFile(shipped / "classbanner-0.0.1-win64.zip", "w") as packed:
        packed.writestr("classbanner-0.0.1-win64/classbanner.exe", b"signed win64")
    with fake_run([take_source, build_rows, detach_signatures, sign_windows], folder=tmp, targets=("win64",),
                  shipped=shipped, code_key=None, signatures=f"{tmp}/work/publish/shipped") as r:
        expect("verify: the source archive is not the downloaded one",
               (r.publish / "dist/classbanner-0.0.1.tar.gz").read_text() == "classbanner-0.0.1.tar.gz")
        detached = sorted(i["path"] for i in r.manifest.find("shipped-signature"))
        expect(f"verify: detached {detached}", detached == ["shipped/classbanner-0.0.1-win64.exe.sig",
                                                            "shipped/classbanner-0.0.1-win64.msi.sig"])
        attached = [c[1:] for _, tool, c in r.roots.ran if tool == "authenticode.py"]
        expect(f"verify: attached {attached}", attached == [["attach", "signatures/classbanner-0.0.1-win64.exe.sig",
                                                             "unsigned/classbanner-0.0.1-win64.exe",
                                                             "windows/classbanner-0.0.1-win64.exe"]])
done("rebuild")
