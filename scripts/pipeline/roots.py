# SPDX-License-Identifier: MIT
"""The clean roots: a Debian mirror, a root's packages fetched by version
and indexed, a root made by mmdebstrap and cached, and the runner of
commands in a root, in namespaces of its own."""
import glob
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import time
import urllib.parse

from .base import Stop, output
from .logs import paragraphs
from .untrusted import PACKAGE, package

TOOLS = pathlib.Path(__file__).resolve().parent / "tools"


AS_ROOT = [] if os.getuid() == 0 else ["unshare", "--map-auto", "--map-root-user"]


def mirror():
    """The first Debian archive this machine's apt reads (not the security
    archive, whose suites are named otherwise)."""
    uris = []
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        uris += [u for line in re.findall(r"^URIs: *(.*)$", pathlib.Path(path).read_text(), re.M) for u in line.split()]
    for path in glob.glob("/etc/apt/sources.list") + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        for fields in (line.split() for line in pathlib.Path(path).read_text().splitlines()):
            uris += [field for field in fields[1:] if fields[0] == "deb" and re.match(r"[a-z+]+:", field)][:1]
    return next((uri for uri in uris if "security" not in uri.lower()), None)


class Roots:
    """The clean roots, each unpacked into the work folder on first use (with
    the commit's git bundle in /build), and commands run in them."""

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

    def execute(self, root, folder, command, stdout, stdin=None, namespaces=None):
        """COMMAND, an argument list, in ROOT, in FOLDER under /build: its
        output to STDOUT (a log, with its errors, or a pipe, without)."""
        namespaces = namespaces or self.namespaces
        userns = "yes" if "--user" in namespaces else "no"
        return subprocess.run(["unshare", *namespaces, TOOLS / "enter-root.sh", root, userns, f"/build/{folder}",
                               *command], stdin=stdin or subprocess.DEVNULL, stdout=stdout, text=True,
                              stderr=subprocess.PIPE if stdout == subprocess.PIPE else subprocess.STDOUT)

    def provide(self, suite, tarball):
        """The tarball SUITE's root is to be unpacked from."""
        self.tarballs[suite] = tarball

    def remove(self, root):
        subprocess.run(AS_ROOT + ["rm", "-rf", root])


KEPT = 3  # roots kept of each Debian release: a release's, a rebuild's, another tree's


def prune(cache, suite):
    """All but the KEPT newest roots of SUITE in CACHE removed, with their listings."""
    for tarball in sorted(cache.glob(f"{suite}-*.tar"), key=lambda t: t.stat().st_mtime, reverse=True)[KEPT:]:
        tarball.unlink()
        tarball.with_suffix(".packages").unlink(missing_ok=True)


def write_installed(tarball):
    """The packages a root tarball holds, as the .buildinfo lists them: written
    beside it the first time, read from there after."""
    listing = tarball.with_suffix(".packages")
    if not listing.exists():
        status = paragraphs(output("tar", "-xOf", tarball, "./var/lib/dpkg/status"))
        listing.write_text("".join(f"{line}\n" for line in sorted(
            (f"{p['package']}:{p['architecture']} (= {p['version']})" for p in status
             if p.get("status") == "install ok installed"), key=str.encode)))
    return listing.read_text().splitlines()


def pinned(line):
    """A package as the .buildinfo lists it, as apt and mmdebstrap name it
    with its version: name:arch=version (arch all: name=version)."""
    name, arch, version = PACKAGE.fullmatch(package(line, "a root's package")).groups()
    return f"{name}={version}" if arch == "all" else f"{name}:{arch}={version}"


def architectures(native, wanted):
    """The architectures of a root whose packages are WANTED (the .buildinfo's
    lines): this machine's first, then the foreign ones."""
    return [native] + sorted({line.split()[0].split(":")[1] for line in wanted} - {native, "all"})


# Debian's archive keys, the retired ones too; signatures by a key that has
# since expired are taken (as on old snapshots) through mmdebstrap's gpgv.
KEYRINGS = "/usr/share/keyrings/debian-archive-keyring.gpg,/usr/share/keyrings/debian-archive-removed-keys.gpg"
GPGV = "/usr/libexec/mmdebstrap/gpgvnoexpkeysig"


def snapshot(tarball):
    """The snapshot of Debian's archive at the end of the day TARBALL's root
    was made: the same on every machine that makes it that day, as the
    .buildinfo must be, and holding each of its versions, current that day,
    unless Debian replaced one later the same day."""
    made = time.strftime("%Y%m%dT235959Z", time.gmtime(tarball.stat().st_mtime))
    return f"https://snapshot.debian.org/archive/debian/{made}/"


def fetch(release, wanted, sources, folder, native, keep=False, snapshot=None, keyrings=KEYRINGS):
    """Into FOLDER, the .deb file of each package WANTED (the .buildinfo's
    lines) in RELEASE, that version exactly, from the first of SOURCES (mirror
    or snapshot URLs; folders kept by a release, partial mirrors) that has it
    with Debian's bytes: apt takes a file only if its SHA-256 is what Debian's
    signed index says. With KEEP, FOLDER is a partial mirror: the files at
    their pool paths, beside those indexes. Stops naming what it cannot get,
    and where none has a version, SNAPSHOT, the archive of the roots' day."""
    bases = [f"copy:{os.path.abspath(s)}" if os.path.isdir(s) else s for s in sources
             if not os.path.isdir(s) or os.path.isfile(f"{s}/dists/{release}/InRelease")]
    if not bases:
        raise Stop(f"{release} root: no Debian index of {release}, signed, in {' '.join(sources)}")
    apt = folder / "apt"
    for sub in ("lists/partial", "archives/partial", "parts"):
        (apt / sub).mkdir(parents=True, exist_ok=True)
    (apt / "status").write_text("")
    (apt / "sources.list").write_text("".join(f"deb [signed-by={keyrings}] {base} {release} main\n" for base in bases))
    options = [f"-oDir::{key}={value}" for key, value in (
        ("Etc::SourceList", apt / "sources.list"), ("Etc::SourceParts", apt / "parts"), ("State", apt),
        ("State::status", apt / "status"), ("Cache", apt), ("Etc::Preferences", "/dev/null"),
        ("Etc::PreferencesParts", apt / "parts"))] + [
        f"-oAPT::Architectures={','.join(architectures(native, wanted))}", "-oAcquire::Check-Valid-Until=false",
        "-oAcquire::Languages=none", "-oDebug::NoLocking=true", "-oAPT::Sandbox::User=root"]
    options += [f"-oApt::Key::gpgvcommand={GPGV}"] * os.path.exists(GPGV)

    def apt_get(*command):
        done = subprocess.run(["apt-get", "-q", *options, *command], cwd=folder, capture_output=True, text=True)
        said = [line[3:] for line in done.stderr.splitlines() if line.startswith("E: ")]
        if done.returncode or said:
            missing = re.search(r"Version '(.*)' for '(.*)' was not found", said[0] if said else "")
            where = f"; Debian's snapshot of the day the release's roots were made has it: {snapshot}" if (
                missing and snapshot) else ""
            raise Stop(f"{release} root: {(said or [done.stderr.strip()[-200:]])[0]}, in {' '.join(sources)}{where}")
        return done.stdout
    apt_get("update")
    uris = [line.split()[:2] for line in apt_get("download", "--print-uris", "--", *map(pinned, wanted)).splitlines()]
    apt_get("download", "--", *map(pinned, wanted))
    for uri, name in uris if keep else ():  # at its pool path, as Debian's index names it
        pool = folder / "pool" / urllib.parse.unquote(uri.strip("'").split("/pool/", 1)[1])
        pool.parent.mkdir(parents=True, exist_ok=True)
        os.replace(folder / name, pool)
    if keep:  # Debian's signed indexes, as the mirror serves them, checked against the InRelease apt checked
        dists, signed = folder / "dists" / release, next((apt / "lists").glob(f"*_dists_{release}_InRelease"))
        for arch in architectures(native, wanted):
            part = f"main/binary-{arch}/Packages.xz"
            digest = re.search(rf"^ ([0-9a-f]{{64}}) +\d+ {part}$", signed.read_text(), re.M).group(1)
            (dists / part).parent.mkdir(parents=True, exist_ok=True)
            output("/usr/lib/apt/apt-helper", "download-file", f"{bases[0]}/dists/{release}/{part}", dists / part,
                   f"SHA256:{digest}")
        shutil.copy(signed, dists / "InRelease")
    shutil.rmtree(apt)


def index(folder, suite=None):
    """The Packages index of the .deb files in FOLDER; with a Release naming
    SUITE, whose essential packages alone mmdebstrap takes."""
    entries = []
    for deb in sorted(folder.glob("*.deb"), key=lambda p: p.name.encode()):
        data = deb.read_bytes()
        entries.append(output("dpkg-deb", "-f", deb).rstrip("\n") + f"\nFilename: ./{deb.name}\nSize: {len(data)}\n"
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
    write_installed(tarball)


def namespaces():
    """The namespaces a root's commands run in: a user namespace of its own,
    but where the kernel allows none (a chroot), mount and pid only; always
    a network of its own, with no way out: nothing a build runs reaches the
    network, and no process outlives its step."""
    found = ["--user", "--map-root-user", "--mount", "--pid", "--fork", "--net"] + ["--map-auto"] * bool(AS_ROOT)
    if AS_ROOT == [] and subprocess.run(["unshare", "--user", "--map-root-user", "true"],
                                        stderr=subprocess.DEVNULL).returncode:
        found = ["--propagation", "unchanged", "--mount", "--pid", "--fork", "--net"]
    return found
