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
import dataclasses
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import time

from .artifacts import Stop, sha256
from .config import TOP, configure, table, versions
from .keys import dsse_signed, signed_sums
from .logs import paragraphs
from .roots import Roots, namespaces
from .run import Run, make, workspace
from .stages.attestation import attest_provenance, write_sbom
from .stages.build import build_rows, write_buildinfo
from .stages.debian import build_debian_source
from .stages.image import build_image
from .stages.rebuild import detach_signatures, pe_signed, pin_roots, shipped_exes, take_source
from .stages.windows import build_msis, pack_zips, sign_windows

STAGES = [pin_roots, take_source, build_rows, build_debian_source, write_buildinfo, detach_signatures, sign_windows,
          pack_zips, build_image, build_msis, write_sbom, attest_provenance]


def downloads(dist, fingerprint):
    """The downloads of DIST, name: SHA-256, once checked against SHA256SUMS,
    itself signed by FINGERPRINT's key; and the provenance's Statement, once
    its signature and subjects are checked (None if the release has none)."""
    sums = signed_sums(dist, fingerprint)
    envelope = next((name for name in sums if name.endswith(".intoto.jsonl")), None)
    if not envelope:
        return sums, None
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import serialization
    signed = json.loads((dist / envelope).read_text())
    payload = base64.b64decode(signed["payload"])
    key = serialization.load_pem_public_key((dist / "classbanner-provenance-key.pem").read_bytes())
    try:
        key.verify(base64.b64decode(signed["signatures"][0]["sig"]), dsse_signed(payload))
    except InvalidSignature:
        raise Stop(f"{dist / envelope}: not signed by classbanner-provenance-key.pem")
    subjects = {s["name"]: s["digest"]["sha256"] for s in json.loads(payload)["subject"]}
    if subjects != {name: digest for name, digest in sums.items() if name != envelope}:
        raise Stop(f"{dist / envelope}: its subjects are not the downloads SHA256SUMS lists")
    return sums, payload


def rebuilt_config(dist, work, sums):
    """The rebuild's configuration, from DIST's source archive, unpacked into
    WORK, and its .buildinfo: the same targets, roots pinned to its lists,
    the shipped Authenticode signatures to attach, where there are any."""
    archive = next(name for name in sums if re.fullmatch(r"classbanner-[0-9.]+\.tar\.gz", name))
    info = paragraphs((dist / archive.replace(".tar.gz", ".buildinfo")).read_text())
    listed = info[0]["checksums_sha256"].split()
    if listed[-1] != archive or listed[0] != sums[archive]:
        raise Stop(f"{dist / archive}: not the source archive the .buildinfo names ({listed[0]})")
    with tarfile.open(dist / archive) as packed:
        commit = packed.pax_headers.get("comment", "")
        top = archive[:-len(".tar.gz")]
        epoch = packed.extractfile(f"{top}/SOURCE_DATE_EPOCH").read().decode().strip()
        if hasattr(tarfile, "data_filter"):  # a download's archive: no links out of it, no devices
            packed.extractall(work, filter="data")
        else:
            packed.extractall(work)
    targets = [t for p in info[1:] for t in p["targets"].split() if not t.startswith("(")]
    env = {key: value for key, value in os.environ.items()
           if key.startswith(("CLASSBANNER_MIRROR", "CLASSBANNER_ROOTS", "XDG_CACHE_HOME", "HOME", "PATH"))}
    config = configure(table(work / top), targets, *versions(work / top), commit, epoch, env, who="verify",
                       shipped=dist, pinned={p["root"]: [line for line in p["installed_packages"].splitlines() if line]
                                             for p in info[1:]})
    if any(map(pe_signed, shipped_exes(dist, config.stem, config.windows).values())):
        config = dataclasses.replace(config, signatures=str(work / "publish/shipped"))
    if list(config.pinned) != config.suites:
        raise Stop(f"{dist / archive.replace('.tar.gz', '.buildinfo')}: its roots are {' '.join(config.pinned)}, "
                   f"not {' '.join(config.suites)}, which its targets need")
    return config


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


def compare(r, sums, payload):
    """Each download against its rebuild, a line each: the number that differ."""
    dist, differ = r.config.shipped, 0
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
    return differ


def verify(dist, fingerprint):
    """DIST checked, rebuilt and compared: the number of downloads that differ."""
    start = time.time()
    sums, payload = downloads(dist, fingerprint.replace(" ", "").upper())
    print(f"verify: SHA256SUMS.asc signed by {fingerprint}; {len(sums)} downloads match SHA256SUMS"
          + ("; the provenance verifies and lists them" if payload else "; no provenance"), flush=True)
    if not shutil.which("mmdebstrap"):
        raise Stop("needs mmdebstrap: scripts/prerequisites.sh release")
    roots = Roots(TOP / "build" / "verify-work", namespaces())
    try:
        with workspace(roots):
            r = Run(rebuilt_config(dist, roots.work, sums), roots)
            make(r, STAGES)
            differ = compare(r, sums, payload)
    finally:
        if (roots.work / "publish/dist").is_dir():  # kept, for a look at what differs
            (roots.work / "publish/dist").rename(roots.work / "rebuilt")
    took = int(time.time() - start)
    print(f"verify: {len(sums) - differ} of {len(sums)} downloads the same as the rebuild, in {took // 60} min "
          f"{took % 60} s" + ("" if differ else ": the release is what its source archive builds"))
    return differ


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fingerprint", required=True, help="the publisher's OpenPGP key's fingerprint")
    parser.add_argument("dist", type=pathlib.Path, help="the release's folder, as downloaded")
    args = parser.parse_args()
    try:
        sys.exit(1 if verify(args.dist.resolve(), args.fingerprint) else 0)
    except Stop as stop:
        sys.exit(f"verify: {stop}")
