# SPDX-License-Identifier: MIT
"""The verify command's comparison, against a rebuild in fake roots: every
download the same is said so; one changed, or one the rebuild did not
make, differs, named, and is counted; a rebuild of some rows answers only
for the downloads made of them alone."""
import contextlib
import dataclasses
import io
import shutil
import unittest

from . import verify
from .run import Run
from .run_test import Case, fake_run
from .stages import image_test  # noqa: F401 (its fakes, and the build's)
from .stages.build import build_rows, pack_source
from .stages.image import build_image


class Comparison(Case):
    def setUp(self):
        self.running = fake_run([pack_source, build_rows, build_image])
        self.r = self.running.__enter__()
        self.addCleanup(self.running.__exit__, None, None, None)
        self.shipped = self.folder()
        shutil.copytree(self.r.publish / "dist", self.shipped, dirs_exist_ok=True)
        self.r = Run(dataclasses.replace(self.r.config, shipped=self.shipped), self.r.roots)

    def compared(self, names):
        said = io.StringIO()
        with contextlib.redirect_stdout(said):
            differ = verify.compare(self.r, {}, None, names)
        return differ, said.getvalue().splitlines()

    def names(self):
        return sorted(p.name for p in self.shipped.iterdir())

    def test_every_download_the_same(self):
        differ, lines = self.compared(self.names())
        self.assertEqual(differ, 0, lines)
        self.assertEqual(len(lines), len(self.names()))
        self.assertTrue(all(line.startswith("verify: same    ") for line in lines), lines)

    def test_changed_download(self):
        (self.shipped / "classbanner_0.0.1-1_amd64.deb").write_bytes(b"other bytes")
        differ, lines = self.compared(self.names())
        self.assertEqual(differ, 1)
        self.assertIn("verify: DIFFERS classbanner_0.0.1-1_amd64.deb", "\n".join(lines))

    def test_download_not_rebuilt(self):
        (self.shipped / "classbanner-0.0.1-extra.zip").write_bytes(b"shipped alone")
        differ, lines = self.compared(self.names())
        self.assertEqual(differ, 1)
        self.assertIn("verify: DIFFERS classbanner-0.0.1-extra.zip: not rebuilt", lines)

    def test_some_rows_answer_for_their_own_downloads(self):
        whole = self.r.config.targets
        with fake_run([pack_source, build_rows, build_image], targets=("amd64",)) as some:
            answered = verify.answered(some, {name: "" for name in self.names()}, whole)
        self.assertEqual(answered, ["classbanner-0.0.1-1.amd64.rpm", "classbanner-0.0.1-linux-amd64.tar.gz",
                                    "classbanner-0.0.1.tar.gz", "classbanner_0.0.1-1_amd64.deb"],
                         "not the image, which holds mipsel too")


if __name__ == "__main__":
    unittest.main()
