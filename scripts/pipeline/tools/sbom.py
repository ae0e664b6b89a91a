#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Write the release's software bill of materials, CycloneDX JSON:

    sbom.py MANIFEST VERSION EPOCH OUT

One component for every download the manifest lists, with its SHA-256 and
what each binary in it carries statically, as static-parts.sh named it in the
binary's root. The same manifest always gives the same bytes.
"""
import hashlib
import json
import pathlib
import sys
import time
import urllib.parse
import uuid

manifest, version, epoch, out = sys.argv[1:]
items = json.loads(pathlib.Path(manifest).read_text())
binaries = {item["rows"][0]: item for item in items if item["kind"] == "binary"}


def purl(package, arch, version, release):
    def quote(text):
        return urllib.parse.quote(text, safe=".-_~")
    return f"pkg:deb/debian/{quote(package)}@{quote(version)}?arch={arch}&distro={release}"


components = []
for item in sorted((i for i in items if i["download"]), key=lambda i: i["path"]):
    name = item["path"][len("dist/"):]
    component = {"type": "file", "bom-ref": name, "name": name, "version": version,
                 "hashes": [{"alg": "SHA-256", "content": item["sha256"]}]}
    inside = [
        {
            "type": "library",
            "bom-ref": f"{name}#{target}/{part['part']}",
            "name": part["part"],
            "version": part["source_version"],
            "licenses": [{"expression": part["license"]}],
            "purl": purl(part["package"], part["architecture"], part["version"], binaries[target]["root"]),
            "properties": [
                {"name": "classbanner:target", "value": target},
                {"name": "debian:package", "value": f"{part['package']}:{part['architecture']} {part['version']}"},
                {"name": "debian:source", "value": f"{part['source']} {part['source_version']}"},
            ],
        }
        for target in sorted(item.get("rows", []))
        for part in binaries[target]["static"]
    ]
    if inside:
        component["components"] = inside
    components.append(component)

listing = json.dumps(components, sort_keys=True).encode()
bom = {
    "bomFormat": "CycloneDX",
    "specVersion": "1.6",
    "serialNumber": f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, hashlib.sha256(listing).hexdigest())}",
    "version": 1,
    "metadata": {
        "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(epoch))),
        "component": {"type": "application", "bom-ref": "classbanner", "name": "classbanner", "version": version,
                      "licenses": [{"expression": "MIT"}]},
    },
    "components": components,
}
pathlib.Path(out).write_text(json.dumps(bom, indent=2, sort_keys=True) + "\n")
