# SPDX-License-Identifier: MIT
"""The release's page: index.html, which shows each user their download, how
to install it and how to check it, and classbanner-VERSION.json, the data
it is rendered from; then, once everything it links to is made, the page
checked in a real browser."""
import json
import re
import shutil
import tarfile

from ..artifacts import stage
from ..base import Stop
from ..npm import pinned

KINDS = {"tar.gz": "archive", "deb": "Debian package", "rpm": "RPM package", "zip": "archive", "msi": "installer",
         "oci": "container image", "source": "source archive", "debian-source": "Debian source package",
         "buildinfo": "build information", "winget": "winget manifest", "scoop": "Scoop manifest",
         "keyring": "repository setup"}
WINDOWS_ARCH = {"x86_64": "x64", "i686": "x86", "aarch64": "arm64"}
# What describes every download, named by file alone: its SHA-256 would be circular.
SUMMARIES = ("SHA256SUMS", "SHA256SUMS.asc", "classbanner-signing-key.asc", "classbanner-provenance-key.pem")


def platform(item, table):
    """The system and architecture a download is for, as users name them."""
    rows = item.get("rows") or []
    name = item["path"][len("dist/"):]
    if item["kind"] == "oci":
        return "Linux", ", ".join(rows)
    if len(rows) == 1:
        row = table[rows[0]]
        if row["system"] == "windows":
            return "Windows", WINDOWS_ARCH.get(row["processor"], row["processor"])
        return "Linux", rows[0]
    if item["kind"] == "keyring":
        return ("Debian, Ubuntu" if name.endswith(".deb") else "Fedora, RHEL"), "all"
    if item["kind"] in ("winget", "scoop"):
        return "Windows", "x64, x86"
    return "any", "source"


def data(c, items, size, fingerprints, earlier):
    """What the page shows, from the manifest's ITEMS (the downloads made so
    far): each download (name, kind, os, arch, size, sha256, url), the boxes
    of each platform with their files and commands, the keys' FINGERPRINTS,
    the summaries made after the page, by name, and EARLIER versions'
    packages the repositories keep. SIZE gives a download's size."""
    downloads = []
    for item in sorted(items, key=lambda i: i["path"].encode()):
        name = item["path"][len("dist/"):]
        system, arch = platform(item, c.table)
        downloads.append({"name": name, "kind": KINDS.get(item["kind"], item["kind"]), "os": system, "arch": arch,
                          "size": size(item["path"]), "sha256": item["sha256"],
                          "url": f"{c.url}/{name}" if c.url else name})
    kinds = {item["path"][len("dist/"):]: item["kind"] for item in items}

    def of(kind):
        return [d["name"] for d in downloads if kinds[d["name"]] == kind]
    boxes = []
    windows = of("msi") + of("zip")
    if windows:
        commands = ["msiexec /i " + name + " /qn" for name in of("msi")]
        if of("winget") and c.url:
            commands += ["winget install --manifest classbanner-manifests",
                         f"scoop install {c.url}/classbanner.json"]
        note = "The MSI installs classbanner for every user and puts it on PATH; the .zip needs no installing."
        boxes.append({"id": "windows", "title": "Windows", "files": windows, "commands": commands,
                      "note": note + (" For winget, save its three .yaml files in one folder first."
                                      if of("winget") else "")})
    # Debian's and Fedora's: the package that sets the signed repository up, else each machine's package.
    for box, title, kind, install, upgrade, sets_up in (
            ("debian", "Debian and Ubuntu", "deb", "apt-get install", "apt-get update && apt-get install",
             "sets apt up for the signed repository, so that apt-get upgrade brings each new version."),
            ("fedora", "Fedora and RHEL", "rpm", "dnf install", "dnf install",
             "sets dnf up for the signed repository.")):
        setup, packages = [n for n in of("keyring") if n.endswith(f".{kind}")], of(kind)
        if setup or packages:
            boxes.append({"id": box, "title": title, "files": setup or packages,
                          "commands": [f"{install} ./{setup[0]}", f"{upgrade} classbanner"] if setup
                          else [f"{install} ./{packages[0]}"],
                          "note": f"As root. The first package {sets_up}" if setup
                          else "As root: the package for your machine's architecture."})
    archives = of("tar.gz")
    if archives:
        boxes.append({"id": "linux", "title": "Other Linux, by architecture", "files": archives,
                      "commands": [f"tar -xzf {archives[0]}"],
                      "note": "Each holds one static program, which needs nothing installed: unpack the one "
                              "for your machine and run classbanner."})
    images = of("oci")
    if images:
        boxes.append({"id": "containers", "title": "Containers", "files": images,
                      "commands": [f"podman load -i {images[0]}"],
                      "note": "One image for every Linux architecture; podman picks this machine's."})
    return {"version": c.version, "url": c.url, "fingerprints": list(fingerprints), "downloads": downloads,
            "boxes": boxes, "summaries": {"sbom": f"{c.stem}.cdx.json", "provenance": f"{c.stem}.intoto.jsonl",
                                          "sums": "SHA256SUMS", "signature": "SHA256SUMS.asc",
                                          "key": "classbanner-signing-key.asc",
                                          "provenance_key": "classbanner-provenance-key.pem"},
            "signed": bool(fingerprints), "earlier": earlier}


def fingerprints_of(listing):
    """The fingerprints gpg --with-colons --show-keys lists, a key each, in its order."""
    found, primary = [], False
    for fields in (line.split(":") for line in listing.splitlines()):
        if fields[0] in ("pub", "sub", "sec", "ssb"):
            primary = fields[0] in ("pub", "sec")
        elif fields[0] == "fpr" and primary:
            found.append(fields[9])
            primary = False
    return found


@stage(optional=["public-key", "previous"], makes=["download-index", "page"])
def write_page(r):
    """In: every download made so far, the public keys, the previous
    release's packages (a rebuild's, from its configuration). Out: classbanner-VERSION.json, every download with
    its platform, size and SHA-256, and index.html rendered from it."""
    c = r.config
    keys = r.manifest.find("public-key")
    listing = r.query(c.first_suite, "publish", "gpg", "--batch", "--with-colons", "--show-keys",
                      keys[0]["path"]) if keys else ""
    earlier = sorted({f"{'apt/pool/main' if '/apt/' in i['path'] else 'rpm'}/{i['path'].rsplit('/', 1)[1]}"
                      for i in r.manifest.find("previous")
                      if re.match(r"previous/(apt/pool/.*\.deb|rpm/[^/]*\.rpm)$", i["path"])}) or list(c.earlier)
    shown = data(c, [i for i in r.manifest.items if i["download"]],
                 lambda path: (r.publish / path).stat().st_size, fingerprints_of(listing), earlier)
    index, page = f"dist/{c.stem}.json", "dist/index.html"
    (r.publish / index).write_text(json.dumps(shown, indent=1, sort_keys=True) + "\n")
    r.manifest.add(r.publish / index, "download-index")
    r.tool("page", "page.py", index, page)
    r.manifest.add(r.publish / page, "page")
    r.say("page", f"{page} and {index}: {len(shown['downloads'])} downloads, {len(shown['boxes'])} platforms, "
          f"{(r.publish / page).stat().st_size} bytes")


# Faults the browser check must find: what each is, how it is planted in the
# page (given the downloads), and what the check's failure must name.
PLANTED = (
    ("a link to a file that is not there",
     lambda page, d: page.replace(f'href="{d[0]["name"]}"', 'href="classbanner-not-there.zip"', 1),
     lambda d: "classbanner-not-there.zip"),
    ("a SHA-256 off by one character",
     lambda page, d: page.replace(d[0]["sha256"], d[0]["sha256"][:-1] + "01"[d[0]["sha256"][-1] == "0"], 1),
     lambda d: d[0]["name"]),
    ("an image without alternative text",
     lambda page, d: page.replace("</h1>", '</h1>\n<img src="data:image/gif;base64,R0lGODlhAQABAAAAACw=">', 1),
     lambda d: "image-alt"),
    ("a stylesheet from another host",
     lambda page, d: page.replace("</head>", '<link rel="stylesheet" href="https://fonts.example.org/page.css">'
                                  "</head>", 1),
     lambda d: "https://fonts.example.org/page.css"),
)


@stage(takes=["page", "download-index", "sums"], only="release")
def check_page(r):
    """In: the page, once everything it links to is made. Out: the page
    checked in a real browser (every link and SHA-256, with JavaScript off,
    axe-core's WCAG 2.1 A and AA rules, no request out of dist/), with
    screenshots among the logs; the check first shown to fail, naming the
    fault, on pages with faults planted."""
    c = r.config
    tarball = pinned(*c.axe, c.roots.parent / "npm")
    with tarfile.open(tarball) as packed:
        (r.publish / "scratch/axe.min.js").write_bytes(packed.extractfile("package/axe.min.js").read())
    page = r.manifest.find("page")[0]["path"]
    index = r.manifest.find("download-index")[0]["path"]
    original = (r.publish / page).read_text()
    shown = json.loads((r.publish / index).read_text())
    for number, (what, plant, naming) in enumerate(PLANTED, 1):
        planted, named = r.publish / "scratch" / f"planted-{number}.html", naming(shown["downloads"])
        planted.write_text(plant(original, shown["downloads"]))
        log = r.log(f"page-planted-{number}")
        try:
            r.tool(f"page-planted-{number}", "page-check.py", "dist", index, f"scratch/{planted.name}",
                   "scratch/axe.min.js", "scratch/planted-shots")
        except Stop:
            said = log.read_text()
            if named not in said:
                raise Stop(f"page-check: failed on {what}, but without naming {named} (log: {log})")
            continue
        raise Stop(f"page-check: passed a page with {what} (log: {log})")
    r.tool("page-check", "page-check.py", "dist", index, page, "scratch/axe.min.js", "scratch/shots")
    shots = sorted((r.root(c.first_suite) / "build/publish/scratch/shots").glob("*.png"))  # as a root's file
    for shot in shots:
        r.take(shot, r.work / f"page-{shot.name}")
    shutil.rmtree(r.publish / "scratch/planted-shots", ignore_errors=True)
    r.say("page", f"{page}: checked in chromium, axe-core {c.axe[1]} finds nothing; {len(PLANTED)} planted faults "
          f"found; screenshots {' '.join(f'page-{s.name}' for s in shots)} in {r.work}")
