#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Make the Windows package managers' manifests of a release (in a release
root), from its own MSIs and .zip files in DIST, to be served at URL:

    channels.py URL VERSION DIST

winget's three files (classbanner.classbanner.yaml, .installer.yaml,
.locale.en-US.yaml; every MSI, its codes read from the MSI itself) and
Scoop's classbanner.json (every .zip), into DIST. Alike each time: nothing
in them but what the files and URL say.
"""
import hashlib
import json
import pathlib
import subprocess
import sys
import zipfile

ID, SCHEMA = "classbanner.classbanner", "1.6.0"
WINGET = {"x86_64": "x64", "i686": "x86"}
SCOOP = {"x86_64": "64bit", "i686": "32bit"}
MACHINES = {0x8664: "x86_64", 0x14c: "i686"}
TEMPLATES = {"x64": "x86_64", "Intel": "i686"}


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def properties(msi):
    """The MSI's Property table, as msiinfo reads it: name: value."""
    table = subprocess.run(["msiinfo", "export", msi, "Property"], check=True, capture_output=True, text=True).stdout
    return dict(line.split("\t", 1) for line in table.replace("\r", "").splitlines()[3:] if "\t" in line)


def template(msi):
    """The processor an MSI installs for, as its summary's Template names it."""
    info = subprocess.run(["msiinfo", "suminfo", msi], check=True, capture_output=True, text=True).stdout
    return TEMPLATES[next(line for line in info.splitlines() if line.startswith("Template: "))[10:].split(";")[0]]


def processor(zip_path):
    """The processor of the executable a .zip holds, from its PE header (None
    if it holds none, or one for another processor)."""
    with zipfile.ZipFile(zip_path) as packed:
        exes = [packed.read(name) for name in packed.namelist() if name.endswith("/classbanner.exe")]
    if not exes:
        return None
    pe = int.from_bytes(exes[0][0x3c:0x40], "little")
    return MACHINES.get(int.from_bytes(exes[0][pe + 4:pe + 6], "little"))


def yaml(kind, fields):
    """A winget manifest: its schema's comment, then FIELDS, as winget-pkgs writes them."""
    lines = [f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}.{SCHEMA}.schema.json", ""]
    for key, value in fields:
        if isinstance(value, list):
            lines.append(f"{key}:")
            for item in value:
                lines += [f"{'- ' if i == 0 else '  '}{line}" for i, line in enumerate(item)]
        else:
            lines.append(f"{key}: {value}")
    return "\n".join(lines + [f"ManifestType: {'defaultLocale' if kind == 'defaultLocale' else kind}",
                              f"ManifestVersion: {SCHEMA}", ""])


def main(url, version, dist):
    zips = {processor(z): z for z in sorted(dist.glob(f"classbanner-{version}-win*.zip"))}
    installers = []
    for msi in sorted(dist.glob(f"classbanner-{version}-win*.msi")):
        p, arch = properties(msi), template(msi)
        installers.append([f"Architecture: {WINGET[arch]}", f"InstallerUrl: {url}/{msi.name}",
                           f"InstallerSha256: {sha256(msi).upper()}", f"ProductCode: '{p['ProductCode']}'",
                           "AppsAndFeaturesEntries:", f"- DisplayName: {p['ProductName']}",
                           f"  Publisher: {p['Manufacturer']}", f"  DisplayVersion: {p['ProductVersion']}",
                           f"  ProductCode: '{p['ProductCode']}'", f"  UpgradeCode: '{p['UpgradeCode']}'"])
    head = [("PackageIdentifier", ID), ("PackageVersion", version)]
    (dist / f"{ID}.yaml").write_text(yaml("version", head + [("DefaultLocale", "en-US")]))
    (dist / f"{ID}.installer.yaml").write_text(yaml("installer", head + [
        ("InstallerType", "msi"), ("Scope", "machine"), ("UpgradeBehavior", "install"),
        ("Commands", [["classbanner"]]), ("Installers", installers)]))
    (dist / f"{ID}.locale.en-US.yaml").write_text(yaml("defaultLocale", head + [
        ("PackageLocale", "en-US"), ("Publisher", "classbanner maintainers"), ("PackageName", "classbanner"),
        ("PackageUrl", "https://classbanner.example"), ("License", "MIT"),
        ("ShortDescription", "Prints the class banner."), ("Moniker", "classbanner")]))

    scoop = {
        "version": version,
        "description": "Prints the class banner.",
        "homepage": "https://classbanner.example",
        "license": "MIT",
        "architecture": {SCOOP[arch]: {"url": f"{url}/{z.name}", "hash": sha256(z), "extract_dir": z.stem}
                         for arch, z in zips.items()},
        "bin": "classbanner.exe",
        "checkver": {"url": f"{url}/SHA256SUMS", "regex": r"classbanner-([\d.]+)-win64\.zip"},
        "autoupdate": {
            "architecture": {SCOOP[arch]: {"url": f"{url}/{z.name.replace(version, '$version')}",
                                           "extract_dir": z.stem.replace(version, "$version")}
                             for arch, z in zips.items()},
            "hash": {"url": "$baseurl/SHA256SUMS"},
        },
    }
    (dist / "classbanner.json").write_text(json.dumps(scoop, indent=4, sort_keys=True) + "\n")


if __name__ == "__main__":
    main(sys.argv[1].rstrip("/"), sys.argv[2], pathlib.Path(sys.argv[3]))
