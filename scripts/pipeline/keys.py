# SPDX-License-Identifier: MIT
"""Keys and signatures: the keys a release signs with, checked; gpgv's word
on a signature; DSSE; a release's signed SHA256SUMS and repositories, read back."""
import os
import pathlib
import re
import subprocess
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from datetime import datetime, timezone

from . import untrusted
from .base import Stop, output, sha256
from .logs import paragraphs


def readable(path):
    for fault, why in ((not os.path.exists(path), "no such file"), (not os.path.isfile(path), "not a file"),
                       (not os.access(path, os.R_OK), "cannot be read")):
        if fault:
            raise Stop(f"{path}: {why}")


def signing_time(key, epoch):
    """When the OpenPGP keys in the file KEY sign (at EPOCH, or at the later
    key's making if later), and their fingerprints, the older first. Stops
    unless the file holds one secret key, or two while the key changes, each
    without a passphrase, able to sign and not expired. Never imported."""
    readable(key)
    with tempfile.TemporaryDirectory() as home:
        gpg = ["gpg", "--batch", "--homedir", home]
        shown = subprocess.run(gpg + ["--with-colons", "--show-keys", key], capture_output=True, text=True)
        packets = subprocess.run(gpg + ["--list-packets", key], capture_output=True, text=True).stdout
        subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])
    records = [line.split(":") for line in shown.stdout.splitlines()]
    if shown.returncode or not [k for k in records if k[0] in ("sec", "ssb", "pub")]:
        raise Stop(f"{key}: holds no OpenPGP key")
    if not 1 <= [k[0] for k in records].count("sec") <= 2:
        raise Stop(f"{key}: holds no secret key, or more than two (want one, as gpg --export-secret-keys --armor "
                   "writes it; or the old and the new while the key changes)")
    if "protected" in packets:
        raise Stop(f"{key}: is protected by a passphrase; a release signs unattended")
    starts = [i for i, k in enumerate(records) if k[0] == "sec"] + [len(records)]
    made = []
    for begin, end in zip(starts, starts[1:]):
        group = records[begin:end]
        fingerprint = next(k[9] for k in group if k[0] == "fpr")
        why, times = "has no key that can sign", []
        for k in (k for k in group if k[0] in ("sec", "ssb") and "s" in k[11]):
            if k[6] and int(k[6]) <= time.time():
                why = f"expired on {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime(int(k[6])))}"
            else:
                times.append(max(int(k[5]), int(epoch)))
        if not times:
            raise Stop(f"{key}: {fingerprint} {why}")
        made.append((int(group[0][5]), min(times), fingerprint))
    made.sort()
    if len(made) == 2 and made[0][0] == made[1][0]:
        raise Stop(f"{key}: its two keys were made in the same second: which is the old one is not known")
    return str(max(at for _, at, _ in made)), tuple(fingerprint for _, _, fingerprint in made)


def code_signing_key(path, epoch):
    """Stops unless PATH holds an RSA key (others sign differently each time)
    without a passphrase, then its certificates, PEM, the first the key's and
    for code signing, each valid at the commit's time EPOCH and now."""
    from cryptography import x509
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    readable(path)
    blocks = [(found.group(1), found.group(0)) for found in re.finditer(
        rb"-----BEGIN ([A-Z0-9 ]+)-----\n.*?-----END \1-----", pathlib.Path(path).read_bytes(), re.S)]
    keys = [pem for label, pem in blocks if b"PRIVATE" in label]
    if not keys:
        raise Stop(f"{path}: holds no private key (want the key, then its certificates, leaf first, PEM)")
    if b"ENCRYPTED" in keys[0]:
        raise Stop(f"{path}: its key is protected by a passphrase; a release signs unattended")
    key = serialization.load_pem_private_key(keys[0], None)
    if not isinstance(key, rsa.RSAPrivateKey):
        raise Stop(f"{path}: not an RSA key; other kinds sign differently each time")
    chain = [x509.load_pem_x509_certificate(pem) for label, pem in blocks if label == b"CERTIFICATE"]
    if not chain:
        raise Stop(f"{path}: holds no certificate (want the key's, then the rest of its chain)")

    def public(k):
        return k.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    leaf = chain[0].subject.rfc4514_string()
    if public(key.public_key()) != public(chain[0].public_key()):
        raise Stop(f"{path}: the key is not that of the first certificate, {leaf}")
    usages = [e.value for e in chain[0].extensions if isinstance(e.value, x509.ExtendedKeyUsage)]
    if not usages or x509.oid.ExtendedKeyUsageOID.CODE_SIGNING not in usages[0]:
        raise Stop(f"{path}: {leaf} is not for code signing (its extended key usage lacks codeSigning)")
    for certificate in chain:
        start, end = (getattr(certificate, f"{field}_utc", None)
                      or getattr(certificate, field).replace(tzinfo=timezone.utc)
                      for field in ("not_valid_before", "not_valid_after"))
        for when, what in ((int(epoch), "the commit's time"), (time.time(), "now")):
            if not start.timestamp() <= when <= end.timestamp():
                raise Stop(f"{path}: {certificate.subject.rfc4514_string()} is not valid at {what}, "
                           f"{datetime.fromtimestamp(when, timezone.utc):%Y-%m-%d %H:%M} UTC (valid "
                           f"{start:%Y-%m-%d %H:%M} to {end:%Y-%m-%d %H:%M})")


def provenance_key(path):
    """The Ed25519 private key in the file PATH, PEM, without a passphrase
    (Ed25519 signs alike each time: the provenance is reproducible too)."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ed25519
    readable(path)
    try:
        key = serialization.load_pem_private_key(pathlib.Path(path).read_bytes(), None)
    except TypeError:
        raise Stop(f"{path}: is protected by a passphrase; a release signs unattended")
    except ValueError:
        raise Stop(f"{path}: holds no private key, PEM (want one as openssl genpkey -algorithm ed25519 writes it)")
    if not isinstance(key, ed25519.Ed25519PrivateKey):
        raise Stop(f"{path}: not an Ed25519 key")
    return key


IN_TOTO = "application/vnd.in-toto+json"


def dsse_signed(payload):
    """What a DSSE envelope's signature signs: its pre-authentication encoding."""
    return b"DSSEv1 %d %s %d %s" % (len(IN_TOTO), IN_TOTO.encode(), len(payload), payload)


def signed_by(fingerprints, key, signature, data=None):
    """The text that SIGNATURE (detached over the file DATA, or inline) signs,
    once gpgv has verified it with the public key file KEY. Stops unless a
    key that signed it is FINGERPRINTS' (one, or a tuple of them)."""
    wanted = (fingerprints,) if isinstance(fingerprints, str) else fingerprints
    with tempfile.TemporaryDirectory() as home:
        keyring = pathlib.Path(home) / "key.gpg"
        keyring.write_bytes(subprocess.run(["gpg", "--dearmor"], input=key.read_bytes(), capture_output=True).stdout)
        done = subprocess.run(["gpgv", "--homedir", home, "--keyring", keyring, "--status-fd", "2", "--output", "-",
                               signature] + ([data] if data else []), capture_output=True, text=True)
    signers = re.findall(r"^\[GNUPG:\] VALIDSIG .* ([0-9A-F]{40})$", done.stderr, re.M)
    if done.returncode or not set(wanted) & set(signers):
        said = [line for line in done.stderr.splitlines() if line.startswith("gpgv: ")][-1:] or ["no signature"]
        raise Stop(f"{signature}: not signed by the key {' or '.join(wanted)}"
                   + (f", but by {signers[0]}" if signers else f" ({said[0]})"))
    return done.stdout


def pool(path, where):
    """PATH, a file an index lists, if each of its folders and its name is a
    plain file name: never absolute, never .."""
    for part in str(path).split("/"):
        untrusted.file_name(part, f"{where}: {untrusted.shown(path)}")
    return path


def held(folder, fingerprint, key):
    """Every package the repositories in FOLDER (apt/, rpm/) hold, name:
    SHA-256, each checked against the signed index that lists it."""
    files, apt, rpm = {}, folder / "apt", folder / "rpm"

    def listed(path, digest):
        if path.is_symlink() or not path.is_file() or sha256(path) != digest:
            raise Stop(f"{path}: does not match the signed index that lists it")
        return path

    signed = signed_by(fingerprint, key, apt / "dists/stable/InRelease")
    for digest, name in re.findall(r"^ ([0-9a-f]{64}) +\d+ (\S+/(?:Packages|Sources))$",
                                   signed.split("\nSHA256:\n", 1)[-1], re.M):
        index = listed(apt / "dists/stable" / pool(name, "apt/dists/stable/InRelease"), digest)
        for p in paragraphs(index.read_text()):
            for file_digest, file in ([(p["sha256"], p["filename"])] if "filename" in p else [
                    (line.split()[0], f"{p['directory']}/{line.split()[2]}")
                    for line in p["checksums_sha256"].splitlines() if line]):
                files[f"apt/{pool(file, name)}"] = file_digest
    signed_by(fingerprint, key, rpm / "repodata/repomd.xml.asc", rpm / "repodata/repomd.xml")
    repo, common = "{http://linux.duke.edu/metadata/repo}", "{http://linux.duke.edu/metadata/common}"
    primary = next(d for d in ElementTree.parse(rpm / "repodata/repomd.xml").iter(f"{repo}data")
                   if d.get("type") == "primary")
    index = listed(rpm / pool(primary.find(f"{repo}location").get("href"), "rpm/repodata/repomd.xml"),
                   primary.findtext(f"{repo}checksum"))
    for package in ElementTree.fromstring(output("zstd", "-dcq", "--format=" + {".gz": "gzip", ".zst": "zstd"}[
            index.suffix], index)).iter(f"{common}package"):
        files[f"rpm/{pool(package.find(f'{common}location').get('href'), 'rpm/repodata')}"] = package.findtext(
            f"{common}checksum")
    for path in sorted(p for p in list((apt / "pool").rglob("*")) + list(rpm.glob("*.rpm")) if p.is_file()):
        if str(path.relative_to(folder)) not in files:
            raise Stop(f"{path}: is in no signed index of its repository")
    for name, digest in files.items():
        listed(folder / name, digest)
    return files


def signed_sums(folder, fingerprint, whose="", missing_ok=False):
    """FOLDER's SHA256SUMS, name: SHA-256, once checked to be signed by
    FINGERPRINT's key and each file it lists (but those absent, where
    MISSING_OK) to match it; a refusal names whose SHA256SUMS it is."""
    key = folder / "classbanner-signing-key.asc"
    for name in ("SHA256SUMS", "SHA256SUMS.asc", key.name):
        readable(folder / name)
    signed_by(fingerprint, key, folder / "SHA256SUMS.asc", folder / "SHA256SUMS")
    sums = untrusted.sums((folder / "SHA256SUMS").read_text(errors="replace"), f"{whose}SHA256SUMS")
    for name, digest in sums.items():
        if missing_ok and not (folder / name).exists():
            continue
        if not (folder / name).is_file() or sha256(folder / name) != digest:
            raise Stop(f"{folder / name}: does not match {whose}SHA256SUMS")
    return sums
