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

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from .attestations import attest, attesting_key, check, trusted_keys
from .fakes import done, expect, stops

SUMS = {"classbanner-0.0.1-win64.msi": "a" * 64, "classbanner-0.0.1.buildinfo": "b" * 64,
        "classbanner-0.0.1.intoto.jsonl": "c" * 64}

with tempfile.TemporaryDirectory() as tmp:
    home = pathlib.Path(tmp)
    keys = {}
    for name in ("alice", "bob", "carol"):
        (home / f"{name}.key").write_bytes(ed25519.Ed25519PrivateKey.generate().private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
        keys[name] = attesting_key(home / f"{name}.key", f"mailto:{name}@example.org")
    made, public = {}, {}
    for name, key in keys.items():
        made[name], public[name] = attest(key, f"mailto:{name}@example.org", SUMS, "0.0.1", pathlib.Path(__file__),
                                          home / name)
    stops("rebuilder: not a URI", "not a URI", attesting_key, home / "alice.key", "alice")

    def judged(folder, trusted, minimum, sums=SUMS, version="0.0.1"):
        """Whether the check passes, and its lines."""
        said = io.StringIO()
        with contextlib.redirect_stdout(said):
            passed = check(folder, trusted_keys([public[n] for n in trusted]),
                           sums, version, minimum)
        return passed, said.getvalue().splitlines()

    gathered = home / "gathered"
    gathered.mkdir()
    for name in ("alice", "bob"):
        (gathered / made[name].name).write_bytes(made[name].read_bytes())
    passed, lines = judged(gathered, ["alice", "bob"], 2)
    expect(f"two trusted keys attesting every download do not pass --min 2: {lines}",
           passed and [line.split()[1] for line in lines[:2]] == ["agrees", "agrees"])
    passed, lines = judged(gathered, ["alice"], 2)
    expect(f"one trusted key passes --min 2, or bob's is not named untrusted: {lines}",
           not passed and any(" untrusted " in line and "bob" not in line and made["bob"].name in line
                              for line in lines) and "fewer than --min 2" in lines[-1])
    passed, lines = judged(gathered, ["alice", "bob"], 1, version="0.0.2")
    expect(f"attestations of another version count: {lines}", not passed and " other " in lines[0])

    # Carol, trusted, rebuilt other bytes for the MSI.
    other = dict(SUMS, **{"classbanner-0.0.1-win64.msi": "d" * 64})
    carol = attest(keys["carol"], "mailto:carol@example.org", other, "0.0.1", pathlib.Path(__file__), gathered)[0]
    passed, lines = judged(gathered, ["alice", "bob", "carol"], 2)
    expect(f"a trusted attestation naming another digest for the MSI is not said first, naming it, "
           f"nor fails the check: {lines}",
           not passed and lines[0].split()[1] == "DISAGREES" and carol.name in lines[0]
           and "classbanner-0.0.1-win64.msi: attested " + "d" * 64 in lines[0]
           and "OTHER BYTES" in lines[-1] and "win64.msi" in lines[-1])
    carol.unlink()

    # Alice's attestation, its statement changed, her signature kept; one that lacks a download.
    envelope = json.loads(made["alice"].read_text())
    statement = json.loads(base64.b64decode(envelope["payload"]))
    statement["subject"][0]["digest"]["sha256"] = "e" * 64
    envelope["payload"] = base64.b64encode(json.dumps(statement).encode()).decode()
    (gathered / made["alice"].name).write_text(json.dumps(envelope))
    passed, lines = judged(gathered, ["alice", "bob"], 1)
    expect(f"a changed attestation is not refused as a bad signature, or stops the check: {lines}",
           passed and lines[0].split()[1:3] == ["BAD", "SIGNATURE"] and made["alice"].name in lines[0])
    fewer = {name: digest for name, digest in SUMS.items() if not name.endswith(".msi")}
    (gathered / made["alice"].name).unlink()
    attest(keys["alice"], "mailto:alice@example.org", fewer, "0.0.1", pathlib.Path(__file__), gathered)
    passed, lines = judged(gathered, ["alice", "bob"], 1)
    expect(f"an attestation that leaves a download out is not a disagreement naming it: {lines}",
           not passed and "classbanner-0.0.1-win64.msi: attested not at all" in lines[0])

    (home / "not-a-key.pem").write_text("not a key")
    stops("trusted: not a key", "holds no public key", trusted_keys, [home / "not-a-key.pem"])
    stops("trusted: a private key", "holds no public key", trusted_keys, [home / "alice.key"])
    stops("attestations: none", "holds no attestation", check, home / "carol" / "..", {}, SUMS, "0.0.1", 1)

done("attestations")
