# SPDX-License-Identifier: MIT
"""The packages that set a machine up for the repositories: the keys that
sign them, and where they are served."""
import shutil

from ..artifacts import stage
from ..base import Skip


@stage(makes=["keyring", "public-key"])
def build_keyrings(r):
    """In: the public keys (of the signing key, or those a rebuilt release
    ships), $CLASSBANNER_URL. Out: classbanner-archive-keyring (.deb,
    lintian-clean) and classbanner-release (.rpm)."""
    c = r.config
    keys = r.publish / "scratch/classbanner-signing-key.asc"
    if c.shipped and (c.shipped / keys.name).is_file():
        shutil.copy(c.shipped / keys.name, keys)
    elif c.signing_key:
        with open(c.signing_key) as key:  # on standard input only
            r.tool("keys", "sign.sh", "public", f"scratch/{keys.name}", stdin=key)
    else:
        raise Skip("(no CLASSBANNER_SIGNING_KEY): no keyring packages, with no key to hold")
    r.manifest.add(keys, "public-key")
    if not c.url:
        raise Skip("(no CLASSBANNER_URL): no keyring packages, which name where the repositories are")
    r.tool("keyrings", "keyring.sh", "dist", f"scratch/{keys.name}", c.url, c.debian_version, c.epoch)
    made = [f"classbanner-archive-keyring_{c.debian_version}_all.deb",
            f"classbanner-release-{c.debian_version}.noarch.rpm"]
    for name in made:
        r.manifest.add(r.publish / "dist" / name, "keyring")
    r.tool("keyrings-lintian", "deb-check.sh", "lintian", f"dist/{made[0]}")
    r.say("keyrings", f"dist/{made[0]} (lintian clean) and dist/{made[1]}, for {c.url}")
