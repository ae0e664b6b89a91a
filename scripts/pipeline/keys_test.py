# SPDX-License-Identifier: MIT
"""The keys a release signs with, each made here: the OpenPGP, Authenticode
and provenance key files a release cannot sign with are refused, in one line
naming them, for each fault they can have; a good one signs at the right time.
A release's folder, signed by a key made here, for the tests that read one."""
import datetime
import hashlib
import pathlib
import subprocess
import tempfile
import unittest

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from .keys import code_signing_key, provenance_key, signing_time
from .run_test import Case


def signed_release(home):
    """A release's folder in HOME, holding one download, its SHA256SUMS signed
    by a key made there; the folder, the key's fingerprint, and gpg there."""
    def gpg(*args):
        return subprocess.run(["gpg", "--batch", "--homedir", home, "--pinentry-mode", "loopback", *args],
                              capture_output=True, check=True).stdout
    gpg("--passphrase", "", "--quick-generate-key", "good", "ed25519", "sign", "never")
    fingerprint = next(line.split(b":")[9].decode() for line in gpg("--with-colons", "--list-keys", "good").splitlines()
                       if line.startswith(b"fpr:"))
    folder = pathlib.Path(home) / "release"
    folder.mkdir()
    (folder / "classbanner-signing-key.asc").write_bytes(gpg("--armor", "--export", "good"))
    (folder / "classbanner_0.0.0-1.dsc").write_text("a source package")
    (folder / "SHA256SUMS").write_text(f"{hashlib.sha256(b'a source package').hexdigest()}  classbanner_0.0.0-1.dsc\n")
    gpg("--local-user", "good", "--detach-sign", "--armor", "--output", f"{folder}/SHA256SUMS.asc",
        f"{folder}/SHA256SUMS")
    return folder, fingerprint, gpg


class SigningKeys(Case):
    """The OpenPGP keys, made afresh in a scratch home; each step of the
    making checked, so that a key gpg failed to make is said as such."""

    @classmethod
    def setUpClass(cls):
        made = tempfile.TemporaryDirectory()
        cls.addClassCleanup(made.cleanup)
        cls.home = pathlib.Path(made.name)
        cls.key("good")
        cls.key("locked", "secret")
        cls.key("old", made=("--faked-system-time", "20200101T000000"), expires="1d")
        cls.key("older", made=("--faked-system-time", "20200101T000000!"))
        cls.key("twin", made=("--faked-system-time", "20200101T000000!"))  # in older's very second
        (cls.home / "public.asc").write_bytes(cls.gpg("--armor", "--export", "good"))

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["gpgconf", "--homedir", cls.home, "--kill", "all"])

    @classmethod
    def gpg(cls, *args):
        return subprocess.run(["gpg", "--batch", "--homedir", cls.home, "--pinentry-mode", "loopback", *args],
                              capture_output=True, check=True).stdout

    @classmethod
    def key(cls, name, passphrase="", made=(), expires="never"):
        cls.gpg("--passphrase", passphrase, *made, "--quick-generate-key", name, "ed25519", "sign", expires)
        (cls.home / f"{name}.asc").write_bytes(cls.gpg("--passphrase", passphrase, "--armor",
                                                       "--export-secret-keys", name))

    def fields(self, name):  # when NAME was made, and its fingerprint
        listed = [line.split(b":") for line in self.gpg("--with-colons", "--list-keys", name).splitlines()]
        return (next(f[5].decode() for f in listed if f[0] == b"pub"),
                next(f[9].decode() for f in listed if f[0] == b"fpr"))

    def joined(self, *names):
        both = self.folder() / "both.asc"
        both.write_bytes(b"".join((self.home / f"{name}.asc").read_bytes() for name in names))
        return both

    def test_files_that_cannot_sign(self):
        for name, want in (("none.asc", "no such file"), (".", "not a file"), ("public.asc", "holds no secret key"),
                           ("locked.asc", "protected by a passphrase"), ("old.asc", "expired on 2020-01-02")):
            with self.subTest(name):
                self.assertStops(want, signing_time, f"{self.home}/{name}", "1000")

    def test_signs_at_the_later_of_its_making_and_the_commit(self):
        made, fingerprint = self.fields("good")
        self.assertEqual(signing_time(self.home / "good.asc", "1000"), (made, (fingerprint,)))
        self.assertEqual(signing_time(self.home / "good.asc", "4000000000")[0], "4000000000")

    def test_two_keys_while_the_key_changes(self):
        want = (self.fields("good")[0], (self.fields("older")[1], self.fields("good")[1]))
        self.assertEqual(signing_time(self.joined("good", "older"), "1000"), want, "the older named first")
        self.assertEqual(signing_time(self.joined("older", "good"), "1000"), want, "in either order")
        self.assertStops("or more than two", signing_time, self.joined("good", "older", "old"), "1000")

    def test_two_keys_made_in_one_second(self):
        self.assertEqual(self.fields("twin")[0], self.fields("older")[0], "the test's keys are of one second")
        self.assertStops("made in the same second", signing_time, self.joined("older", "twin"), "1000")


class CodeSigningKeys(Case):
    """The Authenticode and provenance keys: a throwaway CA's certificates,
    made here, each with one fault."""

    @classmethod
    def setUpClass(cls):
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.asymmetric import ec, rsa
        made = tempfile.TemporaryDirectory()
        cls.addClassCleanup(made.cleanup)
        home = cls.home = pathlib.Path(made.name)
        day, now = datetime.timedelta(days=1), datetime.datetime.now(datetime.timezone.utc)
        cls.commit, cls.long_ago = str(int(now.timestamp()) - 3600), str(int((now - 45 * day).timestamp()))

        def certificate(key, name, signer_key, usage=x509.oid.ExtendedKeyUsageOID.CODE_SIGNING, start=now - day):
            return (x509.CertificateBuilder().public_key(key.public_key()).serial_number(x509.random_serial_number())
                    .subject_name(x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, name)]))
                    .issuer_name(x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, "CA")]))
                    .not_valid_before(start).not_valid_after(start + 30 * day)
                    .add_extension(x509.ExtendedKeyUsage([usage]), critical=False).sign(signer_key, hashes.SHA256()))

        def pem(name, key, *chain, encryption=serialization.NoEncryption()):
            (home / name).write_bytes(
                key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption)
                + b"".join(c.public_bytes(serialization.Encoding.PEM) for c in chain))
        ca, key, other = (rsa.generate_private_key(65537, 2048) for _ in range(3))
        curve = ec.generate_private_key(ec.SECP256R1())
        root = certificate(ca, "CA", ca)
        pem("good.pem", key, certificate(key, "leaf", ca), root)
        pem("locked.pem", key, certificate(key, "leaf", ca),
            encryption=serialization.BestAvailableEncryption(b"secret"))
        pem("curve.pem", curve, certificate(curve, "leaf", ca))
        pem("other.pem", other, certificate(key, "leaf", ca))
        pem("web.pem", key, certificate(key, "leaf", ca, x509.oid.ExtendedKeyUsageOID.SERVER_AUTH))
        pem("old.pem", key, certificate(key, "leaf", ca, start=now - 60 * day))
        pem("bare.pem", key)
        (home / "root.pem").write_bytes(root.public_bytes(serialization.Encoding.PEM))
        pem("ed25519-locked.pem", ed25519.Ed25519PrivateKey.generate(),
            encryption=serialization.BestAvailableEncryption(b"secret"))

    def test_provenance_keys_that_cannot_sign(self):
        for name, want in (("none.pem", "no such file"), ("ed25519-locked.pem", "passphrase"),
                           ("curve.pem", "not an Ed25519 key"), ("root.pem", "holds no private key")):
            with self.subTest(name):
                self.assertStops(want, provenance_key, f"{self.home}/{name}")

    def test_authenticode_keys_that_cannot_sign(self):
        commit = self.commit
        for name, epoch, want in (("none.pem", commit, "no such file"), ("locked.pem", commit, "passphrase"),
                                  ("curve.pem", commit, "not an RSA key"), ("bare.pem", commit, "holds no certificate"),
                                  ("other.pem", commit, "not that of the first certificate, CN=leaf"),
                                  ("web.pem", commit, "CN=leaf is not for code signing"),
                                  ("old.pem", commit, "CN=leaf is not valid at the commit's time"),
                                  ("old.pem", self.long_ago, "CN=leaf is not valid at now"),
                                  ("good.pem", "1000", "CN=leaf is not valid at the commit's time, 1970-01-01 00:16")):
            with self.subTest(f"{name} at {epoch}"):
                said = self.assertStops(want, code_signing_key, f"{self.home}/{name}", epoch)
                self.assertTrue(said.startswith(f"{self.home}/{name}: "), "names the file")

    def test_good_key_and_chain(self):
        code_signing_key(f"{self.home}/good.pem", self.commit)  # else it stops


if __name__ == "__main__":
    unittest.main()
