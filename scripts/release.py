#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make a release: build and test every row of cmake/targets.txt (or each
TARGET) in a clean root of its Debian release, and gather the downloads into
dist/, signed with the keys the CLASSBANNER_ variables name (docs/releasing.md):

    scripts/release.py [TARGET...]
"""
import pathlib
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pipeline.release import main  # noqa: E402 (the package beside this script)

main()
