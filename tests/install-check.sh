#!/bin/sh
# SPDX-License-Identifier: MIT
# `cmake --install` lays out the program and its man page, and the installed
# program prints the banner.
#
#   install-check.sh CMAKE BUILD_DIR BANNER MAN_PAGE [EMULATOR...]
#
# MAN_PAGE is the page's path below the prefix; EMULATOR runs a cross-built
# program.

# shellcheck disable=SC2015 # `A && B || fail` is meant: fail when either one fails.
set -u
cmake=$1 build=$2 banner=$3 man=$4
shift 4
who="FAIL install"
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../scripts/preamble.sh"
prefix=$tmp

"$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 ||
	{ cat "$prefix.log" >&2; rm -f "$prefix.log"; exit 1; }
rm -f "$prefix.log"

[ -x "$prefix/bin/classbanner" ] || fail "no executable bin/classbanner"
[ -s "$prefix/$man" ] || fail "no man page $man"
extra=$(cd "$prefix" && find . -type f ! -path ./bin/classbanner ! -path "./$man")
[ -z "$extra" ] || fail "unexpected files installed: $extra"

"$@" "$prefix/bin/classbanner" </dev/null >"$prefix/out" 2>"$prefix/err"
status=$?
cmp -s "$banner" "$prefix/out" || fail "the installed program does not print the banner"
[ "$status" -eq 0 ] && [ ! -s "$prefix/err" ] || fail "the installed program: status $status, stderr '$(cat "$prefix/err")'"

[ $failed -eq 0 ] && echo "ok install"
exit $failed
