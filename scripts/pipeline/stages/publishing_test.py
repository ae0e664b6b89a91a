# SPDX-License-Identifier: MIT
"""What is published, against fake roots: SHA256SUMS lists every download
and nothing else; it is signed; the repositories are made and checked in
every root."""
from ..fakes import done, expect, fake_run
from ..release import STAGES
from .build import make_roots

with fake_run(STAGES[STAGES.index(make_roots) + 1:]) as r:
    m = r.manifest

    def paths(kind):
        return sorted(item["path"] for item in m.find(kind))
    summed = sorted(line.split()[1] for line in (r.publish / "dist/SHA256SUMS").read_text().splitlines())
    expect(f"sums: SHA256SUMS lists {summed}", summed == sorted(p[5:] for p in m.downloads()) and not
           [n for n in summed if n.startswith(("apt/", "rpm/")) or n.endswith(".asc")] and len(summed) == 16)
    expect("sign: the signature and key", paths("signature") == ["dist/SHA256SUMS.asc"] and len(paths("key")) == 1)
    expect(f"repositories: {paths('apt-repository')} {paths('rpm-repository')}",
           len(paths("apt-repository")) == 6 and len(paths("rpm-repository")) == 3)
    checked = sorted(root for root, tool, c in r.roots.ran if tool == "signed-check.sh" and c[1] == "apt")
    expect(f"repositories: apt checked in {checked}", checked == ["root-bookworm", "root-trixie"])
with fake_run(STAGES[STAGES.index(make_roots) + 1:], url="https://classbanner.example") as r:
    keyrings = [item["path"] for item in r.manifest.find("keyring")]
    signed = next(c for _, tool, c in r.roots.ran if tool == "sign.sh" and c[1] == "repositories")
    expect(f"keyrings: {keyrings}, downloads in the repositories", len(keyrings) == 2 and set(keyrings) <= set(signed)
           and set(keyrings) <= set(r.manifest.downloads()))
with fake_run(STAGES[STAGES.index(make_roots) + 1:], signing_key=None) as r:
    expect("unsigned: SHA256SUMS signed, or repositories or keyrings made, without a key",
           not [kind for kind in ("signature", "apt-repository", "keyring") if r.manifest.find(kind)])
done("publishing")
