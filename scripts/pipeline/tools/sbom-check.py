#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Check the release's bill of materials against what it describes:

    sbom-check.py SBOM DIST BUILDINFO

It must validate against CycloneDX's own schema (python3-cyclonedx-lib), list
every download in DIST once with the SHA-256 it has, and name for each part a
binary package at the version and architecture the build-information file
says the row's root held. One line per fault; exit status 1 if any.
"""
import hashlib
import json
import pathlib
import sys

from cyclonedx.schema import SchemaVersion
from cyclonedx.validation.json import JsonStrictValidator

sbom, dist, buildinfo = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
faults = []
text = sbom.read_text()
error = JsonStrictValidator(SchemaVersion.V1_6).validate_str(text)
if error:
    sys.exit(f"not valid CycloneDX 1.6: {error}")
bom = json.loads(text)

listed = {c["name"]: c for c in bom.get("components", [])}
downloads = {p.name for p in dist.iterdir() if p.name not in ("SHA256SUMS", sbom.name)}
for name in sorted(downloads - listed.keys()):
    faults.append(f"{name}: not listed")
for name in sorted(listed.keys() - downloads):
    faults.append(f"{name}: listed, but not a download")
for name in sorted(downloads & listed.keys()):
    want = hashlib.sha256((dist / name).read_bytes()).hexdigest()
    got = [h["content"] for h in listed[name].get("hashes", []) if h["alg"] == "SHA-256"]
    if got != [want]:
        faults.append(f"{name}: listed with SHA-256 {got}, has {want}")

# Each root's targets and installed packages, from the build-information file.
installed = {}
for paragraph in buildinfo.read_text().split("\n\n"):
    fields = dict(line.split(": ", 1) for line in paragraph.splitlines() if ": " in line and not line.startswith(" "))
    packages = {line.strip() for line in paragraph.splitlines() if line.startswith(" ")}
    for target in fields.get("Targets", "").split():
        installed[target] = packages
for component in listed.values():
    for part in component.get("components", []):
        properties = {p["name"]: p["value"] for p in part.get("properties", [])}
        target = properties.get("classbanner:target")
        package, version = properties.get("debian:package", "- -").split(" ")
        if f"{package} (= {version})" not in installed.get(target, set()):
            faults.append(f"{component['name']}: {part['name']} from {package} {version}, "
                          f"which the buildinfo does not list for {target}")

for fault in faults:
    print(fault, file=sys.stderr)
sys.exit(f"{faults[0]}" if faults else 0)  # the first, again, last: the reason
