#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Pack a Windows row's .zip around the executable that ships (signed, when
the release signs), as CPack laid out its own around the unsigned one:

    zip.py LAYOUT EXE OUT

OUT holds LAYOUT's entries, with their names, times and modes, the program's
bytes being EXE's. One line on a fault, status 1.
"""
import sys
import zipfile

layout, exe, out = sys.argv[1:]
with zipfile.ZipFile(layout) as cpack:
    entries = [(info, cpack.read(info)) for info in cpack.infolist()]
ours = [info for info, _ in entries if info.filename.endswith("/classbanner.exe")]
if len(ours) != 1:
    sys.exit(f"{layout}: holds {len(ours)} classbanner.exe")
program = open(exe, "rb").read()
with zipfile.ZipFile(out, "w") as packed:
    for info, data in entries:
        packed.writestr(info, program if info is ours[0] else data)
if zipfile.ZipFile(out).read(ours[0].filename) != program:
    sys.exit(f"{out}: does not hold {exe}")
