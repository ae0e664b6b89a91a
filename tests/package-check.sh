#!/bin/sh
# The .deb and .tar.gz install the program and its man page, the .deb says
# what Debian needs to know, and the program runs from where it unpacks.
#
#   package-check.sh CPACK CPACK_CONFIG BANNER MAN_PAGE static|dynamic
#
# MAN_PAGE is the page's path below the prefix (share/man/man1/...).

set -u
cpack=$1 config=$2 banner=$3 man=$4 linkage=$5
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() {
	echo "FAIL packages: $*" >&2
	failed=1
}

"$cpack" -G "TGZ;DEB" --config "$config" -B "$tmp/out" >"$tmp/log" 2>&1 ||
	{ cat "$tmp/log" >&2; exit 1; }
deb=$(ls "$tmp"/out/*.deb)
tgz=$(ls "$tmp"/out/*.tar.gz)

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = classbanner ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
	fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
field Maintainer | grep -q '^[^<]\+ <[^>]\+@[^>]\+>$' || fail "Maintainer is '$(field Maintainer)'"
[ "$(field Description | wc -l)" -ge 2 ] || fail "no long description"
depends=$(field Depends)
case $linkage in
static) [ -z "$depends" ] || fail "a static build depends on '$depends'" ;;
dynamic) echo "$depends" | grep -q 'libc6' || fail "a dynamic build depends on '$depends', not libc6" ;;
esac

mkdir "$tmp/root"
dpkg-deb -x "$deb" "$tmp/root" || fail "dpkg-deb -x failed"
[ -s "$tmp/root/usr/$man" ] || fail "the .deb has no /usr/$man"
"$tmp/root/usr/bin/classbanner" </dev/null >"$tmp/outfile" 2>"$tmp/err"
status=$?
cmp -s "$banner" "$tmp/outfile" || fail "the program from the .deb does not print the banner"
[ "$status" -eq 0 ] && [ ! -s "$tmp/err" ] || fail "the program from the .deb: status $status"

tar -tzf "$tgz" >"$tmp/list" || fail "the .tar.gz does not unpack"
grep -q '/bin/classbanner$' "$tmp/list" || fail "the .tar.gz has no bin/classbanner"
grep -q "/$man\$" "$tmp/list" || fail "the .tar.gz has no $man"

[ $failed -eq 0 ] && echo "ok packages"
exit $failed
