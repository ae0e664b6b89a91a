# SPDX-License-Identifier: MIT
"""The container image against fake roots: one archive over every Linux
row's binary, made and checked, and no Windows row in it; none, said, for a
release of Windows rows alone."""
import unittest

from ..run_test import Case, fake, fake_run
from . import build_test  # noqa: F401 (its fakes)
from .build import build_rows, pack_source
from .image import build_image


@fake("image.sh")
def image(roots, root, here, args):
    (here / args[0]).write_bytes(b"an image")


class Image(Case):
    def test_one_archive_of_every_linux_row(self):
        with fake_run([pack_source, build_rows, build_image]) as r:
            self.assertEqual([(i["path"], i["rows"]) for i in r.manifest.find("oci")],
                             [("dist/classbanner-0.0.1-oci.tar", ["amd64", "mipsel"])])
            self.assertEqual(r.roots.steps("image.sh")[0][-2:], ["linux/amd64=binaries/amd64",
                                                                 "linux/mipsle=binaries/mipsel"])
            self.assertTrue((r.work / "image-check.log").exists(), "the image is checked")

    def test_windows_rows_alone(self):
        with fake_run([pack_source, build_rows, build_image], targets=("win64",)) as r:
            self.assertFalse(r.manifest.find("oci"))
            self.assertIn("build_image  skipped: no Linux row", r.said)


if __name__ == "__main__":
    unittest.main()
