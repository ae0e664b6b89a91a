# SPDX-License-Identifier: MIT
"""What the downloads are and what built them: the bill of materials and
the signed SLSA provenance."""
import base64
import json
import re
import time
import urllib.parse

from ..artifacts import stage
from ..base import Skip
from ..keys import IN_TOTO, dsse_signed, provenance_key
from ..logs import paragraphs


def purl(package, arch, version, suite):
    """A Debian package's package URL, as scanners name it."""
    def quote(text):
        return urllib.parse.quote(text, safe=".-_~")
    return f"pkg:deb/debian/{quote(package)}@{quote(version)}?arch={arch}&distro={suite}"


@stage(takes=["binary"], makes=["sbom"])
def write_sbom(r):
    """In: the manifest. Out: the bill of materials (CycloneDX), checked."""
    c = r.config
    out = f"dist/{c.stem}.cdx.json"
    r.tool("sbom", "sbom.py", "manifest.json", c.version, c.epoch, out)
    r.tool("sbom-check", "sbom-check.py", out, "dist", f"dist/{c.stem}.buildinfo")
    r.manifest.add(r.publish / out, "sbom")
    r.say("sbom", f"{out}, {len(r.manifest.downloads()) - 1} downloads")


@stage(takes=["source", "buildinfo"], makes=["statement", "provenance", "provenance-key"])
def write_provenance(r):
    """In: every other download. Out: their SLSA provenance (the commit, the
    targets, the source archive, every root's packages), in a DSSE envelope
    signed with the provenance key, checked with cosign."""
    c = r.config
    info = paragraphs((r.publish / r.manifest.find("buildinfo")[0]["path"]).read_text())
    archive = r.manifest.find("source")[0]
    packages = [{"uri": purl(*re.fullmatch(r"(.*):(\S+) \(= (.*)\)", line).groups(), p["root"])}
                for p in info[1:] for line in p["installed_packages"].splitlines() if line]
    statement = {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": [{"name": path[len("dist/"):], "digest": {"sha256": r.manifest.find(path=path)[0]["sha256"]}}
                    for path in sorted(r.manifest.downloads(), key=str.encode)],
        "predicateType": "https://slsa.dev/provenance/v1",
        "predicate": {
            "buildDefinition": {
                "buildType": "https://classbanner.example/release/v1",
                "externalParameters": {"commit": c.commit, "targets": c.targets},
                "resolvedDependencies": [{"name": archive["path"][len("dist/"):], "digest": {
                    "sha256": archive["sha256"], "gitCommit": c.commit}}] + packages,
            },
            "runDetails": {
                "builder": {"id": "https://classbanner.example/scripts/release.py"},
                "metadata": {"startedOn": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(c.epoch)))},
            },
        },
    }
    payload = json.dumps(statement, sort_keys=True, separators=(",", ":")).encode()
    (r.publish / f"scratch/{c.stem}.intoto.json").write_bytes(payload)
    r.manifest.add(r.publish / f"scratch/{c.stem}.intoto.json", "statement")
    if not c.provenance_key:
        raise Skip("(no CLASSBANNER_PROVENANCE_KEY): its Statement only, unsigned: no provenance download")
    from cryptography.hazmat.primitives import serialization
    key = provenance_key(c.provenance_key)
    envelope = {"payloadType": IN_TOTO, "payload": base64.b64encode(payload).decode(),
                "signatures": [{"keyid": "", "sig": base64.b64encode(key.sign(dsse_signed(payload))).decode()}]}
    out, public = f"dist/{c.stem}.intoto.jsonl", "dist/classbanner-provenance-key.pem"
    (r.publish / out).write_text(json.dumps(envelope, separators=(",", ":")) + "\n")
    (r.publish / public).write_bytes(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                                   serialization.PublicFormat.SubjectPublicKeyInfo))
    r.tool("provenance-check", "intoto-check.sh", "slsaprovenance1", out, public,
           *r.manifest.downloads())
    r.manifest.add(r.publish / out, "provenance")
    r.manifest.add(r.publish / public, "provenance-key")
    r.say("provenance", f"{out}, {len(statement['subject'])} subjects and {len(packages)} root packages; "
          "checked with cosign")
