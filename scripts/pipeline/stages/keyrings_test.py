# SPDX-License-Identifier: MIT
"""The keyring packages: made for real from two throwaway public keys, each
source names the URL and the very file that holds both keys, and a second
make gives the same bytes; against fake roots, a rebuild takes the keys the
release ships, and nothing is made without a URL or a key."""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

from ..config import TOP
from ..fakes import done, expect, fake_run
from .keyrings import build_keyrings

URL = "https://classbanner.example/download"
if not all(map(shutil.which, ("rpmbuild", "dpkg-deb", "rpm2cpio"))):
    sys.exit(77)  # skipped: the packagers are not installed
with tempfile.TemporaryDirectory() as tmp:
    home, out = pathlib.Path(tmp) / "gnupg", pathlib.Path(tmp) / "out"
    home.mkdir(mode=0o700)
    out.mkdir()

    def gpg(*args, **options):
        return subprocess.run(["gpg", "--batch", "--homedir", home, *args], capture_output=True, **options).stdout
    for name in ("old", "new"):
        gpg("--passphrase", "", "--quick-generate-key", name, "ed25519", "sign", "never")
    keys = pathlib.Path(tmp) / "keys.asc"
    keys.write_bytes(gpg("--armor", "--export", "old", "new"))
    wanted = sorted(line.split(b":")[9] for line in gpg("--with-colons", "--list-keys").splitlines()
                    if line.startswith(b"fpr:"))

    def fingerprints(path):  # of the keys in PATH, binary or armored
        return sorted(line.split(b":")[9] for line in gpg("--with-colons", "--show-keys", path).splitlines()
                      if line.startswith(b"fpr:"))

    def make():
        subprocess.run([TOP / "scripts/pipeline/tools/keyring.sh", out, keys, URL, "0.0.1-1", "1765000000"],
                       check=True, capture_output=True)
        return {p.name: p.read_bytes() for p in out.iterdir()}
    first = make()
    expect(f"keyrings: made {sorted(first)}", sorted(first) == [
        "classbanner-archive-keyring_0.0.1-1_all.deb", "classbanner-release-0.0.1-1.noarch.rpm"])
    time.sleep(1)  # a later second, for anything that would stamp the time
    expect("keyrings: a second make differs", make() == first)

    deb, rpm = pathlib.Path(tmp) / "deb", pathlib.Path(tmp) / "rpm"
    subprocess.run(["dpkg-deb", "-x", out / "classbanner-archive-keyring_0.0.1-1_all.deb", deb], check=True)
    source = dict(line.split(": ", 1) for line in
                  (deb / "etc/apt/sources.list.d/classbanner.sources").read_text().splitlines() if ": " in line)
    expect(f"keyrings: the apt source {source}", source.get("URIs") == f"{URL}/apt" and source.get("Types") == "deb")
    signed_by = deb / source.get("Signed-By", "/none").lstrip("/")
    expect("keyrings: apt's Signed-By is not the package's keyring of both keys",
           signed_by.is_file() and fingerprints(signed_by) == wanted)
    subprocess.run(["dpkg-deb", "-e", out / "classbanner-archive-keyring_0.0.1-1_all.deb", deb / "DEBIAN"], check=True)
    config = subprocess.run(["rpm", "-qpc", out / "classbanner-release-0.0.1-1.noarch.rpm"], text=True,
                            capture_output=True).stdout.split()
    expect(f"keyrings: a user's change to the source is not kept on upgrade: conffiles "
           f"{(deb / 'DEBIAN/conffiles').read_text().split()}, %config {config}",
           (deb / "DEBIAN/conffiles").read_text().split() == ["/etc/apt/sources.list.d/classbanner.sources"]
           and config == ["/etc/yum.repos.d/classbanner.repo"])
    rpm.mkdir()
    subprocess.run(f"rpm2cpio {out}/classbanner-release-0.0.1-1.noarch.rpm | cpio -idm --quiet", shell=True, cwd=rpm,
                   check=True)
    repo = dict(line.split("=", 1) for line in (rpm / "etc/yum.repos.d/classbanner.repo").read_text().splitlines()
                if "=" in line)
    expect(f"keyrings: the .repo file {repo}", repo.get("baseurl") == f"{URL}/rpm" and
           repo.get("gpgcheck") == repo.get("repo_gpgcheck") == "1")
    gpgkey = rpm / repo.get("gpgkey", "file:///none")[len("file:///"):]
    expect("keyrings: dnf's gpgkey is not the package's file of both keys",
           gpgkey.is_file() and fingerprints(gpgkey) == wanted)
    subprocess.run(["gpgconf", "--homedir", home, "--kill", "all"])

# The stage: a rebuild takes the shipped keys; no URL or no key, no packages.
with tempfile.TemporaryDirectory() as shipped:
    (pathlib.Path(shipped) / "classbanner-signing-key.asc").write_text("the shipped keys")
    with fake_run([build_keyrings], url=URL, signing_key=None, shipped=pathlib.Path(shipped)) as r:
        taken = (r.publish / "scratch/classbanner-signing-key.asc").read_text()
        expect(f"keyrings: a rebuild made them of '{taken}'", taken == "the shipped keys" and
               len(r.manifest.find("keyring")) == 2)
for given in ({}, {"url": URL, "signing_key": None}):
    with fake_run([build_keyrings], **given) as r:
        expect(f"keyrings: made with {given}", not r.manifest.find("keyring"))
done("keyrings")
