# SPDX-License-Identifier: MIT
"""Rebuilders' attestations, made here under throwaway keys: enough trusted
keys that attest every download pass; too few, an untrusted or changed
attestation, or a trusted one that names another digest do not, each said
in its own line, the disagreement first."""
import base64
import contextlib
import io
import json
import pathlib
import tempfile
import unittest

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from .attestations import attest, attesting_key, check, trusted_keys
from .run_test import Case

SUMS = {"classbanner-0.0.1-win64.msi": "a" * 64, "classbanner-0.0.1.buildinfo": "b" * 64,
        "classbanner-0.0.1.intoto.jsonl": "c" * 64}


class Attestations(Case):
    """Alice, Bob and Carol, rebuilders, each with a key made here."""

    @classmethod
    def setUpClass(cls):
        made = tempfile.TemporaryDirectory()
        cls.addClassCleanup(made.cleanup)
        home = cls.home = pathlib.Path(made.name)
        cls.keys, cls.made, cls.public = {}, {}, {}
        for name in ("alice", "bob", "carol"):
            (home / f"{name}.key").write_bytes(ed25519.Ed25519PrivateKey.generate().private_bytes(
                serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
            cls.keys[name] = attesting_key(home / f"{name}.key", f"mailto:{name}@example.org")
            cls.made[name], cls.public[name] = attest(cls.keys[name], f"mailto:{name}@example.org", SUMS, "0.0.1",
                                                      pathlib.Path(__file__), home / name)

    def setUp(self):
        self.gathered = self.folder()
        for name in ("alice", "bob"):
            (self.gathered / self.made[name].name).write_bytes(self.made[name].read_bytes())

    def judged(self, trusted, minimum, sums=SUMS, version="0.0.1"):
        """Whether the check passes, and its lines."""
        said = io.StringIO()
        with contextlib.redirect_stdout(said):
            passed = check(self.gathered, trusted_keys([self.public[n] for n in trusted]), sums, version, minimum)
        return passed, said.getvalue().splitlines()

    def test_enough_trusted_keys_attesting_every_download(self):
        passed, lines = self.judged(["alice", "bob"], 2)
        self.assertTrue(passed, lines)
        self.assertEqual([line.split()[1] for line in lines[:2]], ["agrees", "agrees"])

    def test_too_few_trusted(self):
        passed, lines = self.judged(["alice"], 2)
        self.assertFalse(passed)
        self.assertTrue(any(" untrusted " in line and "bob" not in line and self.made["bob"].name in line
                            for line in lines), lines)
        self.assertIn("fewer than --min 2", lines[-1])

    def test_another_version(self):
        passed, lines = self.judged(["alice", "bob"], 1, version="0.0.2")
        self.assertFalse(passed)
        self.assertIn(" other ", lines[0])

    def test_trusted_rebuilder_of_other_bytes_said_first(self):
        other = dict(SUMS, **{"classbanner-0.0.1-win64.msi": "d" * 64})
        carol = attest(self.keys["carol"], "mailto:carol@example.org", other, "0.0.1", pathlib.Path(__file__),
                       self.gathered)[0]
        passed, lines = self.judged(["alice", "bob", "carol"], 2)
        self.assertFalse(passed)
        self.assertEqual(lines[0].split()[1], "DISAGREES")
        self.assertIn(carol.name, lines[0])
        self.assertIn("classbanner-0.0.1-win64.msi: attested " + "d" * 64, lines[0])
        self.assertIn("OTHER BYTES", lines[-1])
        self.assertIn("win64.msi", lines[-1])

    def test_changed_attestation(self):
        path = self.gathered / self.made["alice"].name
        envelope = json.loads(path.read_text())
        statement = json.loads(base64.b64decode(envelope["payload"]))
        statement["subject"][0]["digest"]["sha256"] = "e" * 64
        envelope["payload"] = base64.b64encode(json.dumps(statement).encode()).decode()
        path.write_text(json.dumps(envelope))
        passed, lines = self.judged(["alice", "bob"], 1)
        self.assertTrue(passed, "bob's still counts")
        self.assertEqual(lines[0].split()[1:3], ["BAD", "SIGNATURE"])
        self.assertIn(self.made["alice"].name, lines[0])

    def test_attestation_that_leaves_a_download_out(self):
        (self.gathered / self.made["alice"].name).unlink()
        fewer = {name: digest for name, digest in SUMS.items() if not name.endswith(".msi")}
        attest(self.keys["alice"], "mailto:alice@example.org", fewer, "0.0.1", pathlib.Path(__file__), self.gathered)
        passed, lines = self.judged(["alice", "bob"], 1)
        self.assertFalse(passed)
        self.assertIn("classbanner-0.0.1-win64.msi: attested not at all", lines[0])

    def test_page_of_each_attestation(self):
        (self.gathered / "<b>.jsonl").write_text("not an envelope")
        with contextlib.redirect_stdout(io.StringIO()):
            check(self.gathered, trusted_keys([self.public["alice"]]), SUMS, "0.0.1", 1, page=True)
        page = (self.gathered / "index.html").read_text()
        for name, verdict in ((self.made["alice"].name, "agrees"), (self.made["bob"].name, "untrusted"),
                              ("&lt;b&gt;.jsonl", "unreadable")):
            self.assertRegex(page, f">{name}</a></td><td>{verdict}</td>")
        self.assertNotIn("<b>", page)
        self.assertRegex(page, r"<td>\d{4}-\d\d-\d\dT", "alice's date, which her key vouches for")

    def test_what_is_not_a_key_or_an_attestation(self):
        (self.home / "not-a-key.pem").write_text("not a key")
        self.assertStops("not a URI", attesting_key, self.home / "alice.key", "alice")
        self.assertStops("holds no public key", trusted_keys, [self.home / "not-a-key.pem"])
        self.assertStops("holds no public key", trusted_keys, [self.home / "alice.key"])
        self.assertStops("holds no attestation", check, self.folder(), {}, SUMS, "0.0.1", 1)


if __name__ == "__main__":
    unittest.main()
