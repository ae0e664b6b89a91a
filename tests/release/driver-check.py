#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The release's own logic, offline, in seconds: no root, no network.

    driver-check.py SOURCE_DIR

Every stage but the roots' runs on its own turn against fake roots: folders,
and a stub for what runs in them that answers as each tool would (the zip
packer and the bill of materials run for real). Each stage must record what
it declares, by kind, with what the kind records; every step must write a log
of its own; a failing step must stop the release with its own log's cause; a
plan whose stage makes a download after SHA256SUMS, or takes what no earlier
stage makes, must stop before anything runs. A row's failing or skipped tests
are told from ctest's JUnit report. The signing keys and Authenticode key
files are refused, in one line naming them, for each fault they can have.
One line per fault; exit status 1 if any.
"""
import base64
import datetime
import contextlib
import hashlib
import importlib
import io
import json
import pathlib
import subprocess
import sys
import tempfile
import zipfile

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

source = pathlib.Path(sys.argv[1]).resolve()
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(source / "scripts"))
release = importlib.import_module("release")
faults = []
STAGES = [s for s in release.STAGES if s is not release.roots]
PASSED = '<testsuite><testcase name="output" status="run"/><testcase name="executable" status="run"/></testsuite>'


def expect(what, ok):
    if not ok:
        faults.append(what)


def stops(what, want, call, *args):
    """CALL must stop the release in one line that says WANT."""
    try:
        call(*args)
        faults.append(f"{what}: not stopped")
    except release.Stop as stop:
        expect(f"{what}: stopped with \"{stop}\", not a line saying \"{want}\"",
               want in str(stop) and "\n" not in str(stop).split(" (log: ")[0])
        return str(stop)


class FakeRoots(release.Roots):
    """Roots that are folders, whose tools are stubs: FAIL maps a tool and
    its first arguments to what it says as it fails; JUNIT is what ctest
    reports."""

    def __init__(self, work, fail=None, junit=PASSED):
        super().__init__(work, [])
        self.fail, self.junit, self.ran = fail or {}, junit, []

    def unpack(self, name):
        root = self.work / f"root-{name}"
        if root not in self.unpacked:
            self.unpacked.append(root)
            (root / "build").mkdir(parents=True)
            (root / "etc").mkdir()
            (root / "etc/debian_version").write_text({"trixie": "13.1\n", "bookworm": "12.11\n"}[name])
        return root

    def run(self, root, folder, command, stdout, stdin=None, namespaces=None):
        here, command = root / "build" / folder, [str(word) for word in command]
        tool = pathlib.Path(command[2] if command[0] == "env" else command[0]).name
        self.ran.append((root.name, tool, command))
        said, code = self.answer(here, tool, command), 0
        words = " ".join([tool, *command[3 if command[0] == "env" else 1:]])
        for planted in (key for key in self.fail if words.startswith(key)):
            said, code = self.fail[planted], 1
        if stdout is subprocess.PIPE:
            return subprocess.CompletedProcess(command, code, said, "")
        stdout.write(said)
        return subprocess.CompletedProcess(command, code)

    def answer(self, here, tool, command):
        args, out = command[1:], here / "build" / f"target-{command[1].split('=')[-1]}"
        name = out.name[len("target-"):]
        if tool == "git" and args[0] == "clone":
            (here / args[-1]).mkdir()
        elif tool == "git":
            (here / args[3].split("=")[1]).write_bytes(b"source")
        elif tool == "gzip":
            (here / args[-1]).rename(here / f"{args[-1]}.gz")
        elif tool == "cmake" and "--build" in command:
            (out / ("classbanner.exe" if name.startswith("win") else "classbanner")).write_bytes(name.encode())
        elif tool == "cmake":
            out.mkdir(parents=True)
        elif tool == "ctest":
            (out / "junit.xml").write_text(self.junit)
        elif tool == "cpack" and name.startswith("win"):
            with zipfile.ZipFile(out / f"classbanner-0.0.1-{name}.zip", "w") as layout:
                for entry in ("classbanner.exe", "LICENSE"):
                    layout.writestr(zipfile.ZipInfo(f"classbanner-0.0.1-{name}/{entry}", (2026, 1, 2, 3, 4, 6)),
                                    (out / entry).read_bytes() if entry.endswith(".exe") else b"MIT")
        elif tool == "cpack":
            for package in (f"classbanner-0.0.1-linux-{name}.tar.gz", f"classbanner-0.0.1-1.{name}.rpm"):
                (out / package).write_bytes(package.encode())
        elif tool == "static-parts.sh":
            return "".join(f"Part: {part}\nLicense: MIT\nPackage: {part}\nArchitecture: {args[0]}\nVersion: 1-2\n"
                           f"Source: {part}-src\nSource-Version: 1-2\n\n" for part in ("musl", "libgcc"))
        elif tool == "dpkg-buildpackage":
            (here / f"../classbanner_0.0.1-1_{args[-1][2:]}.deb").write_bytes(args[-1].encode())
        elif tool == "dpkg-source":
            for end in (".debian.tar.xz", ".dsc"):
                (here / f"classbanner_0.0.1-1{end}").write_bytes(end.encode())
        elif tool == "dpkg-query":
            return {"root-trixie": "ii  zlib1g:amd64 (= 1:1.3)\nrc  gone:amd64 (= 1)\nii  apt:amd64 (= 3.0)\n",
                    "root-bookworm": "ii  musl:mipsel (= 1.2.3)\n"}[here.parent.name]
        elif tool == "authenticode.py":
            unsigned, signed = args[-3:-1] if args[0] == "key" else args[-2:]
            (here / signed).write_bytes((here / unsigned).read_bytes() + b", signed")
            if args[0] == "key":
                (here / args[-1]).write_bytes(b"signature")
        elif tool in ("zip.py", "sbom.py"):
            done = subprocess.run([sys.executable, source / "scripts/release" / tool, *args], cwd=here, text=True,
                                  capture_output=True)
            return done.stdout + done.stderr
        elif tool in ("image.sh", "msi.py"):
            (here / args[0]).write_bytes(tool.encode())
        elif tool == "sign.sh" and args[0] == "sums":
            for name in ("SHA256SUMS.asc", "classbanner-signing-key.asc"):
                (here / "dist" / name).write_text("sign: key F: SHA256SUMS.asc\n")
        elif tool == "sign.sh":
            for name in ["apt/dists/stable/InRelease", "rpm/repodata/repomd.xml"] + [
                    f"{'rpm' if p.endswith('.rpm') else 'apt/pool/main'}/{p[5:]}" for p in args[4:] if p != "--"]:
                (here / "dist" / name).parent.mkdir(parents=True, exist_ok=True)
                (here / "dist" / name).write_text(name)
        return ""


def fake_release(tmp, **fake):
    """A signed release of amd64, win64 and mipsel in fake roots under TMP."""
    work = pathlib.Path(tmp) / "work"
    for folder in {kind.folder for kind in release.KINDS.values()} | {"unsigned"}:
        (work / "publish" / folder).mkdir(parents=True)
    (work / "key").write_text("a key")
    (work / "provenance.pem").write_bytes(ed25519.Ed25519PrivateKey.generate().private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    env = {"CLASSBANNER_SIGNING_KEY": str(work / "key"), "CLASSBANNER_AUTHENTICODE_KEY": str(work / "key"),
           "CLASSBANNER_PROVENANCE_KEY": str(work / "provenance.pem")}
    r = release.Release(release.table(), ["amd64", "win64", "mipsel"], "0.0.1", "0.0.1-1", "0" * 40, "1765000000",
                        "amd64", env, FakeRoots(work, **fake))
    r.sign_at, r.fingerprint = r.epoch, "F" * 40
    return r


# Every stage on its own, in turn, and what each recorded.
with tempfile.TemporaryDirectory() as tmp:
    r = fake_release(tmp)
    with contextlib.redirect_stdout(io.StringIO()):
        release.make(r, STAGES)
    work, m = r.work, r.manifest

    def paths(kind, **match):
        return sorted(item["path"] for item in m.find(kind, **match))
    logs = sorted(p.stem for p in work.glob("*.log"))
    steps = [tool for _, tool, _ in r.roots.ran if tool not in ("static-parts.sh", "dpkg-query")]  # data, no log
    expect(f"steps: {len(steps)} steps but {len(logs)} logs", len(logs) == len(steps))
    expect("source: not the packed tree", [(i["path"], i["root"]) for i in m.find("source")] == [
        ("dist/classbanner-0.0.1.tar.gz", "trixie")])
    amd64 = m.find("binary", rows=["amd64"])[0]
    expect(f"rows: amd64's binary records {amd64}", amd64["root"] == "trixie" and amd64["platform"] == "linux/amd64"
           and amd64["static"][0] == {"part": "musl", "license": "MIT", "package": "musl", "architecture": "amd64",
                                      "version": "1-2", "source": "musl-src", "source_version": "1-2"})
    expect("rows: Linux packages", paths("deb") == ["dist/classbanner_0.0.1-1_amd64.deb",
                                                    "dist/classbanner_0.0.1-1_mipsel.deb"]
           and paths("tar.gz", root="bookworm") == ["dist/classbanner-0.0.1-linux-mipsel.tar.gz"]
           and paths("rpm", rows=["amd64"]) == ["dist/classbanner-0.0.1-1.amd64.rpm"])
    expect(f"rows: CPack's .zip is {paths('zip-layout')}",
           paths("zip-layout") == ["scratch/classbanner-0.0.1-win64.zip"])
    autopkgtest = [c for root, tool, c in r.roots.ran if tool == "autopkgtest"]
    expect(f"debian: autopkgtest ran {autopkgtest}", [c[1] for c in autopkgtest] == [
        "dist/classbanner_0.0.1-1_amd64.deb"] and len(paths("debian-source")) == 3)
    info = (work / "publish/dist/classbanner-0.0.1.buildinfo").read_text()
    head, trixie, bookworm = (info.split("\n\n") + ["", ""])[:3]
    expect(f"buildinfo: the source line is not the archive's: {head}",
           f"\n {hashlib.sha256(b'source').hexdigest()} 6 classbanner-0.0.1.tar.gz\n" in head)
    expect(f"buildinfo: Debian 13's root reads {trixie!r}", trixie == "Root: trixie\nDebian-Version: 13.1\n"
           "Targets: amd64 win64\nInstalled-Packages:\n apt:amd64 (= 3.0)\n zlib1g:amd64 (= 1:1.3)")
    expect(f"buildinfo: Debian 12's root reads {bookworm!r}", bookworm == "Root: bookworm\nDebian-Version: 12.11\n"
           "Targets: mipsel\nInstalled-Packages:\n musl:mipsel (= 1.2.3)\n")
    expect("authenticode: the .exe and .msi signatures", paths("exe") == ["windows/classbanner-0.0.1-win64.exe"]
           and paths("detached-signature") == ["signatures/classbanner-0.0.1-win64.exe.sig",
                                               "signatures/classbanner-0.0.1-win64.msi.sig"])
    with zipfile.ZipFile(work / "publish/dist/classbanner-0.0.1-win64.zip") as packed, \
            zipfile.ZipFile(work / "publish/scratch/classbanner-0.0.1-win64.zip") as layout:
        expect("zip: not CPack's entries around the .exe that ships",
               [(i.filename, i.date_time) for i in packed.infolist()] == [(i.filename, i.date_time)
                                                                          for i in layout.infolist()]
               and packed.read("classbanner-0.0.1-win64/classbanner.exe") == (
                   work / "publish/windows/classbanner-0.0.1-win64.exe").read_bytes())
    expect("image: its rows", m.find("oci")[0]["rows"] == ["amd64", "mipsel"])
    expect("msi: the installer, checked", paths("msi") == ["dist/classbanner-0.0.1-win64.msi"] and
           (work / "msi-win64-check.log").exists())
    bom = json.loads((work / "publish/dist/classbanner-0.0.1.cdx.json").read_text())
    listed = {c["name"]: c for c in bom["components"]}
    summed = sorted(line.split()[1] for line in (work / "publish/dist/SHA256SUMS").read_text().splitlines())
    expect(f"sums: SHA256SUMS lists {summed}", summed == sorted(p[5:] for p in m.downloads()) and not
           [n for n in summed if n.startswith(("apt/", "rpm/")) or n.endswith(".asc")] and len(summed) == 16)
    expect(f"sbom: lists {sorted(listed)}", sorted(listed) == sorted(
        n for n in summed if not n.endswith((".cdx.json", ".intoto.jsonl"))))
    envelope = json.loads((work / "publish/dist/classbanner-0.0.1.intoto.jsonl").read_text())
    payload, public = base64.b64decode(envelope["payload"]), serialization.load_pem_public_key(
        (work / "publish/dist/classbanner-provenance-key.pem").read_bytes())
    public.verify(base64.b64decode(envelope["signatures"][0]["sig"]), release.dsse_signed(payload))  # else it raises
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
    parts = [(p["name"], p["purl"]) for p in listed["classbanner-0.0.1-oci.tar"]["components"]]
    expect(f"sbom: the image's parts are {parts}", parts[::2] == [
        ("musl", "pkg:deb/debian/musl@1-2?arch=amd64&distro=trixie"),
        ("musl", "pkg:deb/debian/musl@1-2?arch=mipsel&distro=bookworm")])
    expect("sign: the signature and key", paths("signature") == ["dist/SHA256SUMS.asc"] and len(paths("key")) == 1)
    expect(f"repositories: {paths('apt-repository')} {paths('rpm-repository')}",
           len(paths("apt-repository")) == 6 and len(paths("rpm-repository")) == 3)
    stops("manifest: an artifact made twice", "made twice", m.add, work / "publish/dist/SHA256SUMS", "sums")
    stops("manifest: a download outside dist/", "not where", m.add, work / "publish/binaries/amd64", "deb")
    m.stage = release.sums
    stops("manifest: a kind the stage does not make", "does not declare it makes", m.add,
          work / "publish/binaries/amd64", "binary")
    stops("manifest: a kind the stage does not take", "does not declare it takes", m.find, "binary")

# The plan, checked before anything runs.
late = release.stage(takes=["sums"], makes=["key", "deb"])(lambda r: None)
late.__name__ = "late"
stops("plan: a download after sums", "late: makes a download (deb) after sums", release.check_plan,
      release.STAGES + [late])
stops("plan: a kind taken before it is made", "zips: takes exe, which no stage before it makes",
      release.check_plan, [s for s in release.STAGES if s is not release.authenticode])

# A failing step stops the release with its own cause, and a row with its tests'.
for fail, junit, want in (
        ({"sign.sh repositories": "apt-ftparchive: cannot read pool/main\n"}, PASSED,
         "repositories: apt-ftparchive: cannot read pool/main (log: "),
        ({"signed-check.sh apt": "E: no InRelease\nsigned: apt: apt-get update failed: E: no InRelease\n"}, PASSED,
         "repositories-apt-trixie: apt-get update failed: E: no InRelease (log: "),
        ({"ctest": "ctest says nothing a release reads\n"}, PASSED.replace(
            '"executable" status="run"/>', '"executable" status="fail"><system-out>' + "".join(
                f"line {n}\n" for n in range(12)) + 'FAIL linux executable: not for ARMX</system-out></testcase>'),
         "amd64-test: tests failed: executable\n" + "".join(f"  executable: line {n}\n" for n in range(5, 12))
         + "  executable: FAIL linux executable: not for ARMX (log: "),
        ({}, PASSED.replace('status="run"/></', 'status="notrun"/></'), "amd64: tests skipped: executable (log: "),
        ({"cmake --preset": "CMake Error at cmake/target.cmake:50 (message):\n  musl for amd64 is not installed\n"},
         PASSED,
         "amd64-configure: musl for amd64 is not installed (log: ")):
    with tempfile.TemporaryDirectory() as tmp:
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                release.make(fake_release(tmp, fail=fail, junit=junit), STAGES)
            faults.append(f"failure: {fail or junit} did not stop the release")
        except release.Stop as stop:
            expect(f"failure: stopped with {str(stop)!r}, not {want!r}", str(stop).startswith(want))

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
        stops(f"signing key: {name}", want, release.signing_time, f"{home}/{name}", "1000")
    made = [(line.split(b":")[5].decode(), next(f.split(b":")[9].decode() for f in gpg(
        "--with-colons", "--list-keys", "good").splitlines() if f.startswith(b"fpr:")))
        for line in gpg("--with-colons", "--list-keys", "good").splitlines() if line.startswith(b"pub:")]
    good = f"{home}/good.asc"
    expect("signing key: a key made after the commit does not sign at its making, with its fingerprint",
           [release.signing_time(good, "1000")] == made)
    expect("signing key: a key older than the commit does not sign at the commit's time",
           release.signing_time(good, "4000000000")[0] == "4000000000")

    # A previous release is taken only signed by this release's key, and only
    # as it was signed: with another key, or with a byte changed, it stops.
    with tempfile.TemporaryDirectory() as tmp:
        r, folder = fake_release(tmp), pathlib.Path(tmp) / "previous"
        folder.mkdir()
        (folder / "classbanner-signing-key.asc").write_bytes(gpg("--armor", "--export", "good"))
        (folder / "classbanner_0.0.0-1.dsc").write_text("a source package")
        (folder / "SHA256SUMS").write_text(f"{hashlib.sha256(b'a source package').hexdigest()}  "
                                           "classbanner_0.0.0-1.dsc\n")
        gpg("--local-user", "good", "--detach-sign", "--armor", "--output", f"{folder}/SHA256SUMS.asc",
            f"{folder}/SHA256SUMS")
        r.env["CLASSBANNER_PREVIOUS"] = str(folder)
        stops("previous: signed by another key", f"SHA256SUMS.asc: not signed by the key "
              f"{r.fingerprint}, but by {made[0][1]}", release.previous, r)
        r.fingerprint = made[0][1]
        (folder / "classbanner_0.0.0-1.dsc").write_text("a source packagE")
        stops("previous: a changed download", "classbanner_0.0.0-1.dsc: does not match the previous release's "
              "SHA256SUMS", release.previous, r)
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
        stops(f"provenance key: {name}", want, release.provenance_key, f"{home}/{name}")
    commit, long_ago = str(int(now.timestamp()) - 3600), str(int((now - 45 * day).timestamp()))
    for name, epoch, want in (("none.pem", commit, "no such file"), ("locked.pem", commit, "passphrase"),
                              ("curve.pem", commit, "not an RSA key"), ("bare.pem", commit, "holds no certificate"),
                              ("other.pem", commit, "not that of the first certificate, CN=leaf"),
                              ("web.pem", commit, "CN=leaf is not for code signing"),
                              ("old.pem", commit, "CN=leaf is not valid at the commit's time"),
                              ("old.pem", long_ago, "CN=leaf is not valid at now"),
                              ("good.pem", "1000", "CN=leaf is not valid at the commit's time, 1970-01-01 00:16")):
        said = stops(f"authenticode key: {name} at {epoch}", want, release.code_signing_key, f"{home}/{name}", epoch)
        expect(f"authenticode key: {said} does not name the file", (said or "").startswith(f"{home}/{name}: "))
    try:
        release.code_signing_key(f"{home}/good.pem", commit)
    except release.Stop as stop:
        faults.append(f"authenticode key: a good key and chain refused: {stop}")

for fault in faults:
    print(f"driver: {fault}")
sys.exit(1 if faults else 0)
