# SPDX-License-Identifier: MIT
"""The build: the clean roots, the source archive, every row built, tested
and packed in its suite's root, and the build information that names it all."""
import hashlib
import os
import re
import shutil
import time
from datetime import datetime, timezone

from ..artifacts import KINDS, stage
from ..base import Stop, output
from ..config import TOP
from ..logs import cmake_fault, paragraphs, tests, tests_failed
from ..roots import fetch, mmdebstrap, prune, snapshot, write_installed


@stage(only="release")
def make_roots(r):
    """Out: a clean root for each suite, of what its rows (and the first's,
    publishing) need, cached by mirror and packages; with KEEP_INPUTS,
    every .deb the roots hold there, indexed."""
    c = r.config
    cache, keep = c.roots, c.keep_inputs
    if not c.mirrors:
        raise Stop("no Debian mirror in this machine's apt configuration, nor CLASSBANNER_MIRROR")
    url = c.mirrors[0]
    for suite in c.suites:
        groups = ["build", "publish"][:2 if suite == c.first_suite else 1]
        rows = [name for name, row in c.table.items() if row["debian"] == suite]
        lists = output(TOP / "scripts/prerequisites.sh", "--list", *groups, *rows)  # foreign architectures; packages
        key = hashlib.sha256(f"{url}\n{lists}".encode()).hexdigest()[:16]
        tarball = cache / f"{suite}-{key}.tar"
        if not tarball.exists():
            foreign, packages = lists.split("\n")[:2]
            log, start = r.log(f"mmdebstrap-{suite}"), time.time()
            r.say("root", f"{suite}: making it with mmdebstrap, {len(packages.split())} packages from {url}; minutes "
                  f"the first time, cached after (log: {log})")
            cache.mkdir(parents=True, exist_ok=True)
            mmdebstrap(suite, tarball, [c.native] + foreign.split(), packages.split(), url, log)
            prune(cache, suite)
            took = int(time.time() - start)
            r.say("root", f"{suite}: made in {took // 60} min {took % 60} s")
        r.roots.provide(suite, tarball)
        # A cached root's packages are those of the day it was made, not the mirror's of today.
        made = datetime.fromtimestamp(tarball.stat().st_mtime, timezone.utc)
        r.say("root", f"{suite}, {tarball.name}, made on {made:%Y-%m-%d}, with that day's packages")
        if keep:
            fetch(suite, write_installed(tarball), [url], keep, c.native, True, snapshot(tarball))
    if keep:
        debs = list(keep.rglob("*.deb"))
        r.say("root", f"{keep}: the roots' {len(debs)} packages kept, "
              f"{sum(p.stat().st_size for p in debs) / 2**30:.1f} GiB, with Debian's signed indexes of them")


@stage(makes=["source"], only="release")
def pack_source(r):
    """Out: the source archive, the committed tree packed in the first root,
    with the commit's time for the package stamps, where git is not."""
    c = r.config
    dist = f"../publish/dist/{c.stem}.tar"
    r.step("source-clone", c.first_suite, ".", "git", "clone", "-q", "source.bundle", "git")
    r.step("source-archive", c.first_suite, "git", "git", "archive", "--format=tar", f"--prefix={c.stem}/",
           f"--output={dist}", f"--add-virtual-file={c.stem}/SOURCE_DATE_EPOCH:{c.epoch}\n", "HEAD")
    r.step("source-gzip", c.first_suite, "publish/dist", "gzip", "-9", "-n", f"{c.stem}.tar")
    r.manifest.add(r.publish / "dist" / f"{c.stem}.tar.gz", "source", root=c.first_suite)
    r.say("source", f"dist/{c.stem}.tar.gz")


@stage(takes=["source"], makes=["binary", "tar.gz", "rpm", "deb", "zip-layout"])
def build_rows(r):
    """In: the source archive. Out: each row's packages, built and tested in
    its suite's root, and its binary, with what it carries statically."""
    c = r.config
    archive = r.manifest.find("source")[0]["path"]
    for suite in c.suites:
        shutil.copy(r.publish / archive, r.root(suite) / "build")
        r.step(f"unpack-{suite}", suite, ".", "tar", "-xzf", f"{c.stem}.tar.gz")
        for target in [t for t in c.targets if c.table[t]["debian"] == suite]:
            build_row(r, suite, target)


def build_row(r, suite, target):
    """One row, configured, built, tested and packed, a step each; its .deb, by Debian's tools."""
    c = r.config
    row, out = c.table[target], r.root(suite) / "build" / c.stem / "build" / f"target-{target}"
    cmake, junit = ["env", f"CLASSBANNER_TARGET={target}"], r.work / f"{target}-junit.xml"

    def report(log):
        """ctest's report of the row's tests, taken out of the root."""
        if (out / "junit.xml").exists():
            r.take(out / "junit.xml", junit)
        return tests_failed(junit)
    for name, command, fault in (("configure", ["cmake", "--preset", "target"], cmake_fault),
                                 ("build", ["cmake", "--build", "--preset", "target"], cmake_fault),
                                 ("test", ["ctest", "--preset", "target", "--output-junit", "junit.xml"],
                                  report),
                                 ("package", ["cpack", "--preset", "target"], cmake_fault)):
        r.step(f"{target}-{name}", suite, c.stem, *cmake, *command, fault=fault)
    report(None)
    ran = tests(junit)
    skipped = [name for name, (status, _) in ran.items() if status != "run"]
    if skipped or not ran:
        raise Stop(f"{target}: tests skipped: {' '.join(skipped) or 'all'} (log: {r.log(target + '-test')})")
    parts = paragraphs(r.query(suite, c.stem, "scripts/pipeline/tools/static-parts.sh", target))
    binary = r.publish / "binaries" / target
    r.take(out / ("classbanner.exe" if row["system"] == "windows" else "classbanner"), binary)
    r.manifest.add(binary, "binary", rows=[target], root=suite, platform=row["image"], static=parts)
    made = {rf"{c.stem}-linux-.*\.tar\.gz": "tar.gz", rf"{c.stem}-1\..*\.rpm": "rpm",
            rf"{c.stem}-win.*\.zip": "zip-layout"}
    kinds = {name: kind for name in sorted(os.listdir(out), key=str.encode)
             for pattern, kind in made.items() if re.fullmatch(pattern, name)}
    if not kinds:
        raise Stop(f"{target}: no package made (log: {r.log(target + '-package')})")
    packages = list(kinds)
    for package, kind in kinds.items():
        r.take(out / package, r.publish / KINDS[kind].folder / package)
        r.manifest.add(r.publish / KINDS[kind].folder / package, kind, rows=[target], root=suite)
    if row["system"] == "linux":  # the .deb, by Debian's tools, holding the binary the tests ran
        deb = f"classbanner_{c.debian_version}_{target}.deb"
        r.step(f"{target}-deb", suite, c.stem, "dpkg-buildpackage", "-b", "-us", "-uc", f"-a{target}")
        runner = [] if row["runner"] == "-" else [row["runner"]]
        r.step(f"{target}-deb-check", suite, c.stem, "scripts/pipeline/tools/deb-check.sh", "deb", f"../{deb}", target,
               "tests/banner.txt", f"build/target-{target}/classbanner", *runner)
        r.take(r.root(suite) / "build" / deb, r.publish / "dist" / deb)
        r.manifest.add(r.publish / "dist" / deb, "deb", rows=[target], root=suite)
        packages.append(deb)
    r.say(target, f"{suite}, {len(ran)} tests passed; {' '.join(packages)}")


@stage(takes=["source", "binary"], makes=["buildinfo"])
def write_buildinfo(r):
    """In: the source archive, the binaries. Out: the build information: every
    root's suite and installed packages, enough to make it again."""
    c = r.config
    src = r.manifest.find("source")[0]
    text = (f"Format: 1.0\nSource: classbanner\nVersion: {c.version}\nGit-Commit: {c.commit}\n"
            f"Checksums-Sha256:\n {src['sha256']} {(r.publish / src['path']).stat().st_size} {c.stem}.tar.gz\n"
            f"Source-Packed-In: {c.first_suite}\n" + (f"Download-Url: {c.url}\n" if c.url else "")
            + f"Npm-Packages:\n {' '.join(c.axe)}\n")
    for suite in c.suites:
        built = [t for t in c.targets if r.manifest.find("binary", rows=[t], root=suite)]
        tarball = r.roots.tarballs.get(suite)  # a rebuild's roots are remade: it names the shipped snapshot
        made = c.snapshots.get(suite) if c.snapshots is not None else tarball and snapshot(tarball)
        text += (f"\nRoot: {suite}\nDebian-Version: {r.take(r.root(suite) / 'etc/debian_version').decode().strip()}"
                 f"\nTargets: {' '.join(built) or '(the source archive)'}\n" + (f"Snapshot: {made}\n" if made else "")
                 + "Installed-Packages:\n")
        text += "".join(f" {line}\n" for line in r.packages(suite))
    (r.publish / "dist" / f"{c.stem}.buildinfo").write_text(text)
    r.manifest.add(r.publish / "dist" / f"{c.stem}.buildinfo", "buildinfo")
