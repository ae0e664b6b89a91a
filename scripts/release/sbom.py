#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Write the release's software bill of materials, CycloneDX JSON:

    sbom.py DIST PARTS VERSION EPOCH OUT

One component for every download in DIST with its SHA-256; inside each
download that holds a binary, what that binary carries statically
(PARTS/TARGET.parts, as static-parts.sh printed it in the row's root, which
PARTS/TARGET.release names). PARTS/TARGET.files names the downloads that hold
the row's binary. The same inputs always give the same bytes.
"""
import hashlib
import json
import pathlib
import sys
import time
import urllib.parse
import uuid

dist, parts, version, epoch, out = sys.argv[1:]
dist, parts = pathlib.Path(dist), pathlib.Path(parts)
out = pathlib.Path(out)


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def purl(package, arch, version, release):
    def quote(text):
        return urllib.parse.quote(text, safe=".-_~")
    return f"pkg:deb/debian/{quote(package)}@{quote(version)}?arch={arch}&distro={release}"


# The parts each row's binary carries, and which downloads hold that binary
# (the image archive holds every Linux row's).
carried = {}
for listing in sorted(parts.glob("*.files")):
    target = listing.stem
    release = (parts / f"{target}.release").read_text().strip()
    rows = [line.split("\t") for line in (parts / f"{target}.parts").read_text().splitlines()]
    for name in listing.read_text().split():
        carried.setdefault(name, []).append((target, release, rows))

components = []
for path in sorted(p for p in dist.iterdir() if p.name not in ("SHA256SUMS", out.name)):
    component = {
        "type": "file",
        "bom-ref": path.name,
        "name": path.name,
        "version": version,
        "hashes": [{"alg": "SHA-256", "content": sha256(path)}],
    }
    inside = [
        {
            "type": "library",
            "bom-ref": f"{path.name}#{target}/{name}",
            "name": name,
            "version": source_version,
            "licenses": [{"expression": license}],
            "purl": purl(package.split(":")[0], package.split(":")[1], package_version, release),
            "properties": [
                {"name": "classbanner:target", "value": target},
                {"name": "debian:package", "value": f"{package} {package_version}"},
                {"name": "debian:source", "value": f"{source} {source_version}"},
            ],
        }
        for target, release, rows in carried.get(path.name, [])
        for name, license, package, package_version, source, source_version in rows
    ]
    if inside:
        component["components"] = inside
    components.append(component)

stamp = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(epoch)))
listing = json.dumps(components, sort_keys=True).encode()
bom = {
    "bomFormat": "CycloneDX",
    "specVersion": "1.6",
    "serialNumber": f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, hashlib.sha256(listing).hexdigest())}",
    "version": 1,
    "metadata": {
        "timestamp": stamp,
        "component": {
            "type": "application",
            "bom-ref": "classbanner",
            "name": "classbanner",
            "version": version,
            "licenses": [{"expression": "MIT"}],
        },
    },
    "components": components,
}
out.write_text(json.dumps(bom, indent=2, sort_keys=True) + "\n")
