#!/bin/sh
# SPDX-License-Identifier: MIT
# The packages hold what a user of each kind expects, the distributions' own
# checkers accept them, and the program runs from where each one unpacks.
#
#   package-check.sh tgz|rpm|rpmlint CPACK CPACK_CONFIG BANNER static|dynamic RPM_ARCH EXE [EMULATOR...]
#   package-check.sh deb DEB DEB_ARCH BANNER EXE [EMULATOR...]
#   package-check.sh lintian FILE...
#
# CPack makes the .tar.gz and .rpm; debian/ makes the .deb (DEB), which the
# release checks. The architectures are the target's, from cmake/targets.txt;
# EXE is the built program, which every package must carry byte for byte (-
# where it is stripped only as it is packed); EMULATOR runs a cross-built
# program. lintian checks .deb and .dsc files, pedantically.
# Exit status: 0 passed, 1 failed, 77 skipped (a tool it needs is missing).

# shellcheck disable=SC2015 # `A && B || fail` is meant: fail when either one fails.
set -u
group=$1
case $group in
deb) deb=$2 deb_arch=$3 banner=$4 exe=$5 && shift 5 ;;
lintian) shift ;;
*) cpack=$2 config=$3 banner=$4 linkage=$5 rpm_arch=$6 exe=$7 && shift 7 ;;
esac
who="FAIL packages.$group"
# shellcheck source=tests/preamble.sh
. "$(dirname "$0")/preamble.sh"
skip() {
	echo "SKIP packages.$group: $*"
	exit 77
}

# package GENERATOR EXTENSION: build one kind of package into $tmp/out and
# print its path; call as `x=$(package ...) || exit 1`.
package() {
	"$cpack" -G "$1" --config "$config" -B "$tmp/out" >"$tmp/log" 2>&1 ||
		{ cat "$tmp/log" >&2; exit 1; }
	ls "$tmp"/out/*."$2"
}

# runs ROOT [EMULATOR...]: the program unpacked under ROOT is the one the tests
# ran, and prints the banner.
runs() {
	root=$1
	shift
	[ "$exe" = - ] || cmp -s "$exe" "$root/bin/classbanner" ||
		fail "the packaged program differs from the built one"
	"$@" "$root/bin/classbanner" </dev/null >"$tmp/stdout" 2>"$tmp/err"
	status=$?
	cmp -s "$banner" "$tmp/stdout" || fail "the program from the package does not print the banner"
	[ "$status" -eq 0 ] && [ ! -s "$tmp/err" ] || fail "the program from the package: status $status"
}

# same_files WHAT WANT GOT: two lists of files, one a line, are the same.
same_files() {
	want=$(echo "$2" | LC_ALL=C sort) got=$(echo "$3" | LC_ALL=C sort)
	[ "$want" = "$got" ] || fail "$1 holds:
$got
want:
$want"
}

case $group in
tgz)
	tgz=$(package TGZ tar.gz) || exit 1
	top=$(basename "$tgz" .tar.gz)
	case $top in classbanner-*-linux-*) ;; *) fail "archive named $top" ;; esac
	mkdir "$tmp/root"
	tar -xzf "$tgz" -C "$tmp/root" || fail "the .tar.gz does not unpack"
	same_files "the .tar.gz" "$(printf '%s\n' "$top/LICENSE" "$top/README.md" \
		"$top/bin/classbanner" "$top/share/man/man1/classbanner.1")" \
		"$(cd "$tmp/root" && find . -type f | sed 's|^\./||')"
	runs "$tmp/root/$top" "$@"
	;;

deb)
	command -v dpkg-deb >/dev/null 2>&1 || skip "dpkg-deb not installed"
	mkdir "$tmp/root"
	dpkg-deb -x "$deb" "$tmp/root" || fail "dpkg-deb -x failed"
	field() { dpkg-deb -f "$deb" "$1"; }
	[ "$(field Package)" = classbanner ] || fail "Package is '$(field Package)'"
	[ "$(field Architecture)" = "$deb_arch" ] || fail "Architecture is '$(field Architecture)', want $deb_arch"
	[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
	field Maintainer | grep -q '^[^<]\+ <[^>]\+@[^>]\+>$' || fail "Maintainer is '$(field Maintainer)'"
	[ "$(field Description | wc -l)" -ge 2 ] || fail "no long description"
	# apt must see it as no older than any version NEWS.md lists, newest first.
	newest=$(sed -n 's/^## \([0-9][^ ]*\).*/\1/p' "$(dirname "$0")/../NEWS.md" | head -n 1)
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
	same_files "the .deb" "$(printf '%s\n' "$doc/changelog.Debian.gz" "$doc/changelog.gz" "$doc/copyright" \
		usr/bin/classbanner usr/share/lintian/overrides/classbanner \
		usr/share/man/man1/classbanner.1.gz)" \
		"$(cd "$tmp/root" && find . -type f | sed 's|^\./||')"
	grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
		"$tmp/root/$doc/copyright" || fail "copyright is not in the machine-readable format"
	grep -q '^License: MIT$' "$tmp/root/$doc/copyright" || fail "copyright names no MIT license"
	zcat "$tmp/root/$doc/changelog.Debian.gz" | head -n 1 |
		grep -q "^classbanner ($(field Version)) " || fail "changelog's first entry is not this version"
	runs "$tmp/root/usr" "$@"
	;;

rpm)
	command -v rpmbuild >/dev/null 2>&1 || skip "rpmbuild not installed"
	rpm=$(package RPM rpm) || exit 1
	query() { rpm -qp --queryformat "%{$1}" "$rpm" 2>/dev/null; }
	[ "$(query LICENSE)" = MIT ] || fail "License is '$(query LICENSE)'"
	[ "$(query ARCH)" = "$rpm_arch" ] || fail "Architecture is '$(query ARCH)', want $rpm_arch"
	query DESCRIPTION | grep -q 'class banner' || fail "description is '$(query DESCRIPTION)'"
	requires=$(rpm -qp --requires "$rpm" 2>/dev/null | grep -v '^rpmlib(')
	case $linkage in
	static) [ -z "$requires" ] || fail "a static build requires '$requires'" ;;
	dynamic) echo "$requires" | grep -q 'libc.so.6' || fail "a dynamic build requires '$requires'" ;;
	esac
	# Only its own files and folders: no system folders, no build-id links.
	same_files "the .rpm" "$(printf '%s\n' /usr/bin/classbanner /usr/share/licenses/classbanner \
		/usr/share/licenses/classbanner/LICENSE /usr/share/man/man1/classbanner.1.gz)" \
		"$(rpm -qpl "$rpm" 2>/dev/null)"
	mkdir "$tmp/root"
	(cd "$tmp/root" && rpm2cpio "$rpm" | cpio -id --quiet) || fail "the .rpm does not unpack"
	runs "$tmp/root/usr" "$@"
	;;

lintian)
	command -v lintian >/dev/null 2>&1 || skip "lintian not installed"
	# Every tag, however minor, unless overridden with its reason; and not
	# that the first version closes no bug, which only the first version's
	# package could say (an override would be unused ever after): these are
	# not uploads to Debian's archive, with bugs of Debian's to close.
	lintian --pedantic --display-info --suppress-tags initial-upload-closes-no-bugs "$@" >"$tmp/lintian" 2>&1
	cat "$tmp/lintian"
	! grep -q '^[A-Z]: ' "$tmp/lintian" || fail "lintian reports tags"
	;;

rpmlint)
	command -v rpmlint >/dev/null 2>&1 && command -v rpmbuild >/dev/null 2>&1 ||
		skip "rpmlint or rpmbuild not installed"
	rpm=$(package RPM rpm) || exit 1
	# The filters are for a static build; a dynamic one needs no filter.
	unused=
	[ "$linkage" = static ] || unused=--ignore-unused-rpmlintrc
	rpmlint $unused -r "$(dirname "$0")/../packaging/classbanner.rpmlintrc" "$rpm" >"$tmp/rpmlint" 2>&1
	status=$?
	cat "$tmp/rpmlint"
	[ $status -eq 0 ] && grep -q ' 0 errors,' "$tmp/rpmlint" || fail "rpmlint reports errors"
	;;

*)
	echo "package-check.sh: unknown group '$group'" >&2
	exit 2
	;;
esac

[ $failed -eq 0 ] && echo "ok packages.$group"
exit $failed
