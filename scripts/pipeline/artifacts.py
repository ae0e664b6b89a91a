# SPDX-License-Identifier: MIT
"""The artifacts: their kinds, what each stage takes and makes, the plan
checked before anything runs, and the manifest of every artifact made."""
import dataclasses
import json

from .base import Stop, sha256


@dataclasses.dataclass(frozen=True)
class Kind:
    """A kind of artifact: the folder of the work folder it is made in (dist/
    is published), whether it is a download (in SHA256SUMS and the bill of
    materials), the fields it records beside its path and SHA-256, and
    whether it describes the downloads made before it (SUMMARY)."""
    folder: str = "dist"
    download: bool = True
    records: tuple = ()
    summary: bool = False


PACKAGE = ("rows", "root")
# Every kind there is: a stage that declares another word is refused by the plan.
KINDS = {
    "binary": Kind("binaries", False, ("rows", "root", "platform", "static")),
    "exe": Kind("windows", False, ("rows",)),  # as it ships: signed, when the release signs
    "zip-layout": Kind("scratch", False, PACKAGE),  # CPack's .zip, around the unsigned .exe
    "detached-signature": Kind("signatures", False),
    "tar.gz": Kind(records=PACKAGE), "rpm": Kind(records=PACKAGE), "deb": Kind(records=PACKAGE),
    "zip": Kind(records=("rows",)), "msi": Kind(records=PACKAGE), "oci": Kind(records=("rows",)),
    "source": Kind(records=("root",)), "debian-source": Kind(), "buildinfo": Kind(),
    "winget": Kind(), "scoop": Kind(),  # the Windows package managers' manifests
    "keyring": Kind(),  # the packages that set apt and dnf up for the repositories
    "public-key": Kind("scratch", False),  # the signing keys' public half, as the keyring packages hold it
    # What describes the downloads: each covers every download made before it.
    "page": Kind(summary=True), "download-index": Kind(summary=True),  # index.html, and its data
    "sbom": Kind(summary=True), "provenance": Kind(summary=True), "sums": Kind(download=False, summary=True),
    "statement": Kind("scratch", False),  # the provenance's, unsigned
    "provenance-key": Kind(download=False), "signature": Kind(download=False), "key": Kind(download=False),
    "apt-repository": Kind(download=False), "rpm-repository": Kind(download=False),
    # The previous release's repositories and MSIs, checked, which this one continues
    "previous": Kind("previous", False, ("version", "debian", "rows")),
    # A downloaded release's Authenticode signatures, detached, for its rebuild to attach
    "shipped-signature": Kind("shipped", False),
}
REPOSITORIES = {"apt": "apt-repository", "rpm": "rpm-repository"}  # dist/'s folder: its kind
ONLY = (None, "release", "rebuild")


def stage(takes=(), makes=(), optional=(), only=None):
    """Declare what a stage takes and makes, as kinds of artifact; OPTIONAL,
    what it takes where some stage before it makes it; ONLY, "release" for a
    stage a rebuild does not do, "rebuild" for one of a rebuild's own. A
    stage that makes a summary kind takes every download made before it."""
    def declare(function):
        function.takes, function.makes, function.optional = tuple(takes), tuple(makes), tuple(optional)
        function.only = only
        function.summarises = any(KINDS[kind].summary for kind in makes if kind in KINDS)
        return function
    return declare


def sequence(stages, command):
    """The STAGES COMMAND ("release" or "rebuild") runs, in their order."""
    return [s for s in stages if s.only in (None, command)]


def check_plan(stages):
    """Stop, before anything runs, at a stage that declares a word that is
    no kind, takes a kind no earlier stage makes, or makes a download that
    a summary made before it would leave out: after a summary, only another
    summary, and none once one that is no download (SHA256SUMS) is made."""
    made, described, listed = set(), None, None
    for s in stages:
        for word in s.takes + s.makes + s.optional:
            if word not in KINDS:
                raise Stop(f"{s.__name__}: declares {word!r}, which is no kind of artifact (artifacts.KINDS)")
        if s.only not in ONLY:
            raise Stop(f"{s.__name__}: only {s.only!r}, not one of {ONLY}")
        for kind in s.takes:
            if kind not in made:
                raise Stop(f"{s.__name__}: takes {kind}, which no stage before it makes")
        for kind in (kind for kind in s.makes if KINDS[kind].download):
            if listed or (described and not KINDS[kind].summary):
                raise Stop(f"{s.__name__}: makes a download ({kind}) after {listed or described}, which would not "
                           "cover it")
        made |= set(s.makes)
        summaries = [kind for kind in s.makes if KINDS[kind].summary]
        described = described or (summaries and s.__name__)
        listed = listed or (any(not KINDS[kind].download for kind in summaries) and s.__name__)


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
        if s and kind and kind not in s.takes + s.makes + s.optional and not (s.summarises and KINDS[kind].download):
            raise Stop(f"{s.__name__}: reads {kind}, which it does not declare it takes")
        return [item for item in self.items if kind in (None, item["kind"])
                and all(item.get(key) == value for key, value in match.items())]

    def downloads(self):
        return sorted(item["path"] for item in self.items if item["download"])
