#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make a release: build and test every row of cmake/targets.txt in a clean
root of the Debian release it names, and gather the downloads into dist/:

    scripts/release.py [TARGET...]

The stages run in the order of STAGES, at the end. Each reads what earlier
ones recorded in the manifest (manifest.json: one entry for every artifact,
made by the stage that made the artifact) and writes into the work folder,
build/release-work/publish, which the first row's root sees as
/build/publish. dist/ is replaced in one step once every stage has passed: a
release that stops leaves dist/ as it was, and says why in a few lines (a
row's failing tests, a check's first fault); the whole log stays under
build/release-work/. Given TARGETs, only those rows. The OpenPGP secret key
in the file $CLASSBANNER_SIGNING_KEY names, if any, signs it. Needs what
`scripts/prerequisites.sh release` installs.
"""
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

TOP = pathlib.Path(__file__).resolve().parent.parent
TOOLS = TOP / "scripts" / "release"


class Stop(Exception):
    """A stage failed: the one line (and any lines below it) saying why."""


def table(*columns, **where):
    """Rows of cmake/targets.txt, the COLUMNS asked for, read by name."""
    args = [f"{name}={value}" for name, value in where.items()] + list(columns)
    out = subprocess.run([TOP / "scripts" / "targets.sh", *args], check=True, capture_output=True, text=True)
    return [tuple(line.split("\t")) for line in out.stdout.splitlines()]


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


class Manifest:
    """Every artifact of the release, once: its path in the work folder, kind,
    the rows whose binary it holds, SHA-256, and for a binary, the root it was
    built in and what it carries statically."""

    def __init__(self, folder):
        self.folder, self.items = folder, []

    def add(self, path, kind, rows=(), **more):
        name = str(path.relative_to(self.folder))
        if any(item["path"] == name for item in self.items):
            raise Stop(f"{kind}: {name} is made twice")
        self.items.append({"path": name, "kind": kind, "rows": list(rows), "sha256": sha256(path), **more})
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
    steps = re.findall(r"step \d+ of \d+: ([a-z]+)", text)
    step = steps[-1] if steps else "the workflow"
    if step == "configure":
        error = re.search(r"^CMake Error.*\n *(.*)", text, re.M)
        return f"configure stopped: {error.group(1) if error else '?'}"
    if step != "test":
        error = re.search(r"^.*error.*$", text, re.M | re.I)
        return f"{step} failed: {error.group(0) if error else '?'}"
    failed = re.findall(r"^\s*\d+ - (.*) \((?:Failed|Timeout)\)$", text, re.M)
    lines = [f"tests failed: {' '.join(failed)}"]
    # ctest prints a failed test's output after its result line.
    for name, output in re.findall(r"^ *\d+/\d+ Test +#\d+: (\S+) \.*\*+\w+.*\n((?:(?! *Start +\d+:|\d+% tests).*\n)*)",
                                   text, re.M):
        lines += [f"  {name}: {line}" for line in output.splitlines() if line.strip()][-8:]
    return "\n".join(lines)


class Release:
    def __init__(self, targets):
        self.rows = {row[0]: row for row in table("name", "debian", "image", "triple", "libc", "runner")}
        self.targets = targets or list(self.rows)
        for target in self.targets:
            if target not in self.rows:
                raise Stop(f"{target}: no such row in cmake/targets.txt")
        # The source is packed in the first row's release; then each release in turn.
        first = table("debian")[0][0]
        self.releases = list(dict.fromkeys([first] + [self.rows[t][1] for t in self.targets]))
        self.version = re.search(r"^  VERSION ([0-9.]+)$", (TOP / "CMakeLists.txt").read_text(), re.M).group(1)
        self.source = f"classbanner-{self.version}"
        # Every stamp in a release, signatures included, is the commit's time.
        self.epoch = git("log", "-1", "--format=%ct")
        self.work = TOP / "build" / "release-work"
        self.publish = self.work / "publish"
        self.manifest = Manifest(self.publish)
        self.tarballs, self.unpacked = {}, []
        self.key, self.sign_at = os.environ.get("CLASSBANNER_SIGNING_KEY"), None

    def log(self, name):
        return self.work / f"{name}.log"

    def root(self, release):
        """RELEASE's root, unpacked once, with the source's git bundle in /build;
        the first's /build/publish is the work folder."""
        root = self.work / f"root-{release}"
        if root not in self.unpacked:
            self.unpacked.append(root)
            subprocess.run([TOOLS / "root.sh", "unpack", self.tarballs[release], root], check=True)
            (root / "build").mkdir()
            shutil.copy(self.work / "source.bundle", root / "build")
            if release == self.releases[0]:
                self.publish.rename(root / "build" / "publish")
                self.publish.symlink_to(root / "build" / "publish")
        return root

    def in_root(self, release, folder, *command, stage, log=None, stdin=None):
        """Run COMMAND, an argument list, in RELEASE's root, in FOLDER under
        /build: its output into LOG, else returned. STAGE stops where it fails."""
        with open(log, "a") if log else open(os.devnull, "w") as out:
            run = subprocess.run([TOOLS / "root.sh", "run", self.root(release), f"/build/{folder}", *command],
                                 stdin=stdin or subprocess.DEVNULL, stdout=out if log else subprocess.PIPE,
                                 stderr=out if log else None, text=True)
        if run.returncode != 0 and stage != "row":
            raise Stop(f"{stage}: {first_fault(log, stage) if log else command[0] + ' failed'}"
                       + (f" (log: {log})" if log else ""))
        return run

    def check(self, release, stage, *command, **options):
        """Run a stage's tool or check in RELEASE's root, in the work folder."""
        self.in_root(release, "publish", *command, stage=stage, log=self.log(stage), **options)


def git(*args):
    return subprocess.run(["git", *args], cwd=TOP, check=True, capture_output=True, text=True).stdout.strip()


def first_fault(log, who):
    """The first line a check (WHO) said of a fault, else the log's last line."""
    lines = [line for line in log.read_text(errors="replace").splitlines() if line.strip()]
    said = [line[len(who) + 2:] for line in lines if line.startswith(f"{who}: ")]
    return (said or lines or ["no output"])[0 if said else -1]


def say(stage, text):
    print(f"release: {stage:<9} {text}", flush=True)


def roots(r):
    """In: the table's releases. Out: one clean root tarball each (cached)."""
    for release in r.releases:
        made = subprocess.run([TOOLS / "root.sh", "make", release, r.log(f"mmdebstrap-{release}")],
                              stdout=subprocess.PIPE, text=True)
        if made.returncode != 0:
            raise Stop(f"{release}: no clean root")
        r.tarballs[release] = made.stdout.strip()
        say("root", f"{release}, {os.path.basename(r.tarballs[release])}")


def source(r):
    """Out: the source archive, the committed tree packed in the first root,
    with the commit's time for the package stamps, where git is not."""
    first, log = r.releases[0], r.log("source")
    r.in_root(first, ".", "git", "clone", "-q", "source.bundle", "git", stage="source", log=log)
    r.in_root(first, "git", "git", "archive", "--format=tar", f"--prefix={r.source}/",
              f"--add-virtual-file={r.source}/SOURCE_DATE_EPOCH:{r.epoch}\n",
              f"--output=../publish/dist/{r.source}.tar", "HEAD", stage="source", log=log)
    r.in_root(first, "publish/dist", "gzip", "-9", "-n", f"{r.source}.tar", stage="source", log=log)
    r.manifest.add(r.publish / "dist" / f"{r.source}.tar.gz", "source", root=first)
    say("source", f"dist/{r.source}.tar.gz")


def rows(r):
    """In: the source archive. Out: each row's packages, built and tested in
    its release's root, and its binary, with what it carries statically."""
    for release in r.releases:
        build = r.root(release) / "build"
        shutil.copy(r.publish / "dist" / f"{r.source}.tar.gz", build)
        r.in_root(release, ".", "tar", "-xzf", f"{r.source}.tar.gz", stage="source", log=r.log("source"))
        for target in [t for t in r.targets if r.rows[t][1] == release]:
            log = r.log(target)
            made = r.in_root(release, r.source, "env", f"CLASSBANNER_TARGET={target}", "cmake", "--workflow",
                             "--preset", "target", stage="row", log=log)
            if made.returncode != 0:
                raise Stop(f"{target}: {why(log)}\n  (log: {log})")
            text = log.read_text()
            skipped = re.findall(r"^\s*\d+ - (.*) \((?:Skipped|Not Run)\)$", text, re.M)
            if skipped:
                raise Stop(f"{target}: tests skipped: {' '.join(skipped)} (log: {log})")
            out = build / r.source / "build" / f"target-{target}"
            made = (rf"{r.source}-linux-.*\.tar\.gz|classbanner_{r.version}_.*\.deb|{r.source}-1\..*\.rpm"
                    rf"|{r.source}-win.*\.zip")
            packages = sorted((p for p in os.listdir(out) if re.fullmatch(made, p)), key=lambda s: s.encode())
            if not packages:
                raise Stop(f"{target}: no package made (log: {log})")
            triple, libc, runner = r.rows[target][3:]
            parts = r.in_root(release, r.source, "scripts/release/static-parts.sh", triple, libc, runner,
                              stage=target).stdout
            binary = r.publish / "binaries" / target
            shutil.copy(out / ("classbanner.exe" if libc == "msvcrt.dll" else "classbanner"), binary)
            r.manifest.add(binary, "binary", [target], root=release, platform=r.rows[target][2],
                           static=[line.split("\t") for line in parts.splitlines()])
            for package in packages:
                shutil.copy(out / package, r.publish / "dist")
                r.manifest.add(r.publish / "dist" / package, package.rsplit(".", 1)[-1], [target])
            passed = re.findall(r".*% tests passed.*", text)[-1]
            say(target, f"{release}, {passed}; {' '.join(packages)}")


def buildinfo(r):
    """In: the source archive, the binaries' roots. Out: the build information,
    naming every root's release and installed packages, enough to make it again."""
    src = r.manifest.find("source")[0]
    size = (r.publish / src["path"]).stat().st_size
    text = (f"Format: 1.0\nSource: classbanner\nVersion: {r.version}\nGit-Commit: {git('rev-parse', 'HEAD')}\n"
            f"Checksums-Sha256:\n {src['sha256']} {size} {r.source}.tar.gz\nSource-Packed-In: {r.releases[0]}\n")
    for release in r.releases:
        built = [t for t in r.targets if r.manifest.find("binary", rows=[t], root=release)]
        listing = r.in_root(release, ".", "dpkg-query", "-W", "-f",
                            "${db:Status-Abbrev} ${Package}:${Architecture} (= ${Version})\n", stage="buildinfo").stdout
        installed = [" " + " ".join(line.split()[1:]) for line in listing.splitlines() if line.split()[0] == "ii"]
        debian = (r.root(release) / "etc" / "debian_version").read_text().strip()
        text += (f"\nRoot: {release}\nDebian-Version: {debian}\n"
                 f"Targets: {' '.join(built) or '(the source archive)'}\nInstalled-Packages:\n")
        text += "".join(line + "\n" for line in sorted(installed, key=lambda s: s.encode()))
    path = r.publish / "dist" / f"{r.source}.buildinfo"
    path.write_text(text)
    r.manifest.add(path, "buildinfo")


def image(r):
    """In: the Linux binaries. Out: one OCI image archive over all of them."""
    binaries = [item for t in r.targets for item in r.manifest.find("binary", rows=[t]) if item["platform"] != "-"]
    if not binaries:
        return
    platforms = [f"{item['platform']}={item['path']}" for item in binaries]
    archive = f"dist/{r.source}-oci.tar"
    r.check(r.releases[0], "image", f"../{r.source}/scripts/release/image.sh", archive, r.version, r.epoch,
            f"../{r.source}/LICENSE", *platforms)
    r.check(r.releases[0], "image", f"../{r.source}/tests/release/image-check.sh", archive, r.version,
            f"../{r.source}/tests/banner.txt", *platforms)
    r.manifest.add(r.publish / archive, "oci", [row for item in binaries for row in item["rows"]])
    say("image", f"{len(binaries)} platform{'s' if len(binaries) > 1 else ''}: {archive}")


def sbom(r):
    """In: the manifest. Out: the bill of materials (CycloneDX), checked."""
    out = f"dist/{r.source}.cdx.json"
    r.check(r.releases[0], "sbom", "python3", f"../{r.source}/scripts/release/sbom.py", "manifest.json",
            r.version, r.epoch, out)
    r.check(r.releases[0], "sbom", "python3", f"../{r.source}/tests/release/sbom-check.py", out, "dist",
            f"dist/{r.source}.buildinfo")
    r.manifest.add(r.publish / out, "sbom")
    say("sbom", f"{out}, {len(r.manifest.downloads()) - 1} downloads")


def sums(r):
    """In: every download. Out: SHA256SUMS."""
    names = sorted((path[len("dist/"):] for path in r.manifest.downloads()), key=lambda s: s.encode())
    lines = "".join(f"{sha256(r.publish / 'dist' / name)}  {name}\n" for name in names)
    (r.publish / "dist" / "SHA256SUMS").write_text(lines)
    r.manifest.add(r.publish / "dist" / "SHA256SUMS", "sums")


def sign(r):
    """In: SHA256SUMS. Out: SHA256SUMS.asc and the public key, checked with gpgv."""
    if not r.key:
        say("unsigned", "(no CLASSBANNER_SIGNING_KEY): no SHA256SUMS.asc, nor apt or rpm repository, "
            "which apt and dnf refuse unsigned")
        return
    with open(r.key) as key:
        r.check(r.releases[0], "sign", f"../{r.source}/scripts/release/sign.sh", "sums", "dist", r.sign_at, stdin=key)
    r.manifest.add(r.publish / "dist" / "SHA256SUMS.asc", "signature")
    r.manifest.add(r.publish / "dist" / "classbanner-signing-key.asc", "key")
    r.check(r.releases[0], "signed", f"../{r.source}/tests/release/signed-check.sh", "sums", "dist")


def repositories(r):
    """In: the packages. Out: the signed apt and rpm repositories, checked as
    users take them: apt in every release's root, dnf in the first's."""
    if not r.key:
        return
    with open(r.key) as key:
        r.check(r.releases[0], "sign", f"../{r.source}/scripts/release/sign.sh", "repositories", "dist", r.epoch,
                r.sign_at, stdin=key)
    dist = r.publish / "dist"
    for kind in ("apt", "rpm"):
        for path in sorted((dist / kind).rglob("*")):
            if path.is_file():
                r.manifest.add(path, f"{kind}-repository")
    check, banner = f"../{r.source}/tests/release/signed-check.sh", f"../{r.source}/tests/banner.txt"
    r.check(r.releases[0], "signed", check, "dnf", "dist", banner)
    for release in r.releases:
        if release != r.releases[0]:
            (r.root(release) / "build" / "publish").mkdir()
            shutil.copytree(dist, r.root(release) / "build" / "publish" / "dist")
        r.check(release, "signed", check, "apt", "dist", banner)
    signed = re.findall(r"^sign: (.*)$", r.log("sign").read_text(), re.M)
    say("signed", f"{'; '.join(signed)}; checked with gpgv, apt in {' '.join(r.releases)}, dnf in {r.releases[0]}")


STAGES = [roots, source, rows, buildinfo, image, sbom, sums, sign, repositories]


def main():
    os.chdir(TOP)
    if subprocess.run(["git", "rev-parse", "-q", "--verify", "HEAD"], stdout=subprocess.DEVNULL).returncode:
        raise Stop("needs a git clone: it packs the committed tree")
    r = Release(sys.argv[1:])
    if git("status", "--porcelain", "--untracked-files=no"):
        print("release: uncommitted changes are left out")
    if not shutil.which("mmdebstrap"):
        raise Stop("needs mmdebstrap: scripts/prerequisites.sh release")
    if r.key:
        r.key = os.path.abspath(r.key)
        check = subprocess.run([TOOLS / "sign.sh", "check", r.key, r.epoch], capture_output=True, text=True)
        if check.returncode:
            raise Stop(check.stderr.strip())
        r.sign_at = check.stdout.strip()
        if r.sign_at != r.epoch:
            at = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(int(r.sign_at)))
            print(f"release: the key was made after the commit: it signs at {at}, when it was made")
    for root in r.work.glob("root-*"):
        subprocess.run([TOOLS / "root.sh", "remove", root])  # left by a release that was stopped
    shutil.rmtree(r.work, ignore_errors=True)
    (r.publish / "dist").mkdir(parents=True)
    (r.publish / "binaries").mkdir()
    git("bundle", "create", "-q", str(r.work / "source.bundle"), "HEAD")
    try:
        for stage in STAGES:
            stage(r)
        # Every stage has passed: dist/ is replaced in one step.
        shutil.rmtree(TOP / "dist.old", ignore_errors=True)
        if (TOP / "dist").exists():
            (TOP / "dist").rename(TOP / "dist.old")
        (r.publish / "dist").rename(TOP / "dist")
        shutil.rmtree(TOP / "dist.old", ignore_errors=True)
    finally:
        if (r.publish / "manifest.json").exists():  # kept with the logs, for a look afterwards
            shutil.copy(r.publish / "manifest.json", r.work / "manifest.json")
        if r.publish.is_symlink():
            r.publish.unlink()
        for root in r.unpacked:
            subprocess.run([TOOLS / "root.sh", "remove", root])
    count = sum(1 for p in (TOP / "dist").rglob("*") if p.is_file() and p.name != "SHA256SUMS")
    print(f"release: dist/ holds {count} files and SHA256SUMS, sha256 {sha256(TOP / 'dist' / 'SHA256SUMS')}")


if __name__ == "__main__":
    try:
        main()
    except Stop as stop:
        sys.exit(f"release: {stop}")
