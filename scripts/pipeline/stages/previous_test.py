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

    def previous(fingerprint):
        with fake_run([check_previous], env=types.MappingProxyType({"CLASSBANNER_PREVIOUS": str(folder)}),
                      fingerprint=fingerprint):
            pass
    stops("previous: signed by another key", f"SHA256SUMS.asc: not signed by the key {'F' * 40}, but by {fingerprint}",
          previous, "F" * 40)
    (folder / "classbanner_0.0.0-1.dsc").write_text("a source packagE")
    stops("previous: a changed download", "classbanner_0.0.0-1.dsc: does not match the previous release's SHA256SUMS",
          previous, fingerprint)
    subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])
done("previous")
