#!/bin/sh
# SPDX-License-Identifier: MIT
# Black-box checks of classbanner, one group of behaviours per call:
#
#   banner-checks.sh GROUP BANNER COMMAND [ARG...]
#
# BANNER holds the exact bytes classbanner must write; COMMAND starts it (the
# executable, or an emulator followed by the executable).
#
# Groups: output arguments input output-targets write-errors close-error
#         environment one-write
# Exit status: 0 passed, 1 failed, 77 skipped (a tool it needs is missing).

# shellcheck disable=SC2015 # `A && B || fail` is meant: fail when either one fails.
set -u
group=$1
banner=$2
shift 2

who="FAIL $group"
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../scripts/preamble.sh"
skip() {
	printf 'SKIP %s: %s\n' "$group" "$*"
	exit 77
}

# Every run is bounded, so a program that waits for input fails the check
# instead of hanging it.
limit=${CLASSBANNER_TEST_TIMEOUT:-20}

# The command as one shell-quoted string, for eval, script(1) and xargs.
quote() {
	printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"
}
cmd=
for word; do
	cmd="$cmd $(quote "$word")"
done

# cb [ARG...]: run classbanner with these arguments; callers redirect.
cb() {
	eval "timeout \"\$limit\" $cmd \"\$@\""
}

# expect_banner STATUS LABEL: the last run wrote the banner to $tmp/out,
# nothing to $tmp/err, and ended with status 0.
expect_banner() {
	if ! cmp -s "$banner" "$tmp/out"; then
		fail "$2: standard output is not the banner:"
		od -c "$tmp/out" | head -n 12 >&2
	fi
	[ ! -s "$tmp/err" ] || fail "$2: standard error not empty: $(head -c 300 "$tmp/err")"
	[ "$1" -eq 0 ] || fail "$2: exit status $1, want 0"
}

# Lines end as the banner's do: LF, or CR LF where the runtime translates.
# shellcheck disable=SC2094 # both only read the banner
if tr -d '\r' <"$banner" | cmp -s - "$banner"; then
	eol='\n'
else
	eol='\r\n'
fi

# The banner as a terminal shows it: the tty turns each LF into CR LF.
crlf_banner() {
	awk '{ printf "%s\r\n", $0 }' "$banner"
}

case $group in
output)
	cb </dev/null >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "first run"
	cp "$tmp/out" "$tmp/first"
	cb </dev/null >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "second run"
	cmp -s "$tmp/first" "$tmp/out" || fail "two runs wrote different bytes"
	;;

arguments)
	# Arguments are ignored: no option, however it looks, changes a byte.
	for arg in one "" "two words" " leading and trailing " "*" "?" "[" "[a-z]*" \
		"$(printf '\377\376\200')" --help --version -h -V - -- "-x=1"; do
		cb "$arg" </dev/null >"$tmp/out" 2>"$tmp/err"
		expect_banner $? "argument '$arg'"
	done
	cb a "b c" "" '*' </dev/null >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "several arguments"
	# Thousands of arguments, all in one start (-x: never split), within
	# Windows' 32767-character command line.
	i=0
	while [ $i -lt 3000 ]; do
		echo "arg$i"
		i=$((i + 1))
	done >"$tmp/args"
	eval "xargs -x -n 3000 timeout \"\$limit\" $cmd" <"$tmp/args" >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "3000 arguments"
	;;

input)
	# Standard input is never read, so its state cannot hold the program up.
	cb <&- >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "standard input closed"
	cb </dev/null >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "standard input empty"
	mkfifo "$tmp/fifo"
	exec 3<>"$tmp/fifo" # we hold the writing end open throughout
	cb <"$tmp/fifo" 3<&- >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "standard input a pipe that stays open"
	exec 3<&-
	;;

output-targets)
	printf 'older and longer content than the banner itself\n%.0s' 1 2 3 4 >"$tmp/out"
	cb </dev/null >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "a regular file, truncated by the shell"

	{
		cb </dev/null 2>"$tmp/err"
		echo $? >"$tmp/status"
	} | cat >"$tmp/out"
	expect_banner "$(cat "$tmp/status")" "a pipe"

	# A reader that has gone away: the default SIGPIPE ends the program
	# quietly, as with any filter. The reader closes its end, then signals
	# over a fifo that the writer may start.
	mkfifo "$tmp/go"
	{
		read -r _ <"$tmp/go"
		cb </dev/null 2>"$tmp/err"
		echo $? >"$tmp/status"
	} | {
		exec <&-
		echo go >"$tmp/go"
	}
	status=$(cat "$tmp/status")
	[ "$status" -eq 141 ] || fail "closed pipe: exit status $status, want 141 (SIGPIPE)"
	[ ! -s "$tmp/err" ] || fail "closed pipe: standard error not empty: $(cat "$tmp/err")"

	if command -v script >/dev/null 2>&1; then
		timeout "$limit" script -qec "$cmd" /dev/null </dev/null >"$tmp/out" 2>"$tmp/err"
		status=$?
		crlf_banner >"$tmp/tty"
		cmp -s "$tmp/tty" "$tmp/out" || fail "a terminal: output is not the banner with CR LF line ends"
		[ "$status" -eq 0 ] || fail "a terminal: exit status $status, want 0"
	else
		echo "note: script(1) not installed, terminal output not checked"
	fi
	;;

write-errors)
	# A lost banner is reported, never passed off as success.
	cb </dev/null >/dev/full 2>"$tmp/err"
	status=$?
	[ "$status" -eq 1 ] || fail "/dev/full: exit status $status, want 1"
	# shellcheck disable=SC2059 # the format holds the line end's escape
	printf "classbanner: write error: No space left on device$eol" >"$tmp/want"
	cmp -s "$tmp/want" "$tmp/err" || fail "/dev/full: standard error is '$(cat "$tmp/err")'"

	cb </dev/null >&- 2>"$tmp/err"
	status=$?
	[ "$status" -eq 1 ] || fail "standard output closed: exit status $status, want 1"
	grep -q '^classbanner: write error: .' "$tmp/err" && [ "$(wc -l <"$tmp/err")" -eq 1 ] ||
		fail "standard output closed: standard error is '$(cat "$tmp/err")'"
	;;

close-error)
	# An error that only close(2) reports, as NFS may, is a write error too.
	# strace fails the close of standard output alone: the one found in a
	# clean run, so that a loader's closes before it still succeed.
	command -v strace >/dev/null 2>&1 || skip "strace not installed"
	eval "timeout \"\$limit\" strace -o $(quote "$tmp/trace") -e trace=close $cmd" </dev/null >/dev/null 2>&1
	n=$(grep '^close(' "$tmp/trace" | grep -n '^close(1)' | cut -d: -f1 | head -n 1)
	if [ -z "$n" ]; then
		fail "standard output is never closed"
	else
		eval "timeout \"\$limit\" strace -o /dev/null -e trace=close -e inject=close:error=EIO:when=$n $cmd" \
			</dev/null >"$tmp/out" 2>"$tmp/err"
		status=$?
		[ "$status" -eq 1 ] || fail "EIO at close: exit status $status, want 1"
		# glibc says "Input/output error", musl "I/O error".
		grep -q '^classbanner: write error: \(Input/output\|I/O\) error$' "$tmp/err" &&
			[ "$(wc -l <"$tmp/err")" -eq 1 ] || fail "EIO at close: standard error is '$(cat "$tmp/err")'"
	fi
	;;

environment)
	eval "timeout \"\$limit\" env -i $cmd" </dev/null >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "an empty environment"
	# shellcheck disable=SC2034 # used inside the eval below
	big=$(head -c 65536 /dev/zero | tr '\0' x)
	eval "timeout \"\$limit\" env LC_ALL=tr_TR.UTF-8 LANG=ja_JP.eucJP LANGUAGE=de \
		POSIXLY_CORRECT=1 TERM=dumb COLUMNS=3 BIG=\"\$big\" $cmd" \
		</dev/null >"$tmp/out" 2>"$tmp/err"
	expect_banner $? "an odd locale, a narrow terminal and a 64 KiB variable"
	;;

one-write)
	# The whole banner leaves in a single write(2), so concurrent runs into
	# one pipe never interleave; and so does the error line.
	command -v strace >/dev/null 2>&1 || skip "strace not installed"
	trace="strace -o $(quote "$tmp/trace") -e trace=write,writev,pwrite64,pwritev,pwritev2 $cmd"
	writes() { # the calls that wrote to standard output, and the one wanted
		grep -E '^(write|writev|pwrite64|pwritev2?)\(1,' "$tmp/trace" >"$tmp/calls"
		[ "$(wc -l <"$tmp/calls")" -eq 1 ] && grep -q '= 136$' "$tmp/calls" ||
			fail "$1: want one write of 136 bytes, got: $(cat "$tmp/calls")"
	}

	eval "timeout \"\$limit\" $trace" </dev/null >"$tmp/out" 2>/dev/null
	cmp -s "$banner" "$tmp/out" || fail "a file: output is not the banner"
	writes "a file"

	eval "timeout \"\$limit\" $trace" </dev/null 2>/dev/null | cat >"$tmp/out"
	cmp -s "$banner" "$tmp/out" || fail "a pipe: output is not the banner"
	writes "a pipe"

	if command -v script >/dev/null 2>&1; then
		timeout "$limit" script -qec "$trace" /dev/null </dev/null >"$tmp/out" 2>/dev/null
		crlf_banner >"$tmp/tty"
		cmp -s "$tmp/tty" "$tmp/out" || fail "a terminal: output is not the banner"
		writes "a terminal"
	else
		echo "note: script(1) not installed, the terminal case is not checked"
	fi

	# The error line too leaves whole, in one write: lines from several runs
	# into one log never mix.
	eval "timeout \"\$limit\" strace -s 200 -o $(quote "$tmp/trace") -e trace=write,writev $cmd" </dev/null >/dev/full 2>/dev/null
	grep -E '^(write|writev)\(2,' "$tmp/trace" >"$tmp/calls"
	[ "$(wc -l <"$tmp/calls")" -eq 1 ] && grep '= 50$' "$tmp/calls" >/dev/null &&
		grep -F '"classbanner: write error: No space left on device\n"' "$tmp/calls" >/dev/null ||
		fail "/dev/full: want the error line in one write of 50 bytes, got: $(cat "$tmp/calls")"
	;;

*)
	echo "banner-checks.sh: unknown group '$group'" >&2
	exit 2
	;;
esac

[ $failed -eq 0 ] && echo "ok $group"
exit $failed
