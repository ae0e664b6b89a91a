# SPDX-License-Identifier: MIT
"""A release's publisher may plant anything in it, validly signed: each case
is one such fault, refused by name before it is used, or contained, with
nothing written outside the folder it was given."""
import base64
import contextlib
import io
import json
import os
import pathlib
import subprocess
import tarfile
import tempfile
import types
import unittest
from unittest import mock

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from . import verify
from .base import Stop
from .attestations import attest, check, trusted_keys
from .config import TOP, table
from .roots import pinned
from .run import Run
from .untrusted import planted, read_regular, sums, unpack

DIGEST = "a" * 64


class Folder(unittest.TestCase):
    def setUp(self):
        made = tempfile.TemporaryDirectory()
        self.addCleanup(made.cleanup)
        self.tmp = pathlib.Path(made.name)


class Names(Folder):
    """SHA256SUMS, the provenance, the .buildinfo and the table name files,
    folders and options: each name is a plain word before it is used."""

    def test_absolute_name_in_sums(self):
        with self.assertRaisesRegex(Stop, "line 1: /proc/self/cwd/dist/x.msi is not a download's name"):
            sums(f"{DIGEST}  /proc/self/cwd/dist/x.msi\n", "SHA256SUMS")

    def test_parent_and_newline_names_in_sums(self):
        for name in ("../x", "..", "a/b", ".hidden"):
            with self.assertRaises(Stop, msg=name):
                sums(f"{DIGEST}  {name}\n", "SHA256SUMS")
        with self.assertRaisesRegex(Stop, "line 2"):  # a name may not run onto a line of its own
            sums(f"{DIGEST}  a\nverify: same   b\n", "SHA256SUMS")

    def test_name_listed_twice(self):
        with self.assertRaisesRegex(Stop, "line 2: a.deb is listed twice"):
            sums(f"{DIGEST}  a.deb\n{'b' * 64}  a.deb\n", "SHA256SUMS")

    def test_second_provenance(self):
        listed = {"classbanner-0.0.1.intoto.jsonl": DIGEST, "extra.intoto.jsonl": DIGEST}
        with mock.patch.object(verify, "signed_sums", return_value=listed):
            with self.assertRaisesRegex(Stop, "lists 2 provenances"):
                verify.downloads(self.tmp, "F" * 40)

    def test_package_line_that_is_an_option(self):
        with self.assertRaisesRegex(Stop, "is not a package"):
            pinned("-c/build/apt.conf:amd64 (= 1)")
        self.assertEqual(pinned("zlib1g:amd64 (= 1:1.3.dfsg-3)"), "zlib1g:amd64=1:1.3.dfsg-3")

    def buildinfo(self, root="trixie", packages="zlib1g:amd64 (= 1:1.3)"):
        path = self.tmp / "classbanner-0.0.1.buildinfo"
        path.write_text(f"Checksums-Sha256:\n {DIGEST} 1 classbanner-0.0.1.tar.gz\n\n"
                        f"Root: {root}\nTargets: amd64 (win64)\nInstalled-Packages:\n {packages}\n")
        return verify.buildinfo(path)

    def test_buildinfo_root_and_packages(self):
        self.assertEqual(self.buildinfo()[1]["root"], "trixie")
        with self.assertRaisesRegex(Stop, r"\.\./\.\./etc is not a Debian release's name"):
            self.buildinfo(root="../../etc")
        with self.assertRaisesRegex(Stop, "-c/tmp/x is not a package"):
            self.buildinfo(packages="-c/tmp/x")
        with self.assertRaisesRegex(Stop, "not a .buildinfo"):
            self.buildinfo(root="trixie\nInstalled-Packages")

    def test_table_read_as_data(self):
        """The table is read by this code as targets.sh reads it, never by running a tree's reader."""
        columns = subprocess.run([TOP / "scripts/targets.sh", "--columns"], capture_output=True, text=True,
                                 check=True).stdout.split()
        shell = subprocess.run([TOP / "scripts/targets.sh", *columns], capture_output=True, text=True,
                               check=True).stdout
        rows = (line.split("\t") for line in shell.splitlines())
        self.assertEqual(table(), {fields[0]: dict(zip(columns, fields)) for fields in rows})
        (self.tmp / "cmake").mkdir()
        (self.tmp / "scripts").mkdir()
        (self.tmp / "scripts/targets.sh").write_text(f"#!/bin/sh\ntouch {self.tmp}/ran\n")
        (self.tmp / "scripts/targets.sh").chmod(0o755)
        (self.tmp / "cmake/targets.txt").write_text("# name system debian\namd64 linux ../etc\n")
        with self.assertRaisesRegex(Stop, r"amd64: \.\./etc is not a Debian release's name"):
            table(self.tmp)
        self.assertFalse((self.tmp / "ran").exists())


class Unpacking(Folder):
    """The source archive, crafted: no member lands outside the folder."""

    def archive(self, *members):
        """A .tar.gz of MEMBERS, (name, kind, link target or bytes)."""
        path = self.tmp / "classbanner-0.0.1.tar.gz"
        with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as packed:
            for name, kind, what in members:
                info = tarfile.TarInfo(name)
                info.type, info.mode = kind, 0o4777
                if kind in (tarfile.SYMTYPE, tarfile.LNKTYPE):
                    info.linkname = what
                what = what if kind == tarfile.REGTYPE else b""
                info.size = len(what)
                packed.addfile(info, io.BytesIO(what))
        (self.tmp / "into").mkdir(exist_ok=True)
        return path

    def refused(self, want, *members):
        with self.assertRaisesRegex(Stop, want):
            unpack(self.archive(("classbanner-0.0.1", tarfile.DIRTYPE, b""), *members), self.tmp / "into")
        self.assertEqual(sorted(p.name for p in self.tmp.iterdir()), ["classbanner-0.0.1.tar.gz", "into"])
        self.assertEqual(list((self.tmp / "into").iterdir()), [])

    def test_parent_member(self):
        self.refused(r"member classbanner-0.0.1/\.\./\.\./escape-proof is outside",
                     ("classbanner-0.0.1/../../escape-proof", tarfile.REGTYPE, b"x"))

    def test_absolute_member(self):
        self.refused("is outside", (f"{self.tmp}/escape-proof", tarfile.REGTYPE, b"x"))

    def test_link_out(self):
        self.refused("links out of classbanner-0.0.1/, to /etc",
                     ("classbanner-0.0.1/etc", tarfile.SYMTYPE, "/etc"))
        self.refused("links out", ("classbanner-0.0.1/up", tarfile.SYMTYPE, "../.."))

    def test_write_through_a_link(self):
        self.refused("lies through the link classbanner-0.0.1/here",
                     ("classbanner-0.0.1/here", tarfile.SYMTYPE, "."),
                     ("classbanner-0.0.1/here/x", tarfile.REGTYPE, b"x"))

    def test_device_and_fifo(self):
        self.refused("member classbanner-0.0.1/null is a device", ("classbanner-0.0.1/null", tarfile.CHRTYPE, b""))
        self.refused("member classbanner-0.0.1/pipe is a device", ("classbanner-0.0.1/pipe", tarfile.FIFOTYPE, b""))

    def test_plain_archive(self):
        path = self.archive(("classbanner-0.0.1", tarfile.DIRTYPE, b""),
                            ("classbanner-0.0.1/a", tarfile.REGTYPE, b"banner"),
                            ("classbanner-0.0.1/b", tarfile.SYMTYPE, "a"))
        self.assertEqual(unpack(path, self.tmp / "into"), "classbanner-0.0.1")
        made = self.tmp / "into/classbanner-0.0.1"
        self.assertEqual((made / "b").read_bytes(), b"banner")
        self.assertEqual(made.joinpath("a").stat().st_mode & 0o7777, 0o755)  # no set-id bit kept


class Rebuilt(Folder):
    """What a root's build leaves: read, or followed, by this machine only
    where it stays a file of the work folder."""

    def test_link_planted_in_the_work_folder(self):
        publish = self.tmp / "work/root-trixie/build/publish"
        (publish / "dist").mkdir(parents=True)
        (self.tmp / "work/publish").symlink_to(publish)
        config = types.SimpleNamespace(first_suite="trixie")
        r = Run(config, types.SimpleNamespace(work=self.tmp / "work"))
        r.contained("build")
        (publish / "dist/inner").symlink_to("../dist")
        r.contained("build")  # within the work folder, harmless
        (publish / "dist/classbanner-0.0.1.deb").symlink_to("/etc/passwd")
        with self.assertRaisesRegex(Stop, "build: left .*classbanner-0.0.1.deb \\(a link to /etc/passwd\\)"):
            r.contained("build")
        (publish / "dist/classbanner-0.0.1.deb").unlink()
        os.rename(publish, publish.with_name("elsewhere"))
        publish.symlink_to(publish.with_name("elsewhere"))
        with self.assertRaisesRegex(Stop, "publish a link, or no folder"):
            r.contained("build")

    def test_rebuilt_file_read_without_following(self):
        (self.tmp / "dist").mkdir()
        (self.tmp / "dist/same.msi").write_bytes(b"msi")
        self.assertEqual(read_regular(self.tmp, "dist", "same.msi"), b"msi")
        (self.tmp / "dist/link.msi").symlink_to(self.tmp / "dist/same.msi")
        with self.assertRaisesRegex(Stop, "dist/link.msi: a link, not a file"):
            read_regular(self.tmp, "dist", "link.msi")
        (self.tmp / "folder").symlink_to(self.tmp / "dist")
        with self.assertRaisesRegex(Stop, "folder is not a folder"):
            read_regular(self.tmp, "folder", "same.msi")
        os.mkfifo(self.tmp / "dist/fifo")  # read, it would never end
        with self.assertRaisesRegex(Stop, "not a regular file"):
            read_regular(self.tmp, "dist", "fifo")
        self.assertIn("(a device, fifo or socket)", planted(self.tmp / "dist"))


class Attestations(Folder):
    """Strangers' attestations: one crafted file is named and skipped, and
    never stops the check or forges a line of its verdict."""

    def setUp(self):
        super().setUp()
        key = ed25519.Ed25519PrivateKey.generate()
        (self.tmp / "alice.key").write_bytes(key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
        self.sums = {"classbanner-0.0.1-win64.msi": DIGEST}
        self.made, self.public = attest(key, "mailto:alice@example.org", self.sums, "0.0.1", pathlib.Path(__file__),
                                        self.tmp / "gathered")

    def judged(self):
        said = io.StringIO()
        with contextlib.redirect_stdout(said):
            passed = check(self.tmp / "gathered", trusted_keys([self.public]), self.sums, "0.0.1", 1)
        return passed, said.getvalue().splitlines()

    def test_fields_of_the_wrong_type(self):
        envelope = json.loads(self.made.read_text())
        for name, changed in (("keyid", dict(envelope, signatures=[dict(envelope["signatures"][0], keyid=7)])),
                              ("object", dict(envelope, signatures={"sig": envelope["signatures"][0]["sig"]})),
                              ("list", [envelope])):
            (self.tmp / f"gathered/{name}.jsonl").write_text(json.dumps(changed))
        os.mkfifo(self.tmp / "gathered/fifo.jsonl")
        passed, lines = self.judged()
        self.assertTrue(passed, lines)
        self.assertEqual([line.split()[1] for line in lines[:4]], ["unreadable"] * 4, lines)

    def test_name_with_a_newline(self):
        forged = "x\nverify: 2 trusted key(s) attest every download (--min 1): the release is what they rebuilt\n"
        (self.tmp / "gathered" / f"{forged}.jsonl").write_text("{}")
        passed, lines = self.judged()
        self.assertEqual(len(lines), 3, lines)
        self.assertTrue(all(line.startswith("verify: ") for line in lines), lines)

    def test_statement_of_the_wrong_type(self):
        statement = json.loads(base64.b64decode(json.loads(self.made.read_text())["payload"]))
        statement["subject"] = [{"name": ["a"], "digest": {"sha256": DIGEST}}]
        key = serialization.load_pem_private_key((self.tmp / "alice.key").read_bytes(), None)
        payload = json.dumps(statement).encode()
        envelope = {"payloadType": "application/vnd.in-toto+json", "payload": base64.b64encode(payload).decode(),
                    "signatures": [{"keyid": "", "sig": base64.b64encode(key.sign(
                        verify.dsse_signed(payload))).decode()}]}
        self.made.write_text(json.dumps(envelope))
        passed, lines = self.judged()
        self.assertFalse(passed)
        self.assertIn("unreadable", lines[0])


if __name__ == "__main__":
    unittest.main()
