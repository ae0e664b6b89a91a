#!/bin/sh
# SPDX-License-Identifier: MIT
# A 64-bit Windows program, run as its row's tests run it (EMULATOR...: wine),
# prints the banner and starts no 32-bit x86 program on the way: every program
# strace sees started is ELF64. (Debian's wine starts its 32-bit loader first
# whenever wine32 is installed: on a kernel that runs no 32-bit x86 code, it
# cannot start at all.)
#
#   wine64-check.sh BANNER EXE EMULATOR...
set -u
banner=$1 exe=$2
shift 2
who="FAIL windows wine64"
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../scripts/preamble.sh"

command -v strace >/dev/null || { echo "SKIP wine64: strace not installed"; exit 77; }
strace -f -qq -z -e trace=execve -o "$tmp/trace" timeout 120 "$@" "$exe" </dev/null >"$tmp/stdout" 2>"$tmp/err" ||
	fail "exit status $?: $(head -c 300 "$tmp/err")"
cmp -s "$tmp/stdout" "$banner" || fail "printed $(wc -c <"$tmp/stdout") bytes, not the banner"
# The ELF class, the fifth byte: 1 for 32-bit programs.
sed -n 's/^[0-9]* *execve("\([^"]*\)".*/\1/p' "$tmp/trace" | sort -u | while read -r program; do
	[ "$(od -An -tx1 -j4 -N1 "$program" | tr -d ' ')" != 01 ] || echo "$program"
done >"$tmp/32-bit"
[ -s "$tmp/32-bit" ] && fail "started 32-bit x86 programs: $(tr '\n' ' ' <"$tmp/32-bit")"
[ "$(sed -n '/^[0-9]* *execve(/p' "$tmp/trace" | wc -l)" -gt 0 ] || fail "strace saw no program started"
exit "$failed"
