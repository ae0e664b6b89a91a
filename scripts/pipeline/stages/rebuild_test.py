# SPDX-License-Identifier: MIT
"""The verify command's own stages, offline: a download changed since it was
signed is named; a release signed by another key is refused; a root whose
packages are not exactly the .buildinfo's is refused before anything builds;
a rebuild attaches the shipped signatures it detached."""
import subprocess
import unittest
import zipfile

from ..keys_test import signed_release
from ..run_test import Case, fake, fake_run, finished
from ..verify import downloads
from . import windows_test  # noqa: F401 (its fakes, and the build's)
from .build import build_rows
from .rebuild import detach_signatures, pin_roots, take_source
from .windows import sign_windows

WANTED = ["apt:amd64 (= 3.0)", "zlib1g:amd64 (= 1:1.3)"]


@fake("osslsigncode")
def osslsigncode(roots, root, here, args):
    (here / args[-1]).write_bytes(b"signature")


class Signed(Case):
    def setUp(self):
        home = self.folder()
        self.release, self.fingerprint, _ = signed_release(home)
        self.addCleanup(subprocess.run, ["gpgconf", "--homedir", home, "--kill", "all"])

    def test_release_as_signed(self):
        self.assertEqual(list(downloads(self.release, self.fingerprint)[0]), ["classbanner_0.0.0-1.dsc"])

    def test_another_key(self):
        self.assertStops(f"not signed by the key {'F' * 40}, but by {self.fingerprint}", downloads, self.release,
                         "F" * 40)

    def test_changed_download(self):
        (self.release / "classbanner_0.0.0-1.dsc").write_text("a source packagE")
        self.assertStops("classbanner_0.0.0-1.dsc: does not match SHA256SUMS", downloads, self.release,
                         self.fingerprint)


class PinnedRoots(Case):
    def pinned(self, listing):
        cache = self.folder()
        (cache / "trixie-pinned-0.tar").write_text("")
        (cache / "trixie-pinned-0.packages").write_text("".join(line + "\n" for line in WANTED))
        return finished([pin_roots], "rebuild", answers={"listings": {"root-trixie": listing}},
                        pinned={"trixie": WANTED}, snapshots={}, roots=cache)

    def test_root_of_exactly_its_list(self):
        self.assertIn("trixie-pinned-0.tar, cached, holds the .buildinfo's 2 packages",
                      self.pinned("ii  apt:amd64 (= 3.0)\nii  zlib1g:amd64 (= 1:1.3)\n").said)

    def test_root_that_differs_from_its_list(self):
        self.assertStops("trixie root: holds zlib1g:amd64 (= 1:1.4), lacks zlib1g:amd64 (= 1:1.3), against the "
                         ".buildinfo", self.pinned, "ii  apt:amd64 (= 3.0)\nii  zlib1g:amd64 (= 1:1.4)\n")


class ShippedSignatures(Case):
    """The rebuild of a signed release: the shipped files' signatures
    detached, then attached to the rebuilt ones."""

    def test_detached_then_attached(self):
        tmp = self.folder()
        shipped = tmp / "shipped"
        shipped.mkdir()
        for name in ("classbanner-0.0.1.tar.gz", "classbanner-0.0.1-win64.msi"):
            (shipped / name).write_text(name)
        with zipfile.ZipFile(shipped / "classbanner-0.0.1-win64.zip", "w") as packed:
            packed.writestr("classbanner-0.0.1-win64/classbanner.exe", b"signed win64")
        with fake_run([take_source, build_rows, detach_signatures, sign_windows], "rebuild", folder=tmp,
                      targets=("win64",), shipped=shipped, code_key=None,
                      signatures=f"{tmp}/work/publish/shipped") as r:
            self.assertEqual((r.publish / "dist/classbanner-0.0.1.tar.gz").read_text(), "classbanner-0.0.1.tar.gz",
                             "the downloaded source archive")
            self.assertEqual(sorted(i["path"] for i in r.manifest.find("shipped-signature")), [
                "shipped/classbanner-0.0.1-win64.exe.sig", "shipped/classbanner-0.0.1-win64.msi.sig"])
            self.assertEqual(r.roots.steps("authenticode.py"), [[
                "attach", "signatures/classbanner-0.0.1-win64.exe.sig", "unsigned/classbanner-0.0.1-win64.exe",
                "windows/classbanner-0.0.1-win64.exe"]])

    def test_unsigned_release_rebuilt_unsigned(self):
        with fake_run([detach_signatures], "rebuild", code_key=None) as r:
            self.assertIn("detach_signatures skipped: the shipped Windows files carry no Authenticode signature",
                          r.said)


if __name__ == "__main__":
    unittest.main()
