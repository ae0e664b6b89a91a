#!/bin/sh
# SPDX-License-Identifier: MIT
# Check what Debian's tools made, as a user of the .deb and Debian's checker
# see it (in a release root):
#
#   deb-check.sh deb DEB DEB_ARCH BANNER EXE [EMULATOR...]
#   deb-check.sh lintian FILE...
#
# deb: DEB holds what a user of a .deb expects, names the C library and GCC
# runtime the binary carries, and its program is EXE (the one the tests ran),
# which, run by EMULATOR for a cross build, prints BANNER. lintian: the .deb
# and .dsc files, pedantically. One line per fault; exit status 1 if any.

# shellcheck disable=SC2015 # `A && B || fail` is meant: fail when either one fails.
set -u
group=$1
who=
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../../preamble.sh"

case $group in
deb)
	deb=$2 deb_arch=$3 banner=$4 exe=$5 && shift 5
	mkdir "$tmp/root"
	dpkg-deb -x "$deb" "$tmp/root" || fail "dpkg-deb -x failed"
	field() { dpkg-deb -f "$deb" "$1"; }
	[ "$(field Package)" = classbanner ] || fail "Package is '$(field Package)'"
	[ "$(field Architecture)" = "$deb_arch" ] || fail "Architecture is '$(field Architecture)', want $deb_arch"
	[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
	field Maintainer | grep -q '^[^<]\+ <[^>]\+@[^>]\+>$' || fail "Maintainer is '$(field Maintainer)'"
	[ "$(field Description | wc -l)" -ge 2 ] || fail "no long description"
	# apt must see it as no older than any version NEWS.md lists, newest first.
	newest=$(sed -n 's/^## \([0-9][^ ]*\).*/\1/p' "$(dirname "$0")/../../../NEWS.md" | head -n 1)
	dpkg --compare-versions "$(field Version)" ge "$newest" || fail "Version $(field Version) is older than $newest"
	[ -z "$(field Depends)" ] || fail "a static build depends on '$(field Depends)'"
	# It names the C library that the binary carries (glibc marks its symbol
	# versions GLIBC_), and GCC's runtime.
	libc=musl
	! grep -q GLIBC_ "$tmp/root/usr/bin/classbanner" || libc=glibc
	for source in "$libc" "gcc-[0-9.]*\(-cross[a-z-]*\)\{0,1\}"; do
		field Static-Built-Using | grep -q "\(^\|, \)$source (= [0-9][^ ]*)\(,\|\$\)" ||
			fail "Static-Built-Using is '$(field Static-Built-Using)', want $libc's and gcc's sources and versions"
	done
	doc=usr/share/doc/classbanner
	want=$(printf '%s\n' "$doc/changelog.Debian.gz" "$doc/changelog.gz" "$doc/copyright" usr/bin/classbanner \
		usr/share/lintian/overrides/classbanner usr/share/man/man1/classbanner.1.gz | LC_ALL=C sort)
	got=$(cd "$tmp/root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
	[ "$want" = "$got" ] || fail "the .deb holds: $(echo "$got" | tr '\n' ' ')want: $(echo "$want" | tr '\n' ' ')"
	grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
		"$tmp/root/$doc/copyright" || fail "copyright is not in the machine-readable format"
	grep -q '^License: MIT$' "$tmp/root/$doc/copyright" || fail "copyright names no MIT license"
	zcat "$tmp/root/$doc/changelog.Debian.gz" | head -n 1 |
		grep -q "^classbanner ($(field Version)) " || fail "changelog's first entry is not this version"
	cmp -s "$exe" "$tmp/root/usr/bin/classbanner" || fail "the packaged program differs from the built one"
	"$@" "$tmp/root/usr/bin/classbanner" </dev/null >"$tmp/stdout" 2>"$tmp/err"
	status=$?
	cmp -s "$banner" "$tmp/stdout" || fail "the program from the .deb does not print the banner"
	[ "$status" -eq 0 ] && [ ! -s "$tmp/err" ] || fail "the program from the .deb: status $status"
	;;
lintian)
	shift
	# Every tag, however minor, unless overridden with its reason; and not
	# that the first version closes no bug, which only the first version's
	# package could say (an override would be unused ever after): these are
	# not uploads to Debian's archive, with bugs of Debian's to close.
	lintian --pedantic --display-info --suppress-tags initial-upload-closes-no-bugs "$@" >"$tmp/lintian" 2>&1
	cat "$tmp/lintian"
	! grep -q '^[A-Z]: ' "$tmp/lintian" || fail "lintian reports tags"
	;;
*)
	echo "usage: deb-check.sh deb DEB DEB_ARCH BANNER EXE [EMULATOR...] | lintian FILE..." >&2
	exit 2
	;;
esac
exit $failed
