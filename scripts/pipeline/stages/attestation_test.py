# SPDX-License-Identifier: MIT
"""What the downloads are, against fake roots: the bill of materials lists
every download and each binary's static parts; the provenance is signed,
names every other download with its digest, and the source archive and the
roots' packages as what built them."""
import base64
import json

from cryptography.hazmat.primitives import serialization

from ..fakes import done, expect, fake_run
from ..keys import dsse_signed
from ..release import STAGES
from .attestation import attest_provenance
from .build import make_roots

with fake_run(STAGES[STAGES.index(make_roots) + 1:STAGES.index(attest_provenance) + 1]) as r:
    m, dist = r.manifest, r.publish / "dist"
    downloads = sorted(p[5:] for p in m.downloads())
    bom = json.loads((dist / "classbanner-0.0.1.cdx.json").read_text())
    listed = {c["name"]: c for c in bom["components"]}
    expect(f"sbom: lists {sorted(listed)}", sorted(listed) == [
        n for n in downloads if not n.endswith((".cdx.json", ".intoto.jsonl"))] and len(listed) == 14)
    parts = [(p["name"], p["purl"]) for p in listed["classbanner-0.0.1-oci.tar"]["components"]]
    expect(f"sbom: the image's parts are {parts}", parts[::2] == [
        ("musl", "pkg:deb/debian/musl@1-2?arch=amd64&distro=trixie"),
        ("musl", "pkg:deb/debian/musl@1-2?arch=mipsel&distro=bookworm")])
    envelope = json.loads((dist / "classbanner-0.0.1.intoto.jsonl").read_text())
    payload, public = base64.b64decode(envelope["payload"]), serialization.load_pem_public_key(
        (dist / "classbanner-provenance-key.pem").read_bytes())
    public.verify(base64.b64decode(envelope["signatures"][0]["sig"]), dsse_signed(payload))  # else it raises
    statement = json.loads(payload)
    expect("provenance: its subjects are not every other download, with its digest", [
        (s["name"], s["digest"]["sha256"]) for s in statement["subject"]] == [
        (i["path"][5:], i["sha256"]) for i in sorted(m.items, key=lambda i: i["path"].encode())
        if i["download"] and i["kind"] != "provenance"])
    expect("provenance: its dependencies are not the source archive and the roots' packages", [
        d.get("uri", d.get("name")) for d in statement["predicate"]["buildDefinition"]["resolvedDependencies"]] == [
        "classbanner-0.0.1.tar.gz", "pkg:deb/debian/apt@3.0?arch=amd64&distro=trixie",
        "pkg:deb/debian/zlib1g@1%3A1.3?arch=amd64&distro=trixie",
        "pkg:deb/debian/musl@1.2.3?arch=mipsel&distro=bookworm"])
    expect("provenance: the targets, not in the table's order",
           statement["predicate"]["buildDefinition"]["externalParameters"]["targets"] == ["amd64", "mipsel", "win64"])
done("attestation")
