#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Verify a downloaded release: that its publisher signed it, and that its
source archive builds it, byte for byte, on this machine:

    scripts/verify.py --fingerprint FPR DIST

1. SHA256SUMS.asc must be signed by the key whose fingerprint is FPR (any
   other key is refused), every file SHA256SUMS lists must match it, and the
   provenance must be signed by its key and list every download.
2. The release is made again from DIST's source archive alone (no git), with
   the targets its .buildinfo names, unsigned, in roots whose packages are
   exactly the .buildinfo's, name, architecture and version, each root
   checked against its list before it builds. The Windows files and MSIs
   then take the release's own Authenticode signatures, detached from the
   downloads.
3. Every download is compared with the rebuilt one: a line each, same or
   differs (with the first part that differs, where diffoscope is
   installed). Exit status 0 only when every one is the same.

A root is reused from the cache (release.py's) when it holds exactly the
list; else it is made with mmdebstrap from a local repository of the listed
.deb files, fetched from $CLASSBANNER_MIRROR (a Debian mirror, or a snapshot
of Debian's archive from the release's day), else the first mirror this
machine's apt reads, or taken from $CLASSBANNER_MIRROR when it is a folder of
.deb files (a release's $CLASSBANNER_KEEP_INPUTS). The rebuild's work and
logs are in build/verify-work, and what it built in build/verify-work/rebuilt.
"""
import argparse
import base64
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile

sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import release  # noqa: E402 (beside this script, in the source archive too)
from release import Stop, paragraphs, say, sha256, stage  # noqa: E402

TOP = release.TOP


def downloads(dist, fingerprint):
    """The downloads of DIST, name: SHA-256, once checked against SHA256SUMS,
    itself signed by FINGERPRINT's key; and the provenance's Statement, once
    its signature and subjects are checked (None if the release has none)."""
    for name in ("SHA256SUMS", "SHA256SUMS.asc", "classbanner-signing-key.asc"):
        release.readable(dist / name)
    release.signed_by(fingerprint, dist / "classbanner-signing-key.asc", dist / "SHA256SUMS.asc", dist / "SHA256SUMS")
    sums = dict(reversed(line.split("  ", 1)) for line in (dist / "SHA256SUMS").read_text().splitlines())
    for name, digest in sums.items():
        if not (dist / name).is_file() or sha256(dist / name) != digest:
            raise Stop(f"{dist / name}: does not match SHA256SUMS")
    envelope = next((name for name in sums if name.endswith(".intoto.jsonl")), None)
    if not envelope:
        return sums, None
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import serialization
    signed = json.loads((dist / envelope).read_text())
    payload = base64.b64decode(signed["payload"])
    key = serialization.load_pem_public_key((dist / "classbanner-provenance-key.pem").read_bytes())
    try:
        key.verify(base64.b64decode(signed["signatures"][0]["sig"]), release.dsse_signed(payload))
    except InvalidSignature:
        raise Stop(f"{dist / envelope}: not signed by classbanner-provenance-key.pem")
    subjects = {s["name"]: s["digest"]["sha256"] for s in json.loads(payload)["subject"]}
    if subjects != {name: digest for name, digest in sums.items() if name != envelope}:
        raise Stop(f"{dist / envelope}: its subjects are not the downloads SHA256SUMS lists")
    return sums, payload


@stage()
def pinned_roots(r):
    """Out: each root of the .buildinfo, holding exactly its packages: from
    the cache, else made from a local repository of them; checked."""
    cache = release.root_cache(r.env)
    source = r.env.get("CLASSBANNER_MIRROR") or release.mirror(r.env)
    for release_name, wanted in r.lists.items():
        tarball = next((t for t in sorted(cache.glob(f"{release_name}-*.tar")) if release.installed(t) == wanted),
                       None)
        if tarball:
            say("root", f"{release_name}: {tarball.name}, cached, holds the .buildinfo's {len(wanted)} packages")
        else:
            repository, start = r.work / f"packages-{release_name}", time.time()
            say("root", f"{release_name}: fetching the .buildinfo's {len(wanted)} packages from {source}")
            release.fetch(release_name, wanted, source, repository, r.native)
            release.index(repository, release_name)
            key = hashlib.sha256("".join(wanted).encode()).hexdigest()[:16]
            tarball = cache / f"{release_name}-pinned-{key}.tar"
            cache.mkdir(parents=True, exist_ok=True)
            architectures = [r.native] + sorted({line.split()[0].split(":")[1] for line in wanted} - {r.native, "all"})
            release.mmdebstrap(release_name, tarball, architectures, map(release.pinned, wanted),
                               f"deb [trusted=yes] copy://{repository}/ ./", r.log(f"mmdebstrap-{release_name}"))
            took = int(time.time() - start)
            say("root", f"{release_name}: made in {took // 60} min {took % 60} s, of exactly those packages")
        r.roots.tarballs[release_name] = tarball
        listing = r.query(release_name, ".", "dpkg-query", "-W", "-f",
                          "${db:Status-Abbrev} ${Package}:${Architecture} (= ${Version})\n")
        found = [" ".join(line.split()[1:]) for line in listing.splitlines() if line[:2] == "ii"]
        if sorted(found, key=str.encode) != wanted:
            extra, missing = sorted(set(found) - set(wanted)), sorted(set(wanted) - set(found))
            raise Stop(f"{release_name} root: holds {' '.join(extra[:3]) or 'nothing more'}, lacks "
                       f"{' '.join(missing[:3]) or 'nothing'}, against the .buildinfo")
        # Every package is in the root: nothing in it may reach for a mirror (autopkgtest's apt-get
        # update would), which the rebuild may not have, nor, for a pinned root, the repository it came from.
        r.step(f"offline-{release_name}", release_name, ".", "find", "/etc/apt", "-maxdepth", "2", "-type", "f",
               "(", "-name", "sources.list", "-o", "-path", "/etc/apt/sources.list.d/*", ")", "-delete")


@stage(makes=["source"])
def given_source(r):
    """Out: the downloaded source archive, which everything is built from."""
    shutil.copy(r.dist / f"{r.source}.tar.gz", r.publish / "dist")
    r.manifest.add(r.publish / "dist" / f"{r.source}.tar.gz", "source", root=r.first)
    say("source", f"dist/{r.source}.tar.gz, as downloaded, SHA-256 as the .buildinfo names")


def pe_signed(data):
    """Whether a Windows executable carries an Authenticode signature: its
    certificate table (the fifth data directory) is not empty."""
    pe = int.from_bytes(data[0x3c:0x40], "little")
    plus = int.from_bytes(data[pe + 24:pe + 26], "little") == 0x20b  # PE32+, 64-bit
    table = pe + 24 + (144 if plus else 128)
    return int.from_bytes(data[table + 4:table + 8], "little") != 0


@stage()
def shipped_signatures(r):
    """Out: the Authenticode signatures of the Windows downloads, detached (no
    artifact): the .exe in each .zip, each .msi; for the rebuild to attach.
    A release made without an Authenticode key is rebuilt unsigned."""
    shipped = r.publish / "scratch/shipped"
    shipped.mkdir()
    exes = {}
    for t in r.windows:
        with zipfile.ZipFile(r.dist / f"{r.source}-{t}.zip") as packed:
            exes[t] = packed.read(f"{r.source}-{t}/classbanner.exe")
    if not any(map(pe_signed, exes.values())):
        return say("unsigned", "the shipped Windows files carry no Authenticode signature: rebuilt unsigned")
    for t in r.windows:
        (shipped / f"{r.source}-{t}.exe").write_bytes(exes[t])
        shutil.copy(r.dist / f"{r.source}-{t}.msi", shipped)
        for name in (f"{r.source}-{t}.exe", f"{r.source}-{t}.msi"):
            r.step(f"shipped-{name}", r.first, "publish/scratch/shipped", "osslsigncode", "extract-signature",
                   "-in", name, "-out", f"{name}.sig")
    r.signatures, r.signs_windows = shipped, bool(r.windows)


STAGES = [release.previous, pinned_roots, given_source, release.rows, release.debian, release.buildinfo,
          shipped_signatures, release.authenticode, release.zips, release.image, release.msi, release.sbom,
          release.provenance]


def first_difference(shipped, rebuilt):
    """The first part diffoscope says differs, where it is installed."""
    if not shutil.which("diffoscope"):
        return ""
    said = subprocess.run(["diffoscope", "--no-progress", "--text", "-", shipped, rebuilt], capture_output=True,
                          text=True).stdout.splitlines()
    part = next((line for line in said if line.startswith(("├── ", "│ ├── ", "@@ "))), said[2] if len(said) > 2 else "")
    return f": {part.lstrip('│├─ ').strip()[:160]}"


def first_change(shipped, rebuilt, path=""):
    """Where two JSON documents first differ, as a path into them."""
    if isinstance(shipped, dict) and isinstance(rebuilt, dict):
        key = next(k for k in sorted(set(shipped) | set(rebuilt)) if shipped.get(k) != rebuilt.get(k))
        return first_change(shipped.get(key), rebuilt.get(key), f"{path}.{key}")
    if isinstance(shipped, list) and isinstance(rebuilt, list) and len(shipped) == len(rebuilt):
        at = next(i for i, (a, b) in enumerate(zip(shipped, rebuilt)) if a != b)
        return first_change(shipped[at], rebuilt[at], f"{path}[{at}]")
    return f"{path or '.'}: {json.dumps(shipped)[:60]}, rebuilt {json.dumps(rebuilt)[:60]}"


def rebuild(dist, sums, payload):
    """The release made again from DIST's source archive; then each download
    compared with its rebuild. The number that differ."""
    archive = next(name for name in sums if re.fullmatch(r"classbanner-[0-9.]+\.tar\.gz", name))
    info = paragraphs((dist / archive.replace(".tar.gz", ".buildinfo")).read_text())
    listed = info[0]["checksums_sha256"].split()
    if listed[-1] != archive or listed[0] != sums[archive]:
        raise Stop(f"{dist / archive}: not the source archive the .buildinfo names ({listed[0]})")
    work = TOP / "build" / "verify-work"
    roots = release.Roots(work, release.namespaces())
    for root in work.glob("root-*"):
        roots.remove(root)  # left by a verify that was stopped
    shutil.rmtree(work, ignore_errors=True)
    with tarfile.open(dist / archive) as packed:
        commit = packed.pax_headers.get("comment", "")
        top = archive[:-len(".tar.gz")]
        epoch = packed.extractfile(f"{top}/SOURCE_DATE_EPOCH").read().decode().strip()
        if hasattr(tarfile, "data_filter"):  # a download's archive: no links out of it, no devices
            packed.extractall(work, filter="data")
        else:
            packed.extractall(work)
    tree = work / top
    version = re.search(r"^  VERSION ([0-9.]+)$", (tree / "CMakeLists.txt").read_text(), re.M).group(1)
    debian = re.match(r"classbanner \((.*)\)", (tree / "debian/changelog").read_text()).group(1)
    targets = [t for p in info[1:] for t in p["targets"].split() if not t.startswith("(")]
    env = {key: value for key, value in os.environ.items() if key.startswith(("CLASSBANNER_MIRROR", "CLASSBANNER_ROOTS",
                                                                              "XDG_CACHE_HOME", "HOME", "PATH"))}
    r = release.Release(release.table(tree), targets, version, debian, commit, epoch,
                        release.run("dpkg", "--print-architecture").strip(), env, roots)
    r.dist = dist
    r.lists = {p["root"]: [line for line in p["installed_packages"].splitlines() if line] for p in info[1:]}
    if list(r.lists) != r.releases:
        raise Stop(f"{dist / archive.replace('.tar.gz', '.buildinfo')}: its roots are {' '.join(r.lists)}, "
                   f"not {' '.join(r.releases)}, which its targets need")
    for folder in {kind.folder for kind in release.KINDS.values()} | {"unsigned"}:
        (r.publish / folder).mkdir(parents=True)
    differ = 0
    try:
        release.make(r, STAGES)
        statement = (r.publish / r.manifest.find("statement")[0]["path"]).read_bytes()
        for name in sorted(sums, key=str.encode):
            rebuilt = r.publish / "dist" / name
            if name.endswith(".intoto.jsonl"):
                same, at = statement == payload, lambda: first_change(json.loads(payload), json.loads(statement))
                why = "" if same else f": its Statement differs at {at()}"
            else:
                same = rebuilt.exists() and sha256(rebuilt) == sums[name]
                why = first_difference(dist / name, rebuilt) if rebuilt.exists() else ": not rebuilt"
            differ += not same
            print(f"verify: {'same   ' if same else 'DIFFERS'} {name}{'' if same else why}", flush=True)
    finally:
        if (r.publish / "dist").is_dir():  # kept, for a look at what differs
            (r.publish / "dist").rename(work / "rebuilt")
        if r.publish.is_symlink():
            r.publish.unlink()
        for root in roots.unpacked:
            roots.remove(root)
    return differ


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fingerprint", required=True, help="the publisher's OpenPGP key's fingerprint")
    parser.add_argument("dist", type=pathlib.Path, help="the release's folder, as downloaded")
    args = parser.parse_args()
    start, dist = time.time(), args.dist.resolve()
    release.WHO[0] = "verify"
    sums, payload = downloads(dist, args.fingerprint.replace(" ", "").upper())
    print(f"verify: SHA256SUMS.asc signed by {args.fingerprint}; {len(sums)} downloads match SHA256SUMS"
          + ("; the provenance verifies and lists them" if payload else "; no provenance"), flush=True)
    if not shutil.which("mmdebstrap"):
        raise Stop("needs mmdebstrap: scripts/prerequisites.sh release")
    differ = rebuild(dist, sums, payload)
    took = int(time.time() - start)
    print(f"verify: {len(sums) - differ} of {len(sums)} downloads the same as the rebuild, in {took // 60} min "
          f"{took % 60} s" + ("" if differ else ": the release is what its source archive builds"))
    return 1 if differ else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Stop as stop:
        sys.exit(f"verify: {stop}")
