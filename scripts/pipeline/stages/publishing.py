# SPDX-License-Identifier: MIT
"""What is published: SHA256SUMS, its signature, and the signed apt and rpm
repositories, checked as users take them."""
import re
import shutil

from ..artifacts import REPOSITORIES, stage
from ..base import Skip, sha256


@stage(makes=["sums"], only="release")
def write_sums(r):
    """In: every download. Out: SHA256SUMS."""
    names = sorted((path[len("dist/"):] for path in r.manifest.downloads()), key=str.encode)
    (r.publish / "dist/SHA256SUMS").write_text("".join(f"{sha256(r.publish / 'dist' / n)}  {n}\n" for n in names))
    r.manifest.add(r.publish / "dist/SHA256SUMS", "sums")


@stage(takes=["sums"], makes=["signature", "key"], only="release")
def sign_sums(r):
    """In: SHA256SUMS. Out: SHA256SUMS.asc and the public key, checked with gpgv."""
    c = r.config
    if not c.signing_key:
        raise Skip("(no CLASSBANNER_SIGNING_KEY): no SHA256SUMS.asc")
    with open(c.signing_key) as key:  # on standard input only
        r.tool("sign", "sign.sh", "sums", "dist", c.sign_at, stdin=key)
    r.manifest.add(r.publish / "dist/SHA256SUMS.asc", "signature")
    r.manifest.add(r.publish / "dist/classbanner-signing-key.asc", "key")
    r.tool("sign-check", "signed-check.sh", "sums", "dist")
    r.say("signed", f"key {' and '.join(c.fingerprints)}: SHA256SUMS.asc, checked with gpgv")


@stage(takes=["deb", "rpm", "debian-source", "key"], makes=["apt-repository", "rpm-repository"],
       optional=["previous", "keyring"], only="release")
def publish_repositories(r):
    """In: the packages, the previous repositories. Out: the signed apt and rpm
    repositories of every version, checked as users take them, upgrades too."""
    c = r.config
    if not c.signing_key:
        raise Skip("(no CLASSBANNER_SIGNING_KEY): no apt or rpm repository, which apt and dnf refuse unsigned")
    packages = [item["path"] for kind in ("deb", "debian-source", "rpm", "keyring") for item in r.manifest.find(kind)]
    prior = r.manifest.find("previous")
    kept = [i["path"] for i in prior if re.match(r"previous/(apt/pool/|rpm/[^/]*\.rpm$)", i["path"])]
    with open(c.signing_key) as key:
        r.tool("repositories", "sign.sh", "repositories", "dist", c.epoch, c.sign_at, *packages,
               "--", *kept, stdin=key)
    for path in sorted(p for kind in ("apt", "rpm") for p in (r.publish / "dist" / kind).rglob("*") if p.is_file()):
        r.manifest.add(path, REPOSITORIES[path.relative_to(r.publish / "dist").parts[0]])
    banner = f"../{c.stem}/tests/banner.txt"
    r.tool("repositories-dnf", "signed-check.sh", "dnf", "dist", banner)
    if prior:
        r.tool("upgrade-dnf", "signed-check.sh", "upgrade-dnf", "dist", banner, "previous/rpm",
               prior[0]["version"], c.version)
    rebuilt = []
    for suite in c.suites:
        if suite != c.first_suite:
            for folder in ("dist", "previous"):
                shutil.copytree(r.publish / folder, r.root(suite) / "build/publish" / folder)
        rebuild = [item["path"] for item in r.manifest.find("deb", rows=[c.native], root=suite)]
        r.tool(f"repositories-apt-{suite}", "signed-check.sh", "apt", "dist", banner, *rebuild, suite=suite)
        rebuilt += [f"; apt-get source, rebuilt to {path[len('dist/'):]} byte for byte" for path in rebuild]
        if prior:
            r.tool(f"upgrade-apt-{suite}", "signed-check.sh", "upgrade-apt", "dist", banner,
                   "previous/apt", prior[0]["debian"], c.debian_version, suite=suite)
    held = [len([i for i in r.manifest.find(REPOSITORIES[kind]) if i["path"].endswith(end)])
            for kind, end in (("apt", ".deb"), ("rpm", ".rpm"))]
    r.say("signed", f"apt/ and rpm/, {held[0]} and {held[1]} packages; checked with apt in {' '.join(c.suites)}, "
          f"dnf in {c.first_suite}{''.join(rebuilt)}"
          + (f"; upgraded from {prior[0]['debian']} and back" if prior else ""))
