# SPDX-License-Identifier: MIT
"""Verify a downloaded release: that its publisher signed it, and that its
source archive builds it, byte for byte, on this machine, or that enough
rebuilders you trust say so.

Its signatures and SHA256SUMS checked, the release is made again from the
source archive alone, unsigned, in roots of exactly its .buildinfo's packages,
its own Authenticode signatures attached; every download is compared, a line
each (docs/releasing.md). Work, logs and what it built: build/verify-work;
attestations made: build/attestations.
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
import xml.etree.ElementTree as ElementTree

from . import attestations, untrusted
from .artifacts import KINDS
from .base import Stop
from .config import TOP, configure, suites, table, versions
from .keys import dsse_signed, held, signed_sums
from .logs import paragraphs
from .roots import Roots, namespaces
from .run import Run, make, workspace
from .stages import SEQUENCE
from .stages.rebuild import pe_signed, shipped_exes
from .untrusted import read_regular


def downloads(dist, fingerprint):
    """The downloads of DIST, name: SHA-256, once checked against SHA256SUMS,
    itself signed by FINGERPRINT's key; and the provenance's Statement, once
    its signature and subjects are checked (None if the release has none)."""
    sums = signed_sums(dist, fingerprint)
    envelopes = [name for name in sums if name.endswith(".intoto.jsonl")]
    if len(envelopes) > 1:  # only one is the provenance, compared as its statement
        raise Stop(f"{dist}/SHA256SUMS: lists {len(envelopes)} provenances, {' '.join(envelopes)}; a release has one")
    if not envelopes:
        return sums, None
    envelope = envelopes[0]
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import serialization
    try:
        signed = json.loads(read_regular(dist, envelope))
        payload = base64.b64decode(signed["payload"], validate=True)
        signature = base64.b64decode(signed["signatures"][0]["sig"], validate=True)
        key = serialization.load_pem_public_key(read_regular(dist, "classbanner-provenance-key.pem") or b"")
        key.verify(signature, dsse_signed(payload))
        subjects = [(s["name"], s["digest"]["sha256"]) for s in json.loads(payload)["subject"]]
    except InvalidSignature:
        raise Stop(f"{dist / envelope}: not signed by classbanner-provenance-key.pem")
    except (ValueError, KeyError, TypeError, IndexError, AttributeError):
        raise Stop(f"{dist / envelope}: not a DSSE envelope of an in-toto Statement, with "
                   "classbanner-provenance-key.pem beside it")
    listed = untrusted.sums("".join(f"{digest}  {name}\n" for name, digest in subjects), f"{envelope}'s subjects")
    if listed != {name: digest for name, digest in sums.items() if name != envelope}:
        raise Stop(f"{dist / envelope}: its subjects are not the downloads SHA256SUMS lists")
    return sums, payload


def source_archive(sums):
    """The name of the source archive among the downloads SUMS lists."""
    found = [name for name in sums if re.fullmatch(r"classbanner-[0-9.]+\.tar\.gz", name)]
    if len(found) != 1:
        raise Stop(f"SHA256SUMS: lists {len(found)} source archives (classbanner-VERSION.tar.gz), not one")
    return found[0]


def buildinfo(path):
    """The .buildinfo at PATH, its paragraphs, each root's checked: its name
    a Debian release's, its packages in Debian's grammar."""
    try:
        info = paragraphs(path.read_text())
        for number, p in enumerate(info[1:], 2):
            where = f"{path}, paragraph {number}"
            untrusted.checked(untrusted.SUITE, p["root"], where, "a Debian release's name (Root:)")
            for line in (line for line in p["installed_packages"].splitlines() if line):
                untrusted.package(line, where)
            for target in p["targets"].split():
                untrusted.checked(untrusted.ROW, target.strip("()"), where, "a row's name (Targets:)")
        info[0]["checksums_sha256"].split()
    except (ValueError, KeyError, IndexError, UnicodeDecodeError) as fault:
        raise Stop(f"{path}: not a .buildinfo as a release writes it ({untrusted.shown(fault)})")
    if len(info) < 2 or len({p["root"] for p in info[1:]}) != len(info) - 1:
        raise Stop(f"{path}: names no root, or one root twice")
    return info


def rebuilt_config(dist, work, sums, only=()):
    """The rebuild's configuration, from DIST's source archive, unpacked into
    WORK, and its .buildinfo: the same targets (or ONLY those), roots pinned
    to its lists, the shipped Authenticode signatures to attach, if any; and
    every target the release was built for. Every value is read as data by
    this code and checked; nothing of the archive runs here."""
    archive = source_archive(sums)
    info = buildinfo(dist / archive.replace(".tar.gz", ".buildinfo"))
    listed = info[0]["checksums_sha256"].split()
    if listed[-1:] != [archive] or listed[0] != sums[archive]:
        raise Stop(f"{dist / archive}: not the source archive the .buildinfo names")
    top = untrusted.unpack(dist / archive, work)
    if top != archive[:-len(".tar.gz")]:
        raise Stop(f"{dist / archive}: unpacks to {top}/, not {archive[:-len('.tar.gz')]}/")
    with tarfile.open(dist / archive) as packed:
        commit = packed.pax_headers.get("comment", "")
    untrusted.checked(untrusted.COMMIT, commit, f"{dist / archive}", "a commit (its pax comment)")
    epoch = untrusted.checked(untrusted.EPOCH, (read_regular(work, top, "SOURCE_DATE_EPOCH") or b"").decode(
        errors="replace").strip(), f"{top}/SOURCE_DATE_EPOCH", "a time in seconds")
    rows = table(work / top)
    targets = [t for p in info[1:] for t in p["targets"].split() if not t.startswith("(")]
    for target in (t for t in only if t not in targets):
        raise Stop(f"--targets {target}: not a target of this release ({' '.join(targets)})")
    tabled = {row["debian"] for row in rows.values()}
    for p in (p for p in info[1:] if p["root"] not in tabled):
        raise Stop(f"{dist / archive.replace('.tar.gz', '.buildinfo')}: root {p['root']} is no Debian release "
                   "of its targets table")
    version, debian = versions(work / top)
    if archive != f"classbanner-{version}.tar.gz":
        raise Stop(f"{dist / archive}: its tree is of version {version}")
    needed = suites(rows, [t for t in rows if t in (only or targets)])
    pinned = {p["root"]: [line for line in p["installed_packages"].splitlines() if line]
              for p in info[1:] if p["root"] in needed or not only}
    if list(pinned) != needed:
        raise Stop(f"{dist / archive.replace('.tar.gz', '.buildinfo')}: its roots are {' '.join(pinned)}, "
                   f"not {' '.join(needed)}, which its targets need")
    shipped_windows = [t for t in targets if rows[t]["system"] == "windows"]
    signed = any(map(pe_signed, shipped_exes(dist, archive[:-len(".tar.gz")], shipped_windows).values()))
    # Only where roots come from and are kept: a rebuild signs nothing and publishes nothing.
    env = {key: value for key, value in os.environ.items()
           if key in ("CLASSBANNER_MIRROR", "CLASSBANNER_ROOTS", "XDG_CACHE_HOME")}
    # Its repositories' packages that are no download of it: earlier versions', which its page lists.
    earlier = sorted(f"{folder}/{path.name}" for folder, end in (("apt/pool/main", ".deb"), ("rpm", ".rpm"))
                     for path in (dist / folder).glob(f"*{end}") if path.name not in sums)
    config = configure(rows, only or targets, version, debian, commit, epoch, env, who="verify", shipped=dist,
                       pinned=pinned, snapshots={p["root"]: p["snapshot"] for p in info[1:] if "snapshot" in p},
                       url=info[0].get("download_url"), earlier=tuple(earlier),
                       signatures=str(work / "publish/shipped") if signed else None)
    return config, tuple(t for t in config.table if t in targets)


def first_difference(shipped, rebuilt):
    """The first part diffoscope says differs, where it is installed."""
    if not shutil.which("diffoscope"):
        return ""
    said = subprocess.run(["diffoscope", "--no-progress", "--text", "-", shipped, rebuilt], capture_output=True,
                          text=True).stdout.splitlines()
    part = next((line for line in said if line.startswith(("├── ", "│ ├── ", "@@ "))), said[2] if len(said) > 2 else "")
    return f": {part.lstrip('│├─ ').strip()[:160]}"


def answered(r, sums, whole):
    """The downloads this rebuild answers for: every one, or, of some of the
    targets WHOLE, those made of them alone (not those that list every row,
    nor the image, unless every Linux row it holds is rebuilt)."""
    if r.config.targets == whole:
        return sorted(sums, key=str.encode)
    linux = [t for t in whole if r.config.table[t]["system"] == "linux"]
    return sorted((item["path"][len("dist/"):] for item in r.manifest.items if item["download"]
                   and not KINDS[item["kind"]].summary and item["kind"] != "buildinfo"
                   and (item["kind"] != "oci" or item["rows"] == linux)), key=str.encode)


def compare(r, sums, payload, names):
    """Each download of NAMES against its rebuild, a line each: the number
    that differ. The provenance's signature is made with another key; its
    Statement is compared. A rebuilt file is read from the root without
    following a link: one that is a link, or not a file, differs."""
    differ = 0
    rebuilt_in = r.work / f"root-{r.config.first_suite}"
    for name in names:
        shipped, parts = read_regular(r.config.shipped, name), ("build", "publish", "dist", name)
        if name.endswith(".intoto.jsonl"):
            shipped, parts = payload, ("build", "publish", *r.manifest.find("statement")[0]["path"].split("/"))
        try:
            rebuilt, why = read_regular(rebuilt_in, *parts), ": not rebuilt"
        except Stop as stop:
            rebuilt, why = None, f": {stop}"
        same = rebuilt is not None and hashlib.sha256(shipped).digest() == hashlib.sha256(rebuilt).digest()
        if rebuilt is not None and not same:
            why = first_difference(r.config.shipped / name, rebuilt_in.joinpath(*parts)) if not name.endswith(
                ".intoto.jsonl") else ": its statement"
        differ += not same
        print(f"verify: {'same   ' if same else 'DIFFERS'} {name}{'' if same else why}", flush=True)
    return differ


def unsigned_rpm(data, where):
    """An .rpm's bytes after its signature header: what signing leaves as it was."""
    if data[:4] != b"\xed\xab\xee\xdb" or data[96:100] != b"\x8e\xad\xe8\x01":
        raise Stop(f"{where}: not an .rpm")
    count, size = int.from_bytes(data[104:108], "big"), int.from_bytes(data[108:112], "big")
    end = 112 + 16 * count + size
    return data[end + (-end) % 8:]


def repositories(dist, fingerprint, sums, version):
    """The apt and rpm repositories DIST serves, which users install from:
    their indexes signed by FINGERPRINT and listing every file they hold, and
    each package of this version the very download SHA256SUMS lists (an .rpm
    as signed, the same bytes after its signature). A package of an earlier
    version, which a release keeps, is named: its own release vouches for
    it. Then any file in DIST that SHA256SUMS does not list. The number of
    faults, a line each."""
    faults = 0
    if not (dist / "apt").exists() and not (dist / "rpm").exists():
        print("verify: no apt or rpm repository in the release", flush=True)
    else:
        try:
            files = held(dist, fingerprint, dist / "classbanner-signing-key.asc")
        except (ValueError, KeyError, StopIteration, AttributeError, TypeError, ElementTree.ParseError,
                subprocess.CalledProcessError) as fault:
            raise Stop(f"{dist}: a repository index that is not as apt or dnf writes it ({untrusted.shown(fault)})")
        for path in sorted(files, key=str.encode):
            name = path.rsplit("/", 1)[-1]
            if name in sums:
                data = read_regular(dist, *path.split("/"))
                same = (hashlib.sha256(data).hexdigest() == sums[name] if not name.endswith(".rpm") else
                        unsigned_rpm(data, path) == unsigned_rpm(read_regular(dist, name), name))
                print(f"verify: {'same   ' if same else 'DIFFERS'} {path}"
                      + ("" if same else f": not the download {name}"), flush=True)
                faults += not same
                continue
            found = re.fullmatch(r"[a-z0-9+.-]+?[_-]([0-9]+(?:[.+~][0-9]+)*)[-_.].*", name)
            older = found and found.group(1) != version and subprocess.run(
                ["dpkg", "--compare-versions", found.group(1), "lt", version]).returncode == 0
            print(f"verify: {'earlier' if older else 'DIFFERS'} {path}: "
                  + ("of an earlier version, which its own release vouches for" if older else
                     f"a package of this version or later ({version}) that is no download of it"), flush=True)
            faults += not older
    kept = {"SHA256SUMS", "SHA256SUMS.asc", "classbanner-signing-key.asc", "classbanner-provenance-key.pem", "apt",
            "rpm", "attestations"}
    for name in sorted((n for n in os.listdir(dist) if n not in sums and n not in kept), key=str.encode):
        print(f"verify: UNLISTED {untrusted.shown(name)}: in the release's folder, but in no SHA256SUMS", flush=True)
        faults += 1
    return faults


def attest(r, sums, key, rebuilder):
    """The signed statement that this rebuild gave every download, written to
    build/attestations, then checked with cosign against the downloads."""
    path, public = attestations.attest(key, rebuilder, sums, r.config.version, pathlib.Path(__file__),
                                       TOP / "build" / "attestations")
    (r.publish / "attested").mkdir()
    for made in [path, public] + [r.config.shipped / name for name in sums]:
        shutil.copy(made, r.publish / "attested")
    # This verify command's own check, which an older release's source may lack.
    for tool in ("preamble.sh", "pipeline/tools/intoto-check.sh"):
        (r.publish / "verifier" / tool).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(TOP / "scripts" / tool, r.publish / "verifier" / tool)
    r.step("attestation-check", r.config.first_suite, "publish", "verifier/pipeline/tools/intoto-check.sh",
           attestations.VSA, f"attested/{path.name}", f"attested/{public.name}",
           *(f"attested/{name}" for name in sorted(sums)))
    print(f"verify: attested by {rebuilder}: {path}, checked with cosign; its public key beside it", flush=True)


def verify(dist, fingerprint, key=None, rebuilder=None, only=()):
    """DIST checked, rebuilt (ONLY some targets, if given) and compared (and,
    if all is the same and KEY is given, attested): the number that differ."""
    start = time.time()
    sums, payload = checked(dist, fingerprint)
    if not shutil.which("mmdebstrap"):
        raise Stop("needs mmdebstrap: scripts/prerequisites.sh release")
    served = repositories(dist, fingerprint.replace(" ", "").upper(), sums,
                          source_archive(sums)[len("classbanner-"):-len(".tar.gz")])
    if served:  # what users install is not what was signed: no rebuild can make it so
        print(f"verify: {served} file(s) served with the release are not its downloads, as said above: "
              "nothing rebuilt", flush=True)
        return served
    roots = Roots(TOP / "build" / "verify-work", namespaces())
    try:
        with workspace(roots):
            config, whole = rebuilt_config(dist, roots.work, sums, only)
            r = Run(config, roots)
            make(r, SEQUENCE, "rebuild")
            names = answered(r, sums, whole)
            differ = compare(r, sums, payload, names)
            if key and not differ:
                attest(r, sums, key, rebuilder)
            if names != sorted(sums, key=str.encode):
                print(f"verify: {len(sums) - len(names)} downloads not rebuilt: they are not of {' '.join(only)} "
                      "alone", flush=True)
    finally:
        if (roots.work / "publish/dist").is_dir():  # kept, for a look at what differs
            (roots.work / "publish/dist").rename(roots.work / "rebuilt")
    took = int(time.time() - start)
    whose = "the release is" if len(names) == len(sums) else "those are"
    print(f"verify: {len(names) - differ} of {len(names)} downloads the same as the rebuild, in {took // 60} min "
          f"{took % 60} s" + ("" if differ else f": {whose} what its source archive builds"))
    return differ


def checked(dist, fingerprint):
    """DIST's downloads and provenance, checked as downloads() does, said."""
    sums, payload = downloads(dist, fingerprint.replace(" ", "").upper())
    print(f"verify: SHA256SUMS.asc signed by {fingerprint}; {len(sums)} downloads match SHA256SUMS"
          + ("; the provenance verifies and lists them" if payload else "; no provenance"), flush=True)
    return sums, payload


def confirmed(dist, fingerprint, folder, trusted, minimum, page=False):
    """DIST checked, then the rebuilders' attestations in FOLDER: whether
    MINIMUM TRUSTED keys attest every download (with PAGE, written as
    FOLDER/index.html too). Rebuilds nothing."""
    keys = attestations.trusted_keys(trusted)
    sums, _ = checked(dist, fingerprint)
    version = source_archive(sums)[len("classbanner-"):-len(".tar.gz")]
    return attestations.check(folder, keys, sums, version, minimum, page)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fingerprint", required=True, help="the publisher's OpenPGP key's fingerprint")
    parser.add_argument("dist", type=pathlib.Path, help="the release's folder, as downloaded")
    parser.add_argument("--attest", metavar="KEY", help="when every download is the same, sign a statement of it "
                        "with this Ed25519 key (PEM)")
    parser.add_argument("--rebuilder", metavar="URI", help="who attests, as a URI (mailto:you@example.org)")
    parser.add_argument("--attestations", metavar="DIR", type=pathlib.Path,
                        help="rebuild nothing: check the rebuilders' attestations in DIR")
    parser.add_argument("--trusted", metavar="KEY.pem", nargs="+", default=[], help="the rebuilders' keys you trust")
    parser.add_argument("--min", type=int, help="how many distinct trusted keys must attest every download")
    parser.add_argument("--page", action="store_true", help="with --attestations, write what it finds as "
                        "DIR/index.html, which the release's page links to")
    parser.add_argument("--targets", nargs="+", default=[], metavar="ROW",
                        help="rebuild only these rows (cmake/targets.txt) and what is made of them alone")
    args = parser.parse_args()
    if bool(args.attest) != bool(args.rebuilder):
        parser.error("--attest and --rebuilder go together")
    if args.attest and args.targets:
        parser.error("--attest attests every download: rebuild every target")
    if args.page and not args.attestations:
        parser.error("--page goes with --attestations DIR")
    if args.attestations and (args.attest or not args.trusted or not args.min or args.min < 1):
        parser.error("--attestations needs --trusted KEY.pem... and --min N (at least 1), and rebuilds nothing")
    try:
        if args.attestations:
            sys.exit(0 if confirmed(args.dist.resolve(), args.fingerprint, args.attestations, args.trusted,
                                    args.min, args.page) else 1)
        key = attestations.attesting_key(args.attest, args.rebuilder) if args.attest else None
        sys.exit(1 if verify(args.dist.resolve(), args.fingerprint, key, args.rebuilder, args.targets) else 0)
    except Stop as stop:
        sys.exit(f"verify: {stop}")
