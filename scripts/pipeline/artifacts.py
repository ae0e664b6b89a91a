# SPDX-License-Identifier: MIT
"""The artifacts: their kinds, what each stage takes and makes, the plan
checked before anything runs, and the manifest of every artifact made."""
import dataclasses
import hashlib
import json


class Stop(Exception):
    """A stage failed: the line, and any lines below it, that say why."""


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


@dataclasses.dataclass(frozen=True)
class Kind:
    """A kind of artifact: the folder of the work folder it is made in (dist/
    is published), whether it is a download (in SHA256SUMS and the bill of
    materials), and the fields it records beside its path and SHA-256."""
    folder: str = "dist"
    download: bool = True
    records: tuple = ()


PACKAGE = ("rows", "root")
KINDS = {
    "binary": Kind("binaries", False, ("rows", "root", "platform", "static")),
    "exe": Kind("windows", False, ("rows",)),  # as it ships: signed, when the release signs
    "zip-layout": Kind("scratch", False, PACKAGE),  # CPack's .zip, around the unsigned .exe
    "detached-signature": Kind("signatures", False),
    "tar.gz": Kind(records=PACKAGE), "rpm": Kind(records=PACKAGE), "deb": Kind(records=PACKAGE),
    "zip": Kind(records=("rows",)), "msi": Kind(records=PACKAGE), "oci": Kind(records=("rows",)),
    "source": Kind(records=("root",)), "debian-source": Kind(), "buildinfo": Kind(), "sbom": Kind(),
    "winget": Kind(), "scoop": Kind(),  # the Windows package managers' manifests
    "keyring": Kind(),  # the packages that set apt and dnf up for the repositories
    "statement": Kind("scratch", False), "provenance": Kind(), "provenance-key": Kind(download=False),
    "sums": Kind(download=False), "signature": Kind(download=False), "key": Kind(download=False),
    "apt-repository": Kind(download=False), "rpm-repository": Kind(download=False),
    # The previous release's repositories and MSIs, checked, which this one continues
    "previous": Kind("previous", False, ("version", "debian", "rows")),
    # A downloaded release's Authenticode signatures, detached, for its rebuild to attach
    "shipped-signature": Kind("shipped", False),
}
DOWNLOADS = tuple(name for name, kind in KINDS.items() if kind.download)


def stage(takes=(), makes=(), optional=()):
    """Declare what a stage takes and makes, as kinds of artifact; OPTIONAL,
    what it takes where some stage before it makes it."""
    def declare(run):
        run.takes, run.makes, run.optional = tuple(takes), tuple(makes), tuple(optional)
        return run
    return declare


def check_plan(stages):
    """Stop, before anything runs, at a stage that takes a kind no earlier
    stage makes, or makes a download once SHA256SUMS is written."""
    made, summed = set(), None
    for s in stages:
        for kind in s.takes:
            if kind not in made:
                raise Stop(f"{s.__name__}: takes {kind}, which no stage before it makes")
        for kind in (kind for kind in s.makes if summed and KINDS[kind].download):
            raise Stop(f"{s.__name__}: makes a download ({kind}) after {summed}, whose SHA256SUMS would not cover it")
        made |= set(s.makes)
        summed = summed or ("sums" in s.makes and s.__name__)


class Manifest:
    """Every artifact, once, with its kind, fields and SHA-256. A stage adds
    only the kinds it declares it makes, and finds only those it takes or makes."""

    def __init__(self, folder):
        self.folder, self.items, self.stage = folder, [], None

    def add(self, path, kind, **fields):
        name, doing = str(path.relative_to(self.folder)), self.stage
        if doing and kind not in doing.makes:
            raise Stop(f"{doing.__name__}: made {name}, a {kind}, which it does not declare it makes")
        if kind not in KINDS or not name.startswith(KINDS[kind].folder + "/") or set(fields) - set(KINDS[kind].records):
            raise Stop(f"{name}: not where, or not what, a {kind} is ({KINDS.get(kind)}); it records {sorted(fields)}")
        if self.find(path=name):
            raise Stop(f"{kind}: {name} is made twice")
        self.items.append({"path": name, "kind": kind, "download": KINDS[kind].download, "sha256": sha256(path),
                           **fields})
        self.save()

    def save(self):
        (self.folder / "manifest.json").write_text(json.dumps(self.items, indent=1) + "\n")

    def find(self, kind=None, **match):
        s = self.stage
        if s and kind and kind not in s.takes + s.makes + s.optional:
            raise Stop(f"{s.__name__}: reads {kind}, which it does not declare it takes")
        return [item for item in self.items if kind in (None, item["kind"])
                and all(item.get(key) == value for key, value in match.items())]

    def downloads(self):
        return sorted(item["path"] for item in self.items if item["download"])
