#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make a release: build and test every row of cmake/targets.txt (or each
TARGET) in a clean root of the Debian release it names, and gather the
downloads into dist/, signed with the OpenPGP key in $CLASSBANNER_SIGNING_KEY
if set, the Windows files with the Authenticode key and chain in
$CLASSBANNER_AUTHENTICODE_KEY or the signatures in $CLASSBANNER_AUTHENTICODE_SIGNATURES:

    scripts/release.py [TARGET...]

The STAGES run in order, each recording what it makes in the manifest, which
later ones read, in the work folder (the first root's /build/publish). dist/
is replaced once all have passed; a failure stops it in a line saying why.
"""
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
from datetime import datetime, timezone

TOP = pathlib.Path(__file__).resolve().parent.parent
TOOLS = TOP / "scripts" / "release"
AS_ROOT = [] if os.getuid() == 0 else ["unshare", "--map-auto", "--map-root-user"]


class Stop(Exception):
    """A stage failed: the line, and any lines below it, that say why."""


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def git(*args):
    return run("git", *args, cwd=TOP).strip()


def table(*columns):
    """Rows of cmake/targets.txt, the COLUMNS asked for, read by name."""
    return [tuple(line.split("\t")) for line in run(TOP / "scripts" / "targets.sh", *columns).splitlines()]


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


class Manifest:
    """Every artifact, once: its path in the work folder, kind, the rows whose
    binary it holds, SHA-256; for a binary, its root and static parts."""

    def __init__(self, folder):
        self.folder, self.items = folder, []

    def add(self, path, kind, rows=(), **more):
        name = str(path.relative_to(self.folder))
        if self.find(path=name):
            raise Stop(f"{kind}: {name} is made twice")
        self.items.append({"path": name, "kind": kind, "rows": list(rows), "sha256": sha256(path), **more})
        self.save()

    def update(self, path):
        """PATH, changed by a later stage: its SHA-256 anew."""
        self.find(path=str(path.relative_to(self.folder)))[0]["sha256"] = sha256(path)
        self.save()

    def save(self):
        (self.folder / "manifest.json").write_text(json.dumps(self.items, indent=1) + "\n")

    def find(self, kind=None, **match):
        return [item for item in self.items if kind in (None, item["kind"])
                and all(item.get(key) == value for key, value in match.items())]

    def downloads(self):
        return sorted(item["path"] for item in self.items if item["path"].startswith("dist/"))


def why(log):
    """What a row's log says of its failure: the workflow step that failed,
    and for tests, the failing ones with the last lines each printed."""
    text = log.read_text(errors="replace")
    step = (re.findall(r"step \d+ of \d+: ([a-z]+)", text) or ["the workflow"])[-1]
    if step != "test":
        error = re.search(r"^CMake Error.*\n *(.*)" if step == "configure" else r"^(.*error.*)$", text, re.M | re.I)
        return f"{'configure stopped' if step == 'configure' else step + ' failed'}: {error.group(1) if error else '?'}"
    failed = re.findall(r"^\s*\d+ - (.*) \((?:Failed|Timeout)\)$", text, re.M)
    lines = [f"tests failed: {' '.join(failed)}"]
    # ctest prints a failed test's output after its result line.
    for name, output in re.findall(r"^ *\d+/\d+ Test +#\d+: (\S+) \.*\*+\w+.*\n((?:(?! *Start +\d+:|\d+% tests).*\n)*)",
                                   text, re.M):
        lines += [f"  {name}: {line}" for line in output.splitlines() if line.strip()][-8:]
    return "\n".join(lines)


def first_fault(log, who):
    """The first line a check (WHO) said of a fault, else the log's last line."""
    lines = [line for line in log.read_text(errors="replace").splitlines() if line.strip()]
    said = [line[len(who) + 2:] for line in lines if line.startswith(f"{who}: ")]
    return (said or lines or ["no output"])[0 if said else -1]


def say(stage, text):
    print(f"release: {stage:<12} {text}", flush=True)


def readable(path):
    for fault, why in ((not os.path.exists(path), "no such file"), (not os.path.isfile(path), "not a file"),
                       (not os.access(path, os.R_OK), "cannot be read")):
        if fault:
            raise Stop(f"{path}: {why}")


def signing_time(key, epoch):
    """When the OpenPGP key in the file KEY signs: at the commit's time EPOCH,
    or at its making if later, as it cannot sign before it exists. Stops unless
    the file holds one secret key, without a passphrase, that can sign and has
    not expired. The key is only shown, never imported."""
    readable(key)
    with tempfile.TemporaryDirectory() as home:
        gpg = ["gpg", "--batch", "--homedir", home]
        shown = subprocess.run(gpg + ["--with-colons", "--show-keys", key], capture_output=True, text=True)
        packets = subprocess.run(gpg + ["--list-packets", key], capture_output=True, text=True).stdout
        subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])
    keys = [line.split(":") for line in shown.stdout.splitlines() if line[:4] in ("sec:", "ssb:", "pub:")]
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
    return str(min(times))


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


def mirror():
    """$CLASSBANNER_MIRROR, else the first Debian archive this machine's apt
    reads (not the security archive, whose suites are named otherwise)."""
    uris = os.environ.get("CLASSBANNER_MIRROR", "").split()
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        uris += [u for line in re.findall(r"^URIs: *(.*)$", pathlib.Path(path).read_text(), re.M) for u in line.split()]
    for path in glob.glob("/etc/apt/sources.list") + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        for fields in (line.split() for line in pathlib.Path(path).read_text().splitlines()):
            uris += [field for field in fields[1:] if fields[0] == "deb" and re.match(r"[a-z+]+:", field)][:1]
    return next((uri for uri in uris if "security" not in uri.lower()), None)


class Release:
    def __init__(self, targets):
        columns = ("name", "debian", "image", "triple", "libc", "runner", "processor")
        self.rows = {row[0]: dict(zip(columns, row)) for row in table(*columns)}
        self.targets = targets or list(self.rows)
        for target in self.targets:
            if target not in self.rows:
                raise Stop(f"{target}: no such row in cmake/targets.txt")
        # The source is packed in the first row's release; then each release in turn.
        self.first = next(iter(self.rows.values()))["debian"]
        self.releases = list(dict.fromkeys([self.first] + [self.rows[t]["debian"] for t in self.targets]))
        self.version = re.search(r"^  VERSION ([0-9.]+)$", (TOP / "CMakeLists.txt").read_text(), re.M).group(1)
        self.source = f"classbanner-{self.version}"
        self.debian = re.match(r"classbanner \((.*)\)", (TOP / "debian/changelog").read_text()).group(1)
        if not self.debian.startswith(f"{self.version}-"):
            raise Stop(f"debian/changelog is for {self.debian}, not for {self.version}")
        self.epoch = git("log", "-1", "--format=%ct")  # every stamp's time, signatures' too
        self.work = TOP / "build" / "release-work"
        self.publish = self.work / "publish"
        self.manifest = Manifest(self.publish)
        self.tarballs, self.unpacked = {}, []
        self.key, self.sign_at = os.environ.get("CLASSBANNER_SIGNING_KEY"), None
        self.code_key = os.environ.get("CLASSBANNER_AUTHENTICODE_KEY")
        self.signatures = os.environ.get("CLASSBANNER_AUTHENTICODE_SIGNATURES")
        self.signs_windows = bool(self.code_key or self.signatures)
        self.windows = [t for t in self.targets if self.rows[t]["libc"] == "msvcrt.dll"]
        self.native = run("dpkg", "--print-architecture").strip()  # the roots' own architecture
        # A root's own user namespace, but in a chroot, where the kernel allows
        # none (and / is no mount point to make private): mount and pid only.
        self.namespaces = ["--user", "--map-root-user", "--mount", "--pid", "--fork"] + ["--map-auto"] * bool(AS_ROOT)
        if AS_ROOT == [] and subprocess.run(["unshare", "--user", "--map-root-user", "true"],
                                            stderr=subprocess.DEVNULL).returncode:
            self.namespaces = ["--propagation", "unchanged", "--mount", "--pid", "--fork"]

    def log(self, name):
        return self.work / f"{name}.log"

    def root(self, release):
        """RELEASE's root, unpacked once, with the commit's git bundle in /build."""
        root = self.work / f"root-{release}"
        if root not in self.unpacked:
            self.unpacked.append(root)
            root.mkdir()
            subprocess.run(AS_ROOT + ["tar", "-xf", self.tarballs[release], "-C", root, "--numeric-owner",
                                      "--exclude=./dev/*"], check=True)
            (root / "build").mkdir()
            shutil.copy(self.work / "source.bundle", root / "build")
            if release == self.first:
                self.publish.rename(root / "build" / "publish")
                self.publish.symlink_to(root / "build" / "publish")
        return root

    def in_root(self, release, folder, *command, stage=None, log=None, stdin=None, namespaces=None):
        """Run COMMAND, an argument list, in RELEASE's root, in FOLDER under
        /build: its output into LOG, else returned. Stops STAGE if it fails."""
        namespaces = namespaces or self.namespaces
        userns = "yes" if "--user" in namespaces else "no"
        with open(log, "a") if log else open(os.devnull, "w") as out:
            done = subprocess.run(["unshare", *namespaces, TOOLS / "enter-root.sh", self.root(release), userns,
                                   f"/build/{folder}", *command], stdin=stdin or subprocess.DEVNULL,
                                  stdout=out if log else subprocess.PIPE, stderr=out if log else None, text=True)
        if done.returncode and stage:
            raise Stop(f"{stage}: {first_fault(log, stage)} (log: {log})" if log else f"{stage}: {command[0]} failed")
        return done

    def check(self, release, stage, tool, *args, **options):
        """Run a stage's TOOL (a path in the source) in RELEASE's root, in the work folder."""
        self.in_root(release, "publish", f"../{self.source}/{tool}", *args, stage=stage, log=self.log(stage), **options)

    def authenticode(self, path, out):
        """Sign the Windows file PATH into OUT (in the work folder), with the
        key or a detached signature, and check it; unsigned, copy it. PATH is
        kept as unsigned/NAME, OUT's name, for a maintainer to sign elsewhere."""
        name = pathlib.Path(out).name
        unsigned, tool = f"unsigned/{name}", "scripts/release/authenticode.py"
        shutil.copy(self.publish / path, self.publish / unsigned)
        before = sha256(self.publish / unsigned)
        if self.code_key:
            with open(self.code_key) as key:  # on standard input only
                self.check(self.first, "authenticode", tool, "key", self.epoch, unsigned, out,
                           f"signatures/{name}.sig", stdin=key)
            self.manifest.add(self.publish / f"signatures/{name}.sig", "detached-signature")
        elif self.signatures:
            signature = pathlib.Path(self.signatures) / f"{name}.sig"
            if not signature.is_file():
                raise Stop(f"authenticode: no {signature}: sign build/release-work/{unsigned} (sha256 {before}) and "
                           "detach its signature as that file")
            shutil.copy(signature, self.publish / "signatures")
            self.check(self.first, "authenticode", tool, "attach", f"signatures/{name}.sig", unsigned, out)
        else:
            shutil.copy(self.publish / unsigned, self.publish / out)
        say("authenticode", f"{name}: signed and checked; before signing, sha256 {before}"
            if self.signs_windows else f"{name}: unsigned, sha256 {before}")

    def remove(self, root):
        subprocess.run(AS_ROOT + ["rm", "-rf", root])


def roots(r):
    """In: the releases. Out: a clean root tarball for each, holding what all
    its rows need (and the first's what publishing needs), cached under
    $CLASSBANNER_ROOTS (~/.cache/classbanner/roots) by mirror and packages."""
    cache = pathlib.Path(os.environ.get("CLASSBANNER_ROOTS") or pathlib.Path(
        os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "classbanner" / "roots")
    url = mirror()
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
            architectures = [r.native] + foreign.split()
            with open(log, "w") as out:
                made = subprocess.run(
                    ["mmdebstrap", f"--mode={'unshare' if AS_ROOT else 'root'}", "--variant=apt", "--format=tar",
                     "--components=main", "--aptopt=APT::Install-Recommends \"false\"",
                     f"--architectures={','.join(architectures)}", f"--include={','.join(packages.split())}",
                     release, f"{tarball}.part", url], stdout=out, stderr=out)
            if made.returncode:
                raise Stop(f"root: mmdebstrap {release} failed (log: {log})")
            for older in cache.glob(f"{release}-*.tar"):
                older.unlink()
            os.rename(f"{tarball}.part", tarball)
            took = int(time.time() - start)
            say("root", f"{release}: made in {took // 60} min {took % 60} s")
        r.tarballs[release] = tarball
        say("root", f"{release}, {tarball.name}")


def source(r):
    """Out: the source archive, the committed tree packed in the first root,
    with the commit's time for the package stamps, where git is not."""
    log, dist = r.log("source"), f"../publish/dist/{r.source}.tar"
    r.in_root(r.first, ".", "git", "clone", "-q", "source.bundle", "git", stage="source", log=log)
    r.in_root(r.first, "git", "git", "archive", "--format=tar", f"--prefix={r.source}/", f"--output={dist}",
              f"--add-virtual-file={r.source}/SOURCE_DATE_EPOCH:{r.epoch}\n", "HEAD", stage="source", log=log)
    r.in_root(r.first, "publish/dist", "gzip", "-9", "-n", f"{r.source}.tar", stage="source", log=log)
    r.manifest.add(r.publish / "dist" / f"{r.source}.tar.gz", "source", root=r.first)
    say("source", f"dist/{r.source}.tar.gz")


def rows(r):
    """In: the source archive. Out: each row's packages, built and tested in
    its release's root, and its binary, with what it carries statically."""
    made = rf"{r.source}-(linux-.*\.tar\.gz|1\..*\.rpm|win.*\.zip)"
    for release in r.releases:
        build = r.root(release) / "build"
        shutil.copy(r.publish / "dist" / f"{r.source}.tar.gz", build)
        r.in_root(release, ".", "tar", "-xzf", f"{r.source}.tar.gz", stage="source", log=r.log("source"))
        for target in [t for t in r.targets if r.rows[t]["debian"] == release]:
            log, out = r.log(target), build / r.source / "build" / f"target-{target}"
            if r.in_root(release, r.source, "env", f"CLASSBANNER_TARGET={target}", "cmake", "--workflow",
                         "--preset", "target", log=log).returncode:
                raise Stop(f"{target}: {why(log)}\n  (log: {log})")
            text = log.read_text()
            skipped = re.findall(r"^\s*\d+ - (.*) \((?:Skipped|Not Run)\)$", text, re.M)
            if skipped:
                raise Stop(f"{target}: tests skipped: {' '.join(skipped)} (log: {log})")
            packages = sorted((p for p in os.listdir(out) if re.fullmatch(made, p)), key=str.encode)
            if not packages:
                raise Stop(f"{target}: no package made (log: {log})")
            row = r.rows[target]
            parts = r.in_root(release, r.source, "scripts/release/static-parts.sh", row["triple"], row["libc"],
                              row["runner"], stage=target)
            binary = r.publish / "binaries" / target
            shutil.copy(out / ("classbanner.exe" if row["libc"] == "msvcrt.dll" else "classbanner"), binary)
            r.manifest.add(binary, "binary", [target], root=release, platform=row["image"],
                           static=[line.split("\t") for line in parts.stdout.splitlines()])
            for package in packages:
                shutil.copy(out / package, r.publish / "dist")
                r.manifest.add(r.publish / "dist" / package, package.rsplit(".", 1)[-1], [target], root=release)
            if row["libc"] != "msvcrt.dll":  # the .deb, by Debian's tools, holding the binary the tests ran
                deb = f"classbanner_{r.debian}_{target}.deb"
                r.in_root(release, r.source, "dpkg-buildpackage", "-b", "-us", "-uc", f"-a{target}", stage=target,
                          log=log)
                r.in_root(release, r.source, "tests/package-check.sh", "deb", f"../{deb}", target, "tests/banner.txt",
                          f"build/target-{target}/classbanner", *([] if row["runner"] == "-" else [row["runner"]]),
                          stage=target, log=log)
                shutil.copy(build / deb, r.publish / "dist")
                r.manifest.add(r.publish / "dist" / deb, "deb", [target], root=release)
                packages.append(deb)
            say(target, f"{release}, {re.findall(r'.*% tests passed.*', text)[-1]}; {' '.join(packages)}")


def debian(r):
    """In: the source archive, the .deb files. Out: the source package, over the
    source archive as its orig tarball, checked with lintian with every .deb;
    the autopkgtest run with the .deb of the first root's own architecture."""
    log = r.log("debian")
    orig = f"classbanner_{r.version}.orig.tar.gz"
    shutil.copy(r.publish / "dist" / f"{r.source}.tar.gz", r.publish / "scratch" / orig)
    r.in_root(r.first, "publish/scratch", "tar", "-xzf", orig, stage="debian", log=log)
    r.in_root(r.first, "publish/scratch", "dpkg-source", "-b", r.source, stage="debian", log=log)
    made = [orig, f"classbanner_{r.debian}.debian.tar.xz", f"classbanner_{r.debian}.dsc"]
    for name in made:
        shutil.copy(r.publish / "scratch" / name, r.publish / "dist")
        r.manifest.add(r.publish / "dist" / name, "debian-source")
    debs = [item["path"] for item in r.manifest.find("deb")]
    r.check(r.first, "debian", "tests/package-check.sh", "lintian", f"dist/{made[-1]}", *debs)
    ours = [item["path"] for item in r.manifest.find("deb", rows=[r.native], root=r.first)]
    if ours:  # su and apt change user and groups: as root, no user namespace, which maps root alone
        r.in_root(r.first, "publish", "autopkgtest", *ours, f"dist/{made[-1]}", "--", "null", stage="debian", log=log,
                  namespaces=None if AS_ROOT else ["--mount", "--pid", "--fork"])
        r.in_root(r.first, ".", "dpkg", "--purge", "classbanner", stage="debian", log=log)
    say("debian", f"dist/{made[-1]}; lintian: {len(debs)} .deb and the source clean"
        + (f"; autopkgtest passed over {ours[0][len('dist/'):]}" if ours else ""))


def buildinfo(r):
    """In: the source archive, the binaries' roots. Out: the build information,
    naming every root's release and installed packages, enough to make it again."""
    src = r.manifest.find("source")[0]
    text = (f"Format: 1.0\nSource: classbanner\nVersion: {r.version}\nGit-Commit: {git('rev-parse', 'HEAD')}\n"
            f"Checksums-Sha256:\n {src['sha256']} {(r.publish / src['path']).stat().st_size} {r.source}.tar.gz\n"
            f"Source-Packed-In: {r.first}\n")
    for release in r.releases:
        built = [t for t in r.targets if r.manifest.find("binary", rows=[t], root=release)]
        listing = r.in_root(release, ".", "dpkg-query", "-W", "-f",
                            "${db:Status-Abbrev} ${Package}:${Architecture} (= ${Version})\n", stage="buildinfo")
        installed = [" " + " ".join(line.split()[1:]) for line in listing.stdout.splitlines() if line[:2] == "ii"]
        text += (f"\nRoot: {release}\nDebian-Version: {(r.root(release) / 'etc/debian_version').read_text().strip()}"
                 f"\nTargets: {' '.join(built) or '(the source archive)'}\nInstalled-Packages:\n")
        text += "".join(line + "\n" for line in sorted(installed, key=str.encode))
    (r.publish / "dist" / f"{r.source}.buildinfo").write_text(text)
    r.manifest.add(r.publish / "dist" / f"{r.source}.buildinfo", "buildinfo")


def authenticode(r):
    """In: the Windows binaries and .zip files. Out: each .exe signed (with the
    key, or a maintainer's detached signature) and checked, in its .zip too."""
    if r.windows and not r.signs_windows:
        say("unsigned", "(no CLASSBANNER_AUTHENTICODE_KEY nor _SIGNATURES): the Windows .exe and .msi files")
    for t in r.windows:
        exe = f"windows/{r.source}-{t}.exe"
        r.authenticode(r.manifest.find("binary", rows=[t])[0]["path"], exe)
        r.manifest.add(r.publish / exe, "exe", [t])
        if r.signs_windows:
            archive = r.manifest.find("zip", rows=[t])[0]["path"]
            r.check(r.first, "authenticode", "scripts/release/authenticode.py", "zip", archive, exe)
            r.manifest.update(r.publish / archive)


def image(r):
    """In: the Linux binaries. Out: one OCI image archive over all of them."""
    binaries = [item for t in r.targets for item in r.manifest.find("binary", rows=[t]) if item["platform"] != "-"]
    if binaries:
        platforms, archive = [f"{item['platform']}={item['path']}" for item in binaries], f"dist/{r.source}-oci.tar"
        r.check(r.first, "image", "scripts/release/image.sh", archive, r.version, r.epoch, f"../{r.source}/LICENSE",
                *platforms)
        r.check(r.first, "image", "tests/release/image-check.sh", archive, r.version,
                f"../{r.source}/tests/banner.txt", *platforms)
        r.manifest.add(r.publish / archive, "oci", [row for item in binaries for row in item["rows"]])
        say("image", f"{len(binaries)} platform{'s' if len(binaries) > 1 else ''}: {archive}")


def msi(r):
    """In: the Windows executables as shipped. Out: an installer for each, signed
    as they are, checked under wine as users take it: installed, on PATH,
    replaced by a later version, removed."""
    later = ".".join(r.version.split(".")[:-1] + [str(int(r.version.split(".")[-1]) + 1)])
    for item in [item for t in r.windows for item in r.manifest.find("exe", rows=[t])]:
        row, src = item["rows"][0], f"../{r.source}"
        out, built, upgrade = (f"{folder}/{r.source}-{row}{end}" for folder, end in
                               (("dist", ".msi"), ("scratch", ".msi"), ("scratch", "-later.msi")))
        for version, path in ((r.version, built), (later, upgrade)):
            r.check(r.first, "msi", "scripts/release/msi.py", path, version, r.epoch, r.rows[row]["processor"],
                    item["path"], f"{src}/LICENSE", f"{src}/README.md", f"{src}/packaging/classbanner.wxs")
        r.authenticode(built, out)
        r.check(r.first, "msi", "tests/release/msi-check.sh", out, upgrade, item["path"], f"{src}/tests/banner.txt")
        r.manifest.add(r.publish / out, "msi", [row], root=r.first)
        say("msi", f"{row}: {out}, installed, upgraded to {later} and removed under wine")


def sbom(r):
    """In: the manifest. Out: the bill of materials (CycloneDX), checked."""
    out = f"dist/{r.source}.cdx.json"
    r.check(r.first, "sbom", "scripts/release/sbom.py", "manifest.json", r.version, r.epoch, out)
    r.check(r.first, "sbom", "tests/release/sbom-check.py", out, "dist", f"dist/{r.source}.buildinfo")
    r.manifest.add(r.publish / out, "sbom")
    say("sbom", f"{out}, {len(r.manifest.downloads()) - 1} downloads")


def sums(r):
    """In: every download. Out: SHA256SUMS."""
    names = sorted((path[len("dist/"):] for path in r.manifest.downloads()), key=str.encode)
    (r.publish / "dist/SHA256SUMS").write_text("".join(f"{sha256(r.publish / 'dist' / n)}  {n}\n" for n in names))
    r.manifest.add(r.publish / "dist/SHA256SUMS", "sums")


def sign(r):
    """In: SHA256SUMS. Out: SHA256SUMS.asc and the public key, checked with gpgv."""
    if not r.key:
        return say("unsigned", "(no CLASSBANNER_SIGNING_KEY): no SHA256SUMS.asc, nor apt or rpm repository, "
                   "which apt and dnf refuse unsigned")
    with open(r.key) as key:  # on standard input only
        r.check(r.first, "sign", "scripts/release/sign.sh", "sums", "dist", r.sign_at, stdin=key)
    r.manifest.add(r.publish / "dist/SHA256SUMS.asc", "signature")
    r.manifest.add(r.publish / "dist/classbanner-signing-key.asc", "key")
    r.check(r.first, "signed", "tests/release/signed-check.sh", "sums", "dist")


def repositories(r):
    """In: the packages. Out: the signed apt and rpm repositories, checked as
    users take them: apt in every release's root, dnf in the first's."""
    if not r.key:
        return
    with open(r.key) as key:
        r.check(r.first, "sign", "scripts/release/sign.sh", "repositories", "dist", r.epoch, r.sign_at, stdin=key)
    for path in sorted(p for kind in ("apt", "rpm") for p in (r.publish / "dist" / kind).rglob("*") if p.is_file()):
        r.manifest.add(path, f"{path.relative_to(r.publish / 'dist').parts[0]}-repository")
    banner = f"../{r.source}/tests/banner.txt"
    r.check(r.first, "signed", "tests/release/signed-check.sh", "dnf", "dist", banner)
    rebuilt = []
    for release in r.releases:
        if release != r.first:
            shutil.copytree(r.publish / "dist", r.root(release) / "build/publish/dist")
        rebuild = [item["path"] for item in r.manifest.find("deb", rows=[r.native], root=release)]
        r.check(release, "signed", "tests/release/signed-check.sh", "apt", "dist", banner, *rebuild)
        rebuilt += [f"; apt-get source, rebuilt to {path[len('dist/'):]} byte for byte" for path in rebuild]
    signed = "; ".join(re.findall(r"^sign: (.*)$", r.log("sign").read_text(), re.M))
    say("signed", f"{signed}; checked with gpgv, apt in {' '.join(r.releases)}, dnf in {r.first}{''.join(rebuilt)}")


STAGES = [roots, source, rows, debian, buildinfo, authenticode, image, msi, sbom, sums, sign, repositories]


def main():
    os.chdir(TOP)
    if subprocess.run(["git", "rev-parse", "-q", "--verify", "HEAD"], stdout=subprocess.DEVNULL).returncode:
        raise Stop("needs a git clone: it packs the committed tree")
    r = Release(sys.argv[1:])
    if git("status", "--porcelain", "--untracked-files=no"):
        print("release: uncommitted changes are left out")
    if not shutil.which("mmdebstrap"):
        raise Stop("needs mmdebstrap: scripts/prerequisites.sh release")
    if r.key:  # checked before anything is built
        r.key = os.path.abspath(r.key)
        r.sign_at = signing_time(r.key, r.epoch)
        if r.sign_at != r.epoch:
            at = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(int(r.sign_at)))
            print(f"release: the key was made after the commit: it signs at {at}, when it was made")
    if r.code_key and r.signatures:
        raise Stop("CLASSBANNER_AUTHENTICODE_KEY and CLASSBANNER_AUTHENTICODE_SIGNATURES: set one, not both")
    if r.code_key:
        r.code_key = os.path.abspath(r.code_key)
        code_signing_key(r.code_key, r.epoch)
    if r.signatures and not os.path.isdir(r.signatures):
        raise Stop(f"{r.signatures}: no such folder (CLASSBANNER_AUTHENTICODE_SIGNATURES)")
    for root in r.work.glob("root-*"):
        r.remove(root)  # left by a release that was stopped
    shutil.rmtree(r.work, ignore_errors=True)
    (r.publish / "dist").mkdir(parents=True)
    for folder in ("binaries", "scratch", "windows", "unsigned", "signatures"):
        (r.publish / folder).mkdir()
    git("bundle", "create", "-q", str(r.work / "source.bundle"), "HEAD")
    try:
        for stage in STAGES:
            stage(r)
        shutil.rmtree(TOP / "dist", ignore_errors=True)
        (r.publish / "dist").rename(TOP / "dist")  # every stage has passed
    finally:
        if (r.publish / "manifest.json").exists():  # kept with the logs, with what Windows signs
            shutil.copy(r.publish / "manifest.json", r.work)
            for folder in ("unsigned", "signatures"):
                shutil.copytree(r.publish / folder, r.work / folder)
        if r.publish.is_symlink():
            r.publish.unlink()
        for root in r.unpacked:
            r.remove(root)
    count = sum(1 for p in (TOP / "dist").rglob("*") if p.is_file() and p.name != "SHA256SUMS")
    print(f"release: dist/ holds {count} files and SHA256SUMS, sha256 {sha256(TOP / 'dist/SHA256SUMS')}")


if __name__ == "__main__":
    try:
        main()
    except Stop as stop:
        sys.exit(f"release: {stop}")
