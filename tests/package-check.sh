#!/bin/sh
# SPDX-License-Identifier: MIT
# The packages hold what a user of each kind expects, the distributions' own
# checkers accept them, and the program runs from where each one unpacks.
#
#   package-check.sh tgz|rpm|rpmlint CPACK CPACK_CONFIG BANNER static|dynamic RPM_ARCH EXE [EMULATOR...]
#
# CPack makes the .tar.gz and .rpm (the .deb, by Debian's tools, is checked
# by the release). RPM_ARCH is the target's, from cmake/targets.txt; EXE is
# the built program, which every package must carry byte for byte (- where it
# is stripped only as it is packed); EMULATOR runs a cross-built program.
# Exit status: 0 passed, 1 failed, 77 skipped (a tool it needs is missing).

# shellcheck disable=SC2015 # `A && B || fail` is meant: fail when either one fails.
set -u
group=$1 cpack=$2 config=$3 banner=$4 linkage=$5 rpm_arch=$6 exe=$7
shift 7
who="FAIL packages.$group"
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../scripts/preamble.sh"
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
