# SPDX-License-Identifier: MIT
"""The previous release is taken only signed by this release's key, and only
as it was signed: with another key, with a byte changed, or with a
repository whose index its key did not sign, it stops."""
import hashlib
import subprocess
import unittest

from ..keys_test import signed_release
from ..run_test import Case, finished
from .previous import check_previous


class Previous(Case):
    def setUp(self):
        home = self.folder()
        self.release, self.fingerprint, self.gpg = signed_release(home)
        self.addCleanup(subprocess.run, ["gpgconf", "--homedir", home, "--kill", "all"])

    def previous(self, *fingerprints):
        return finished([check_previous], previous=self.release, fingerprints=fingerprints)

    def test_signed_by_another_key(self):
        self.assertStops(f"SHA256SUMS.asc: not signed by the key {'F' * 40}, but by {self.fingerprint}; a new key "
                         "must first sign a release beside the old one", self.previous, "F" * 40)

    def test_signed_by_the_old_key_of_two(self):  # taken; this one then lacks a source archive
        self.assertStops("lists no source archive", self.previous, self.fingerprint, "F" * 40)

    def test_changed_download(self):
        (self.release / "classbanner_0.0.0-1.dsc").write_text("a source packagE")
        self.assertStops("classbanner_0.0.0-1.dsc: does not match the previous release's SHA256SUMS",
                         self.previous, self.fingerprint)

    def test_repository_index_not_signed(self):
        (self.release / "classbanner-0.0.0.tar.gz").write_text("a source archive")
        with open(self.release / "SHA256SUMS", "a") as sums:
            sums.write(f"{hashlib.sha256(b'a source archive').hexdigest()}  classbanner-0.0.0.tar.gz\n")
        self.gpg("--yes", "--local-user", "good", "--detach-sign", "--armor", "--output",
                 f"{self.release}/SHA256SUMS.asc", f"{self.release}/SHA256SUMS")
        for folder in ("apt/dists/stable", "rpm/repodata"):
            (self.release / folder).mkdir(parents=True)
        (self.release / "apt/dists/stable/InRelease").write_text("Suite: stable\n")
        self.assertStops("apt/dists/stable/InRelease: not signed by the key", self.previous, self.fingerprint)

    def test_none_given(self):
        self.assertIn("check_previous skipped: (no CLASSBANNER_PREVIOUS)", finished([check_previous]).said)


if __name__ == "__main__":
    unittest.main()
