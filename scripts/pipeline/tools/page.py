#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Render the release's page, OUT, from its data, INDEX (the release's
classbanner-VERSION.json): one self-contained HTML file, its style and
script inline, every link relative, the same bytes for the same data.

    page.py INDEX OUT
"""
import html
import json
import sys

STYLE = """
:root { color-scheme: light dark; --fg: #1b1b1b; --bg: #fdfdfc; --muted: #595959; --box: #f1f3f4;
  --line: #c8c8c8; --link: #0b57d0; --focus: #b3261e; }
@media (prefers-color-scheme: dark) {
  :root { --fg: #e8e8e8; --bg: #151515; --muted: #b5b5b5; --box: #242628; --line: #4a4a4a; --link: #8ab4f8;
    --focus: #f2b8b5; } }
* { box-sizing: border-box; }
body { margin: 0 auto; max-width: 72rem; padding: 1rem; font: 1rem/1.5 system-ui, sans-serif;
  color: var(--fg); background: var(--bg); }
a { color: var(--link); }
a:focus-visible, summary:focus-visible, [tabindex]:focus-visible { outline: 3px solid var(--focus);
  outline-offset: 2px; }
code, pre { font-family: ui-monospace, monospace; font-size: .9rem; overflow-wrap: anywhere; }
pre { background: var(--box); padding: .6rem; overflow-x: auto; white-space: pre-wrap; }
.boxes { display: grid; gap: 1rem; grid-template-columns: repeat(auto-fit, minmax(17rem, 1fr)); padding: 0;
  list-style: none; }
.box { background: var(--box); border: 1px solid var(--line); border-radius: .4rem; padding: 0 1rem .5rem; }
.box.yours { border: 3px solid var(--link); }
.box ul { padding-left: 1.2rem; }
.muted { color: var(--muted); }
.table { overflow-x: auto; }
table { border-collapse: collapse; width: 100%; }
caption { text-align: left; font-weight: bold; padding: .4rem 0; }
th, td { border-bottom: 1px solid var(--line); padding: .3rem .5rem; text-align: left; vertical-align: top; }
td.sha { word-break: break-all; min-width: 12rem; }
@media (max-width: 40rem) { th.sha, td.sha { display: none; } }
"""

# Only adds: marks the box of the visitor's platform, which the page shows all the same.
SCRIPT = """
(function () {
  var ua = navigator.userAgent, id = /Windows/.test(ua) ? "windows" : /Fedora|Red Hat/.test(ua) ? "fedora"
    : /Ubuntu|Debian/.test(ua) ? "debian" : /Linux|X11/.test(ua) ? "linux" : null;
  var box = id && document.getElementById(id);
  if (!box) return;
  box.classList.add("yours");
  var note = document.createElement("p");
  note.textContent = "This looks like your platform.";
  box.insertBefore(note, box.children[1]);
})();
"""


def e(text):
    return html.escape(str(text), quote=True)


def size(count):
    """COUNT bytes as people read it, the exact count kept for machines."""
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= scale:
            return f'<data value="{count}">{count / scale:.1f} {unit}</data>'
    return f'<data value="{count}">{count} B</data>'


def render(d):
    v, s = e(d["version"]), d["summaries"]
    boxes = "".join(
        f'<li class="box" id="{e(b["id"])}"><h3>{e(b["title"])}</h3><ul>'
        + "".join(f'<li><a href="{e(n)}">{e(n)}</a></li>' for n in b["files"]) + "</ul>"
        + f'<p>{e(b["note"])}</p><pre><code>' + "\n".join(e(c) for c in b["commands"]) + "</code></pre></li>"
        for b in d["boxes"])
    rows = "".join(
        f'<tr id="file-{e(x["name"])}"><td><a href="{e(x["name"])}">{e(x["name"])}</a></td><td>{e(x["kind"])}</td>'
        f'<td>{e(x["os"])}</td><td>{e(x["arch"])}</td><td>{size(x["size"])}</td>'
        f'<td class="sha"><code>{e(x["sha256"])}</code></td></tr>' for x in d["downloads"])
    checks = "\n".join(f'echo "{e(x["sha256"])}  {e(x["name"])}" | sha256sum -c' for x in d["downloads"])
    if d["signed"]:
        keys = "".join(f"<li><code>{e(f)}</code></li>" for f in d["fingerprints"])
        signed = (
            f'<p>The downloads are signed with this OpenPGP key (while the key changes, two keys sign):</p>'
            f'<ul>{keys}</ul><p>Compare its fingerprint with the one published where you learned of '
            f'classbanner, then check the signature and every download, in the folder that holds them. gpg may '
            f'warn that the key is "not certified with a trusted signature": that is expected of any key you '
            f'have not signed yourself; the fingerprint is what you compare.</p>'
            f'<pre><code>gpg --show-keys <a href="{e(s["key"])}">{e(s["key"])}</a>\n'
            f'gpg --dearmor &lt;{e(s["key"])} &gt;classbanner-signing-key.gpg\n'
            f'gpgv --keyring ./classbanner-signing-key.gpg <a href="{e(s["signature"])}">{e(s["signature"])}</a> '
            f'<a href="{e(s["sums"])}">{e(s["sums"])}</a>\n'
            f'sha256sum --ignore-missing -c {e(s["sums"])}</code></pre>')
    else:
        signed = (f'<p>This release is not signed: check each download against <a href="{e(s["sums"])}">'
                  f'{e(s["sums"])}</a> alone.</p>')
    earlier = ""
    if d["earlier"]:
        earlier = ('<section id="earlier"><h2>Earlier versions</h2><details><summary>The packages of earlier '
                   'versions, which the repositories keep</summary><ul>'
                   + "".join(f'<li><a href="{e(p)}">{e(p)}</a></li>' for p in d["earlier"])
                   + "</ul></details></section>")
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>classbanner {v}: downloads</title>
<style>{STYLE}</style>
</head>
<body>
<header>
<h1>classbanner {v}</h1>
<p>A small console program that prints the eight-line class banner and exits. Pick the box of your platform;
every download is listed below it, with how to check it.</p>
<nav aria-label="On this page"><ul>
<li><a href="#install">Install</a></li><li><a href="#downloads">Every download</a></li>
<li><a href="#verify">Verify a download</a></li><li><a href="#rebuild">Rebuild it</a></li>
</ul></nav>
</header>
<main>
<section id="install"><h2>Install</h2><ul class="boxes">{boxes}</ul></section>
<section id="downloads"><h2>Every download</h2><div class="table" tabindex="0">
<table><caption>The {len(d["downloads"])} downloads of classbanner {v}</caption>
<thead><tr><th scope="col">File</th><th scope="col">Kind</th><th scope="col">OS</th>
<th scope="col">Architecture</th><th scope="col">Size</th><th scope="col" class="sha">SHA-256</th></tr></thead>
<tbody>{rows}</tbody></table></div>
<p>Also: the bill of materials, <a href="{e(s["sbom"])}">{e(s["sbom"])}</a>, the signed provenance,
<a href="{e(s["provenance"])}">{e(s["provenance"])}</a>, and <a href="{e(s["sums"])}">{e(s["sums"])}</a>,
which list every download above, this page too.</p></section>
<section id="verify"><h2>Verify a download</h2>{signed}
<p>Or check one file at a time, each line as it is:</p>
<pre><code>{checks}</code></pre>
<p>The provenance says what built every download; cosign checks a download against it:</p>
<pre><code>cosign verify-blob-attestation --key <a href="{e(s["provenance_key"])}">{e(s["provenance_key"])}</a> \\
  --insecure-ignore-tlog --type slsaprovenance1 --signature {e(s["provenance"])} FILE</code></pre></section>
<section id="rebuild"><h2>Rebuild it</h2>
<p>The verify command, from a classbanner source archive you already trust, rebuilds this release from its
source archive, on Debian 12 or 13, and compares every download, byte for byte:</p>
<pre><code>scripts/verify.py --fingerprint FINGERPRINT dist</code></pre>
<p>Rebuilders who have done so publish their signed attestations: <a href="attestations/">attestations/</a>.</p>
</section>
{earlier}
</main>
<script>{SCRIPT}</script>
</body>
</html>
"""


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: page.py INDEX OUT")
    with open(sys.argv[1]) as index:
        shown = json.load(index)
    with open(sys.argv[2], "w") as out:
        out.write(render(shown))


main()
