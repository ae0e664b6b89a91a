# SPDX-License-Identifier: MIT
"""Windows against fake roots: each .exe signed as it ships, with its
detached signature; the .zip, CPack's entries around the signed .exe; the
installer, signed and checked."""
import unittest
import zipfile

from ..run_test import Case, fake, fake_run, real
from . import build_test  # noqa: F401 (its fakes)
from .build import build_rows, pack_source
from .windows import build_msis, pack_zips, sign_windows


@fake("authenticode.py")
def authenticode(roots, root, here, args):
    unsigned, signed = args[-3:-1] if args[0] == "key" else args[-2:]
    (here / signed).write_bytes((here / unsigned).read_bytes() + b", signed")
    if args[0] == "key":
        (here / args[-1]).write_bytes(b"signature")


real("zip.py")  # it only repacks


@fake("msi.py")
def msi(roots, root, here, args):
    (here / args[0]).write_bytes(b"an installer")


class Windows(Case):
    def test_signed_exe_zip_and_installer(self):
        with fake_run([pack_source, build_rows, sign_windows, pack_zips, build_msis]) as r:
            def paths(kind):
                return sorted(item["path"] for item in r.manifest.find(kind))
            self.assertEqual(paths("exe"), ["windows/classbanner-0.0.1-win64.exe"])
            self.assertEqual(paths("detached-signature"), ["signatures/classbanner-0.0.1-win64.exe.sig",
                                                           "signatures/classbanner-0.0.1-win64.msi.sig"])
            self.assertEqual((r.publish / "windows/classbanner-0.0.1-win64.exe").read_bytes(), b"win64, signed")
            with zipfile.ZipFile(r.publish / "dist/classbanner-0.0.1-win64.zip") as packed, \
                    zipfile.ZipFile(r.publish / "scratch/classbanner-0.0.1-win64.zip") as layout:
                self.assertEqual([(i.filename, i.date_time) for i in packed.infolist()],
                                 [(i.filename, i.date_time) for i in layout.infolist()], "CPack's entries")
                self.assertEqual(packed.read("classbanner-0.0.1-win64/classbanner.exe"), b"win64, signed")
            self.assertEqual(paths("msi"), ["dist/classbanner-0.0.1-win64.msi"])
            self.assertTrue((r.work / "msi-win64-check.log").exists(), "the installer is checked")


if __name__ == "__main__":
    unittest.main()
