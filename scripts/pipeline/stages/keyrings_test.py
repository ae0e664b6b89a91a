# SPDX-License-Identifier: MIT
"""The keyring packages: made for real from two throwaway public keys, each
source names the URL and the very file that holds both keys, and a second
make gives the same bytes; against fake roots, a rebuild takes the keys the
release ships, and nothing is made without a URL or a key."""
import pathlib
import shutil
import subprocess
import tempfile
import time
import unittest

from ..config import TOP
from ..run_test import Case, fake, fake_run
from .keyrings import build_keyrings

URL = "https://classbanner.example/download"


@fake("sign.sh public")
def public_keys(roots, root, here, args):
    (here / args[1]).write_text("public keys")


@fake("keyring.sh")
def keyring(roots, root, here, args):
    for name in (f"classbanner-archive-keyring_{args[3]}_all.deb", f"classbanner-release-{args[3]}.noarch.rpm"):
        (here / args[0] / name).write_text(args[2])


@unittest.skipUnless(all(map(shutil.which, ("rpmbuild", "dpkg-deb", "rpm2cpio"))), "the packagers are not installed")
class Packages(Case):
    @classmethod
    def setUpClass(cls):
        made = tempfile.TemporaryDirectory()
        cls.addClassCleanup(made.cleanup)
        cls.tmp = pathlib.Path(made.name)
        cls.home, cls.out = cls.tmp / "gnupg", cls.tmp / "out"
        cls.home.mkdir(mode=0o700)
        cls.out.mkdir()
        for name in ("old", "new"):
            cls.gpg("--passphrase", "", "--quick-generate-key", name, "ed25519", "sign", "never")
        cls.keys = cls.tmp / "keys.asc"
        cls.keys.write_bytes(cls.gpg("--armor", "--export", "old", "new"))
        cls.wanted = cls.fingerprints(cls.keys)
        if len(cls.wanted) != 2:
            raise RuntimeError(f"two keys were to be made: {cls.wanted}")
        cls.first = cls.make()

    @classmethod
    def gpg(cls, *args):
        return subprocess.run(["gpg", "--batch", "--homedir", cls.home, *args], capture_output=True,
                              check=True).stdout

    @classmethod
    def fingerprints(cls, path):  # of the keys in PATH, binary or armored
        return sorted(line.split(b":")[9] for line in cls.gpg("--with-colons", "--show-keys", path).splitlines()
                      if line.startswith(b"fpr:"))

    @classmethod
    def make(cls):
        subprocess.run([TOP / "scripts/pipeline/tools/keyring.sh", cls.out, cls.keys, URL, "0.0.1-1", "1765000000"],
                       check=True, capture_output=True)
        return {p.name: p.read_bytes() for p in cls.out.iterdir()}

    def test_made_the_same_twice(self):
        self.assertEqual(sorted(self.first), ["classbanner-archive-keyring_0.0.1-1_all.deb",
                                              "classbanner-release-0.0.1-1.noarch.rpm"])
        time.sleep(1)  # a later second, for anything that would stamp the time
        self.assertEqual(self.make(), self.first)

    def test_apt_source_names_the_url_and_both_keys(self):
        deb = self.folder()
        subprocess.run(["dpkg-deb", "-x", self.out / "classbanner-archive-keyring_0.0.1-1_all.deb", deb], check=True)
        source = dict(line.split(": ", 1) for line in
                      (deb / "etc/apt/sources.list.d/classbanner.sources").read_text().splitlines() if ": " in line)
        self.assertEqual((source.get("URIs"), source.get("Types")), (f"{URL}/apt", "deb"))
        signed_by = deb / source.get("Signed-By", "/none").lstrip("/")
        self.assertTrue(signed_by.is_file())
        self.assertEqual(self.fingerprints(signed_by), self.wanted)
        subprocess.run(["dpkg-deb", "-e", self.out / "classbanner-archive-keyring_0.0.1-1_all.deb", deb / "DEBIAN"],
                       check=True)
        self.assertEqual((deb / "DEBIAN/conffiles").read_text().split(),
                         ["/etc/apt/sources.list.d/classbanner.sources"], "a user's change is kept on upgrade")

    def test_dnf_repo_names_the_url_and_both_keys(self):
        rpm, package = self.folder(), self.out / "classbanner-release-0.0.1-1.noarch.rpm"
        config = subprocess.run(["rpm", "-qpc", package], text=True, capture_output=True).stdout.split()
        self.assertEqual(config, ["/etc/yum.repos.d/classbanner.repo"], "a user's change is kept on upgrade")
        subprocess.run(f"rpm2cpio {package} | cpio -idm --quiet", shell=True, cwd=rpm, check=True)
        repo = dict(line.split("=", 1) for line in (rpm / "etc/yum.repos.d/classbanner.repo").read_text().splitlines()
                    if "=" in line)
        self.assertEqual((repo.get("baseurl"), repo.get("gpgcheck"), repo.get("repo_gpgcheck")),
                         (f"{URL}/rpm", "1", "1"))
        gpgkey = rpm / repo.get("gpgkey", "file:///none")[len("file:///"):]
        self.assertTrue(gpgkey.is_file())
        self.assertEqual(self.fingerprints(gpgkey), self.wanted)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["gpgconf", "--homedir", cls.home, "--kill", "all"])


class Stage(Case):
    def test_rebuild_takes_the_shipped_keys(self):
        shipped = self.folder()
        (shipped / "classbanner-signing-key.asc").write_text("the shipped keys")
        with fake_run([build_keyrings], url=URL, signing_key=None, shipped=shipped) as r:
            self.assertEqual((r.publish / "scratch/classbanner-signing-key.asc").read_text(), "the shipped keys")
            self.assertEqual(len(r.manifest.find("keyring")), 2)

    def test_none_without_a_url_or_a_key(self):
        for given, why in (({}, "no CLASSBANNER_URL"), ({"url": URL, "signing_key": None}, "no CLASSBANNER_SIGNING")):
            with fake_run([build_keyrings], **given) as r:
                self.assertFalse(r.manifest.find("keyring"), given)
                self.assertIn(f"build_keyrings skipped: ({why}", r.said)


if __name__ == "__main__":
    unittest.main()
