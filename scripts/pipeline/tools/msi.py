#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make a Windows row's installer with wixl (in a release root):

    msi.py OUT VERSION EPOCH PROCESSOR EXE LICENSE README WXS

PROCESSOR (x86_64 or i686) picks 64- or 32-bit Program Files. Alike each
time: the upgrade code from PROCESSOR (each version replaces the last), the
product and component codes from it and VERSION, what wixl draws at random
from the files it packs, every time EPOCH.
"""
import calendar
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

out, version, epoch, processor, exe, license, readme, wxs = sys.argv[1:]
win64 = processor == "x86_64"


def code(*parts):
    return str(uuid.uuid5(uuid.NAMESPACE_URL, "https://classbanner.example/msi/" + "/".join(parts))).upper()


def filetime(seconds):
    return ((seconds + 11644473600) * 10**7).to_bytes(8, "little")


with tempfile.TemporaryDirectory() as tmp:
    files = {}
    for name, path in (("Exe", exe), ("License", license), ("Readme", readme)):
        files[name] = shutil.copy(path, os.path.join(tmp, os.path.basename(path)))
        os.utime(files[name], (int(epoch), int(epoch)))
    defines = {"Version": version, "UpgradeCode": code(processor), "ProductCode": code(processor, version),
               "ComponentGuid": code(processor, version, "program"), "Win64": "yes" if win64 else "no",
               "ProgramFiles": "ProgramFiles64Folder" if win64 else "ProgramFilesFolder", **files}
    subprocess.run(["wixl", "--arch", "x64" if win64 else "x86", "--output", out, wxs,
                    *[arg for name, value in defines.items() for arg in ("--define", f"{name}={value}")]], check=True)
    packed = hashlib.sha256(b"".join(open(path, "rb").read() for path in files.values())).hexdigest()

info = subprocess.run(["msiinfo", "suminfo", out], check=True, capture_output=True, text=True).stdout
environment = subprocess.run(["msiinfo", "export", out, "Environment"], check=True, capture_output=True,
                             text=True).stdout.splitlines()[3:]
made = {calendar.timegm(time.strptime(when, "%a %b %d %H:%M:%S %Y"))
        for when in re.findall(r"^(?:Created|Last saved): (.*)$", info, re.M)}
changes = [(re.search(r"Revision number \(UUID\): (\{.*\})", info).group(1), "{%s}" % code(processor, version, packed))]
changes += [(row.split("\t")[0], code(processor, version, "PATH").lower()) for row in environment]
changes = [(old.encode(), new.encode()) for old, new in changes] + [(filetime(t), filetime(int(epoch))) for t in made]
data = open(out, "rb").read()
for old, new in changes:
    if len(old) != len(new) or old not in data:
        sys.exit(f"{out}: cannot find {old!r} to make it reproducible")
    data = data.replace(old, new)
open(out, "wb").write(data)
