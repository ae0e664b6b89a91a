#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make a release: build and test every row of cmake/targets.txt (or each
TARGET) in a clean root of the Debian release it names, and gather the
downloads into dist/, signed with the OpenPGP key in $CLASSBANNER_SIGNING_KEY
if set, the Windows files with the Authenticode key and chain in
$CLASSBANNER_AUTHENTICODE_KEY or the signatures in $CLASSBANNER_AUTHENTICODE_SIGNATURES,
its provenance with the Ed25519 key in $CLASSBANNER_PROVENANCE_KEY:

    scripts/release.py [TARGET...]

How, in scripts/pipeline/ (docs/releasing.md, "How a release runs").
"""
import pathlib
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pipeline.release import main  # noqa: E402 (the package beside this script)

main()
