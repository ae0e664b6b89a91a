# SPDX-License-Identifier: MIT
"""A root's packages fetched as the verify command takes them, from a folder
laid out as a Debian mirror, signed by a key made here in the archive's place:
each package as its signed index lists it is taken; one changed and packed
again under the same name and version is refused, named; a version no source
has stops, naming the snapshot of the roots' day."""
import hashlib
import os
import pathlib
import subprocess
import tempfile

from .fakes import done, expect, signed_release, stops
from .logs import run
from .roots import fetch, prune

with tempfile.TemporaryDirectory() as home:
    _, _, gpg = signed_release(home)
    keyring, mirror = pathlib.Path(home) / "archive.gpg", pathlib.Path(home) / "mirror"
    keyring.write_bytes(gpg("--export", "good"))
    deb, packages = mirror / "pool/main/h/hello_1.0_amd64.deb", mirror / "dists/trixie/main/binary-amd64/Packages"

    def pack(text):  # the package hello 1.0, holding one file
        tree = pathlib.Path(home) / "tree"
        (tree / "DEBIAN").mkdir(parents=True, exist_ok=True)
        (tree / "DEBIAN/control").write_text("Package: hello\nVersion: 1.0\nArchitecture: amd64\n"
                                             "Maintainer: A <a@example.org>\nDescription: a package\n")
        (tree / "hello").write_text(text)
        deb.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["dpkg-deb", "--root-owner-group", "-b", tree, deb], check=True, capture_output=True)
    pack("as Debian built it\n")
    packages.parent.mkdir(parents=True)
    packages.write_text(run("dpkg-deb", "-f", deb) + f"Filename: pool/main/h/{deb.name}\nSize: {deb.stat().st_size}\n"
                        f"SHA256: {hashlib.sha256(deb.read_bytes()).hexdigest()}\n")
    index = packages.read_bytes()
    (mirror / "dists/trixie/Release").write_text(
        "Suite: trixie\nCodename: trixie\nArchitectures: amd64\nComponents: main\nSHA256:\n"
        f" {hashlib.sha256(index).hexdigest()} {len(index)} main/binary-amd64/Packages\n")
    gpg("--local-user", "good", "--clearsign", "--output", f"{mirror}/dists/trixie/InRelease",
        f"{mirror}/dists/trixie/Release")
    wanted, out = ["hello:amd64 (= 1.0)"], pathlib.Path(home) / "out"
    fetch("trixie", wanted, [str(mirror)], out, "amd64", keyrings=keyring)
    expect("fetch: a package as its signed index lists it not taken", (out / deb.name).read_bytes() == deb.read_bytes())
    stops("fetch: a version no source has", "Version '2.0' for 'hello' was not found, in "
          f"{mirror}; Debian's snapshot of the day the release's roots were made has it: https://snapshot/", fetch,
          "trixie", ["hello:amd64 (= 2.0)"], [str(mirror)], out, "amd64", False, "https://snapshot/", keyring)
    pack("changed\n")
    # apt 2.6 says "Hash Sum mismatch", 3.0 (Debian 13) "Undetermined Error": the file is refused either way.
    stops("fetch: a changed package", f"Failed to fetch copy:{deb}", fetch, "trixie", wanted, [str(mirror)],
          pathlib.Path(home) / "again", "amd64", False, None, keyring)
    stops("fetch: a folder with no signed index", "no Debian index of bookworm, signed, in", fetch, "bookworm",
          wanted, [str(mirror)], out, "amd64")
    gpg("--batch", "--yes", "--quick-generate-key", "other", "ed25519", "sign", "never")
    keyring.write_bytes(gpg("--export", "other"))
    stops("fetch: an index signed by another key", "is not signed", fetch, "trixie", wanted, [str(mirror)],
          pathlib.Path(home) / "other", "amd64", False, None, keyring)
    subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])

    # The cache: a fourth root of a release removes its oldest alone, never another release's.
    cache = pathlib.Path(home) / "cache"
    cache.mkdir()
    for age, name in enumerate(["trixie-new", "trixie-pinned-a", "trixie-b", "trixie-old", "bookworm-old"]):
        for end in (".tar", ".packages"):
            (cache / f"{name}{end}").write_text("")
            os.utime(cache / f"{name}{end}", (1000 - age, 1000 - age))
    prune(cache, "trixie")
    expect(f"prune: not the three newest trixie roots and bookworm's kept: {sorted(p.name for p in cache.iterdir())}",
           sorted(p.name for p in cache.glob("*.tar")) == ["bookworm-old.tar", "trixie-b.tar", "trixie-new.tar",
                                                           "trixie-pinned-a.tar"]
           and not (cache / "trixie-old.packages").exists())
done("roots")
