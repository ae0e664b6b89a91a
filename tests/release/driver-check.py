#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The release's own logic, offline, in a second: no root, no network.

    driver-check.py SOURCE_DIR

The manifest records each artifact once with its SHA-256; a row's failure is
told by the failing tests and their last lines, or configure's error; the bill
of materials lists every download of a given manifest with what its binaries
carry, the same bytes each time; the build information names each root's
release, rows and installed packages, sorted; a signing key is refused, in one line, when
missing, not a file, public, passphrase-protected or expired, and a good one
signs at the commit's time or its own making, whichever is later; an
Authenticode key file is refused, in one line naming it, when missing,
passphrase-protected, not RSA, without certificates, not the leaf's key, the leaf
not for code signing, or not valid at the commit's time. One line per fault;
exit status 1 if any.
"""
import datetime
import hashlib
import importlib
import json
import pathlib
import subprocess
import sys
import tempfile

source = pathlib.Path(sys.argv[1]).resolve()
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(source / "scripts"))
release = importlib.import_module("release")
faults = []


def expect(what, ok):
    if not ok:
        faults.append(what)


with tempfile.TemporaryDirectory() as tmp:
    work = pathlib.Path(tmp)
    (work / "dist").mkdir()
    (work / "binaries").mkdir()

    # The manifest: one entry an artifact, with its own bytes' SHA-256.
    manifest = release.Manifest(work)
    files = {"dist/classbanner_1.0.0_amd64.deb": b"deb", "dist/classbanner-1.0.0-oci.tar": b"oci",
             "dist/classbanner-1.0.0.tar.gz": b"source", "binaries/amd64": b"elf", "binaries/arm64": b"elf2"}
    for name, data in files.items():
        (work / name).write_bytes(data)
    static = [["musl", "MIT", "musl:amd64", "1.2.5-3", "musl", "1.2.5-3"]]
    manifest.add(work / "binaries/amd64", "binary", ["amd64"], root="trixie", platform="linux/amd64", static=static)
    manifest.add(work / "binaries/arm64", "binary", ["arm64"], root="trixie", platform="linux/arm64",
                 static=[["musl", "MIT", "musl:arm64", "1.2.5-3", "musl", "1.2.5-3"]])
    manifest.add(work / "dist/classbanner_1.0.0_amd64.deb", "deb", ["amd64"])
    manifest.add(work / "dist/classbanner-1.0.0-oci.tar", "oci", ["arm64", "amd64"])
    manifest.add(work / "dist/classbanner-1.0.0.tar.gz", "source", root="trixie")
    try:
        manifest.add(work / "dist/classbanner_1.0.0_amd64.deb", "deb", ["amd64"])
        faults.append("manifest: an artifact was recorded twice")
    except release.Stop as stop:
        expect(f"manifest: the second recording is not named: {stop}", "made twice" in str(stop))
    saved = json.loads((work / "manifest.json").read_text())
    expect("manifest: the file does not hold every entry", len(saved) == 5)
    deb = [item for item in saved if item["path"] == "dist/classbanner_1.0.0_amd64.deb"]
    expect("manifest: a .deb's SHA-256 is not its bytes'",
           deb and deb[0]["sha256"] == hashlib.sha256(b"deb").hexdigest())
    expect(f"manifest: downloads are {manifest.downloads()}", manifest.downloads() == sorted(
        name for name in files if name.startswith("dist/")))
    expect("manifest: find by row and root", [i["path"] for i in manifest.find("binary", root="trixie",
                                                                               rows=["arm64"])] == ["binaries/arm64"])

    # The bill of materials from that manifest, twice.
    for run in ("first", "second"):
        made = subprocess.run([sys.executable, source / "scripts/release/sbom.py", "manifest.json", "1.0.0",
                               "1765000000", f"{run}.json"], cwd=work, capture_output=True, text=True)
        expect(f"sbom: sbom.py failed: {made.stderr.strip()[-300:]}", made.returncode == 0)
    first, second = (p.read_bytes() if p.exists() else b"" for p in (work / "first.json", work / "second.json"))
    expect("sbom: two runs over one manifest differ", first == second)
    bom = json.loads(first or b"{}")
    listed = {c["name"]: c for c in bom.get("components", [])}
    expect(f"sbom: lists {sorted(listed)}", sorted(listed) == sorted(n[5:] for n in files if n.startswith("dist/")))
    oci = [(p["name"], p["purl"]) for p in listed.get("classbanner-1.0.0-oci.tar", {}).get("components", [])]
    expect(f"sbom: the image's parts are {oci}", oci == [
        ("musl", "pkg:deb/debian/musl@1.2.5-3?arch=amd64&distro=trixie"),
        ("musl", "pkg:deb/debian/musl@1.2.5-3?arch=arm64&distro=trixie")])
    expect("sbom: the source archive carries parts", "components" not in listed.get("classbanner-1.0.0.tar.gz", {}))
    hashes = listed.get("classbanner_1.0.0_amd64.deb", {}).get("hashes", [])
    expect("sbom: the .deb's SHA-256 is not the manifest's",
           hashes == [{"alg": "SHA-256", "content": deb[0]["sha256"]}])

    # The build information, from roots that answer as dpkg-query would.
    roots = {"trixie": ["ii  zlib1g:amd64 (= 1:1.3)", "rc  gone:amd64 (= 1)", "ii  apt:amd64 (= 3.0)"],
             "bookworm": ["ii  musl:mipsel (= 1.2.3)"]}
    r = release.Release.__new__(release.Release)
    r.version, r.source, r.first, r.releases = "1.0.0", "classbanner-1.0.0", "trixie", ["trixie", "bookworm"]
    r.targets, r.publish, r.manifest = ["amd64", "arm64", "mipsel"], work, manifest
    r.root = lambda name: work / name
    release.git = lambda *args: "0" * 40  # no clone needed: the source archive runs this too
    r.in_root = lambda name, *_, **__: subprocess.CompletedProcess([], 0, "\n".join(roots[name]) + "\n")
    for name, version in (("trixie", "13.1"), ("bookworm", "12.11")):
        (work / name / "etc").mkdir(parents=True)
        (work / name / "etc/debian_version").write_text(version + "\n")
    release.buildinfo(r)
    info = (work / "dist/classbanner-1.0.0.buildinfo").read_text()
    head, trixie, bookworm = (info.split("\n\n") + ["", ""])[:3]
    expect(f"buildinfo: the source line is not the archive's: {head}",
           f"\n {hashlib.sha256(b'source').hexdigest()} 6 classbanner-1.0.0.tar.gz\n" in head)
    expect(f"buildinfo: Debian 13's root reads {trixie!r}", trixie == "Root: trixie\nDebian-Version: 13.1\n"
           "Targets: amd64 arm64\nInstalled-Packages:\n apt:amd64 (= 3.0)\n zlib1g:amd64 (= 1:1.3)")
    expect(f"buildinfo: Debian 12's root reads {bookworm!r}", bookworm == "Root: bookworm\nDebian-Version: 12.11\n"
           "Targets: (the source archive)\nInstalled-Packages:\n musl:mipsel (= 1.2.3)\n")

    # A row's failure, as its log tells it.
    log = work / "row.log"
    log.write_text("""Executing workflow step 3 of 4: test preset "target"

Test project /build/classbanner-1.0.0/build/target-armhf
      Start  1: output
 1/3 Test  #1: output ...........................   Passed    0.30 sec
      Start  2: executable
 2/3 Test  #2: executable .......................***Failed    0.02 sec
a line from long before
""" + "".join(f"line {n}\n" for n in range(1, 12)) + """FAIL linux executable: not for ARMX

      Start  3: install
 3/3 Test  #3: install ..........................   Passed    0.40 sec

67% tests passed, 1 tests failed out of 3

The following tests FAILED:
\t  2 - executable (Failed)
""")
    told = release.why(log).splitlines()
    expect(f"why: the first line is {told[:1]}", told[:1] == ["tests failed: executable"])
    expect(f"why: the last lines are {told[1:]}", len(told) == 9 and told[-1] == "  executable: FAIL linux executable:"
           " not for ARMX" and "long before" not in "".join(told))
    log.write_text('Executing workflow step 1 of 4: configure preset "target"\n\nCMake Error at cmake/target.cmake:50'
                   ' (message):\n  musl for armhf is not installed\n')
    expect(f"why: configure says {release.why(log)}",
           release.why(log) == "configure stopped: musl for armhf is not installed")

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
        try:
            faults.append(f"signing key: {name} accepted, to sign at {release.signing_time(f'{home}/{name}', '1000')}")
        except release.Stop as stop:
            expect(f"signing key: {name} refused with \"{stop}\", not one line saying \"{want}\"",
                   want in str(stop) and "\n" not in str(stop))
    made = [line.split(b":")[5].decode() for line in gpg("--with-colons", "--list-keys", "good").splitlines()
            if line.startswith(b"pub:")]
    good = f"{home}/good.asc"
    expect("signing key: a key made after the commit does not sign at its making",
           [release.signing_time(good, "1000")] == made)
    expect("signing key: a key older than the commit does not sign at the commit's time",
           release.signing_time(good, "4000000000") == "4000000000")
    subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])

# The Authenticode keys: a throwaway CA's code-signing certificates, made here.
with tempfile.TemporaryDirectory() as home:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
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
    commit = str(int(now.timestamp()) - 3600)
    for name, epoch, want in (("none.pem", commit, "no such file"), ("locked.pem", commit, "passphrase"),
                              ("curve.pem", commit, "not an RSA key"), ("bare.pem", commit, "holds no certificate"),
                              ("other.pem", commit, "not that of the first certificate, CN=leaf"),
                              ("web.pem", commit, "CN=leaf is not for code signing"),
                              ("old.pem", commit, "CN=leaf is not valid at the commit's time"),
                              ("good.pem", "1000", "CN=leaf is not valid at the commit's time, 1970-01-01 00:16")):
        try:
            release.code_signing_key(f"{home}/{name}", epoch)
            faults.append(f"authenticode key: {name} accepted at {epoch}")
        except release.Stop as stop:
            expect(f"authenticode key: {name} refused with \"{stop}\", not one line saying \"{want}\"",
                   want in str(stop) and "\n" not in str(stop) and str(stop).startswith(f"{home}/{name}: "))
    try:
        release.code_signing_key(f"{home}/good.pem", commit)
    except release.Stop as stop:
        faults.append(f"authenticode key: a good key and chain refused: {stop}")

for fault in faults:
    print(f"driver: {fault}")
sys.exit(1 if faults else 0)
