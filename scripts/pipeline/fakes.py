# SPDX-License-Identifier: MIT
"""What the offline tests run the stages against: fake roots (folders, and a
stub for what runs in them that answers as each tool would; the zip packer
and the bill of materials run for real), a configuration with throwaway
keys, and the checks' bookkeeping. No root, no network."""
import contextlib
import hashlib
import io
import pathlib
import shutil
import subprocess
import sys
import tempfile
import types
import zipfile

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from .artifacts import Stop
from .config import TOP, Config, table
from .roots import Roots
from .run import Run, make, workspace

PASSED = '<testsuite><testcase name="output" status="run"/><testcase name="executable" status="run"/></testsuite>'
faults = []


def expect(what, ok):
    if not ok:
        faults.append(what)


def stops(what, want, call, *args):
    """CALL must stop in one line that says WANT; what it said."""
    try:
        call(*args)
        faults.append(f"{what}: not stopped")
    except Stop as stop:
        expect(f"{what}: stopped with \"{stop}\", not a line saying \"{want}\"",
               want in str(stop) and "\n" not in str(stop).split(" (log: ")[0])
        return str(stop)


def done(who):
    """Each fault found, a line each; exit status 1 if any."""
    for fault in faults:
        print(f"{who}: {fault}")
    sys.exit(1 if faults else 0)


class FakeRoots(Roots):
    """Roots that are folders, whose tools are stubs: FAIL maps a tool and
    its first arguments to what it says as it fails; JUNIT is what ctest
    reports; LISTINGS, each root's dpkg-query listing."""

    def __init__(self, work, fail=None, junit=PASSED, listings=None):
        super().__init__(work, [])
        self.fail, self.junit, self.ran = fail or {}, junit, []
        self.listings = listings or {"root-trixie": "ii  zlib1g:amd64 (= 1:1.3)\nrc  gone:amd64 (= 1)\n"
                                     "ii  apt:amd64 (= 3.0)\n", "root-bookworm": "ii  musl:mipsel (= 1.2.3)\n"}

    def unpack(self, name):
        root = self.work / f"root-{name}"
        if root not in self.unpacked:
            self.unpacked.append(root)
            (root / "build").mkdir(parents=True)
            (root / "etc").mkdir()
            (root / "etc/debian_version").write_text({"trixie": "13.1\n", "bookworm": "12.11\n"}[name])
        return root

    def remove(self, root):
        shutil.rmtree(root)

    def run(self, root, folder, command, stdout, stdin=None, namespaces=None):
        here, command = root / "build" / folder, [str(word) for word in command]
        tool = pathlib.Path(command[2] if command[0] == "env" else command[0]).name
        self.ran.append((root.name, tool, command))
        said, code = self.answer(root, here, tool, command), 0
        words = " ".join([tool, *command[3 if command[0] == "env" else 1:]])
        for planted in (key for key in self.fail if words.startswith(key)):
            said, code = self.fail[planted], 1
        if stdout is subprocess.PIPE:
            return subprocess.CompletedProcess(command, code, said, "")
        stdout.write(said)
        return subprocess.CompletedProcess(command, code)

    def answer(self, root, here, tool, command):
        args, out = command[1:], here / "build" / f"target-{command[1].split('=')[-1]}"
        name = out.name[len("target-"):]
        if tool == "git" and args[0] == "clone":
            (here / args[-1]).mkdir()
        elif tool == "git":
            (here / args[3].split("=")[1]).write_bytes(b"source")
        elif tool == "gzip":
            (here / args[-1]).rename(here / f"{args[-1]}.gz")
        elif tool == "cmake" and "--build" in command:
            (out / ("classbanner.exe" if name.startswith("win") else "classbanner")).write_bytes(name.encode())
        elif tool == "cmake":
            out.mkdir(parents=True)
        elif tool == "ctest":
            (out / "junit.xml").write_text(self.junit)
        elif tool == "cpack" and name.startswith("win"):
            with zipfile.ZipFile(out / f"classbanner-0.0.1-{name}.zip", "w") as layout:
                for entry in ("classbanner.exe", "LICENSE"):
                    layout.writestr(zipfile.ZipInfo(f"classbanner-0.0.1-{name}/{entry}", (2026, 1, 2, 3, 4, 6)),
                                    (out / entry).read_bytes() if entry.endswith(".exe") else b"MIT")
        elif tool == "cpack":
            for package in (f"classbanner-0.0.1-linux-{name}.tar.gz", f"classbanner-0.0.1-1.{name}.rpm"):
                (out / package).write_bytes(package.encode())
        elif tool == "static-parts.sh":
            return "".join(f"Part: {part}\nLicense: MIT\nPackage: {part}\nArchitecture: {args[0]}\nVersion: 1-2\n"
                           f"Source: {part}-src\nSource-Version: 1-2\n\n" for part in ("musl", "libgcc"))
        elif tool == "dpkg-buildpackage":
            (here / f"../classbanner_0.0.1-1_{args[-1][2:]}.deb").write_bytes(args[-1].encode())
        elif tool == "dpkg-source":
            for end in (".debian.tar.xz", ".dsc"):
                (here / f"classbanner_0.0.1-1{end}").write_bytes(end.encode())
        elif tool == "dpkg-query":
            return self.listings[root.name]
        elif tool == "authenticode.py":
            unsigned, signed = args[-3:-1] if args[0] == "key" else args[-2:]
            (here / signed).write_bytes((here / unsigned).read_bytes() + b", signed")
            if args[0] == "key":
                (here / args[-1]).write_bytes(b"signature")
        elif tool == "osslsigncode":
            (here / args[-1]).write_bytes(b"signature")
        elif tool in ("zip.py", "sbom.py"):
            said = subprocess.run([sys.executable, TOP / "scripts/pipeline/tools" / tool, *args], cwd=here, text=True,
                                  capture_output=True)
            return said.stdout + said.stderr
        elif tool == "channels.py":
            for name in ("classbanner.classbanner.yaml", "classbanner.classbanner.installer.yaml",
                         "classbanner.classbanner.locale.en-US.yaml", "classbanner.json"):
                (here / args[-1] / name).write_text(args[0])
        elif tool in ("image.sh", "msi.py"):
            (here / args[0]).write_bytes(tool.encode())
        elif tool == "sign.sh" and args[0] == "public":
            (here / args[1]).write_text("public keys")
        elif tool == "keyring.sh":
            for name in (f"classbanner-archive-keyring_{args[3]}_all.deb", f"classbanner-release-{args[3]}.noarch.rpm"):
                (here / args[0] / name).write_text(args[2])
        elif tool == "sign.sh" and args[0] == "sums":
            for name in ("SHA256SUMS.asc", "classbanner-signing-key.asc"):
                (here / "dist" / name).write_text("sign: key F: SHA256SUMS.asc\n")
        elif tool == "sign.sh":
            for name in ["apt/dists/stable/InRelease", "rpm/repodata/repomd.xml"] + [
                    f"{'rpm' if p.endswith('.rpm') else 'apt/pool/main'}/{p[5:]}" for p in args[4:] if p != "--"]:
                (here / "dist" / name).parent.mkdir(parents=True, exist_ok=True)
                (here / "dist" / name).write_text(name)
        return ""


def config(folder, **given):
    """A signed release of amd64, win64 and mipsel (0.0.1), its keys throwaway
    files in FOLDER; GIVEN changes any field."""
    (folder / "key").write_text("a key")
    (folder / "provenance.pem").write_bytes(ed25519.Ed25519PrivateKey.generate().private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    fields = dict(table=table(), targets=("amd64", "mipsel", "win64"), version="0.0.1", debian_version="0.0.1-1",
                  commit="0" * 40, epoch="1765000000", native="amd64",
                  env=types.MappingProxyType({"CLASSBANNER_ROOTS": str(folder / "roots")}),  # never the real ones
                  signing_key=str(folder / "key"), sign_at="1765000000", fingerprints=("F" * 40,),
                  code_key=str(folder / "key"), provenance_key=str(folder / "provenance.pem"))
    return Config(**{**fields, **given})


@contextlib.contextmanager
def fake_run(stages, quiet=True, roots=None, folder=None, **given):
    """A run of STAGES against fake roots (ROOTS: FakeRoots's options), in
    FOLDER (else a scratch folder), its work folder FOLDER/work, with the
    configuration GIVEN changes; the run, inside."""
    with contextlib.nullcontext(folder) if folder else tempfile.TemporaryDirectory() as tmp:
        fake = FakeRoots(pathlib.Path(tmp) / "work", **(roots or {}))
        with workspace(fake):
            run = Run(config(pathlib.Path(tmp), **given), fake)
            with contextlib.redirect_stdout(io.StringIO()) if quiet else contextlib.nullcontext():
                make(run, stages)
            yield run


def signed_release(home):
    """A release's folder in HOME, holding one download, its SHA256SUMS signed
    by a key made there; the folder, the key's fingerprint, and gpg there."""
    def gpg(*args):
        return subprocess.run(["gpg", "--batch", "--homedir", home, "--pinentry-mode", "loopback", *args],
                              capture_output=True).stdout
    gpg("--passphrase", "", "--quick-generate-key", "good", "ed25519", "sign", "never")
    fingerprint = next(line.split(b":")[9].decode() for line in gpg("--with-colons", "--list-keys", "good").splitlines()
                       if line.startswith(b"fpr:"))
    folder = pathlib.Path(home) / "release"
    folder.mkdir()
    (folder / "classbanner-signing-key.asc").write_bytes(gpg("--armor", "--export", "good"))
    (folder / "classbanner_0.0.0-1.dsc").write_text("a source package")
    (folder / "SHA256SUMS").write_text(f"{hashlib.sha256(b'a source package').hexdigest()}  classbanner_0.0.0-1.dsc\n")
    gpg("--local-user", "good", "--detach-sign", "--armor", "--output", f"{folder}/SHA256SUMS.asc",
        f"{folder}/SHA256SUMS")
    return folder, fingerprint, gpg
