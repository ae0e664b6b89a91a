#!/bin/bash
# SPDX-License-Identifier: MIT
# Show that the release comes out byte for byte the same, whoever makes it:
#
#   scripts/reproducible.sh [DIST]
#
# 1. The release (scripts/release.py) is made from a clone of HEAD, signed
#    with $CLASSBANNER_SIGNING_KEY; then verified as a user would, with a
#    verify command they already trust, never the release's own: here a
#    clone of HEAD, in a deeper folder, run under umask 0002, seconds later: a second build from the
#    downloads alone, in roots of the .buildinfo's packages, every download
#    compared byte for byte, the Windows files under the signatures the
#    first attached; attested, as a rebuilder would, with a throwaway key,
#    and the attestation checked as a user would, rebuilding nothing.
#    DIST, a dist/ that a release of this same commit made,
#    stands in for the first. The roots the release cached serve the verify
#    too, as they hold exactly the .buildinfo's packages.
# 2. reprotest, Debian's reproducibility checker, builds the x86-64 packages
#    (CPack's, and dpkg-buildpackage's .deb, without its tests, which the
#    release runs) on this machine twice under its variations (time, file
#    order, umask, locale, build path, environment and more; not the user and
#    host, which it would have to create): no file may differ.
#
# Needs what `scripts/prerequisites.sh native release reproducible` installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

[ -n "${CLASSBANNER_SIGNING_KEY:-}" ] || { echo "reproducible: needs CLASSBANNER_SIGNING_KEY, which verify.py checks the release against" >&2; exit 1; }
if [ $# -gt 0 ]; then
	dist=$(cd "$1" && pwd)
else
	git clone -q "$root" "$tmp/first"
	"$tmp/first/scripts/release.py" >"$tmp/first.log" 2>&1 || { cat "$tmp/first.log" >&2; exit 1; }
	dist=$tmp/first/dist
	sleep 2 # a later second, for anything that would stamp the time
fi
fingerprint=$(gpg --batch --with-colons --show-keys "$CLASSBANNER_SIGNING_KEY" | awk -F: '$1 == "fpr" { print $10; exit }')
user=$tmp/user/in/a/deeper/folder
mkdir -p "$user"
git clone -q "$root" "$user/verifier"
verify=$user/verifier/scripts/verify.py
openssl genpkey -algorithm ed25519 -out "$tmp/rebuilder.pem" 2>"$tmp/openssl.log" || { cat "$tmp/openssl.log" >&2; exit 1; }
(umask 0002 && "$verify" --fingerprint "$fingerprint" "$dist" --attest "$tmp/rebuilder.pem" \
	--rebuilder mailto:ci@classbanner.invalid) >"$tmp/verify.log" 2>&1 ||
	{ cat "$tmp/verify.log" >&2; echo "NOT reproducible: the verify found the rebuild differs, or could not rebuild (above)" >&2; exit 1; }
echo "reproducible: $(tail -n 1 "$tmp/verify.log" | sed 's/^verify: //')"
openssl pkey -in "$tmp/rebuilder.pem" -pubout -out "$tmp/rebuilder.pub.pem"
"$verify" --fingerprint "$fingerprint" "$dist" --attestations "$user/verifier/build/attestations" --page \
	--trusted "$tmp/rebuilder.pub.pem" --min 1 >"$tmp/attested.log" 2>&1 ||
	{ cat "$tmp/attested.log" >&2; echo "the rebuild's own attestation does not check (above)" >&2; exit 1; }
echo "reproducible: attested; $(tail -n 1 "$tmp/attested.log" | sed 's/^verify: //')"

git clone -q "$root" "$tmp/reprotest"
cd "$tmp/reprotest"
reprotest --variations=+all,-user_group,-domain_host \
	'cmake --preset package >/dev/null && cmake --build --preset package >/dev/null && cpack --preset package >/dev/null &&
	DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc >/dev/null 2>&1 && mv ../classbanner_*.deb build/package/' \
	'build/package/classbanner_*.deb build/package/classbanner-*.rpm build/package/classbanner-*.tar.gz' \
	>"$tmp/reprotest.log" 2>&1 || { cat "$tmp/reprotest.log" >&2; echo "NOT reproducible under reprotest's variations (above)" >&2; exit 1; }
echo "reproducible: reprotest found no difference in the x86-64 .deb, .rpm and .tar.gz"
