#!/bin/bash
# SPDX-License-Identifier: MIT
# Show that the release comes out byte for byte the same, whoever makes it:
#
#   scripts/reproducible.sh [DIST]
#
# 1. The release (scripts/release.py) is made from a clone of HEAD, then again
#    from a second clone in a deeper folder, seconds later and under umask
#    0002: every file of the two dist/ folders must match, signatures and
#    repositories included when $CLASSBANNER_SIGNING_KEY names a key. With
#    $CLASSBANNER_AUTHENTICODE_KEY, the second release attaches the Windows
#    signatures that the first detached instead, without the key. DIST, a
#    dist/ that a release of this same commit made, stands in for the first.
#    Both build in the same cached roots, as two releases from two machines
#    with the same mirror would.
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

release() { # folder: clone HEAD there and make the release
	git clone -q "$root" "$1"
	"$1/scripts/release.py" >"$1.log" 2>&1 || { cat "$1.log" >&2; exit 1; }
}

if [ $# -gt 0 ]; then
	first=$(cd "$1" && pwd)
else
	release "$tmp/first"
	first=$tmp/first/dist
	sleep 2 # a later second, for anything that would stamp the time
fi
second=$tmp/second/in/a/deeper/folder
if [ -n "${CLASSBANNER_AUTHENTICODE_KEY:-}" ]; then
	# As a maintainer whose key is on a token would: the Windows files' signatures
	# that the first release detached, attached without the key.
	export CLASSBANNER_AUTHENTICODE_SIGNATURES=$first/../build/release-work/signatures
	unset CLASSBANNER_AUTHENTICODE_KEY
fi
(umask 0002 && release "$second")
listing() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum); }
if diff <(listing "$first") <(listing "$second/dist"); then
	echo "reproducible: two releases, $(listing "$first" | wc -l) files each, byte-identical"
else
	echo "NOT reproducible: the second release differs (above)" >&2
	exit 1
fi

git clone -q "$root" "$tmp/reprotest"
cd "$tmp/reprotest"
reprotest --variations=+all,-user_group,-domain_host \
	'cmake --preset package >/dev/null && cmake --build --preset package >/dev/null && cpack --preset package >/dev/null &&
	DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc >/dev/null 2>&1 && mv ../classbanner_*.deb build/package/' \
	'build/package/classbanner_*.deb build/package/classbanner-*.rpm build/package/classbanner-*.tar.gz' \
	>"$tmp/reprotest.log" 2>&1 || { cat "$tmp/reprotest.log" >&2; echo "NOT reproducible under reprotest's variations (above)" >&2; exit 1; }
echo "reproducible: reprotest found no difference in the x86-64 .deb, .rpm and .tar.gz"
