# SPDX-License-Identifier: MIT
"""A downloaded release's own inputs, for its rebuild (verify.py): roots of
exactly the .buildinfo's packages, its source archive, its Windows files'
Authenticode signatures."""
import hashlib
import io
import shutil
import time
import zipfile

from ..artifacts import stage
from ..base import Skip, Stop
from ..roots import architectures, fetch, index, mmdebstrap, pinned, prune, write_installed
from ..untrusted import read_regular


@stage(only="rebuild")
def pin_roots(r):
    """Out: each root of the .buildinfo, holding exactly its packages: from
    the cache, else made from a local repository of them, every one checked
    against Debian's signed index before any root is made; checked."""
    c = r.config
    cache, sources = c.roots, list(c.mirrors)
    tarballs = {suite: next((t for t in sorted(cache.glob(f"{suite}-*.tar")) if write_installed(t) == wanted), None)
                for suite, wanted in c.pinned.items()}
    for suite in (suite for suite, tarball in tarballs.items() if not tarball):
        r.say("root", f"{suite}: fetching the .buildinfo's {len(c.pinned[suite])} packages from {' '.join(sources)}")
        fetch(suite, c.pinned[suite], sources, r.work / f"packages-{suite}", c.native, snapshot=c.snapshots.get(suite))
    for suite, wanted in c.pinned.items():
        tarball = tarballs[suite]
        if tarball:
            r.say("root", f"{suite}: {tarball.name}, cached, holds the .buildinfo's {len(wanted)} packages")
        else:
            repository, start = r.work / f"packages-{suite}", time.time()
            index(repository, suite)
            key = hashlib.sha256("".join(wanted).encode()).hexdigest()[:16]
            tarball = cache / f"{suite}-pinned-{key}.tar"
            cache.mkdir(parents=True, exist_ok=True)
            mmdebstrap(suite, tarball, architectures(c.native, wanted), map(pinned, wanted),
                       f"deb [trusted=yes] copy://{repository}/ ./", r.log(f"mmdebstrap-{suite}"))
            prune(cache, suite)
            took = int(time.time() - start)
            r.say("root", f"{suite}: made in {took // 60} min {took % 60} s, of exactly those packages, "
                  "each as Debian's signed index lists it")
        r.roots.provide(suite, tarball)
        found = r.packages(suite)
        if found != wanted:
            extra, missing = sorted(set(found) - set(wanted)), sorted(set(wanted) - set(found))
            raise Stop(f"{suite} root: holds {' '.join(extra[:3]) or 'nothing more'}, lacks "
                       f"{' '.join(missing[:3]) or 'nothing'}, against the .buildinfo")
        # Every package is in the root: nothing in it may reach for a mirror (autopkgtest's apt-get
        # update would), which the rebuild may not have, nor, for a pinned root, the repository it came from.
        r.step(f"offline-{suite}", suite, ".", "find", "/etc/apt", "-maxdepth", "2", "-type", "f",
               "(", "-name", "sources.list", "-o", "-path", "/etc/apt/sources.list.d/*", ")", "-delete")


@stage(makes=["source"], only="rebuild")
def take_source(r):
    """Out: the downloaded source archive, which everything is built from."""
    c = r.config
    shutil.copy(c.shipped / f"{c.stem}.tar.gz", r.publish / "dist")
    r.manifest.add(r.publish / "dist" / f"{c.stem}.tar.gz", "source", root=c.first_suite)
    r.say("source", f"dist/{c.stem}.tar.gz, as downloaded, SHA-256 as the .buildinfo names")


def shipped_exes(shipped, stem, rows):
    """The executables the downloaded .zip files in SHIPPED hold: row: bytes."""
    exes = {}
    for t in rows:
        name = f"{stem}-{t}.zip"
        try:
            with zipfile.ZipFile(io.BytesIO(read_regular(shipped, name) or b"")) as packed:
                if packed.getinfo(f"{stem}-{t}/classbanner.exe").file_size > 64 << 20:
                    raise Stop(f"{shipped / name}: its classbanner.exe is over 64 MiB")
                exes[t] = packed.read(f"{stem}-{t}/classbanner.exe")
        except (zipfile.BadZipFile, KeyError, ValueError, OSError):
            raise Stop(f"{shipped / name}: not a .zip holding {stem}-{t}/classbanner.exe")
    return exes


def pe_signed(data):
    """Whether a Windows executable carries an Authenticode signature: its
    certificate table (the fifth data directory) is not empty."""
    pe = int.from_bytes(data[0x3c:0x40], "little")
    plus = int.from_bytes(data[pe + 24:pe + 26], "little") == 0x20b  # PE32+, 64-bit
    table = pe + 24 + (144 if plus else 128)
    return int.from_bytes(data[table + 4:table + 8], "little") != 0


@stage(makes=["shipped-signature"], only="rebuild")
def detach_signatures(r):
    """Out: the Windows downloads' Authenticode signatures, detached where the
    configuration attaches them from (none, for a release rebuilt unsigned)."""
    c = r.config
    if not c.signatures:
        raise Skip("the shipped Windows files carry no Authenticode signature: rebuilt unsigned")
    for t, exe in shipped_exes(c.shipped, c.stem, c.windows).items():
        (r.publish / "shipped" / f"{c.stem}-{t}.exe").write_bytes(exe)
        shutil.copy(c.shipped / f"{c.stem}-{t}.msi", r.publish / "shipped")
        for name in (f"{c.stem}-{t}.exe", f"{c.stem}-{t}.msi"):
            r.step(f"shipped-{name}", c.first_suite, "publish/shipped", "osslsigncode", "extract-signature",
                   "-in", name, "-out", f"{name}.sig")
            r.manifest.add(r.publish / "shipped" / f"{name}.sig", "shipped-signature")
