# SPDX-License-Identifier: MIT
"""What the downloads are, against fake roots: the bill of materials lists
every download and each binary's static parts; the provenance is signed,
names every other download with its digest, and the source archive and the
roots' packages as what built them; without its key, it is said, and the
statement alone is made."""
import base64
import json
import unittest

from cryptography.hazmat.primitives import serialization

from ..keys import dsse_signed
from ..run_test import Case, fake_run, real
from . import SEQUENCE, page_test  # noqa: F401 (its fakes, and every stage's before it)
from .build import make_roots
from .provenance import write_provenance

STAGES = SEQUENCE[SEQUENCE.index(make_roots) + 1:SEQUENCE.index(write_provenance) + 1]


real("sbom.py")  # it reads the manifest


class Provenance(Case):
    @classmethod
    def setUpClass(cls):
        cls.running = fake_run(STAGES)
        cls.r = cls.running.__enter__()
        cls.dist = cls.r.publish / "dist"

    @classmethod
    def tearDownClass(cls):
        cls.running.__exit__(None, None, None)

    def test_bill_of_materials_lists_every_download_and_the_static_parts(self):
        bom = json.loads((self.dist / "classbanner-0.0.1.cdx.json").read_text())
        listed = {c["name"]: c for c in bom["components"]}
        self.assertEqual(sorted(listed), [n[5:] for n in self.r.manifest.downloads()
                                          if not n.endswith((".cdx.json", ".intoto.jsonl"))])
        parts = [(p["name"], p["purl"]) for p in listed["classbanner-0.0.1-oci.tar"]["components"]]
        self.assertEqual(parts[::2], [("musl", "pkg:deb/debian/musl@1-2?arch=amd64&distro=trixie"),
                                      ("musl", "pkg:deb/debian/musl@1-2?arch=mipsel&distro=bookworm")])

    def statement(self):
        envelope = json.loads((self.dist / "classbanner-0.0.1.intoto.jsonl").read_text())
        payload, public = base64.b64decode(envelope["payload"]), serialization.load_pem_public_key(
            (self.dist / "classbanner-provenance-key.pem").read_bytes())
        public.verify(base64.b64decode(envelope["signatures"][0]["sig"]), dsse_signed(payload))  # else it raises
        return json.loads(payload)

    def test_provenance_names_every_other_download(self):
        self.assertEqual([(s["name"], s["digest"]["sha256"]) for s in self.statement()["subject"]], [
            (i["path"][5:], i["sha256"]) for i in sorted(self.r.manifest.items, key=lambda i: i["path"].encode())
            if i["download"] and i["kind"] != "provenance"])

    def test_provenance_names_what_built_them(self):
        built = self.statement()["predicate"]["buildDefinition"]
        self.assertEqual([d.get("uri", d.get("name")) for d in built["resolvedDependencies"]], [
            "classbanner-0.0.1.tar.gz", "pkg:deb/debian/apt@3.0?arch=amd64&distro=trixie",
            "pkg:deb/debian/zlib1g@1%3A1.3?arch=amd64&distro=trixie",
            "pkg:deb/debian/musl@1.2.3?arch=mipsel&distro=bookworm"])
        self.assertEqual(built["externalParameters"]["targets"], ["amd64", "mipsel", "win64"])

    def test_without_its_key(self):
        with fake_run(STAGES, provenance_key=None) as r:
            self.assertFalse(r.manifest.find("provenance"))
            self.assertEqual(len(r.manifest.find("statement")), 1)
            self.assertIn("write_provenance skipped: (no CLASSBANNER_PROVENANCE_KEY)", r.said)


if __name__ == "__main__":
    unittest.main()
