#!/bin/sh
# SPDX-License-Identifier: MIT
# The Windows .zip holds the program, the README and the license, and the
# program, byte for byte the one the tests ran (EXE), runs from where it unpacks.
#
#   zip-check.sh CPACK CPACK_CONFIG CMAKE BANNER EXE EMULATOR...

# shellcheck disable=SC2015 # `A && B || fail` is meant: fail when either one fails.
set -u
cpack=$1 config=$2 cmake=$3 banner=$4 exe=$5
shift 5
who="FAIL windows zip"
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../scripts/preamble.sh"

"$cpack" -G ZIP --config "$config" -B "$tmp/out" >"$tmp/log" 2>&1 ||
	{ cat "$tmp/log" >&2; exit 1; }
zip=$(ls "$tmp"/out/*.zip)

(cd "$tmp" && "$cmake" -E tar xf "$zip") || fail "the .zip does not unpack"
files=$(cd "$tmp" && find classbanner-* -type f | LC_ALL=C sort | tr '\n' ' ')
case $files in
"classbanner-"*"/LICENSE classbanner-"*"/README.md classbanner-"*"/classbanner.exe ") ;;
*) fail "the .zip holds '$files', want classbanner.exe, README.md and LICENSE" ;;
esac

[ "$exe" = - ] || cmp -s "$exe" "$tmp"/classbanner-*/classbanner.exe ||
	fail "the packed program differs from the built one"
timeout 60 "$@" "$tmp"/classbanner-*/classbanner.exe </dev/null >"$tmp/stdout" 2>"$tmp/err"
status=$?
cmp -s "$banner" "$tmp/stdout" || fail "the unpacked program does not print the banner"
[ "$status" -eq 0 ] && [ ! -s "$tmp/err" ] || fail "the unpacked program: status $status"

[ $failed -eq 0 ] && echo "ok windows zip"
exit $failed
