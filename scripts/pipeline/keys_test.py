# SPDX-License-Identifier: MIT
"""The keys a release signs with, each made here: the OpenPGP, Authenticode
and provenance key files a release cannot sign with are refused, in one line
naming them, for each fault they can have; a good one signs at the right time."""
import datetime
import pathlib
import subprocess
import tempfile

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from .artifacts import Stop
from .fakes import done, expect, faults, stops
from .keys import code_signing_key, provenance_key, signing_time

# The signing keys, made afresh in a scratch home.
with tempfile.TemporaryDirectory() as home:
    def gpg(*args):
        return subprocess.run(["gpg", "--batch", "--homedir", home, "--pinentry-mode", "loopback", *args],
                              capture_output=True).stdout

    def key(name, passphrase="", made=(), expires="never"):
        gpg("--passphrase", passphrase, *made, "--quick-generate-key", name, "ed25519", "sign", expires)
        (pathlib.Path(home) / f"{name}.asc").write_bytes(gpg("--passphrase", passphrase, "--armor",
                                                             "--export-secret-keys", name))
    key("good")
    key("locked", "secret")
    key("old", made=("--faked-system-time", "20200101T000000"), expires="1d")
    (pathlib.Path(home) / "public.asc").write_bytes(gpg("--armor", "--export", "good"))
    for name, want in (("none.asc", "no such file"), (".", "not a file"), ("public.asc", "holds no secret key"),
                       ("locked.asc", "protected by a passphrase"), ("old.asc", "expired on 2020-01-02")):
        stops(f"signing key: {name}", want, signing_time, f"{home}/{name}", "1000")

    def fields(name):  # when NAME was made, and its fingerprint
        listed = [line.split(b":") for line in gpg("--with-colons", "--list-keys", name).splitlines()]
        return (next(f[5].decode() for f in listed if f[0] == b"pub"),
                next(f[9].decode() for f in listed if f[0] == b"fpr"))
    good = f"{home}/good.asc"
    expect("signing key: a key made after the commit does not sign at its making, with its fingerprint",
           signing_time(good, "1000") == (fields("good")[0], (fields("good")[1],)))
    expect("signing key: a key older than the commit does not sign at the commit's time",
           signing_time(good, "4000000000")[0] == "4000000000")
    # While the key changes, the file holds the old and the new, in either order.
    key("older", made=("--faked-system-time", "20200101T000000"))
    both = pathlib.Path(home) / "both.asc"
    both.write_bytes((pathlib.Path(home) / "good.asc").read_bytes() + (pathlib.Path(home) / "older.asc").read_bytes())
    expect("signing key: two keys sign at the newer's making, the older named first",
           signing_time(both, "1000") == (fields("good")[0], (fields("older")[1], fields("good")[1])))
    both.write_bytes(both.read_bytes() + (pathlib.Path(home) / "old.asc").read_bytes())
    stops("signing key: three keys", "or more than two", signing_time, both, "1000")

    subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])

# The Authenticode keys: a throwaway CA's code-signing certificates, made here.
with tempfile.TemporaryDirectory() as home:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, rsa
    day, now = datetime.timedelta(days=1), datetime.datetime.now(datetime.timezone.utc)

    def certificate(key, name, signer_key, usage=x509.oid.ExtendedKeyUsageOID.CODE_SIGNING, start=now - day):
        return (x509.CertificateBuilder().public_key(key.public_key()).serial_number(x509.random_serial_number())
                .subject_name(x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, name)]))
                .issuer_name(x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, "CA")]))
                .not_valid_before(start).not_valid_after(start + 30 * day)
                .add_extension(x509.ExtendedKeyUsage([usage]), critical=False).sign(signer_key, hashes.SHA256()))

    def pem(name, key, *chain, encryption=serialization.NoEncryption()):
        (pathlib.Path(home) / name).write_bytes(
            key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption)
            + b"".join(c.public_bytes(serialization.Encoding.PEM) for c in chain))
    ca, key, other = (rsa.generate_private_key(65537, 2048) for _ in range(3))
    curve = ec.generate_private_key(ec.SECP256R1())
    root = certificate(ca, "CA", ca)
    pem("good.pem", key, certificate(key, "leaf", ca), root)
    pem("locked.pem", key, certificate(key, "leaf", ca), encryption=serialization.BestAvailableEncryption(b"secret"))
    pem("curve.pem", curve, certificate(curve, "leaf", ca))
    pem("other.pem", other, certificate(key, "leaf", ca))
    pem("web.pem", key, certificate(key, "leaf", ca, x509.oid.ExtendedKeyUsageOID.SERVER_AUTH))
    pem("old.pem", key, certificate(key, "leaf", ca, start=now - 60 * day))
    pem("bare.pem", key)
    (pathlib.Path(home) / "root.pem").write_bytes(root.public_bytes(serialization.Encoding.PEM))
    pem("ed25519-locked.pem", ed25519.Ed25519PrivateKey.generate(), encryption=serialization.BestAvailableEncryption(
        b"secret"))
    for name, want in (("none.pem", "no such file"), ("ed25519-locked.pem", "passphrase"),
                       ("curve.pem", "not an Ed25519 key"), ("root.pem", "holds no private key")):
        stops(f"provenance key: {name}", want, provenance_key, f"{home}/{name}")
    commit, long_ago = str(int(now.timestamp()) - 3600), str(int((now - 45 * day).timestamp()))
    for name, epoch, want in (("none.pem", commit, "no such file"), ("locked.pem", commit, "passphrase"),
                              ("curve.pem", commit, "not an RSA key"), ("bare.pem", commit, "holds no certificate"),
                              ("other.pem", commit, "not that of the first certificate, CN=leaf"),
                              ("web.pem", commit, "CN=leaf is not for code signing"),
                              ("old.pem", commit, "CN=leaf is not valid at the commit's time"),
                              ("old.pem", long_ago, "CN=leaf is not valid at now"),
                              ("good.pem", "1000", "CN=leaf is not valid at the commit's time, 1970-01-01 00:16")):
        said = stops(f"authenticode key: {name} at {epoch}", want, code_signing_key, f"{home}/{name}", epoch)
        expect(f"authenticode key: {said} does not name the file", (said or "").startswith(f"{home}/{name}: "))
    try:
        code_signing_key(f"{home}/good.pem", commit)
    except Stop as stop:
        faults.append(f"authenticode key: a good key and chain refused: {stop}")

done("keys")
