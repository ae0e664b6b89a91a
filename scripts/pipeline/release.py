# SPDX-License-Identifier: MIT
"""The release: its stages in order, and its command (scripts/release.py)."""
import os
import shutil
import subprocess
import sys

from .artifacts import check_plan, sequence
from .base import Stop, output, sha256
from .config import TOP, configure, table, versions
from .roots import Roots, namespaces
from .run import Run, make, workspace
from .stages import SEQUENCE


def release(targets):
    os.chdir(TOP)
    if subprocess.run(["git", "rev-parse", "-q", "--verify", "HEAD"], stdout=subprocess.DEVNULL).returncode:
        raise Stop("needs a git clone: it packs the committed tree")
    check_plan(sequence(SEQUENCE, "release"))
    if output("git", "status", "--porcelain", "--untracked-files=no"):
        print("release: uncommitted changes are left out")
    if not shutil.which("mmdebstrap"):
        raise Stop("needs mmdebstrap: scripts/prerequisites.sh release")
    commit, epoch = output("git", "log", "-1", "--format=%H %ct").split()  # every stamp's time is the commit's
    config = configure(table(), targets, *versions(TOP), commit, epoch, dict(os.environ))
    roots = Roots(TOP / "build" / "release-work", namespaces())
    work = roots.work
    try:
        with workspace(roots):
            output("git", "bundle", "create", "-q", str(work / "source.bundle"), "HEAD")
            make(Run(config, roots), SEQUENCE, "release")
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
