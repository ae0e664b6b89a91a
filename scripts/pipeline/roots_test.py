# SPDX-License-Identifier: MIT
"""A root's packages fetched as the verify command takes them, from a folder
laid out as a Debian mirror, signed by a key made here in the archive's place:
each package as its signed index lists it is taken; one changed and packed
again under the same name and version is refused, named; a version no source
has stops, naming the snapshot of the roots' day. The cache keeps the newest
roots of each Debian release."""
import hashlib
import os
import subprocess
import unittest

from .base import output
from .keys_test import signed_release
from .roots import fetch, prune
from .run_test import Case

WANTED = ["hello:amd64 (= 1.0)"]


class Fetch(Case):
    def setUp(self):
        home = self.folder()
        _, _, self.gpg = signed_release(home)
        self.addCleanup(subprocess.run, ["gpgconf", "--homedir", home, "--kill", "all"])
        self.keyring, self.mirror, self.home = home / "archive.gpg", home / "mirror", home
        self.keyring.write_bytes(self.gpg("--export", "good"))
        self.deb = self.mirror / "pool/main/h/hello_1.0_amd64.deb"
        packages = self.mirror / "dists/trixie/main/binary-amd64/Packages"
        self.pack("as Debian built it\n")
        packages.parent.mkdir(parents=True)
        digest = hashlib.sha256(self.deb.read_bytes()).hexdigest()
        packages.write_text(output("dpkg-deb", "-f", self.deb) + f"Filename: pool/main/h/{self.deb.name}\n"
                            f"Size: {self.deb.stat().st_size}\nSHA256: {digest}\n")
        index = packages.read_bytes()
        (self.mirror / "dists/trixie/Release").write_text(
            "Suite: trixie\nCodename: trixie\nArchitectures: amd64\nComponents: main\nSHA256:\n"
            f" {hashlib.sha256(index).hexdigest()} {len(index)} main/binary-amd64/Packages\n")
        self.gpg("--local-user", "good", "--clearsign", "--output", f"{self.mirror}/dists/trixie/InRelease",
                 f"{self.mirror}/dists/trixie/Release")

    def pack(self, text):  # the package hello 1.0, holding one file
        tree = self.home / "tree"
        (tree / "DEBIAN").mkdir(parents=True, exist_ok=True)
        (tree / "DEBIAN/control").write_text("Package: hello\nVersion: 1.0\nArchitecture: amd64\n"
                                             "Maintainer: A <a@example.org>\nDescription: a package\n")
        (tree / "hello").write_text(text)
        self.deb.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["dpkg-deb", "--root-owner-group", "-b", tree, self.deb], check=True, capture_output=True)

    def fetch(self, wanted=WANTED, suite="trixie", snapshot=None, keyring=None):
        out = self.home / f"out-{len(list(self.home.glob('out-*')))}"
        fetch(suite, wanted, [str(self.mirror)], out, "amd64", False, snapshot, keyring or self.keyring)
        return out

    def test_package_as_its_signed_index_lists_it(self):
        self.assertEqual((self.fetch() / self.deb.name).read_bytes(), self.deb.read_bytes())

    def test_version_no_source_has(self):
        self.assertStops(f"Version '2.0' for 'hello' was not found, in {self.mirror}; Debian's snapshot of the day "
                         "the release's roots were made has it: https://snapshot/", self.fetch,
                         ["hello:amd64 (= 2.0)"], snapshot="https://snapshot/")

    def test_changed_package(self):
        self.pack("changed\n")
        # apt 2.6 says "Hash Sum mismatch", 3.0 (Debian 13) "Undetermined Error": the file is refused either way.
        self.assertStops(f"Failed to fetch copy:{self.deb}", self.fetch)

    def test_folder_with_no_signed_index(self):
        self.assertStops("no Debian index of bookworm, signed, in", self.fetch, suite="bookworm")

    def test_index_signed_by_another_key(self):
        self.gpg("--passphrase", "", "--quick-generate-key", "other", "ed25519", "sign", "never")
        other = self.home / "other.gpg"
        other.write_bytes(self.gpg("--export", "other"))
        self.assertStops("is not signed", self.fetch, keyring=other)


class Cache(Case):
    def test_fourth_root_of_a_release_removes_its_oldest_alone(self):
        cache = self.folder()
        for age, name in enumerate(["trixie-new", "trixie-pinned-a", "trixie-b", "trixie-old", "bookworm-old"]):
            for end in (".tar", ".packages"):
                (cache / f"{name}{end}").write_text("")
                os.utime(cache / f"{name}{end}", (1000 - age, 1000 - age))
        prune(cache, "trixie")
        self.assertEqual(sorted(p.name for p in cache.glob("*.tar")), [
            "bookworm-old.tar", "trixie-b.tar", "trixie-new.tar", "trixie-pinned-a.tar"])
        self.assertFalse((cache / "trixie-old.packages").exists())


if __name__ == "__main__":
    unittest.main()
