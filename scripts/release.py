#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make a release: build and test every row of cmake/targets.txt (or each
TARGET) in a clean root of the Debian release it names, and gather the
downloads into dist/, signed with the OpenPGP key in $CLASSBANNER_SIGNING_KEY
if set, the Windows files with the Authenticode key and chain in
$CLASSBANNER_AUTHENTICODE_KEY or the signatures in $CLASSBANNER_AUTHENTICODE_SIGNATURES,
its provenance with the Ed25519 key in $CLASSBANNER_PROVENANCE_KEY:

    scripts/release.py [TARGET...]

The STAGES run in order. Each declares the kinds of artifact (KINDS) it takes
and makes, which are checked before anything runs, and records what it makes
in the manifest, which later ones read, in the work folder (the first root's
/build/publish). Each step writes a log of its own. dist/ is replaced once all
have passed; a failure stops it in a line saying why, from that step's log.
"""
import base64
import dataclasses
import glob
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import xml.etree.ElementTree as ElementTree
from datetime import datetime, timezone

TOP = pathlib.Path(__file__).resolve().parent.parent
TOOLS = TOP / "scripts" / "release"
AS_ROOT = [] if os.getuid() == 0 else ["unshare", "--map-auto", "--map-root-user"]


class Stop(Exception):
    """A stage failed: the line, and any lines below it, that say why."""


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


WHO = ["release"]  # whose lines these are: a release's, or a rebuild's (verify.py's)


def say(stage, text):
    print(f"{WHO[0]}: {stage:<12} {text}", flush=True)


@dataclasses.dataclass(frozen=True)
class Kind:
    """A kind of artifact: the folder of the work folder it is made in (dist/
    is published), whether it is a download (in SHA256SUMS and the bill of
    materials), and the fields it records beside its path and SHA-256."""
    folder: str = "dist"
    download: bool = True
    records: tuple = ()


PACKAGE = ("rows", "root")
KINDS = {
    "binary": Kind("binaries", False, ("rows", "root", "platform", "static")),
    "exe": Kind("windows", False, ("rows",)),  # as it ships: signed, when the release signs
    "zip-layout": Kind("scratch", False, PACKAGE),  # CPack's .zip, around the unsigned .exe
    "detached-signature": Kind("signatures", False),
    "tar.gz": Kind(records=PACKAGE), "rpm": Kind(records=PACKAGE), "deb": Kind(records=PACKAGE),
    "zip": Kind(records=("rows",)), "msi": Kind(records=PACKAGE), "oci": Kind(records=("rows",)),
    "source": Kind(records=("root",)), "debian-source": Kind(), "buildinfo": Kind(), "sbom": Kind(),
    "statement": Kind("scratch", False), "provenance": Kind(), "provenance-key": Kind(download=False),
    "sums": Kind(download=False), "signature": Kind(download=False), "key": Kind(download=False),
    "apt-repository": Kind(download=False), "rpm-repository": Kind(download=False),
    # The previous release's repositories and MSIs, checked, which this one continues
    "previous": Kind("previous", False, ("version", "debian", "rows")),
}
DOWNLOADS = tuple(name for name, kind in KINDS.items() if kind.download)


def stage(takes=(), makes=()):
    """Declare what a stage takes and makes, as kinds of artifact."""
    def declare(run):
        run.takes, run.makes = tuple(takes), tuple(makes)
        return run
    return declare


def check_plan(stages):
    """Stop, before anything runs, at a stage that takes a kind no earlier
    stage makes, or makes a download once SHA256SUMS is written."""
    made, summed = set(), None
    for s in stages:
        for kind in s.takes:
            if kind not in made:
                raise Stop(f"{s.__name__}: takes {kind}, which no stage before it makes")
        for kind in (kind for kind in s.makes if summed and KINDS[kind].download):
            raise Stop(f"{s.__name__}: makes a download ({kind}) after {summed}, whose SHA256SUMS would not cover it")
        made |= set(s.makes)
        summed = summed or ("sums" in s.makes and s.__name__)


class Manifest:
    """Every artifact, once, with its kind, what the kind records and its
    SHA-256. While a stage runs, it may add only the kinds it declares it
    makes, and find only those it takes or makes."""

    def __init__(self, folder):
        self.folder, self.items, self.stage = folder, [], None

    def add(self, path, kind, **fields):
        name, doing = str(path.relative_to(self.folder)), self.stage
        if doing and kind not in doing.makes:
            raise Stop(f"{doing.__name__}: made {name}, a {kind}, which it does not declare it makes")
        if kind not in KINDS or not name.startswith(KINDS[kind].folder + "/") or set(fields) - set(KINDS[kind].records):
            raise Stop(f"{name}: not where, or not what, a {kind} is ({KINDS.get(kind)}); it records {sorted(fields)}")
        if self.find(path=name):
            raise Stop(f"{kind}: {name} is made twice")
        self.items.append({"path": name, "kind": kind, "download": KINDS[kind].download, "sha256": sha256(path),
                           **fields})
        self.save()

    def save(self):
        (self.folder / "manifest.json").write_text(json.dumps(self.items, indent=1) + "\n")

    def find(self, kind=None, **match):
        if self.stage and kind and kind not in self.stage.takes + self.stage.makes:
            raise Stop(f"{self.stage.__name__}: reads {kind}, which it does not declare it takes")
        return [item for item in self.items if kind in (None, item["kind"])
                and all(item.get(key) == value for key, value in match.items())]

    def downloads(self):
        return sorted(item["path"] for item in self.items if item["download"])


def first_fault(log, who=None):
    """The first line a tool (WHO) said of a fault, else the log's last line."""
    lines = [line for line in log.read_text(errors="replace").splitlines() if line.strip()]
    said = [line[len(who) + 2:] for line in lines if who and line.startswith(f"{who}: ")]
    return (said or lines or ["no output"])[0 if said else -1]


def cmake_fault(log):
    """The first error CMake or the compiler said, else the log's last line."""
    found = re.search(r"^CMake Error.*\n *(.*)|^(.*error.*)$", log.read_text(errors="replace"), re.M | re.I)
    return (found.group(1) or found.group(2)) if found else first_fault(log)


def tests(junit):
    """ctest's JUnit report: each test's name, and its status (run, fail,
    notrun) and output."""
    return {case.get("name"): (case.get("status"), case.findtext("system-out") or "")
            for case in ElementTree.parse(junit).iter("testcase")} if junit.exists() else {}


def tests_failed(junit):
    """The tests that failed, and the last lines each printed."""
    failed = {name: output for name, (status, output) in tests(junit).items() if status == "fail"}
    return "\n".join([f"tests failed: {' '.join(failed) or '(no report)'}"] + [
        line for name, output in failed.items() for line in [f"  {name}: {o}" for o in output.splitlines()
                                                             if o.strip()][-8:]])


def paragraphs(text):
    """Debian's control-file form (static-parts.sh's, apt's indexes): a dict a
    paragraph, its fields named as Python names them (source_version), a
    field's continuation lines joined to it, each on a line of its own."""
    found = []
    for block in (block for block in text.split("\n\n") if block.strip()):
        fields, key = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t"):
                fields[key] += "\n" + line.strip()
            else:
                key, value = line.split(":", 1)
                key = key.lower().replace("-", "_")
                fields[key] = value.strip()
        found.append(fields)
    return found


def readable(path):
    for fault, why in ((not os.path.exists(path), "no such file"), (not os.path.isfile(path), "not a file"),
                       (not os.access(path, os.R_OK), "cannot be read")):
        if fault:
            raise Stop(f"{path}: {why}")


def signing_time(key, epoch):
    """When the OpenPGP key in the file KEY signs: at the commit's time EPOCH,
    or at its making if later, as it cannot sign before it exists; and its
    fingerprint, as gpg gives it. Stops unless the file holds one secret key,
    without a passphrase, that can sign and has not expired. The key is only
    shown, never imported."""
    readable(key)
    with tempfile.TemporaryDirectory() as home:
        gpg = ["gpg", "--batch", "--homedir", home]
        shown = subprocess.run(gpg + ["--with-colons", "--show-keys", key], capture_output=True, text=True)
        packets = subprocess.run(gpg + ["--list-packets", key], capture_output=True, text=True).stdout
        subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])
    records = [line.split(":") for line in shown.stdout.splitlines()]
    keys = [k for k in records if k[0] in ("sec", "ssb", "pub")]
    if shown.returncode or not keys:
        raise Stop(f"{key}: holds no OpenPGP key")
    if [k[0] for k in keys].count("sec") != 1:
        raise Stop(f"{key}: holds no secret key, or more than one (want one, as gpg --export-secret-keys --armor "
                   "writes it)")
    if "protected" in packets:
        raise Stop(f"{key}: is protected by a passphrase; a release signs unattended")
    why, times = "has no key that can sign", []
    for k in (k for k in keys if k[0] != "pub" and "s" in k[11]):
        if k[6] and int(k[6]) <= time.time():
            why = f"expired on {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime(int(k[6])))}"
        else:
            times.append(max(int(k[5]), int(epoch)))
    if not times:
        raise Stop(f"{key}: {why}")
    return str(min(times)), next(k[9] for k in records if k[0] == "fpr")


def code_signing_key(path, epoch):
    """Stops unless the file PATH holds an RSA private key without a passphrase
    and its certificates, leaf first, PEM: the leaf the key's and for code
    signing, and each valid at the commit's time EPOCH and now. (Other kinds of
    key sign differently each time: the release would not be reproducible.)"""
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


def purl(package, arch, version, release):
    """A Debian package's package URL, as scanners name it."""
    def quote(text):
        return urllib.parse.quote(text, safe=".-_~")
    return f"pkg:deb/debian/{quote(package)}@{quote(version)}?arch={arch}&distro={release}"


IN_TOTO = "application/vnd.in-toto+json"


def dsse_signed(payload):
    """What a DSSE envelope's signature signs: its pre-authentication encoding."""
    return b"DSSEv1 %d %s %d %s" % (len(IN_TOTO), IN_TOTO.encode(), len(payload), payload)


def signed_by(fingerprint, key, signature, data=None):
    """The text that SIGNATURE (detached over the file DATA, or inline) signs,
    once gpgv has verified it with the public key file KEY. Stops unless the
    key that signed it is FINGERPRINT's."""
    with tempfile.TemporaryDirectory() as home:
        keyring = pathlib.Path(home) / "key.gpg"
        keyring.write_bytes(subprocess.run(["gpg", "--dearmor"], input=key.read_bytes(), capture_output=True).stdout)
        done = subprocess.run(["gpgv", "--homedir", home, "--keyring", keyring, "--status-fd", "2", "--output", "-",
                               signature] + ([data] if data else []), capture_output=True, text=True)
    signers = re.findall(r"^\[GNUPG:\] VALIDSIG .* ([0-9A-F]{40})$", done.stderr, re.M)
    if done.returncode or fingerprint not in signers:
        said = [line for line in done.stderr.splitlines() if line.startswith("gpgv: ")][-1:] or ["no signature"]
        raise Stop(f"{signature}: not signed by the key {fingerprint}"
                   + (f", but by {signers[0]}" if signers else f" ({said[0]})"))
    return done.stdout


def held(folder, fingerprint, key):
    """Every package the repositories in FOLDER (a release's apt/ and rpm/)
    hold, with its SHA-256, from their indexes, each checked against the
    signed metadata that lists it."""
    files, apt, rpm = {}, folder / "apt", folder / "rpm"

    def listed(path, digest):
        if not path.is_file() or sha256(path) != digest:
            raise Stop(f"{path}: does not match the signed index that lists it")
        return path

    signed = signed_by(fingerprint, key, apt / "dists/stable/InRelease")
    for digest, name in re.findall(r"^ ([0-9a-f]{64}) +\d+ (\S+/(?:Packages|Sources))$",
                                   signed.split("\nSHA256:\n", 1)[-1], re.M):
        for p in paragraphs(listed(apt / "dists/stable" / name, digest).read_text()):
            for file_digest, file in ([(p["sha256"], p["filename"])] if "filename" in p else [
                    (line.split()[0], f"{p['directory']}/{line.split()[2]}")
                    for line in p["checksums_sha256"].splitlines() if line]):
                files[f"apt/{file}"] = file_digest
    signed_by(fingerprint, key, rpm / "repodata/repomd.xml.asc", rpm / "repodata/repomd.xml")
    repo, common = "{http://linux.duke.edu/metadata/repo}", "{http://linux.duke.edu/metadata/common}"
    primary = next(d for d in ElementTree.parse(rpm / "repodata/repomd.xml").iter(f"{repo}data")
                   if d.get("type") == "primary")
    index = listed(rpm / primary.find(f"{repo}location").get("href"), primary.findtext(f"{repo}checksum"))
    for package in ElementTree.fromstring(run("zstd", "-dcq", "--format=" + {".gz": "gzip", ".zst": "zstd"}[
            index.suffix], index)).iter(f"{common}package"):
        files[f"rpm/{package.find(f'{common}location').get('href')}"] = package.findtext(f"{common}checksum")
    for path in sorted(p for p in list((apt / "pool").rglob("*")) + list(rpm.glob("*.rpm")) if p.is_file()):
        if str(path.relative_to(folder)) not in files:
            raise Stop(f"{path}: is in no signed index of its repository")
    for name, digest in files.items():
        listed(folder / name, digest)
    return files


def mirror(env):
    """$CLASSBANNER_MIRROR, else the first Debian archive this machine's apt
    reads (not the security archive, whose suites are named otherwise)."""
    uris = env.get("CLASSBANNER_MIRROR", "").split()
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        uris += [u for line in re.findall(r"^URIs: *(.*)$", pathlib.Path(path).read_text(), re.M) for u in line.split()]
    for path in glob.glob("/etc/apt/sources.list") + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        for fields in (line.split() for line in pathlib.Path(path).read_text().splitlines()):
            uris += [field for field in fields[1:] if fields[0] == "deb" and re.match(r"[a-z+]+:", field)][:1]
    return next((uri for uri in uris if "security" not in uri.lower()), None)


class Roots:
    """The clean roots: each unpacked from its tarball into the work folder on
    first use, with the commit's git bundle in /build; and commands run in
    them, in NAMESPACES of their own."""

    def __init__(self, work, namespaces):
        self.work, self.namespaces, self.tarballs, self.unpacked = work, namespaces, {}, []

    def unpack(self, release):
        root = self.work / f"root-{release}"
        if root not in self.unpacked:
            self.unpacked.append(root)
            root.mkdir()
            subprocess.run(AS_ROOT + ["tar", "-xf", self.tarballs[release], "-C", root, "--numeric-owner",
                                      "--exclude=./dev/*"], check=True)
            (root / "build").mkdir()
            if (self.work / "source.bundle").exists():  # a rebuild from a source archive has none
                shutil.copy(self.work / "source.bundle", root / "build")
        return root

    def run(self, root, folder, command, stdout, stdin=None, namespaces=None):
        """COMMAND, an argument list, in ROOT, in FOLDER under /build: its
        output to STDOUT (a log, with its errors, or a pipe, without)."""
        namespaces = namespaces or self.namespaces
        userns = "yes" if "--user" in namespaces else "no"
        return subprocess.run(["unshare", *namespaces, TOOLS / "enter-root.sh", root, userns, f"/build/{folder}",
                               *command], stdin=stdin or subprocess.DEVNULL, stdout=stdout, text=True,
                              stderr=subprocess.PIPE if stdout == subprocess.PIPE else subprocess.STDOUT)

    def remove(self, root):
        subprocess.run(AS_ROOT + ["rm", "-rf", root])


class Release:
    """A release, from what it is given alone: the table's ROWS (name: columns),
    the TARGETS asked for (else all), the program's and the Debian package's
    versions, the COMMIT and its time EPOCH, this machine's architecture
    NATIVE, the environment ENV and the ROOTS it runs commands in."""

    def __init__(self, rows, targets, version, debian, commit, epoch, native, env, roots):
        for target in targets:
            if target not in rows:
                raise Stop(f"{target}: no such row in cmake/targets.txt")
        # In the table's order, however given: the provenance lists them.
        self.rows, self.targets = rows, [t for t in rows if t in targets or not targets]
        if not debian.startswith(f"{version}-"):
            raise Stop(f"debian/changelog is for {debian}, not for {version}")
        # The source is packed in the first row's release; then each release in turn.
        self.first = next(iter(rows.values()))["debian"]
        self.releases = list(dict.fromkeys([self.first] + [rows[t]["debian"] for t in self.targets]))
        self.version, self.debian, self.commit, self.epoch, self.native = version, debian, commit, epoch, native
        self.source, self.env, self.roots = f"classbanner-{version}", env, roots
        self.work = roots.work
        self.publish = self.work / "publish"
        self.manifest = Manifest(self.publish)
        self.key, self.sign_at, self.fingerprint = env.get("CLASSBANNER_SIGNING_KEY"), None, None
        self.code_key = env.get("CLASSBANNER_AUTHENTICODE_KEY")
        self.signatures = env.get("CLASSBANNER_AUTHENTICODE_SIGNATURES")
        self.signs_windows = bool(self.code_key or self.signatures)
        self.provenance_key = env.get("CLASSBANNER_PROVENANCE_KEY")
        self.windows = [t for t in self.targets if rows[t]["system"] == "windows"]

    def log(self, name):
        return self.work / f"{name}.log"

    def root(self, release):
        """RELEASE's root; the first holds the work folder, as /build/publish."""
        root = self.roots.unpack(release)
        if release == self.first and not self.publish.is_symlink():
            self.publish.rename(root / "build" / "publish")
            self.publish.symlink_to(root / "build" / "publish")
        return root

    def step(self, name, release, folder, *command, who=None, fault=None, stdin=None, namespaces=None):
        """One step, named NAME: COMMAND in RELEASE's root, in FOLDER under
        /build, its output into its own log, NAME.log. If it fails, stop with
        what FAULT reads in the log, else the first line the tool (WHO) said."""
        log = self.log(name)
        if log.exists():
            raise Stop(f"{name}: a second step of that name, whose log would mix with the first's")
        with open(log, "w") as out:
            done = self.roots.run(self.root(release), folder, command, out, stdin, namespaces)
        if done.returncode:
            raise Stop(f"{name}: {fault(log) if fault else first_fault(log, who or name)} (log: {log})")

    def query(self, release, folder, *command):
        """What COMMAND, run in RELEASE's root, writes: data, read as it is."""
        done = self.roots.run(self.root(release), folder, command, subprocess.PIPE)
        if done.returncode:
            raise Stop(f"{command[0]} failed in the {release} root: {done.stderr.strip()[-300:]}")
        return done.stdout

    def check(self, name, tool, *args, who=None, stdin=None, release=None):
        """A step that runs TOOL (a path in the source) in the work folder."""
        self.step(name, release or self.first, "publish", f"../{self.source}/{tool}", *args, who=who, stdin=stdin)

    def authenticode(self, path, out):
        """Sign the Windows file PATH into OUT (in the work folder), with the
        key or a detached signature, and check it; unsigned, copy it. PATH is
        kept as unsigned/NAME, OUT's name, for a maintainer to sign elsewhere."""
        name = pathlib.Path(out).name
        unsigned, tool, step = f"unsigned/{name}", "scripts/release/authenticode.py", f"authenticode-{name}"
        shutil.copy(self.publish / path, self.publish / unsigned)
        before = sha256(self.publish / unsigned)
        if self.code_key:
            with open(self.code_key) as key:  # on standard input only
                self.check(step, tool, "key", self.epoch, unsigned, out, f"signatures/{name}.sig", who="authenticode",
                           stdin=key)
            self.manifest.add(self.publish / f"signatures/{name}.sig", "detached-signature")
        elif self.signatures:
            signature = pathlib.Path(self.signatures) / f"{name}.sig"
            if not signature.is_file():
                raise Stop(f"authenticode: no {signature}: sign build/release-work/{unsigned} (sha256 {before}) and "
                           "detach its signature as that file")
            shutil.copy(signature, self.publish / "signatures")
            self.check(step, tool, "attach", f"signatures/{name}.sig", unsigned, out, who="authenticode")
        else:
            shutil.copy(self.publish / unsigned, self.publish / out)
        say("authenticode", f"{name}: signed and checked; before signing, sha256 {before}"
            if self.signs_windows else f"{name}: unsigned, sha256 {before}")


def root_cache(env):
    """Where roots are cached: $CLASSBANNER_ROOTS, else ~/.cache/classbanner/roots."""
    return pathlib.Path(env.get("CLASSBANNER_ROOTS") or pathlib.Path(
        env.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "classbanner" / "roots")


def installed(tarball):
    """The packages a root tarball holds, as the .buildinfo lists them
    ("name:arch (= version)"), read once from its dpkg status and kept beside it."""
    listing = tarball.with_suffix(".packages")
    if not listing.exists():
        status = paragraphs(run("tar", "-xOf", tarball, "./var/lib/dpkg/status"))
        listing.write_text("".join(f"{line}\n" for line in sorted(
            (f"{p['package']}:{p['architecture']} (= {p['version']})" for p in status
             if p.get("status") == "install ok installed"), key=str.encode)))
    return listing.read_text().splitlines()


def pinned(line):
    """A package as the .buildinfo lists it, as apt and mmdebstrap name it
    with its version: name:arch=version (arch all: name=version)."""
    name, arch, version = re.fullmatch(r"(\S+):(\S+) \(= (.*)\)", line).groups()
    return f"{name}={version}" if arch == "all" else f"{name}:{arch}={version}"


def fetch(release, wanted, source, folder, native):
    """Into FOLDER, the .deb file of each package WANTED (the .buildinfo's
    lines) in RELEASE, that version exactly: from SOURCE, a Debian mirror's
    URL (checked by apt with Debian's archive key) or a folder of .deb files.
    Stops in one line naming a package and version it cannot get."""
    folder.mkdir(parents=True, exist_ok=True)
    if os.path.isdir(source):
        have = {}
        for deb in pathlib.Path(source).glob("*.deb"):
            c = paragraphs(run("dpkg-deb", "-f", deb, "Package", "Architecture", "Version"))[0]
            have[f"{c['package']}:{c['architecture']} (= {c['version']})"] = deb
        for line in wanted:
            if line not in have:
                raise Stop(f"{release} root: {line}: no such .deb in {source}")
            if not (folder / have[line].name).exists():
                shutil.copy(have[line], folder)
        return
    apt = folder / "apt"
    for sub in ("lists/partial", "archives/partial", "parts"):
        (apt / sub).mkdir(parents=True, exist_ok=True)
    (apt / "status").write_text("")
    (apt / "sources.list").write_text(f"deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] {source} "
                                      f"{release} main\n")
    architectures = [native] + sorted({line.split()[0].split(":")[1] for line in wanted} - {native, "all"})
    options = [f"-oDir::{key}={value}" for key, value in (
        ("Etc::SourceList", apt / "sources.list"), ("Etc::SourceParts", apt / "parts"), ("State", apt),
        ("State::status", apt / "status"), ("Cache", apt), ("Etc::Preferences", "/dev/null"),
        ("Etc::PreferencesParts", apt / "parts"))] + [
        f"-oAPT::Architectures={','.join(architectures)}", "-oAcquire::Check-Valid-Until=false",  # a snapshot's
        "-oDebug::NoLocking=true", "-oAPT::Sandbox::User=root"]
    for command in (["update"], ["download", *map(pinned, wanted)]):
        done = subprocess.run(["apt-get", "-q", *options, *command], cwd=folder, capture_output=True, text=True)
        said = [line[3:] for line in done.stderr.splitlines() if line.startswith("E: ")]
        if done.returncode or said:
            raise Stop(f"{release} root: {(said or [done.stderr.strip()[-200:]])[0]}, on {source}")
    shutil.rmtree(apt)


def index(folder, suite=None):
    """The Packages index of the .deb files in FOLDER: a repository apt reads;
    with a Release naming SUITE, for mmdebstrap, which takes the essential
    packages only from the suite it is asked for."""
    entries = []
    for deb in sorted(folder.glob("*.deb"), key=lambda p: p.name.encode()):
        data = deb.read_bytes()
        entries.append(run("dpkg-deb", "-f", deb).rstrip("\n") + f"\nFilename: ./{deb.name}\nSize: {len(data)}\n"
                       f"SHA256: {hashlib.sha256(data).hexdigest()}\n")
    (folder / "Packages").write_text("\n".join(entries))
    if suite:
        packages = (folder / "Packages").read_bytes()
        (folder / "Release").write_text(f"Suite: {suite}\nCodename: {suite}\nSHA256:\n"
                                        f" {hashlib.sha256(packages).hexdigest()} {len(packages)} Packages\n")


def mmdebstrap(release, tarball, architectures, packages, mirror, log):
    """A clean root of RELEASE into TARBALL, of apt and PACKAGES, from MIRROR."""
    with open(log, "w") as out:
        made = subprocess.run(
            ["mmdebstrap", f"--mode={'unshare' if AS_ROOT else 'root'}", "--variant=apt", "--format=tar",
             "--components=main", "--aptopt=APT::Install-Recommends \"false\"",
             f"--architectures={','.join(architectures)}", f"--include={','.join(packages)}",
             release, f"{tarball}.part", mirror], stdout=out, stderr=out)
    if made.returncode:
        raise Stop(f"root: mmdebstrap {release} failed (log: {log})")
    os.rename(f"{tarball}.part", tarball)
    installed(tarball)


@stage()
def roots(r):
    """Out: a clean root tarball for each release (no artifact), holding what
    all its rows need (and the first's what publishing needs), cached under
    $CLASSBANNER_ROOTS (~/.cache/classbanner/roots) by mirror and packages.
    With $CLASSBANNER_KEEP_INPUTS, a folder: every .deb the roots hold, there,
    with its Packages index, for a rebuild with no mirror."""
    cache, url, keep = root_cache(r.env), mirror(r.env), r.env.get("CLASSBANNER_KEEP_INPUTS")
    if not url:
        raise Stop("no Debian mirror in this machine's apt configuration")
    for release in r.releases:
        groups = ["build", "publish"][:2 if release == r.first else 1]
        rows = [name for name, row in r.rows.items() if row["debian"] == release]
        lists = run(TOP / "scripts/prerequisites.sh", "--list", *groups, *rows)  # foreign architectures; packages
        key = hashlib.sha256(f"{url}\n{lists}".encode()).hexdigest()[:16]
        tarball = cache / f"{release}-{key}.tar"
        if not tarball.exists():
            foreign, packages = lists.split("\n")[:2]
            log, start = r.log(f"mmdebstrap-{release}"), time.time()
            say("root", f"{release}: making it with mmdebstrap, {len(packages.split())} packages from {url}; minutes "
                f"the first time, cached after (log: {log})")
            cache.mkdir(parents=True, exist_ok=True)
            for older in [*cache.glob(f"{release}-*.tar"), *cache.glob(f"{release}-*.packages")]:
                older.unlink()
            mmdebstrap(release, tarball, [r.native] + foreign.split(), packages.split(), url, log)
            took = int(time.time() - start)
            say("root", f"{release}: made in {took // 60} min {took % 60} s")
        r.roots.tarballs[release] = tarball
        # A cached root's packages are those of the day it was made, not the mirror's of today.
        made = datetime.fromtimestamp(tarball.stat().st_mtime, timezone.utc)
        say("root", f"{release}, {tarball.name}, made on {made:%Y-%m-%d}, with that day's packages")
        if keep:
            fetch(release, installed(tarball), url, pathlib.Path(keep).resolve(), r.native)
    if keep:
        debs = list(pathlib.Path(keep).resolve().glob("*.deb"))
        index(pathlib.Path(keep).resolve())
        say("root", f"{keep}: the roots' {len(debs)} packages kept, "
            f"{sum(p.stat().st_size for p in debs) / 2**30:.1f} GiB, with their Packages index")


@stage(makes=["previous"])
def previous(r):
    """In: $CLASSBANNER_PREVIOUS, the previous release's published folder (its
    dist/). Out: its repositories and MSIs, before anything is built, once
    checked: SHA256SUMS.asc signed by the key this release signs with, every
    download there against SHA256SUMS, every package its repositories hold
    (every earlier version's) against their signed indexes."""
    folder = r.env.get("CLASSBANNER_PREVIOUS")
    if not folder:
        return
    folder = pathlib.Path(folder).resolve()
    if not r.fingerprint:
        raise Stop("CLASSBANNER_PREVIOUS: needs CLASSBANNER_SIGNING_KEY, the key that signed the previous release")
    key = folder / "classbanner-signing-key.asc"
    for name in ("SHA256SUMS", "SHA256SUMS.asc", key.name):
        readable(folder / name)
    signed_by(r.fingerprint, key, folder / "SHA256SUMS.asc", folder / "SHA256SUMS")
    sums = dict(reversed(line.split("  ", 1)) for line in (folder / "SHA256SUMS").read_text().splitlines())
    for name, digest in sums.items():
        if (folder / name).exists() and sha256(folder / name) != digest:
            raise Stop(f"{folder / name}: does not match the previous release's SHA256SUMS")
    version = next((m.group(1) for n in sums for m in [re.fullmatch(r"classbanner-([0-9][^-]*)\.tar\.gz", n)] if m),
                   None)
    debian = next((n[len("classbanner_"):-len(".dsc")] for n in sums if re.fullmatch(r"classbanner_.*\.dsc", n)), None)
    if not (version and debian):
        raise Stop(f"{folder}/SHA256SUMS: lists no source archive or no .dsc: not a release's folder")
    if subprocess.run(["dpkg", "--compare-versions", debian, "lt", r.debian]).returncode:
        raise Stop(f"{folder}: is version {debian}, not older than this release's {r.debian}")
    packages = held(folder, r.fingerprint, key)
    for kind in ("apt", "rpm"):
        shutil.copytree(folder / kind, r.publish / "previous" / kind)
    for row in r.windows:
        if f"classbanner-{version}-{row}.msi" in sums:
            shutil.copy(folder / f"classbanner-{version}-{row}.msi", r.publish / "previous")
    for path in sorted(p for p in (r.publish / "previous").rglob("*") if p.is_file()):
        row = re.fullmatch(rf"classbanner-{re.escape(version)}-(.*)\.msi", path.name)
        r.manifest.add(path, "previous", version=version, debian=debian, rows=[row.group(1)] if row else [])
    say("previous", f"{debian}, signed by {r.fingerprint}: {len(sums)} downloads and {len(packages)} packages "
        "of its repositories checked")


@stage(makes=["source"])
def source(r):
    """Out: the source archive, the committed tree packed in the first root,
    with the commit's time for the package stamps, where git is not."""
    dist = f"../publish/dist/{r.source}.tar"
    r.step("source-clone", r.first, ".", "git", "clone", "-q", "source.bundle", "git")
    r.step("source-archive", r.first, "git", "git", "archive", "--format=tar", f"--prefix={r.source}/",
           f"--output={dist}", f"--add-virtual-file={r.source}/SOURCE_DATE_EPOCH:{r.epoch}\n", "HEAD")
    r.step("source-gzip", r.first, "publish/dist", "gzip", "-9", "-n", f"{r.source}.tar")
    r.manifest.add(r.publish / "dist" / f"{r.source}.tar.gz", "source", root=r.first)
    say("source", f"dist/{r.source}.tar.gz")


@stage(takes=["source"], makes=["binary", "tar.gz", "rpm", "deb", "zip-layout"])
def rows(r):
    """In: the source archive. Out: each row's packages, built and tested in
    its release's root, and its binary, with what it carries statically."""
    archive = r.manifest.find("source")[0]["path"]
    for release in r.releases:
        shutil.copy(r.publish / archive, r.root(release) / "build")
        r.step(f"unpack-{release}", release, ".", "tar", "-xzf", f"{r.source}.tar.gz")
        for target in [t for t in r.targets if r.rows[t]["debian"] == release]:
            build_row(r, release, target)


def build_row(r, release, target):
    """One row, configured, built, tested and packed in its release's root, a
    step each (as the target workflow would); then its .deb, by Debian's tools."""
    row, out = r.rows[target], r.root(release) / "build" / r.source / "build" / f"target-{target}"
    junit, cmake = out / "junit.xml", ["env", f"CLASSBANNER_TARGET={target}"]
    for name, command, fault in (("configure", ["cmake", "--preset", "target"], cmake_fault),
                                 ("build", ["cmake", "--build", "--preset", "target"], cmake_fault),
                                 ("test", ["ctest", "--preset", "target", "--output-junit", "junit.xml"],
                                  lambda log: tests_failed(junit)),
                                 ("package", ["cpack", "--preset", "target"], cmake_fault)):
        r.step(f"{target}-{name}", release, r.source, *cmake, *command, fault=fault)
    ran = tests(junit)
    skipped = [name for name, (status, _) in ran.items() if status != "run"]
    if skipped or not ran:
        raise Stop(f"{target}: tests skipped: {' '.join(skipped) or 'all'} (log: {r.log(target + '-test')})")
    parts = paragraphs(r.query(release, r.source, "scripts/release/static-parts.sh", target))
    binary = r.publish / "binaries" / target
    shutil.copy(out / ("classbanner.exe" if row["system"] == "windows" else "classbanner"), binary)
    r.manifest.add(binary, "binary", rows=[target], root=release, platform=row["image"], static=parts)
    made = {rf"{r.source}-linux-.*\.tar\.gz": "tar.gz", rf"{r.source}-1\..*\.rpm": "rpm",
            rf"{r.source}-win.*\.zip": "zip-layout"}
    kinds = {name: kind for name in sorted(os.listdir(out), key=str.encode)
             for pattern, kind in made.items() if re.fullmatch(pattern, name)}
    if not kinds:
        raise Stop(f"{target}: no package made (log: {r.log(target + '-package')})")
    packages = list(kinds)
    for package, kind in kinds.items():
        shutil.copy(out / package, r.publish / KINDS[kind].folder)
        r.manifest.add(r.publish / KINDS[kind].folder / package, kind, rows=[target], root=release)
    if row["system"] == "linux":  # the .deb, by Debian's tools, holding the binary the tests ran
        deb = f"classbanner_{r.debian}_{target}.deb"
        r.step(f"{target}-deb", release, r.source, "dpkg-buildpackage", "-b", "-us", "-uc", f"-a{target}")
        runner = [] if row["runner"] == "-" else [row["runner"]]
        r.step(f"{target}-deb-check", release, r.source, "tests/package-check.sh", "deb", f"../{deb}", target,
               "tests/banner.txt", f"build/target-{target}/classbanner", *runner, who="FAIL packages.deb")
        shutil.copy(r.root(release) / "build" / deb, r.publish / "dist")
        r.manifest.add(r.publish / "dist" / deb, "deb", rows=[target], root=release)
        packages.append(deb)
    say(target, f"{release}, {len(ran)} tests passed; {' '.join(packages)}")


@stage(takes=["source", "deb"], makes=["debian-source"])
def debian(r):
    """In: the source archive, the .deb files. Out: the source package, over the
    source archive as its orig tarball, checked with lintian with every .deb;
    the autopkgtest run with the .deb of the first root's own architecture."""
    orig = f"classbanner_{r.version}.orig.tar.gz"
    shutil.copy(r.publish / r.manifest.find("source")[0]["path"], r.publish / "scratch" / orig)
    r.step("debian-unpack", r.first, "publish/scratch", "tar", "-xzf", orig)
    r.step("debian-source", r.first, "publish/scratch", "dpkg-source", "-b", r.source)
    made = [orig, f"classbanner_{r.debian}.debian.tar.xz", f"classbanner_{r.debian}.dsc"]
    for name in made:
        shutil.copy(r.publish / "scratch" / name, r.publish / "dist")
        r.manifest.add(r.publish / "dist" / name, "debian-source")
    debs = [item["path"] for item in r.manifest.find("deb")]
    r.check("debian-lintian", "tests/package-check.sh", "lintian", f"dist/{made[-1]}", *debs,
            who="FAIL packages.lintian")
    ours = [item["path"] for item in r.manifest.find("deb", rows=[r.native], root=r.first)]
    if ours:  # su and apt change user and groups: as root, no user namespace, which maps root alone
        r.step("debian-autopkgtest", r.first, "publish", "autopkgtest", *ours, f"dist/{made[-1]}", "--", "null",
               namespaces=None if AS_ROOT else ["--mount", "--pid", "--fork"])
        r.step("debian-purge", r.first, ".", "dpkg", "--purge", "classbanner")
    say("debian", f"dist/{made[-1]}; lintian: {len(debs)} .deb and the source clean"
        + (f"; autopkgtest passed over {ours[0][len('dist/'):]}" if ours else ""))


@stage(takes=["source", "binary"], makes=["buildinfo"])
def buildinfo(r):
    """In: the source archive, the binaries' roots. Out: the build information,
    naming every root's release and installed packages, enough to make it again."""
    src = r.manifest.find("source")[0]
    text = (f"Format: 1.0\nSource: classbanner\nVersion: {r.version}\nGit-Commit: {r.commit}\n"
            f"Checksums-Sha256:\n {src['sha256']} {(r.publish / src['path']).stat().st_size} {r.source}.tar.gz\n"
            f"Source-Packed-In: {r.first}\n")
    for release in r.releases:
        built = [t for t in r.targets if r.manifest.find("binary", rows=[t], root=release)]
        listing = r.query(release, ".", "dpkg-query", "-W", "-f",
                          "${db:Status-Abbrev} ${Package}:${Architecture} (= ${Version})\n")
        installed = [" " + " ".join(line.split()[1:]) for line in listing.splitlines() if line[:2] == "ii"]
        text += (f"\nRoot: {release}\nDebian-Version: {(r.root(release) / 'etc/debian_version').read_text().strip()}"
                 f"\nTargets: {' '.join(built) or '(the source archive)'}\nInstalled-Packages:\n")
        text += "".join(line + "\n" for line in sorted(installed, key=str.encode))
    (r.publish / "dist" / f"{r.source}.buildinfo").write_text(text)
    r.manifest.add(r.publish / "dist" / f"{r.source}.buildinfo", "buildinfo")


@stage(takes=["binary"], makes=["exe", "detached-signature"])
def authenticode(r):
    """In: the Windows binaries. Out: each .exe as it ships, signed (with the
    key, or a maintainer's detached signature) and checked, before anything
    packs it."""
    if r.windows and not r.signs_windows:
        say("unsigned", "(no CLASSBANNER_AUTHENTICODE_KEY nor _SIGNATURES): the Windows .exe and .msi files")
    for t in r.windows:
        exe = f"windows/{r.source}-{t}.exe"
        r.authenticode(r.manifest.find("binary", rows=[t])[0]["path"], exe)
        r.manifest.add(r.publish / exe, "exe", rows=[t])


@stage(takes=["exe", "zip-layout"], makes=["zip"])
def zips(r):
    """In: the Windows executables as they ship, and CPack's .zip around each
    unsigned one. Out: each .zip, packed once, as CPack laid it out, around
    the executable that ships."""
    for t in r.windows:
        layout, exe = r.manifest.find("zip-layout", rows=[t])[0]["path"], r.manifest.find("exe", rows=[t])[0]["path"]
        out = f"dist/{pathlib.Path(layout).name}"
        r.check(f"zip-{t}", "scripts/release/zip.py", layout, exe, out, who="zip")
        r.manifest.add(r.publish / out, "zip", rows=[t])
        say("zip", f"{t}: {out}, around {exe}")


@stage(takes=["binary"], makes=["oci"])
def image(r):
    """In: the Linux binaries. Out: one OCI image archive over all of them."""
    binaries = [item for t in r.targets for item in r.manifest.find("binary", rows=[t]) if item["platform"] != "-"]
    if binaries:
        platforms, archive = [f"{item['platform']}={item['path']}" for item in binaries], f"dist/{r.source}-oci.tar"
        r.check("image", "scripts/release/image.sh", archive, r.version, r.epoch, f"../{r.source}/LICENSE",
                *platforms)
        r.check("image-check", "tests/release/image-check.sh", archive, r.version, f"../{r.source}/tests/banner.txt",
                *platforms, who="image")
        r.manifest.add(r.publish / archive, "oci", rows=[row for item in binaries for row in item["rows"]])
        say("image", f"{len(binaries)} platform{'s' if len(binaries) > 1 else ''}: {archive}")


@stage(takes=["exe", "previous"], makes=["msi", "detached-signature"])
def msi(r):
    """In: the Windows executables as shipped, the previous release's MSIs.
    Out: an installer for each, signed as they are, checked under wine as
    users take it: installed over the previous release's own (which may not
    then go back over it), on PATH, removed."""
    for item in [item for t in r.windows for item in r.manifest.find("exe", rows=[t])]:
        row, src = item["rows"][0], f"../{r.source}"
        out, built = f"dist/{r.source}-{row}.msi", f"scratch/{r.source}-{row}.msi"
        r.check(f"msi-{row}", "scripts/release/msi.py", built, r.version, r.epoch, r.rows[row]["processor"],
                item["path"], f"{src}/LICENSE", f"{src}/README.md", f"{src}/packaging/classbanner.wxs", who="msi")
        r.authenticode(built, out)
        earlier = [p["path"] for p in r.manifest.find("previous", rows=[row])]
        r.check(f"msi-{row}-check", "tests/release/msi-check.sh", out, item["path"], f"{src}/tests/banner.txt",
                *earlier, who=f"msi: {pathlib.Path(out).name}")
        r.manifest.add(r.publish / out, "msi", rows=[row], root=r.first)
        say("msi", f"{row}: {out}, installed" + (f" over {earlier[0][len('previous/'):]}" if earlier else "")
            + " and removed under wine")


@stage(takes=tuple(kind for kind in DOWNLOADS if kind not in ("sbom", "provenance")) + ("binary",), makes=["sbom"])
def sbom(r):
    """In: the manifest. Out: the bill of materials (CycloneDX), checked."""
    out = f"dist/{r.source}.cdx.json"
    r.check("sbom", "scripts/release/sbom.py", "manifest.json", r.version, r.epoch, out)
    r.check("sbom-check", "tests/release/sbom-check.py", out, "dist", f"dist/{r.source}.buildinfo", who="sbom")
    r.manifest.add(r.publish / out, "sbom")
    say("sbom", f"{out}, {len(r.manifest.downloads()) - 1} downloads")


@stage(takes=tuple(kind for kind in DOWNLOADS if kind != "provenance"),
       makes=["statement", "provenance", "provenance-key"])
def provenance(r):
    """In: every other download. Out: their SLSA provenance, an in-toto
    Statement of what they are and what built them: the commit, the targets,
    the source archive and every root's packages, at the commit's time. Signed
    in a DSSE envelope with the Ed25519 key in $CLASSBANNER_PROVENANCE_KEY,
    then checked with cosign, which shares no code with this signer."""
    info = paragraphs((r.publish / r.manifest.find("buildinfo")[0]["path"]).read_text())
    archive = r.manifest.find("source")[0]
    packages = [{"uri": purl(*re.fullmatch(r"(.*):(\S+) \(= (.*)\)", line).groups(), p["root"])}
                for p in info[1:] for line in p["installed_packages"].splitlines() if line]
    statement = {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": [{"name": path[len("dist/"):], "digest": {"sha256": r.manifest.find(path=path)[0]["sha256"]}}
                    for path in sorted(r.manifest.downloads(), key=str.encode)],
        "predicateType": "https://slsa.dev/provenance/v1",
        "predicate": {
            "buildDefinition": {
                "buildType": "https://classbanner.example/release/v1",
                "externalParameters": {"commit": r.commit, "targets": r.targets},
                "resolvedDependencies": [{"name": archive["path"][len("dist/"):], "digest": {
                    "sha256": archive["sha256"], "gitCommit": r.commit}}] + packages,
            },
            "runDetails": {
                "builder": {"id": "https://classbanner.example/scripts/release.py"},
                "metadata": {"startedOn": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(r.epoch)))},
            },
        },
    }
    payload = json.dumps(statement, sort_keys=True, separators=(",", ":")).encode()
    (r.publish / f"scratch/{r.source}.intoto.json").write_bytes(payload)
    r.manifest.add(r.publish / f"scratch/{r.source}.intoto.json", "statement")
    if not r.provenance_key:
        return say("unsigned", "(no CLASSBANNER_PROVENANCE_KEY): its Statement only, unsigned: no provenance download")
    from cryptography.hazmat.primitives import serialization
    key = provenance_key(r.provenance_key)
    envelope = {"payloadType": IN_TOTO, "payload": base64.b64encode(payload).decode(),
                "signatures": [{"keyid": "", "sig": base64.b64encode(key.sign(dsse_signed(payload))).decode()}]}
    out, public = f"dist/{r.source}.intoto.jsonl", "dist/classbanner-provenance-key.pem"
    (r.publish / out).write_text(json.dumps(envelope, separators=(",", ":")) + "\n")
    (r.publish / public).write_bytes(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                                   serialization.PublicFormat.SubjectPublicKeyInfo))
    r.check("provenance-check", "tests/release/provenance-check.sh", out, public,
            *r.manifest.downloads(), who="provenance")
    r.manifest.add(r.publish / out, "provenance")
    r.manifest.add(r.publish / public, "provenance-key")
    say("provenance", f"{out}, {len(statement['subject'])} subjects and {len(packages)} root packages; "
        "checked with cosign")


@stage(takes=DOWNLOADS, makes=["sums"])
def sums(r):
    """In: every download. Out: SHA256SUMS."""
    names = sorted((path[len("dist/"):] for path in r.manifest.downloads()), key=str.encode)
    (r.publish / "dist/SHA256SUMS").write_text("".join(f"{sha256(r.publish / 'dist' / n)}  {n}\n" for n in names))
    r.manifest.add(r.publish / "dist/SHA256SUMS", "sums")


@stage(takes=["sums"], makes=["signature", "key"])
def sign(r):
    """In: SHA256SUMS. Out: SHA256SUMS.asc and the public key, checked with gpgv."""
    if not r.key:
        return say("unsigned", "(no CLASSBANNER_SIGNING_KEY): no SHA256SUMS.asc, nor apt or rpm repository, "
                   "which apt and dnf refuse unsigned")
    with open(r.key) as key:  # on standard input only
        r.check("sign", "scripts/release/sign.sh", "sums", "dist", r.sign_at, stdin=key)
    r.manifest.add(r.publish / "dist/SHA256SUMS.asc", "signature")
    r.manifest.add(r.publish / "dist/classbanner-signing-key.asc", "key")
    r.check("sign-check", "tests/release/signed-check.sh", "sums", "dist", who="signed: sums")
    say("signed", f"key {r.fingerprint}: SHA256SUMS.asc, checked with gpgv")


@stage(takes=["deb", "rpm", "debian-source", "key", "previous"], makes=["apt-repository", "rpm-repository"])
def repositories(r):
    """In: the packages, the previous release's repositories. Out: the signed
    apt and rpm repositories, of these packages and every earlier version's,
    checked as users take them: apt in every release's root, dnf in the
    first's, and each upgraded from the previous release's repository."""
    if not r.key:
        return
    packages = [item["path"] for kind in ("deb", "debian-source", "rpm") for item in r.manifest.find(kind)]
    prior = r.manifest.find("previous")
    kept = [i["path"] for i in prior if re.match(r"previous/(apt/pool/|rpm/[^/]*\.rpm$)", i["path"])]
    with open(r.key) as key:
        r.check("repositories", "scripts/release/sign.sh", "repositories", "dist", r.epoch, r.sign_at, *packages,
                "--", *kept, stdin=key, who="sign")
    for path in sorted(p for kind in ("apt", "rpm") for p in (r.publish / "dist" / kind).rglob("*") if p.is_file()):
        r.manifest.add(path, f"{path.relative_to(r.publish / 'dist').parts[0]}-repository")
    banner = f"../{r.source}/tests/banner.txt"
    r.check("repositories-dnf", "tests/release/signed-check.sh", "dnf", "dist", banner, who="signed: dnf")
    if prior:
        r.check("upgrade-dnf", "tests/release/signed-check.sh", "upgrade-dnf", "dist", banner, "previous/rpm",
                prior[0]["version"], r.version, who="signed: upgrade-dnf")
    rebuilt = []
    for release in r.releases:
        if release != r.first:
            for folder in ("dist", "previous"):
                shutil.copytree(r.publish / folder, r.root(release) / "build/publish" / folder)
        rebuild = [item["path"] for item in r.manifest.find("deb", rows=[r.native], root=release)]
        r.check(f"repositories-apt-{release}", "tests/release/signed-check.sh", "apt", "dist", banner, *rebuild,
                who="signed: apt", release=release)
        rebuilt += [f"; apt-get source, rebuilt to {path[len('dist/'):]} byte for byte" for path in rebuild]
        if prior:
            r.check(f"upgrade-apt-{release}", "tests/release/signed-check.sh", "upgrade-apt", "dist", banner,
                    "previous/apt", prior[0]["debian"], r.debian, who="signed: upgrade-apt", release=release)
    held = [len([i for i in r.manifest.find(f"{kind}-repository") if i["path"].endswith(end)])
            for kind, end in (("apt", ".deb"), ("rpm", ".rpm"))]
    say("signed", f"apt/ and rpm/, {held[0]} and {held[1]} packages; checked with apt in {' '.join(r.releases)}, "
        f"dnf in {r.first}{''.join(rebuilt)}" + (f"; upgraded from {prior[0]['debian']} and back" if prior else ""))


STAGES = [previous, roots, source, rows, debian, buildinfo, authenticode, zips, image, msi, sbom, provenance, sums,
          sign, repositories]


def make(r, stages):
    """Run the STAGES, each recording in the manifest only what it declares."""
    for each in check_plan(stages) or stages:
        r.manifest.stage = each
        each(r)
    r.manifest.stage = None


def table(top=TOP):
    """The rows of cmake/targets.txt, as its reader gives them: name: columns."""
    columns = run(top / "scripts/targets.sh", "--columns").split()
    return {fields[0]: dict(zip(columns, fields)) for fields in
            (line.split("\t") for line in run(top / "scripts/targets.sh", *columns).splitlines())}


def namespaces():
    """The namespaces a root's commands run in: a user namespace of its own,
    but in a chroot, where the kernel allows none (and / is no mount point to
    make private): mount and pid only."""
    found = ["--user", "--map-root-user", "--mount", "--pid", "--fork"] + ["--map-auto"] * bool(AS_ROOT)
    if AS_ROOT == [] and subprocess.run(["unshare", "--user", "--map-root-user", "true"],
                                        stderr=subprocess.DEVNULL).returncode:
        found = ["--propagation", "unchanged", "--mount", "--pid", "--fork"]
    return found


def checkout(targets):
    """The release of this checkout: the table, the versions, the commit, and
    what this machine's kernel lets the roots have."""
    version = re.search(r"^  VERSION ([0-9.]+)$", (TOP / "CMakeLists.txt").read_text(), re.M).group(1)
    debian = re.match(r"classbanner \((.*)\)", (TOP / "debian/changelog").read_text()).group(1)
    git = ["git", "-C", str(TOP), "log", "-1", "--format=%H %ct"]
    commit, epoch = run(*git).split()  # every stamp's time is the commit's, signatures' too
    return Release(table(), targets, version, debian, commit, epoch, run("dpkg", "--print-architecture").strip(),
                   dict(os.environ), Roots(TOP / "build" / "release-work", namespaces()))


def main():
    os.chdir(TOP)
    if subprocess.run(["git", "rev-parse", "-q", "--verify", "HEAD"], stdout=subprocess.DEVNULL).returncode:
        raise Stop("needs a git clone: it packs the committed tree")
    r = checkout(sys.argv[1:])
    check_plan(STAGES)
    if run("git", "status", "--porcelain", "--untracked-files=no"):
        print("release: uncommitted changes are left out")
    if not shutil.which("mmdebstrap"):
        raise Stop("needs mmdebstrap: scripts/prerequisites.sh release")
    if r.key:  # checked before anything is built
        r.key = os.path.abspath(r.key)
        r.sign_at, r.fingerprint = signing_time(r.key, r.epoch)
        if r.sign_at != r.epoch:
            at = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(int(r.sign_at)))
            print(f"release: the key was made after the commit: it signs at {at}, when it was made")
    if r.code_key and r.signatures:
        raise Stop("CLASSBANNER_AUTHENTICODE_KEY and CLASSBANNER_AUTHENTICODE_SIGNATURES: set one, not both")
    if r.code_key:
        r.code_key = os.path.abspath(r.code_key)
        code_signing_key(r.code_key, r.epoch)
    if r.provenance_key:
        r.provenance_key = os.path.abspath(r.provenance_key)
        provenance_key(r.provenance_key)
    if r.signatures and not os.path.isdir(r.signatures):
        raise Stop(f"{r.signatures}: no such folder (CLASSBANNER_AUTHENTICODE_SIGNATURES)")
    for root in r.work.glob("root-*"):
        r.roots.remove(root)  # left by a release that was stopped
    shutil.rmtree(r.work, ignore_errors=True)
    for folder in {kind.folder for kind in KINDS.values()} | {"unsigned"}:
        (r.publish / folder).mkdir(parents=True)
    run("git", "bundle", "create", "-q", str(r.work / "source.bundle"), "HEAD")
    try:
        make(r, STAGES)
        shutil.rmtree(TOP / "dist", ignore_errors=True)
        (r.publish / "dist").rename(TOP / "dist")  # every stage has passed
    finally:
        if (r.publish / "manifest.json").exists():  # kept with the logs, with what Windows signs
            shutil.copy(r.publish / "manifest.json", r.work)
            for folder in ("unsigned", "signatures"):
                shutil.copytree(r.publish / folder, r.work / folder)
        if r.publish.is_symlink():
            r.publish.unlink()
        for root in r.roots.unpacked:
            r.roots.remove(root)
    count = sum(1 for p in (TOP / "dist").rglob("*") if p.is_file() and p.name != "SHA256SUMS")
    print(f"release: dist/ holds {count} files and SHA256SUMS, sha256 {sha256(TOP / 'dist/SHA256SUMS')}")


if __name__ == "__main__":
    try:
        main()
    except Stop as stop:
        sys.exit(f"release: {stop}")
