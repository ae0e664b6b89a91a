# SPDX-License-Identifier: MIT
"""The plan and the manifest: a plan that declares a word that is no kind,
takes what no earlier stage makes, or makes a download that a summary
before it leaves out, stops before anything runs; a summary download made
after the bill of materials is taken, and SHA256SUMS covers it. The
manifest refuses an artifact made twice, out of its place, or of a kind its
stage does not declare. The release's and the rebuild's sequences are plans
that pass."""
import unittest
from unittest import mock

from .artifacts import KINDS, Kind, Manifest, check_plan, sequence, stage
from .run_test import Case, fake_run
from .stages import SEQUENCE, publishing_test  # noqa: F401 (its fakes, and every stage's before it)
from .stages.build import make_roots
from .stages.provenance import write_sbom
from .stages.publishing import publish_repositories, write_sums
from .stages.windows import sign_windows

RELEASE = sequence(SEQUENCE, "release")


def planted(name, **declared):
    """A stage NAME, declaring DECLARED, that makes the artifacts of the kinds it makes, one file each."""
    def made(r):
        for kind in declared.get("makes", ()):
            path = r.publish / KINDS[kind].folder / f"{name}.{kind}"
            path.write_text(name)
            r.manifest.add(path, kind)
    made.__name__ = name
    return stage(**declared)(made)


# Release notes that list every download: a summary download of a kind of its own.
NOTES = {**KINDS, "notes": Kind(summary=True)}


class Plan(Case):
    def test_both_sequences_pass(self):
        check_plan(RELEASE)
        check_plan(sequence(SEQUENCE, "rebuild"))

    def test_word_that_is_no_kind(self):
        self.assertStops("typo: declares 'debb', which is no kind", check_plan,
                         RELEASE + [planted("typo", takes=["sums"], makes=["debb"])])

    def test_kind_taken_before_it_is_made(self):
        self.assertStops("pack_zips: takes exe, which no stage before it makes", check_plan,
                         [s for s in RELEASE if s is not sign_windows])

    def test_download_after_a_summary(self):
        late = planted("late", makes=["deb"])
        at = RELEASE.index(write_sbom) + 1
        self.assertStops("late: makes a download (deb) after write_page", check_plan, RELEASE[:at] + [late]
                         + RELEASE[at:])

    def test_download_after_sums(self):
        self.assertStops("late: makes a download (deb) after write_sums", check_plan,
                         RELEASE + [planted("late", takes=["sums"], makes=["key", "deb"])])

    @mock.patch.dict(KINDS, NOTES)
    def test_summary_download_after_sums(self):
        self.assertStops("notes: makes a download (notes) after write_sums", check_plan,
                         RELEASE + [planted("notes", makes=["notes"])])

    @mock.patch.dict(KINDS, NOTES)
    def test_summary_download_after_the_bill_of_materials(self):
        at = RELEASE.index(write_sbom) + 1
        plan = RELEASE[:at] + [planted("notes", makes=["notes"])] + RELEASE[at:]
        check_plan(plan)
        with fake_run(plan[plan.index(make_roots) + 1:plan.index(publish_repositories) + 1],
                      url="https://classbanner.example") as r:
            self.assertIn("dist/notes.notes", r.manifest.downloads())
            summed = (r.publish / "dist/SHA256SUMS").read_text()
            self.assertIn("  notes.notes\n", summed, "SHA256SUMS covers it")
            subjects = (r.publish / r.manifest.find("statement")[0]["path"]).read_text()
            self.assertIn('"name":"notes.notes"', subjects, "the provenance covers it")


class Manifests(Case):
    def setUp(self):
        self.root = self.folder()
        for name in ("dist/SHA256SUMS", "binaries/amd64"):
            (self.root / name).parent.mkdir(exist_ok=True)
            (self.root / name).write_text(name)
        self.m = Manifest(self.root)
        self.m.add(self.root / "dist/SHA256SUMS", "sums")

    def test_made_twice(self):
        self.assertStops("made twice", self.m.add, self.root / "dist/SHA256SUMS", "sums")

    def test_download_outside_dist(self):
        self.assertStops("not where", self.m.add, self.root / "binaries/amd64", "deb")

    def test_kind_its_stage_does_not_declare(self):
        self.m.stage = write_sums
        self.assertStops("does not declare it makes", self.m.add, self.root / "binaries/amd64", "binary")
        self.assertStops("does not declare it takes", self.m.find, "binary")
        self.assertEqual(self.m.find("deb"), [], "a summary reads every download")


if __name__ == "__main__":
    unittest.main()
