# SPDX-License-Identifier: MIT
"""The Debian source package against fake roots: its three files, lintian
over them and every .deb, the autopkgtest over this machine's .deb alone."""
import unittest

from ..run_test import Case, fake, fake_run
from . import build_test  # noqa: F401 (its fakes)
from .build import build_rows, pack_source
from .debian import build_debian_source


@fake("dpkg-source")
def dpkg_source(roots, root, here, args):
    for end in (".debian.tar.xz", ".dsc"):
        (here / f"classbanner_0.0.1-1{end}").write_bytes(end.encode())


class Debian(Case):
    def test_source_package_lintian_and_autopkgtest(self):
        with fake_run([pack_source, build_rows, build_debian_source]) as r:
            self.assertEqual(sorted(item["path"] for item in r.manifest.find("debian-source")), [
                "dist/classbanner_0.0.1-1.debian.tar.xz", "dist/classbanner_0.0.1-1.dsc",
                "dist/classbanner_0.0.1.orig.tar.gz"])
            self.assertEqual(r.roots.steps("deb-check.sh", "lintian"), [[
                "lintian", "dist/classbanner_0.0.1-1.dsc", "dist/classbanner_0.0.1-1_amd64.deb",
                "dist/classbanner_0.0.1-1_mipsel.deb"]])
            self.assertEqual([c[0] for c in r.roots.steps("autopkgtest")], ["dist/classbanner_0.0.1-1_amd64.deb"])


if __name__ == "__main__":
    unittest.main()
