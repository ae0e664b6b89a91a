# SPDX-License-Identifier: MIT
"""The release: its stages in order, and its command (scripts/release.py)."""
import os
import shutil
import subprocess
import sys

from .artifacts import Stop, check_plan, sha256
from .config import TOP, configure, table, versions
from .logs import run
from .roots import Roots, namespaces
from .run import Run, make, workspace
from .stages.attestation import attest_provenance, write_sbom
from .stages.build import build_rows, make_roots, pack_source, write_buildinfo
from .stages.channels import write_channels
from .stages.debian import build_debian_source
from .stages.image import build_image
from .stages.keyrings import build_keyrings
from .stages.previous import check_previous
from .stages.publishing import publish_repositories, sign_sums, write_sums
from .stages.windows import build_msis, pack_zips, sign_windows

STAGES = [check_previous, make_roots, pack_source, build_rows, build_debian_source, write_buildinfo, sign_windows,
          pack_zips, build_image, build_msis, write_channels, build_keyrings, write_sbom, attest_provenance, write_sums,
          sign_sums, publish_repositories]


def release(targets):
    os.chdir(TOP)
    if subprocess.run(["git", "rev-parse", "-q", "--verify", "HEAD"], stdout=subprocess.DEVNULL).returncode:
        raise Stop("needs a git clone: it packs the committed tree")
    check_plan(STAGES)
    if run("git", "status", "--porcelain", "--untracked-files=no"):
        print("release: uncommitted changes are left out")
    if not shutil.which("mmdebstrap"):
        raise Stop("needs mmdebstrap: scripts/prerequisites.sh release")
    commit, epoch = run("git", "log", "-1", "--format=%H %ct").split()  # every stamp's time is the commit's
    config = configure(table(), targets, *versions(TOP), commit, epoch, dict(os.environ))
    roots = Roots(TOP / "build" / "release-work", namespaces())
    work = roots.work
    try:
        with workspace(roots):
            run("git", "bundle", "create", "-q", str(work / "source.bundle"), "HEAD")
            make(Run(config, roots), STAGES)
        shutil.rmtree(TOP / "dist", ignore_errors=True)
        (work / "publish/dist").rename(TOP / "dist")  # every stage has passed
    finally:
        for kept in ("manifest.json", "unsigned", "signatures"):  # with the logs, with what Windows signs
            if (work / "publish" / kept).exists():
                (work / "publish" / kept).rename(work / kept)
    count = sum(1 for p in (TOP / "dist").rglob("*") if p.is_file() and p.name != "SHA256SUMS")
    print(f"release: dist/ holds {count} files and SHA256SUMS, sha256 {sha256(TOP / 'dist/SHA256SUMS')}")


def main():
    try:
        release(sys.argv[1:])
    except Stop as stop:
        sys.exit(f"release: {stop}")
