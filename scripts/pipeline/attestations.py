# SPDX-License-Identifier: MIT
"""Rebuilders' attestations: a signed statement that a rebuild gave every
download of a release, byte for byte (an in-toto Statement, predicate SLSA
VSA v1, in a DSSE envelope, Ed25519), and the check that enough trusted
rebuilders say so, which rebuilds nothing."""
import base64
import hashlib
import html
import json
import pathlib
import re
import time
import urllib.parse

from .base import Stop
from .keys import IN_TOTO, dsse_signed, provenance_key, readable
from .untrusted import read_regular, shown

VSA = "https://slsa.dev/verification_summary/v1"
POLICY = "https://classbanner.example/verify/every-download-rebuilt-identical/v1"


def key_id(public):
    """A public key's id, as cosign and DSSE name it: SHA-256 of its DER form."""
    from cryptography.hazmat.primitives import serialization
    return hashlib.sha256(public.public_bytes(serialization.Encoding.DER,
                                              serialization.PublicFormat.SubjectPublicKeyInfo)).hexdigest()


def resource(version):
    """What an attestation is about: the release, as a package URL."""
    return f"pkg:generic/classbanner@{version}"


def attesting_key(path, rebuilder):
    """The rebuilder's Ed25519 key in PATH, checked before a rebuild starts,
    with REBUILDER, the URI that names them (mailto:, https:)."""
    if not re.fullmatch(r"[a-z][a-z0-9+.-]*:\S+", rebuilder):
        raise Stop(f"--rebuilder {rebuilder}: not a URI that names the rebuilder (as mailto:you@example.org)")
    return provenance_key(path)


def attest(key, rebuilder, sums, version, policy, out):
    """Write, in the folder OUT, the signed statement that REBUILDER's
    rebuild gave every download in SUMS (name: SHA-256), and the public key
    beside it; their paths."""
    inputs = [name for name in sorted(sums) if name.endswith((".buildinfo", ".intoto.jsonl"))]
    statement = {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": [{"name": name, "digest": {"sha256": sums[name]}} for name in sorted(sums, key=str.encode)],
        "predicateType": VSA,
        "predicate": {
            "verifier": {"id": rebuilder, "version": {"classbanner-verify": version}},
            "timeVerified": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
            "resourceUri": resource(version),
            "policy": {"uri": POLICY, "digest": {"sha256": hashlib.sha256(policy.read_bytes()).hexdigest()}},
            "inputAttestations": [{"uri": name, "digest": {"sha256": sums[name]}} for name in inputs],
            "verificationResult": "PASSED",
            # Build level 1: the provenance exists, is signed and lists every download.
            "verifiedLevels": (["SLSA_BUILD_LEVEL_1"] if any(n.endswith(".intoto.jsonl") for n in inputs) else [])
            + ["CLASSBANNER_REBUILT_IDENTICAL"],
            "slsaVersion": "1.0",
        },
    }
    payload = json.dumps(statement, sort_keys=True, separators=(",", ":")).encode()
    keyid = key_id(key.public_key())
    envelope = {"payloadType": IN_TOTO, "payload": base64.b64encode(payload).decode(),
                "signatures": [{"keyid": keyid, "sig": base64.b64encode(key.sign(dsse_signed(payload))).decode()}]}
    out.mkdir(parents=True, exist_ok=True)
    path, public = (out / f"classbanner-{version}.{keyid[:16]}.{end}" for end in ("intoto.jsonl", "pem"))
    path.write_text(json.dumps(envelope, separators=(",", ":")) + "\n")
    from cryptography.hazmat.primitives import serialization
    public.write_bytes(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                     serialization.PublicFormat.SubjectPublicKeyInfo))
    return path, public


def trusted_keys(paths):
    """The public keys in PATHS (PEM, Ed25519), by key id."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ed25519
    keys = {}
    for path in paths:
        readable(path)
        try:
            key = serialization.load_pem_public_key(pathlib.Path(path).read_bytes())
        except ValueError:
            raise Stop(f"{path}: holds no public key, PEM (want one as openssl pkey -pubout writes it)")
        if not isinstance(key, ed25519.Ed25519PublicKey):
            raise Stop(f"{path}: not an Ed25519 key")
        keys[key_id(key)] = key
    return keys


def judge(path, trusted, sums, version):
    """What one attestation says of the release: (verdict, key id, words).
    Anyone may have written it: a field of the wrong type, a file that is
    not one, is unreadable, never a stop of the check."""
    from cryptography.exceptions import InvalidSignature
    try:
        envelope = json.loads(read_regular(path.parent, path.name) or b"")
        payload = base64.b64decode(envelope["payload"], validate=True)
        signatures = [(s["keyid"] if isinstance(s.get("keyid", ""), str) else None, base64.b64decode(s["sig"]))
                      for s in envelope["signatures"]]
        if not isinstance(envelope["signatures"], list) or None in (keyid for keyid, _ in signatures):
            raise TypeError
    except (Stop, ValueError, KeyError, TypeError, AttributeError, UnicodeDecodeError):
        return "unreadable", "", "not a DSSE envelope", ""
    signed = next(((keyid, trusted[keyid]) for keyid, sig in signatures if keyid in trusted), None)
    for keyid, key in [signed] if signed else list(trusted.items()):
        for _, sig in signatures:
            try:
                key.verify(sig, dsse_signed(payload))
            except InvalidSignature:
                continue
            if envelope.get("payloadType") != IN_TOTO:
                return "DISAGREES", keyid, f"payload type {shown(envelope.get('payloadType'))}, not in-toto's", ""
            try:
                statement = json.loads(payload)
                when = statement.get("predicate", {}).get("timeVerified", "")
                return (*claims(statement, keyid, sums, version), shown(when if isinstance(when, str) else ""))
            except (ValueError, AttributeError, TypeError, KeyError):
                return "unreadable", keyid, "signed, but its statement is not an in-toto Statement", ""
    if signed:
        return "BAD SIGNATURE", signed[0], "does not verify with the trusted key it names", ""
    return "untrusted", signatures[0][0] if signatures else "", "signed by no key given with --trusted", ""


def claims(statement, keyid, sums, version):
    """A trusted, signed STATEMENT against SUMS: does it attest every download?"""
    predicate = statement.get("predicate", {})
    who = shown(predicate.get("verifier", {}).get("id", "no rebuilder named"))
    if statement.get("predicateType") != VSA or predicate.get("resourceUri") != resource(version):
        return "other", keyid, f"{who}: about {shown(predicate.get('resourceUri') or statement.get('predicateType'))}"
    if predicate.get("verificationResult") != "PASSED":
        return "DISAGREES", keyid, f"{who}: verification {shown(predicate.get('verificationResult'))}"
    attested = {}
    for subject in statement.get("subject", []):
        name, digest = subject["name"], subject.get("digest", {}).get("sha256")
        if not isinstance(name, str) or not isinstance(digest, (str, type(None))):
            raise TypeError
        attested[name] = digest
    for name in sorted(set(sums) | set(attested), key=str.encode):
        if attested.get(name) != sums.get(name):
            return "DISAGREES", keyid, (f"{who}: {shown(name)}: attested {shown(attested.get(name) or 'not at all')}, "
                                        f"SHA256SUMS says {sums.get(name) or 'nothing'}")
    return "agrees", keyid, f"{who}: every download, {len(sums)}, with its SHA-256"


ORDER = ["DISAGREES", "BAD SIGNATURE", "unreadable", "untrusted", "other", "agrees"]


def check(folder, trusted, sums, version, minimum, page=False):
    """Each attestation in FOLDER judged, a line each, disagreements first:
    whether at least MINIMUM distinct TRUSTED keys attest every download of
    SUMS and none that is trusted disagrees. With PAGE, the same written
    as FOLDER/index.html, for the release's page to link to."""
    found = sorted(folder.glob("*.jsonl"))
    if not found:
        raise Stop(f"{folder}: holds no attestation (*.jsonl)")
    verdicts = sorted(((*judge(path, trusted, sums, version), path.name) for path in found),
                      key=lambda v: (ORDER.index(v[0]), v[4]))
    for verdict, keyid, words, _, name in verdicts:
        print(f"verify: {verdict:<13} {shown(name)} (key {shown(keyid[:16]) or 'unnamed'}): {words}", flush=True)
    agreeing = {keyid for verdict, keyid, _, _, _ in verdicts if verdict == "agrees"}
    against = [words for verdict, _, words, _, _ in verdicts if verdict == "DISAGREES"]
    if against:
        summary = f"A TRUSTED REBUILDER SAW OTHER BYTES: {against[0]}; the release is not confirmed"
    elif len(agreeing) < minimum:
        summary = f"{len(agreeing)} trusted key(s) attest every download, fewer than --min {minimum}"
    else:
        summary = f"{len(agreeing)} trusted key(s) attest every download (--min {minimum}): the release is what " \
                  "they rebuilt"
    if page:
        write_page(folder, version, verdicts, summary)
        print(f"verify: {folder / 'index.html'}: these verdicts, as a page", flush=True)
    print(f"verify: {summary}")
    return not against and len(agreeing) >= minimum


def write_page(folder, version, verdicts, summary):
    """FOLDER/index.html: each attestation, its rebuilder's words, key, date
    and verdict, in the release page's manner: no script, nothing fetched."""
    def e(text):
        return html.escape(str(text), quote=True)
    rows = "".join(f'<tr><td><a href="{e(urllib.parse.quote(name))}">{e(name)}</a></td><td>{e(verdict)}</td>'
                   f"<td>{e(words)}</td><td><code>{e(keyid)}</code></td><td>{e(when)}</td></tr>"
                   for verdict, keyid, words, when, name in verdicts)
    (folder / "index.html").write_text(
        f'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        f'<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"<title>classbanner {e(version)}: rebuilders' attestations</title>\n"
        "<style>:root { color-scheme: light dark; } body { margin: 0 auto; max-width: 72rem; padding: 1rem; "
        "font: 1rem/1.5 system-ui, sans-serif; } table { border-collapse: collapse; width: 100%; } "
        "caption { text-align: left; font-weight: bold; } th, td { border-bottom: 1px solid #888; padding: .3rem; "
        "text-align: left; vertical-align: top; } code { overflow-wrap: anywhere; } "
        "a:focus-visible { outline: 3px solid; outline-offset: 2px; }</style>\n</head>\n<body>\n"
        f"<h1>classbanner {e(version)}: rebuilders' attestations</h1>\n<main>\n<p>{e(summary)}</p>\n"
        '<p>Each rebuilder rebuilt the release from its source archive and signed what it found. "agrees" means '
        "its key is one this page was made with as trusted, its signature verifies, and it attests every "
        'download with the SHA-256 the release lists. <a href="../index.html">The release</a>.</p>\n'
        '<div tabindex="0"><table><caption>The attestations, disagreements first</caption>\n<thead><tr>'
        '<th scope="col">Attestation</th><th scope="col">Verdict</th><th scope="col">Rebuilder, and what it says'
        '</th><th scope="col">Key (SHA-256 of its public key)</th><th scope="col">Date</th></tr></thead>\n'
        f"<tbody>{rows}</tbody></table></div>\n</main>\n</body>\n</html>\n")
