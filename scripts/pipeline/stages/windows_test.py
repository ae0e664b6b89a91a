# SPDX-License-Identifier: MIT
"""Windows against fake roots: each .exe signed as it ships, with its
detached signature; the .zip, CPack's entries around the signed .exe; the
installer, signed and checked."""
import zipfile

from ..fakes import done, expect, fake_run
from .build import build_rows, pack_source
from .windows import build_msis, pack_zips, sign_windows

with fake_run([pack_source, build_rows, sign_windows, pack_zips, build_msis]) as r:
    def paths(kind):
        return sorted(item["path"] for item in r.manifest.find(kind))
    expect("authenticode: the .exe and .msi signatures", paths("exe") == ["windows/classbanner-0.0.1-win64.exe"]
           and paths("detached-signature") == ["signatures/classbanner-0.0.1-win64.exe.sig",
                                               "signatures/classbanner-0.0.1-win64.msi.sig"])
    expect("authenticode: the .exe is not the signed one",
           (r.publish / "windows/classbanner-0.0.1-win64.exe").read_bytes() == b"win64, signed")
    with zipfile.ZipFile(r.publish / "dist/classbanner-0.0.1-win64.zip") as packed, \
            zipfile.ZipFile(r.publish / "scratch/classbanner-0.0.1-win64.zip") as layout:
        expect("zip: not CPack's entries around the .exe that ships",
               [(i.filename, i.date_time) for i in packed.infolist()] == [(i.filename, i.date_time)
                                                                          for i in layout.infolist()]
               and packed.read("classbanner-0.0.1-win64/classbanner.exe") == b"win64, signed")
    expect("msi: the installer, checked", paths("msi") == ["dist/classbanner-0.0.1-win64.msi"] and
           (r.work / "msi-win64-check.log").exists())
done("windows")
