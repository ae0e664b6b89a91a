# SPDX-License-Identifier: MIT
"""The Windows package managers' channels: winget's and Scoop's manifests of
the release's own installers and .zip files."""
from ..artifacts import stage
from ..base import Skip

WINGET = ["classbanner.classbanner.yaml", "classbanner.classbanner.installer.yaml",
          "classbanner.classbanner.locale.en-US.yaml"]


@stage(takes=["msi", "zip"], makes=["winget", "scoop"])
def write_channels(r):
    """In: the MSIs and .zip files. Out: winget's three manifests and Scoop's,
    naming them where $CLASSBANNER_URL serves them, checked as those tools read them."""
    c = r.config
    if not c.windows:
        raise Skip("no Windows row: no winget or Scoop manifests")
    if not c.url:
        raise Skip("(no CLASSBANNER_URL, where dist/ is served): no winget or Scoop manifests")
    r.tool("channels", "channels.py", c.url, c.version, "dist")
    r.tool("channels-check", "channels-check.py", c.url, c.version, "dist")
    for name in WINGET:
        r.manifest.add(r.publish / "dist" / name, "winget")
    r.manifest.add(r.publish / "dist/classbanner.json", "scoop")
    r.say("channels", f"winget's {' '.join(WINGET)} and Scoop's classbanner.json, for {c.url}; checked")
