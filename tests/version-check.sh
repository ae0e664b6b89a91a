#!/bin/sh
# SPDX-License-Identifier: MIT
# A new version is made in three files: CMakeLists.txt's VERSION, its section
# at the top of NEWS.md, and its debian/changelog entry. Everything else that
# names the version follows from CMake's, so no other file may name an
# earlier one (a version NEWS.md lists below the first):
#
#   version-check.sh SOURCE VERSION
#
# One line per fault, naming the file; exit status 1 if any.
set -u
top=$1 version=$2
who="FAIL version"
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../scripts/preamble.sh"
cd "$top" || exit 1
sed -n 's/^## \([0-9][^ ]*\).*/\1/p' NEWS.md >"$tmp/news"
[ "$(head -n 1 "$tmp/news")" = "$version" ] ||
	fail "NEWS.md: its first section is '$(head -n 1 "$tmp/news")', not $version (add '## $version' at its top)"
entry=$(sed -n '1s/^classbanner (\([^)]*\)).*/\1/p' debian/changelog)
case $entry in
"$version"-*) ;;
*) fail "debian/changelog: its first entry is for '$entry', not $version (dch -v $version-1)" ;;
esac
for earlier in $(tail -n +2 "$tmp/news"); do
	grep -rlwF --exclude-dir=build --exclude-dir=.git --exclude-dir=dist --exclude=NEWS.md --exclude=changelog \
		-- "$earlier" . | sort | while read -r file; do
		echo "$who: ${file#./}: names $earlier, an earlier version, where it means $version"
		echo 1 >"$tmp/named"
	done
done
[ ! -e "$tmp/named" ] || failed=1
exit $failed
