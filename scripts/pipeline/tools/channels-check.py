#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Check the Windows package managers' manifests as winget and Scoop read
them (in a release root; python3-yaml reads winget's):

    channels-check.py URL VERSION DIST

Every field the channel requires is present and well formed; each URL is
URL/ a file in DIST, each hash that file's; each MSI's codes and version are
the MSI's own (msiinfo); each architecture is that of the executable it
installs; every MSI and .zip in DIST is named. One line per fault; exit
status 1 if any.
"""
import hashlib
import json
import pathlib
import re
import sys
import zipfile

import yaml

from channels import ID, processor, properties, template

VERSION = re.compile(r"(0|[1-9]\d*)\.(0|[1-9]\d*)\.(0|[1-9]\d*)")
IDENTIFIER = re.compile(r"[^.\s\\/:*?\"<>|\x01-\x1f]{1,32}(\.[^.\s\\/:*?\"<>|\x01-\x1f]{1,32}){1,7}")
GUID = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")
REQUIRED = {"version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType", "ManifestVersion"],
            "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType", "ManifestVersion"],
            "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher", "PackageName",
                              "License", "ShortDescription", "ManifestType", "ManifestVersion"]}
WINGET = {"x64": "x86_64", "x86": "i686"}
SCOOP = {"64bit": "x86_64", "32bit": "i686"}
faults = []


def fault(where, text):
    faults.append(f"{where}: {text}")


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def download(where, url, base, dist):
    """The file in DIST that URL, under BASE, names, or None (a fault said)."""
    name = url[len(base) + 1:] if isinstance(url, str) and url.startswith(base + "/") else None
    if not name or "/" in name or not (dist / name).is_file():
        return fault(where, f"{url} is not {base}/ a download of this release")
    return dist / name


def winget(base, version, dist):
    """winget's three files; the MSIs they name."""
    files = {"version": f"{ID}.yaml", "installer": f"{ID}.installer.yaml", "defaultLocale": f"{ID}.locale.en-US.yaml"}
    named = set()
    for kind, name in files.items():
        try:
            m = yaml.safe_load((dist / name).read_text())
        except (OSError, yaml.YAMLError) as error:
            fault(name, f"unreadable: {error}")
            continue
        for field in (f for f in REQUIRED[kind] if f not in m or m[f] in (None, "", [])):
            fault(name, f"{field} is missing")
        for field, want in (("ManifestType", kind), ("PackageIdentifier", ID), ("PackageVersion", version)):
            if m.get(field) != want:
                fault(name, f"{field} is {m.get(field)!r}, not {want!r}")
        if not VERSION.fullmatch(str(m.get("ManifestVersion"))) or \
                tuple(map(int, str(m.get("ManifestVersion")).split("."))) < (1, 6, 0):
            fault(name, f"ManifestVersion {m.get('ManifestVersion')!r} is not 1.6.0 or later")
        if not IDENTIFIER.fullmatch(str(m.get("PackageIdentifier"))):
            fault(name, "PackageIdentifier is not Publisher.Package")
        for i, each in enumerate(m.get("Installers") or []):
            where = f"{name}: Installers[{i}]"
            msi = download(f"{where}.InstallerUrl", each.get("InstallerUrl"), base, dist)
            if not msi:
                continue
            named.add(msi.name)
            if m.get("InstallerType", each.get("InstallerType")) != "msi" or msi.suffix != ".msi":
                fault(where, "InstallerType is not msi, or its InstallerUrl not an MSI")
                continue
            if str(each.get("InstallerSha256", "")).lower() != digest(msi):
                fault(f"{where}.InstallerSha256", f"{each.get('InstallerSha256')}, not {msi.name}'s {digest(msi)}")
            if WINGET.get(each.get("Architecture")) != template(msi) or template(msi) != processor(
                    msi.with_suffix(".zip")):
                fault(f"{where}.Architecture", f"{each.get('Architecture')}, not that of {msi.name} and its "
                      "executable")
            own = properties(msi)
            entries = each.get("AppsAndFeaturesEntries") or [{}]
            for field, have, want in (("ProductCode", each.get("ProductCode"), own["ProductCode"]),
                                      ("AppsAndFeaturesEntries.ProductCode", entries[0].get("ProductCode"),
                                       own["ProductCode"]),
                                      ("AppsAndFeaturesEntries.UpgradeCode", entries[0].get("UpgradeCode"),
                                       own["UpgradeCode"]),
                                      ("AppsAndFeaturesEntries.DisplayVersion", entries[0].get("DisplayVersion"),
                                       own["ProductVersion"])):
                if have != want or (field.endswith("Code") and not GUID.fullmatch(str(have))):
                    fault(f"{where}.{field}", f"{have}, not {msi.name}'s own {want}")
    return named


def scoop(base, version, dist):
    """Scoop's classbanner.json; the .zip files it names."""
    named = set()
    try:
        m = json.loads((dist / "classbanner.json").read_text())
    except (OSError, ValueError) as error:
        fault("classbanner.json", f"unreadable: {error}")
        return named
    for field in (f for f in ("version", "homepage", "license", "architecture", "bin", "checkver", "autoupdate")
                  if not m.get(f)):
        fault("classbanner.json", f"{field} is missing")
    if m.get("version") != version:
        fault("classbanner.json", f"version is {m.get('version')!r}, not {version!r}")
    for arch, each in (m.get("architecture") or {}).items():
        where = f"classbanner.json: architecture.{arch}"
        packed = download(f"{where}.url", each.get("url"), base, dist)
        if not packed:
            continue
        named.add(packed.name)
        if each.get("hash") != digest(packed):
            fault(f"{where}.hash", f"{each.get('hash')}, not {packed.name}'s {digest(packed)}")
        with zipfile.ZipFile(packed) as z:
            if f"{each.get('extract_dir')}/{m.get('bin')}" not in z.namelist():
                fault(f"{where}.extract_dir", f"{each.get('extract_dir')}/{m.get('bin')} is not in {packed.name}")
        if SCOOP.get(arch) != processor(packed):
            fault(f"{where}", f"{packed.name}'s executable is for {processor(packed)}")
        later = (m.get("autoupdate") or {}).get("architecture", {}).get(arch, {})
        if str(later.get("url")).replace("$version", version) != each.get("url"):
            fault(f"classbanner.json: autoupdate.architecture.{arch}.url", f"{later.get('url')} does not give "
                  f"{each.get('url')} for version {version}")
    found = re.search((m.get("checkver") or {}).get("regex", "^$"), f"classbanner-{version}-win64.zip")
    if not found or found.group(1) != version:
        fault("classbanner.json: checkver.regex", f"does not find {version} in this release's file names")
    return named


def main(base, version, dist):
    named = winget(base, version, dist) | scoop(base, version, dist)
    for path in sorted(dist.glob(f"classbanner-{version}-win*.*")):
        if path.suffix in (".msi", ".zip") and path.name not in named:
            fault(path.name, "named by no manifest")
    for line in faults:
        print(line, file=sys.stderr)
    if faults:
        sys.exit(faults[0])


if __name__ == "__main__":
    main(sys.argv[1].rstrip("/"), sys.argv[2], pathlib.Path(sys.argv[3]))
