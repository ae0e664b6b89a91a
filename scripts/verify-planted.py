#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Plant faults in a signed release, re-sign it with the same key, and see
this tree's verify command, the one a user already trusts, refuse each,
naming it, or contain it, with nothing written or reached on this machine:

    scripts/verify-planted.py DIST

DIST is a release of this commit signed with $CLASSBANNER_SIGNING_KEY; its
copies are made in a scratch folder, DIST is left as it is. Each fault is a
line: what was planted, and what the verify command said of it. Two of them
rebuild the x86-64 row (in the roots the release cached): a source whose
build and table reader write to /tmp, probe for a network and carry a
verify.py that always says "same", beside a .deb that is not what it
builds; and a build that plants links in its work folder. Exits 1 if any
fault is taken."""
import gzip
import hashlib
import io
import lzma
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import uuid

TOP = pathlib.Path(__file__).resolve().parent.parent
VERIFY = TOP / "scripts/verify.py"
faults = []


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def replace(path, data):
    """PATH's bytes, a new file: the copy is linked to DIST's files."""
    path.unlink(missing_ok=True)
    path.write_bytes(data)


class Planted:
    """A copy of DIST, whose files are links to DIST's until replaced."""

    def __init__(self, dist, scratch, name, gnupg):
        self.folder, self.gnupg = scratch / name, gnupg
        shutil.copytree(dist, self.folder, copy_function=os.link)
        listed = (self.folder / "SHA256SUMS").read_text().splitlines()
        self.sums = dict(reversed(line.split("  ", 1)) for line in listed)
        self.stem = next(n for n in self.sums if re.fullmatch(r"classbanner-[0-9.]+\.tar\.gz", n))[:-len(".tar.gz")]

    def drop_provenance(self):
        """The provenance left out, as a release without its key has none: its subjects name the old sums."""
        for name in [n for n in self.sums if n.endswith(".intoto.jsonl")]:
            del self.sums[name]
            (self.folder / name).unlink()

    def resign(self, extra=""):
        """SHA256SUMS of SELF.SUMS (then EXTRA lines), signed again."""
        text = "".join(f"{digest}  {name}\n" for name, digest in sorted(self.sums.items(), key=lambda i: i[0].encode()))
        replace(self.folder / "SHA256SUMS", (text + extra).encode())
        (self.folder / "SHA256SUMS.asc").unlink()
        gpg(self.gnupg, "--armor", "--detach-sign", "--output", self.folder / "SHA256SUMS.asc",
            self.folder / "SHA256SUMS")

    def source(self, changed=None, added=()):
        """The source archive remade, CHANGED (name: what makes its new text
        of its old) and ADDED members (name, data, fields) with it; the
        .buildinfo names its new SHA-256."""
        changed, archive = changed or {}, self.folder / f"{self.stem}.tar.gz"
        made = archive.with_suffix(".new")
        with tarfile.open(archive) as old, \
                tarfile.open(made, "w:gz", format=tarfile.PAX_FORMAT, pax_headers=old.pax_headers) as new:
            for each in old.getmembers():
                data = old.extractfile(each).read() if each.isreg() else b""
                if each.name in changed:
                    data = changed[each.name](data.decode()).encode()
                    each.size = len(data)
                new.addfile(each, io.BytesIO(data))
            for name, data, fields in added:
                each = tarfile.TarInfo(name)
                each.size, each.mode = len(data), 0o644
                for key, value in fields.items():
                    setattr(each, key, value)
                new.addfile(each, io.BytesIO(data))
        archive.unlink()
        made.rename(archive)
        self.sums[archive.name] = sha256(archive)
        info = self.folder / f"{self.stem}.buildinfo"
        text = re.sub(rf"^ [0-9a-f]{{64}} (\d+) {re.escape(archive.name)}$",
                      f" {self.sums[archive.name]} {archive.stat().st_size} {archive.name}",
                      info.read_text(), count=1, flags=re.M)
        replace(info, text.encode())
        self.sums[info.name] = sha256(info)

    def verify(self, *args):
        done = subprocess.run([VERIFY, "--fingerprint", FINGERPRINT, self.folder, *args], capture_output=True,
                              text=True, stdin=subprocess.DEVNULL, timeout=1800)
        return done.returncode, done.stdout + done.stderr


def gpg(home, *args):
    subprocess.run(["gpg", "--batch", "--quiet", "--homedir", home, *args], check=True, capture_output=True)


def expect(what, ok, said):
    print(f"planted: {'refused' if ok else 'TAKEN  '} {what}", flush=True)
    if not ok:
        faults.append(what)
        print("\n".join("  " + line for line in said.splitlines()[-12:]), flush=True)


def refused(planted, what, want, *args):
    """The verify command of PLANTED stops, exit 1, with a line saying WANT."""
    status, said = planted.verify(*args)
    expect(f"{what}: {want}", status != 0 and want in said and "Traceback" not in said, said)


def repository_deb(planted):
    """A .deb other than the verified one in apt/pool, its indexes made again
    to list it and signed with the release's key: as a publisher could."""
    apt = planted.folder / "apt"
    deb = sorted(list((apt / "pool").rglob("classbanner_*_arm64.deb")) or (apt / "pool").rglob("classbanner_*.deb"))[-1]
    replace(deb, deb.read_bytes() + b"\n")
    relative = str(deb.relative_to(apt))
    for packages in (apt / "dists/stable").rglob("Packages"):
        text = packages.read_text()
        if f"Filename: {relative}\n" not in text:
            continue
        size, digest = deb.stat().st_size, sha256(deb)
        md5 = hashlib.md5(deb.read_bytes()).hexdigest()
        blocks = []
        for block in text.split("\n\n"):
            if f"Filename: {relative}\n" in block + "\n":
                block = re.sub(r"^Size: .*$", f"Size: {size}", block, flags=re.M)
                block = re.sub(r"^SHA256: .*$", f"SHA256: {digest}", block, flags=re.M)
                block = re.sub(r"^MD5sum: .*$", f"MD5sum: {md5}", block, flags=re.M)
            blocks.append(block)
        replace(packages, "\n\n".join(blocks).encode())
        for end, pack in ((".gz", gzip.compress), (".xz", lzma.compress)):
            if packages.with_name("Packages" + end).exists():
                replace(packages.with_name("Packages" + end), pack(packages.read_bytes()))
    release = apt / "dists/stable/Release"
    text = release.read_text()
    for path in (apt / "dists/stable").rglob("Packages*"):
        name = str(path.relative_to(apt / "dists/stable"))
        data = path.read_bytes()
        for algorithm in ("md5", "sha1", "sha256", "sha512"):
            text = re.sub(rf"^ [0-9a-f]{{{len(hashlib.new(algorithm).hexdigest())}}} +\d+ {re.escape(name)}$",
                          f" {hashlib.new(algorithm, data).hexdigest()} {len(data)} {name}", text, flags=re.M)
    replace(release, text.encode())
    for signed in ("InRelease", "Release.gpg"):
        (apt / "dists/stable" / signed).unlink(missing_ok=True)
    gpg(planted.gnupg, "--clearsign", "--output", apt / "dists/stable/InRelease", release)
    gpg(planted.gnupg, "--armor", "--detach-sign", "--output", apt / "dists/stable/Release.gpg", release)
    return str(deb.relative_to(planted.folder))


def main():
    global FINGERPRINT
    if len(sys.argv) != 2 or not os.environ.get("CLASSBANNER_SIGNING_KEY"):
        sys.exit("usage: scripts/verify-planted.py DIST, with CLASSBANNER_SIGNING_KEY the key that signed it")
    dist = pathlib.Path(sys.argv[1]).resolve()
    with tempfile.TemporaryDirectory() as tmp:
        scratch, gnupg = pathlib.Path(tmp), pathlib.Path(tmp) / "gnupg"
        gnupg.mkdir(mode=0o700)
        gpg(gnupg, "--import", os.environ["CLASSBANNER_SIGNING_KEY"])
        shown = subprocess.run(["gpg", "--batch", "--homedir", gnupg, "--with-colons", "--list-secret-keys"],
                               capture_output=True, text=True, check=True).stdout
        FINGERPRINT = re.search(r"^fpr:+([0-9A-F]{40}):", shown, re.M).group(1)
        marker = f"/tmp/classbanner-planted-{uuid.uuid4().hex}"

        def copy(name):
            return Planted(dist, scratch, name, gnupg)

        p = copy("absolute")
        msi = next(n for n in p.sums if n.endswith(".msi"))
        p.resign(f"{p.sums[msi]}  /proc/self/cwd/{p.folder.name}/{msi}\n")
        refused(p, "an absolute name in SHA256SUMS", "is not a download's name")

        p = copy("twice")
        p.resign(f"{'0' * 64}  {msi}\n")
        refused(p, "a name listed twice in SHA256SUMS", "is listed twice")

        p = copy("provenances")
        first = next(n for n in p.sums if n.endswith(".intoto.jsonl"))
        os.link(p.folder / first, p.folder / "second.intoto.jsonl")
        p.sums["second.intoto.jsonl"] = p.sums[first]
        p.resign()
        refused(p, "a second .intoto.jsonl", "lists 2 provenances")

        p = copy("parent-member")
        p.drop_provenance()
        p.source(added=[(f"{p.stem}/../../..{marker}", b"written", {})])
        p.resign()
        refused(p, "a ../ member in the source archive", "is outside")
        expect("the ../ member wrote nothing on this machine", not os.path.exists(marker), "")

        p = copy("link-member")
        p.drop_provenance()
        p.source(added=[(f"{p.stem}/etc", b"", {"type": tarfile.SYMTYPE, "linkname": "/etc"})])
        p.resign()
        refused(p, "a symlink member out of the source archive", "links out of")

        for name, pattern, planted, want in (
                ("root", r"^Root: trixie$", "Root: ../../etc", "is not a Debian release's name"),
                ("package", r"^ (zlib1g:[a-z0-9]+ \(= .*\))$", r" -c/build/apt.conf:\1", "is not a package")):
            p = copy(name)
            p.drop_provenance()
            info = p.folder / f"{p.stem}.buildinfo"
            replace(info, re.sub(pattern, planted, info.read_text(), count=1, flags=re.M).encode())
            p.sums[info.name] = sha256(info)
            p.resign()
            refused(p, f"a {'../ root name' if name == 'root' else '-c package line'} in the .buildinfo", want)

        p = copy("unlisted")
        replace(p.folder / "classbanner-setup.exe", b"MZ not in SHA256SUMS")
        refused(p, "a file the signed SHA256SUMS does not list", "UNLISTED classbanner-setup.exe")

        p = copy("pool")
        deb = repository_deb(p)
        refused(p, "a .deb in the apt repository, its indexes signed, that is not the download",
                f"DIFFERS {deb}: not the download")

        # A source that tries to reach out of its root, and a .deb that is not what it builds.
        p = copy("source")
        p.drop_provenance()
        for folder in ("apt", "rpm"):
            shutil.rmtree(p.folder / folder, ignore_errors=True)
        deb = next(n for n in p.sums if re.fullmatch(r"classbanner_[0-9.]+-[0-9]+_amd64\.deb", n))
        replace(p.folder / deb, (dist / deb).read_bytes() + b"\n")
        p.sums[deb] = sha256(p.folder / deb)
        probe = (f'\nexecute_process(COMMAND sh -c "touch {marker}-cmake; ! getent hosts deb.debian.org && '
                 f'[ $(grep -c : /proc/net/dev) -le 1 ]" RESULT_VARIABLE offline)\n'
                 'if(offline)\n  message(FATAL_ERROR "the build reached a network")\nendif()\n')

        reader = f"set -eu\nid >{marker}-targets\n"
        p.source({f"{p.stem}/CMakeLists.txt": lambda text: text + probe,
                  f"{p.stem}/scripts/targets.sh": lambda text: text.replace("set -eu\n", reader),
                  f"{p.stem}/scripts/verify.py": lambda text: "#!/usr/bin/env python3\nprint('verify: same')\n"})
        p.resign()
        status, said = p.verify("--targets", "amd64")
        expect(f"a .deb that is not what its source builds, its own verify.py saying same: DIFFERS {deb}",
               status == 1 and f"verify: DIFFERS {deb}" in said
               and re.search(r"^verify: \d+ of \d+ downloads", said, re.M), said)
        expect("its build and table reader wrote nothing on this machine, and reached no network",
               not any(os.path.exists(marker + end) for end in ("-cmake", "-targets")) and "reached a network"
               not in said, said)

        p = copy("links")
        p.drop_provenance()
        link = (f'\nexecute_process(COMMAND ln -s {dist / deb} /build/publish/dist/{deb})\n'
                'execute_process(COMMAND ln -s /etc /build/publish/etc)\n')
        p.source({f"{p.stem}/CMakeLists.txt": lambda text: text + link})
        p.resign()
        refused(p, "links to this machine's files planted in the work folder by the build",
                "which this machine would follow out of its root", "--targets", "amd64")
    print(f"planted: {'every fault refused or contained' if not faults else f'{len(faults)} TAKEN'}")
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
