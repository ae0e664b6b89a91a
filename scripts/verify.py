#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Verify a downloaded release: that its publisher signed it, and that its
source archive builds it, byte for byte, on this machine:

    scripts/verify.py --fingerprint FPR DIST

How, in scripts/pipeline/verify.py.
"""
import pathlib
import sys

sys.dont_write_bytecode = True  # nothing written into the downloaded tree
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pipeline.verify import main  # noqa: E402 (the package beside this script)

main()
