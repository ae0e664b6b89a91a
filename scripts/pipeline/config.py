# SPDX-License-Identifier: MIT
"""What a run is given: built once, checked, and frozen. No stage changes it;
what the stages make is the manifest."""
import dataclasses
import os
import pathlib
import re
import time

from . import keys, untrusted
from .base import Stop, output
from .roots import mirror

TOP = pathlib.Path(__file__).resolve().parent.parent.parent


@dataclasses.dataclass(frozen=True)
class Config:
    """The targets TABLE (row: columns), the TARGETS in its order, the
    versions, the COMMIT and its time EPOCH (every stamp's), this machine's
    architecture, the keys (the OpenPGP key, or the old and the new while it
    changes; CODE_KEY or SIGNATURES, detached Authenticode signatures), the
    URL the downloads are served from, the PREVIOUS release's folder, where
    roots are cached (ROOTS), the Debian MIRRORS they are made from, the
    folder the roots' packages are kept in (KEEP_INPUTS), and who says its
    lines. A rebuild is given SHIPPED, the downloaded release, PINNED, each
    root's packages, SNAPSHOTS, Debian's archive as it was when each root
    was made, and EARLIER, the earlier versions' packages its repositories
    keep."""
    table: dict
    targets: tuple
    version: str
    debian_version: str
    commit: str
    epoch: str
    native: str
    roots: pathlib.Path
    mirrors: tuple = ()
    signing_key: str = None
    sign_at: str = None
    fingerprints: tuple = ()  # the older first, while the key changes
    code_key: str = None
    signatures: str = None
    provenance_key: str = None
    url: str = None
    previous: pathlib.Path = None
    keep_inputs: pathlib.Path = None
    axe: tuple = ("axe-core", "4.14.1",  # from npm, for the page's check: name, version, integrity
                  "sha512-FHfa+lmNjQZfJz1q8wKqIDwC6DExcHt/pkjNQb09a3NPjCKg2rhu5qb2S4r76ASyFNNtuFooJpZe37OgudVGtQ==")
    who: str = "release"
    shipped: pathlib.Path = None
    pinned: dict = None
    snapshots: dict = None
    earlier: tuple = ()

    @property
    def stem(self):
        """The source tree's name, and the downloads' stem."""
        return f"classbanner-{self.version}"

    @property
    def first_suite(self):
        """The Debian release the source is packed in, and the work folder kept in."""
        return next(iter(self.table.values()))["debian"]

    @property
    def suites(self):
        return suites(self.table, self.targets)

    @property
    def windows(self):
        return [t for t in self.targets if self.table[t]["system"] == "windows"]

    @property
    def signs_windows(self):
        return bool(self.code_key or self.signatures)


def suites(rows, targets):
    """The Debian releases whose roots TARGETS need, the first row's first."""
    return list(dict.fromkeys([next(iter(rows.values()))["debian"]] + [rows[t]["debian"] for t in targets]))


def table(top=TOP):
    """The rows of TOP's cmake/targets.txt, name: columns, read as
    scripts/targets.sh reads it (the columns named by the comment line just
    above the first row; the last column's value may hold spaces), by this
    code alone: a downloaded tree's table is data, its reader never run.
    Stops at a row whose name or Debian release is not a plain word."""
    path, header, rows = top / "cmake/targets.txt", "", {}
    for line in path.read_text().splitlines():
        if line.startswith("#"):
            header = line
            continue
        if not line.strip():
            continue
        columns = header.lstrip("#").split()
        fields = line.split()
        fields = fields[:len(columns) - 1] + [" ".join(fields[len(columns) - 1:])]
        row = dict(zip(columns, fields))
        untrusted.checked(untrusted.ROW, row.get("name"), f"{path}: a row", "a row's name (a word)")
        untrusted.checked(untrusted.SUITE, row.get("debian"), f"{path}: {row['name']}", "a Debian release's name")
        if row.get("system") not in ("linux", "windows"):
            raise Stop(f"{path}: {row['name']}: system {untrusted.shown(row.get('system'))}, not linux or windows")
        rows[row["name"]] = row
    return rows


def versions(top):
    """The program's version (CMake's) and the Debian package's, of the tree TOP."""
    version = re.search(r"^  VERSION ([0-9.]+)$", (top / "CMakeLists.txt").read_text(), re.M)
    debian = re.match(r"classbanner \((.*)\)", (top / "debian/changelog").read_text())
    return (untrusted.checked(untrusted.VERSION, version and version.group(1), f"{top}/CMakeLists.txt",
                              "a version (as 1.2.3)"),
            untrusted.checked(untrusted.DEBIAN_VERSION, debian and debian.group(1), f"{top}/debian/changelog",
                              "a Debian version (as 1.2.3-1)"))


# The variables a run reads, each a field of its configuration: the files,
# then the folders, then the rest.
FILES = {"CLASSBANNER_SIGNING_KEY": "signing_key", "CLASSBANNER_AUTHENTICODE_KEY": "code_key",
         "CLASSBANNER_PROVENANCE_KEY": "provenance_key"}
FOLDERS = {"CLASSBANNER_AUTHENTICODE_SIGNATURES": "signatures", "CLASSBANNER_PREVIOUS": "previous"}
VARIABLES = (*FILES, *FOLDERS, "CLASSBANNER_URL", "CLASSBANNER_KEEP_INPUTS", "CLASSBANNER_MIRROR",
             "CLASSBANNER_ROOTS")


def configure(rows, targets, version, debian, commit, epoch, env, **given):
    """The configuration, every input checked once, before anything is
    built: the targets are rows, the versions agree, each key file the
    environment ENV names can sign, each folder exists, the URLs are URLs.
    GIVEN sets fields the environment does not (a rebuild's)."""
    for target in targets:
        if target not in rows:
            raise Stop(f"{target}: no such row in cmake/targets.txt")
    if not debian.startswith(f"{version}-"):
        raise Stop(f"debian/changelog is for {debian}, not for {version}")
    found = {}
    for variable, name in FILES.items():
        if env.get(variable):
            found[name] = os.path.abspath(env[variable])
            if not os.path.isfile(found[name]) or not os.access(found[name], os.R_OK):
                raise Stop(f"{variable}={env[variable]}: no file this user can read")
    for variable, name in FOLDERS.items():
        if env.get(variable):
            found[name] = pathlib.Path(env[variable]).resolve()
            if not found[name].is_dir():
                raise Stop(f"{variable}={env[variable]}: no such folder")
    if env.get("CLASSBANNER_URL"):
        found["url"] = env["CLASSBANNER_URL"].rstrip("/")
        if not re.fullmatch(r"https://[^\s\"'$]+", found["url"]):
            raise Stop(f"CLASSBANNER_URL={found['url']}: not an https:// URL, which winget and Scoop take")
    if env.get("CLASSBANNER_KEEP_INPUTS"):
        found["keep_inputs"] = pathlib.Path(env["CLASSBANNER_KEEP_INPUTS"]).resolve()
        if found["keep_inputs"].exists() and not found["keep_inputs"].is_dir():
            raise Stop(f"CLASSBANNER_KEEP_INPUTS={env['CLASSBANNER_KEEP_INPUTS']}: not a folder")
    mirrors = tuple(env.get("CLASSBANNER_MIRROR", "").split())
    for source in mirrors:  # a mirror's or a snapshot's URL, or a folder of kept inputs
        if not re.fullmatch(r"(https?|file|copy)://\S+", source) and not os.path.isdir(source):
            raise Stop(f"CLASSBANNER_MIRROR: {source}: not an http(s):// or file:// URL, nor a folder")
    found["mirrors"] = mirrors or tuple(filter(None, [mirror()]))
    found["roots"] = pathlib.Path(env.get("CLASSBANNER_ROOTS") or pathlib.Path(
        env.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "classbanner" / "roots")
    for variable in sorted(v for v in env if v.startswith("CLASSBANNER_") and v not in VARIABLES):
        print(f"release: {variable}: not a variable the release reads (docs/releasing.md), left alone")
    found.update(given)
    if found.get("signing_key"):
        found["sign_at"], found["fingerprints"] = keys.signing_time(found["signing_key"], epoch)
        if found["sign_at"] != epoch:
            at = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(int(found["sign_at"])))
            print(f"release: the key was made after the commit: it signs at {at}, when it was made")
    if found.get("code_key") and found.get("signatures"):
        raise Stop("CLASSBANNER_AUTHENTICODE_KEY and CLASSBANNER_AUTHENTICODE_SIGNATURES: set one, not both")
    if found.get("code_key"):
        keys.code_signing_key(found["code_key"], epoch)
    if found.get("provenance_key"):
        keys.provenance_key(found["provenance_key"])
    if found.get("previous") and not found.get("fingerprints"):
        raise Stop("CLASSBANNER_PREVIOUS: needs CLASSBANNER_SIGNING_KEY, the key that signed the previous release")
    # In the table's order, however given: the provenance lists them.
    return Config(rows, tuple(t for t in rows if t in targets or not targets), version, debian, commit, epoch,
                  output("dpkg", "--print-architecture").strip(), **found)
