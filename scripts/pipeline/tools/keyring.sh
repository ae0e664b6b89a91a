#!/bin/bash
# SPDX-License-Identifier: MIT
# Make the packages that set a machine up for the release's repositories,
# served from URL, and trust the public KEYS (an armored file: one key, or
# the old and the new while the key changes), in a release root:
#
#   keyring.sh DIST KEYS URL DEBIAN_VERSION EPOCH
#
# DIST gets classbanner-archive-keyring_DEBIAN_VERSION_all.deb (for apt: the
# keys in /usr/share/keyrings, a deb822 source naming them with Signed-By)
# and classbanner-release-VERSION-REVISION.noarch.rpm (for dnf: the .repo
# file, the keys in /etc/pki/rpm-gpg), both dated EPOCH, the same each time.
set -euo pipefail
dist=$(cd "$1" && pwd) keys=$(realpath "$2") url=$3 debian_version=$4 epoch=$5
top=$(cd "$(dirname "$0")/../../.." && pwd)
here=$top/packaging/keyring
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export SOURCE_DATE_EPOCH=$epoch
maintainer=$(sed -n 's/^Maintainer: //p' "$top/debian/control")
fill() { sed -e '/^#/d' -e "s|@URL@|$url|g" -e "s|@DEBIAN_VERSION@|$debian_version|g" \
	-e "s|@MAINTAINER@|$maintainer|g" -e "s|@SIZE@|${size:-}|g" "$1"; }
keep_comments() { sed -e '/^# SPDX/d' -e "s|@URL@|$url|g" "$1"; }

# The .deb, laid out by hand: it holds data alone, which needs no debhelper.
deb=$tmp/deb doc=$tmp/deb/usr/share/doc/classbanner-archive-keyring
mkdir -p "$deb/DEBIAN" "$deb/usr/share/keyrings" "$deb/etc/apt/sources.list.d" "$doc" "$deb/usr/share/lintian/overrides"
gpg --batch --dearmor <"$keys" >"$deb/usr/share/keyrings/classbanner-archive-keyring.pgp"
keep_comments "$here/classbanner.sources" >"$deb/etc/apt/sources.list.d/classbanner.sources"
cp "$top/debian/copyright" "$doc/copyright"
sed '/^#/d; s/^/classbanner-archive-keyring: /' "$here/lintian-overrides" \
	>"$deb/usr/share/lintian/overrides/classbanner-archive-keyring"
printf '%s\n' "classbanner-archive-keyring ($debian_version) unstable; urgency=medium" '' \
	"  * The keys that sign classbanner's repositories at ${debian_version%-*}." '' \
	" -- $maintainer  $(LC_ALL=C date -u -R -d "@$epoch")" | gzip -9 -n >"$doc/changelog.Debian.gz"
echo /etc/apt/sources.list.d/classbanner.sources >"$deb/DEBIAN/conffiles"
chmod -R u=rwX,go=rX "$deb"
find "$deb" -exec touch -h -d "@$epoch" {} +
(cd "$deb" && find usr etc -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums)
size=$(du -k -s --apparent-size "$deb/usr" "$deb/etc" | awk '{ s += $1 } END { print s }')
fill "$here/control" >"$deb/DEBIAN/control"
touch -d "@$epoch" "$deb/DEBIAN" "$deb/DEBIAN"/*
dpkg-deb --root-owner-group -Zxz --build "$deb" "$dist/classbanner-archive-keyring_${debian_version}_all.deb" >/dev/null

# The .rpm, by rpmbuild in a top folder of its own.
rpm=$tmp/rpm
mkdir -p "$rpm/SOURCES"
keep_comments "$here/classbanner.repo" >"$rpm/SOURCES/classbanner.repo"
cp "$keys" "$rpm/SOURCES/RPM-GPG-KEY-classbanner"
cp "$top/LICENSE" "$rpm/SOURCES/LICENSE"
touch -d "@$epoch" "$rpm/SOURCES"/*
rpmbuild --quiet -bb --define "_topdir $rpm" --define "classbanner_version ${debian_version%-*}" \
	--define "classbanner_release ${debian_version##*-}" --define "classbanner_maintainer $maintainer" \
	"$here/classbanner-release.spec" >"$tmp/rpmbuild.log" 2>&1 || { cat "$tmp/rpmbuild.log" >&2; exit 1; }
cp "$rpm"/RPMS/noarch/classbanner-release-*.noarch.rpm "$dist/"
echo "keyring: $(basename "$dist"/classbanner-archive-keyring_"$debian_version"_all.deb) and" \
	"$(basename "$dist"/classbanner-release-"${debian_version%-*}"-*.noarch.rpm)" >&2
