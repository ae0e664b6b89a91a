# SPDX-License-Identifier: MIT
"""What is published, against fake roots: SHA256SUMS lists every download
and nothing else; it is signed; the repositories are made and checked in
every root; a failing check stops the release with its own cause; nothing
is signed, and no repository made, without a key."""
import unittest

from ..run_test import Case, fake, fake_run, finished
from . import SEQUENCE, provenance_test  # noqa: F401 (its fakes, and every stage's before it)
from .build import make_roots
from .publishing import publish_repositories

STAGES = SEQUENCE[SEQUENCE.index(make_roots) + 1:SEQUENCE.index(publish_repositories) + 1]


@fake("sign.sh sums")
def sign_sums(roots, root, here, args):
    for name in ("SHA256SUMS.asc", "classbanner-signing-key.asc"):
        (here / "dist" / name).write_text("signed")


@fake("sign.sh repositories")
def sign_repositories(roots, root, here, args):
    for name in ["apt/dists/stable/InRelease", "rpm/repodata/repomd.xml"] + [
            f"{'rpm' if p.endswith('.rpm') else 'apt/pool/main'}/{p[5:]}" for p in args[4:] if p != "--"]:
        (here / "dist" / name).parent.mkdir(parents=True, exist_ok=True)
        (here / "dist" / name).write_text(name)


class Published(Case):
    @classmethod
    def setUpClass(cls):
        cls.running = fake_run(STAGES, url="https://classbanner.example")
        cls.r = cls.running.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.running.__exit__(None, None, None)

    def paths(self, kind):
        return sorted(item["path"] for item in self.r.manifest.find(kind))

    def test_sums_list_every_download_and_nothing_else(self):
        summed = sorted(line.split()[1] for line in (self.r.publish / "dist/SHA256SUMS").read_text().splitlines())
        self.assertEqual(summed, sorted(p[5:] for p in self.r.manifest.downloads()))
        self.assertFalse([n for n in summed if n.startswith(("apt/", "rpm/")) or n.endswith((".asc", ".pem"))])

    def test_signed(self):
        self.assertEqual(self.paths("signature"), ["dist/SHA256SUMS.asc"])
        self.assertEqual(self.paths("key"), ["dist/classbanner-signing-key.asc"])

    def test_repositories_hold_the_packages_and_keyrings_checked_in_every_root(self):
        signed = self.r.roots.steps("sign.sh", "repositories")[0]
        keyrings = self.paths("keyring")
        self.assertEqual(len(keyrings), 2)
        self.assertTrue(set(keyrings + self.paths("deb") + self.paths("rpm")) <= set(signed))
        self.assertTrue(self.paths("apt-repository") and self.paths("rpm-repository"))
        self.assertEqual(sorted(root for root, tool, c in self.r.roots.ran if tool == "signed-check.sh"
                                and c[1] == "apt"), ["root-bookworm", "root-trixie"])


class Failures(Case):
    def test_failing_step_stops_with_its_own_cause(self):
        for fail, want in (
                ({"sign.sh repositories": "apt-ftparchive: cannot read pool/main\n"},
                 "repositories: apt-ftparchive: cannot read pool/main (log: "),
                ({"signed-check.sh apt": "E: no InRelease\napt-get update failed: E: no InRelease\n"},
                 "repositories-apt-trixie: apt-get update failed: E: no InRelease (log: ")):
            with self.subTest(want):
                self.assertStops(want, finished, STAGES, answers={"fail": fail})

    def test_unsigned(self):
        with fake_run(STAGES, signing_key=None) as r:
            self.assertFalse([kind for kind in ("signature", "apt-repository", "keyring") if r.manifest.find(kind)])
            self.assertIn("sign_sums    skipped: (no CLASSBANNER_SIGNING_KEY)", r.said)


if __name__ == "__main__":
    unittest.main()
