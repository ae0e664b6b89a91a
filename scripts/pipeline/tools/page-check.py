#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Check the release's page, PAGE, as visitors get it, in chromium: every
link resolves to a file in DIST or an anchor on the page; every SHA-256 and
size it shows is the file's; with JavaScript off, every download's name and
install command is there; axe-core (AXE, its axe.min.js) finds no WCAG 2.1
A or AA violation; nothing but the table (which scrolls in its own box) is
wider than a phone's screen; and no request leaves the page's folder or DIST, by the
browser's own log. Screenshots at a desktop's and a phone's size, light and
dark, go into SHOTS. Each fault a line naming the link, file or rule, the
last saying how many.

    page-check.py DIST INDEX PAGE AXE SHOTS
"""
import fcntl
import hashlib
import html.parser
import json
import os
import pathlib
import socket
import struct
import sys
import urllib.parse

faults = []


def fault(text):
    faults.append(text)
    print(f"page-check: {text}", file=sys.stderr)


class Page(html.parser.HTMLParser):
    """The page's links and anchors, its table's rows, its code blocks."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.links, self.ids, self.rows, self.code = [], set(), [], []
        self.row, self.cell, self.in_code = None, None, False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        for name in ("href", "src"):
            if name in attrs:
                self.links.append((tag, attrs[name]))
        if tag == "tr" and (attrs.get("id") or "").startswith("file-"):
            self.row = {"name": attrs["id"][len("file-"):], "cells": []}
        elif tag == "td" and self.row is not None:
            self.cell = ""
        elif tag == "data" and self.row is not None:
            self.row["size"] = attrs.get("value")
        elif tag == "code":
            self.in_code, self.code = True, self.code + [""]

    def handle_endtag(self, tag):
        if tag == "td" and self.row is not None:
            self.row["cells"].append(self.cell.strip())
            self.cell = None
        elif tag == "tr" and self.row is not None:
            self.rows.append(self.row)
            self.row = None
        elif tag == "code":
            self.in_code = False

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data
        if self.in_code:
            self.code[-1] += data


def static(dist, page, shown):
    """What the page's text says, against the files in DIST."""
    parsed = Page()
    parsed.feed(page.read_text())
    for tag, link in parsed.links:
        target = urllib.parse.urlsplit(link)
        if target.scheme == "data" and tag == "img":
            continue
        if target.scheme or target.netloc:
            fault(f"{link}: a <{tag}> that leaves the release's folder")
        elif link.startswith("#"):
            if link[1:] not in parsed.ids:
                fault(f"{link}: no such anchor on the page")
        elif target.path != "attestations/":  # rebuilders' attestations arrive after the release
            path = dist / urllib.parse.unquote(target.path)
            if not path.resolve().is_relative_to(dist.resolve()) or not path.is_file():
                fault(f"{link}: no such file in the release")
    files = {row["name"]: row for row in parsed.rows}
    for d in shown["downloads"]:
        row, path = files.get(d["name"]), dist / d["name"]
        if row is None:
            fault(f"{d['name']}: not in the page's table")
            continue
        data = path.read_bytes() if path.is_file() else b""
        if row["cells"][-1] != hashlib.sha256(data).hexdigest():
            fault(f"{d['name']}: the page shows SHA-256 {row['cells'][-1]}, not the file's")
        if row.get("size") != str(len(data)):
            fault(f"{d['name']}: the page shows {row.get('size')} bytes, not the file's {len(data)}")
    lines = [line for block in parsed.code for line in block.splitlines() if line.endswith("| sha256sum -c")]
    for line in lines:
        digest, name = line.split('"')[1].split("  ", 1)
        path = dist / name
        if not path.is_file() or hashlib.sha256(path.read_bytes()).hexdigest() != digest:
            fault(f"{name}: its sha256sum -c line says {digest}, not the file's SHA-256")
    if len(lines) != len(shown["downloads"]):
        fault(f"the page has {len(lines)} sha256sum -c lines, for {len(shown['downloads'])} downloads")


def loopback_up():
    """The network namespace's loopback, up: chromedriver talks to chromium over it."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH", fcntl.ioctl(s, 0x8913, struct.pack("16sH", b"lo", 0)))[1]  # SIOCGIFFLAGS
        fcntl.ioctl(s, 0x8914, struct.pack("16sH", b"lo", flags | 0x1))  # SIOCSIFFLAGS, IFF_UP


def browser(script=True):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=/tmp/page-check-profile" + ("" if script else "-nojs")):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    if not script:
        options.add_experimental_option("prefs", {"profile.managed_default_content_settings.javascript": 2})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def requests(driver, allowed):
    """Each request the browser made outside the folders ALLOWED."""
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message.get("method") != "Network.requestWillBeSent":
            continue
        url, document = message["params"]["request"]["url"], message["params"].get("documentURL", "")
        if not document.startswith("file:") or url.startswith("data:"):
            continue  # the browser's own pages (its new tab's), not the release's
        target = urllib.parse.urlsplit(url)
        path = urllib.parse.unquote(target.path)
        if target.scheme != "file" or not any(path.startswith(f"{folder}/") for folder in allowed):
            fault(f"{url}: requested, out of the release's folder")


def in_browser(dist, page, shown, axe, shots):
    url = page.resolve().as_uri()
    allowed = [str(dist.resolve()), str(page.resolve().parent)]
    driver = browser()
    try:
        driver.set_window_size(1280, 800)
        driver.get(url)
        driver.execute_script(axe.read_text())
        found = driver.execute_async_script(
            "var done = arguments[arguments.length - 1];"
            "axe.run(document, {runOnly: {type: 'tag', values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa']}})"
            ".then(function (r) { done(r.violations.map(function (v) {"
            "  return [v.id, v.help, v.nodes.map(function (n) { return n.target.join(' '); })]; })); },"
            "function (e) { done([['axe-error', String(e), []]]); });")
        for rule, help_text, targets in found:
            fault(f"{rule}: {help_text} ({', '.join(targets[:3])})")
        shots.mkdir(parents=True, exist_ok=True)
        for scheme in ("light", "dark"):
            driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
                "features": [{"name": "prefers-color-scheme", "value": scheme}]})
            for width, height in ((1280, 800), (390, 844)):
                driver.set_window_size(width, height)
                driver.get(url)
                driver.save_screenshot(str(shots / f"{width}x{height}-{scheme}.png"))
                wide = driver.execute_script(
                    "var w = document.documentElement.clientWidth, found = null;"
                    "document.querySelectorAll('body *').forEach(function (e) {"
                    "  if (!found && !e.closest('[tabindex]') && e.getBoundingClientRect().right > w + 1)"
                    "    found = e.tagName.toLowerCase() + ': ' + e.textContent.slice(0, 40); });"
                    "return found;")
                if wide:
                    fault(f"{wide}: wider than the page at {width} pixels, which then scrolls sideways")
        requests(driver, allowed)
    finally:
        driver.quit()
    driver = browser(script=False)
    try:
        driver.get(url)
        text = driver.find_element("tag name", "body").text
        for d in shown["downloads"]:
            if d["name"] not in text:
                fault(f"{d['name']}: not shown with JavaScript off")
        for command in (c for box in shown["boxes"] for c in box["commands"]):
            if command not in text:
                fault(f"{command}: not shown with JavaScript off")
    finally:
        driver.quit()


def main():
    if len(sys.argv) != 6:
        sys.exit("usage: page-check.py DIST INDEX PAGE AXE SHOTS")
    dist, index, page, axe, shots = map(pathlib.Path, sys.argv[1:])
    shown = json.loads(index.read_text())
    if page.stat().st_size >= 64 << 10:
        fault(f"{page}: {page.stat().st_size} bytes, not under 64 KiB")
    static(dist, page, shown)
    loopback_up()
    os.environ["HOME"] = "/tmp"
    in_browser(dist, page, shown, axe, shots)
    if faults:
        sys.exit(f"page-check: {len(faults)} fault(s) in {page}, each named above")
    print(f"page-check: {page}: every link, SHA-256 and size the files'; shown with JavaScript off; "
          "no axe-core violation; no request out of the folder")


if __name__ == "__main__":
    main()
