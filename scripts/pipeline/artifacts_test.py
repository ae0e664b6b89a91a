# SPDX-License-Identifier: MIT
"""The plan and the manifest: a plan whose stage makes a download after
SHA256SUMS, or takes what no earlier stage makes, stops before anything
runs; the manifest refuses an artifact made twice, out of its place, or of a
kind its stage does not declare."""
import pathlib
import tempfile

from .artifacts import Manifest, check_plan, stage
from .fakes import done, stops
from .release import STAGES
from .stages.publishing import write_sums
from .stages.windows import sign_windows

late = stage(takes=["sums"], makes=["key", "deb"])(lambda r: None)
late.__name__ = "late"
stops("plan: a download after sums", "late: makes a download (deb) after write_sums", check_plan, STAGES + [late])
stops("plan: a kind taken before it is made", "pack_zips: takes exe, which no stage before it makes",
      check_plan, [s for s in STAGES if s is not sign_windows])
check_plan(STAGES)

with tempfile.TemporaryDirectory() as tmp:
    folder = pathlib.Path(tmp)
    for name in ("dist/SHA256SUMS", "binaries/amd64"):
        (folder / name).parent.mkdir(exist_ok=True)
        (folder / name).write_text(name)
    m = Manifest(folder)
    m.add(folder / "dist/SHA256SUMS", "sums")
    stops("manifest: an artifact made twice", "made twice", m.add, folder / "dist/SHA256SUMS", "sums")
    stops("manifest: a download outside dist/", "not where", m.add, folder / "binaries/amd64", "deb")
    m.stage = write_sums
    stops("manifest: a kind the stage does not make", "does not declare it makes", m.add,
          folder / "binaries/amd64", "binary")
    stops("manifest: a kind the stage does not take", "does not declare it takes", m.find, "binary")
done("artifacts")
