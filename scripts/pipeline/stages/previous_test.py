# SPDX-License-Identifier: MIT
"""The previous release is taken only signed by this release's key, and only
as it was signed: with another key, or with a byte changed, it stops."""
import subprocess
import tempfile
import types

from ..fakes import done, fake_run, signed_release, stops
from .previous import check_previous

with tempfile.TemporaryDirectory() as home:
    folder, fingerprint, _ = signed_release(home)

    def previous(*fingerprints):
        with fake_run([check_previous], env=types.MappingProxyType({"CLASSBANNER_PREVIOUS": str(folder)}),
                      fingerprints=fingerprints):
            pass
    stops("previous: signed by another key", f"SHA256SUMS.asc: not signed by the key {'F' * 40}, but by {fingerprint}; "
          "a new key must first sign a release beside the old one", previous, "F" * 40)
    # While the key changes, signed by the old one is taken (this fake then lacks a source archive).
    stops("previous: signed by the old key of two", "lists no source archive", previous, fingerprint, "F" * 40)
    (folder / "classbanner_0.0.0-1.dsc").write_text("a source packagE")
    stops("previous: a changed download", "classbanner_0.0.0-1.dsc: does not match the previous release's SHA256SUMS",
          previous, fingerprint)
    subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])
done("previous")
