#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make a release: build and test every row of cmake/targets.txt (or each
TARGET) in a clean root of the Debian release it names, and gather the
downloads into dist/, signed with the OpenPGP key in $CLASSBANNER_SIGNING_KEY
if set, the Windows files with the Authenticode key and chain in
$CLASSBANNER_AUTHENTICODE_KEY or the signatures in $CLASSBANNER_AUTHENTICODE_SIGNATURES,
its provenance with the Ed25519 key in $CLASSBANNER_PROVENANCE_KEY:

    scripts/release.py [TARGET...]

Its stages (scripts/pipeline/release.py) run in order. Each declares the
kinds of artifact it takes and makes, which are checked before anything
runs, and records what it makes in the manifest, which later ones read, in
the work folder (build/release-work). Each step writes a log of its own.
dist/ is replaced once all have passed; a failure stops it in a line saying
why, from that step's log.
"""
import pathlib
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pipeline.release import main  # noqa: E402 (the package beside this script)

main()
