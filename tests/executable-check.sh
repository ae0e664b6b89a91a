#!/bin/sh
# SPDX-License-Identifier: MIT
# The executable is what a user of its system needs, and what the build said
# it is, checked from its headers and its bytes.
#
#   executable-check.sh linux READELF EXE FORMAT MACHINE LIBC LINKAGE OPTIONS
#   executable-check.sh windows OBJDUMP EXE FORMAT MACHINE WINDRES OPTIONS
#
# FORMAT and MACHINE are the target's, from cmake/targets.txt; OPTIONS are the
# link options configure printed.
# linux: a static build needs no program interpreter and no shared object, so
# it runs on any Linux of its kind; it carries the C library LIBC, and the
# layout its link options announce.
# windows: a console program that runs on a bare system (only msvcrt.dll and
# KERNEL32.dll), with NX and ASLR, and carries its application manifest.

set -u
target=$1
shift
who="FAIL $target executable"
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../scripts/preamble.sh"

case $target in
windows)
	objdump=$1 exe=$2 format=$3 machine=$4 windres=$5 options=$6
	headers=$("$objdump" -f -p "$exe") || exit 1
	echo "$headers" | grep -q "file format $machine\$" || fail "not a $machine image"
	echo "$headers" | grep -q "^Magic[[:space:]]*0[12]0b[[:space:]]*($format)" || fail "not $format"
	echo "$headers" | grep -q '^Subsystem[[:space:]]*00000003[[:space:]]*(Windows CUI)' ||
		fail "not a console (CUI) program"
	for flag in NX_COMPAT DYNAMIC_BASE; do
		echo "$headers" | grep -q "^[[:space:]]*$flag\$" || fail "DllCharacteristics lack $flag"
	done
	case " $options " in *" LINKER:-s "*)
		! echo "$headers" | grep -q 'HAS_SYMS' || fail "has symbols, though linked with -s" ;;
	esac

	dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | tr '\n' ' ')
	[ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || fail "imports '$dlls', want only KERNEL32.dll and msvcrt.dll"

	# The manifest resource: type 24 (RT_MANIFEST), id 1, decompiled to text.
	manifest=$("$windres" -i "$exe" -O rc 2>/dev/null | awk '
		/^1 24 / { inside = 1; next }
		inside && /^END/ { exit }
		inside { print }')
	[ -n "$manifest" ] || fail "no manifest resource (type 24, id 1)"
	echo "$manifest" | grep -q 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""' ||
		fail "manifest does not request asInvoker"
	for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
		4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
		8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
		echo "$manifest" | grep -q "supportedOS Id=\"\"{$os}\"\"" || fail "manifest lacks supportedOS $os"
	done
	;;

linux)
	readelf=$1 exe=$2 format=$3 machine=$4 libc=$5 linkage=$6 options=$7
	headers=$("$readelf" -h -l -S -W "$exe") || exit 1
	echo "$headers" | grep -q "^ *Class: *$format\$" || fail "not $format"
	echo "$headers" | grep -q "^ *Machine: *$machine\$" || fail "not for $machine"
	if [ "$linkage" = static ]; then
		echo "$headers" | grep -q '^ *Type: *EXEC ' || fail "not an executable (EXEC)"
		! echo "$headers" | grep -q '^ *\(INTERP\|DYNAMIC\) ' || fail "not static: it has INTERP or DYNAMIC"
	else
		echo "$headers" | grep -q '^ *INTERP ' || fail "not dynamic: no program interpreter"
	fi
	# glibc marks its symbol versions and tunables GLIBC_; musl's strerror
	# has a text of its own.
	if grep -q GLIBC_ "$exe"; then carried=glibc
	elif grep -q 'No error information' "$exe"; then carried=musl
	else carried=unknown
	fi
	[ "$carried" = "$libc" ] || fail "carries $carried, want $libc"
	for option in $options; do
		case $option in
		*-z,norelro)
			! echo "$headers" | grep -q '^ *GNU_RELRO ' || fail "has a RELRO segment, though linked with $option" ;;
		*-z,noseparate-code)
			readonly=$(echo "$headers" | awk '$1 == "LOAD" && !/ RW/' | wc -l)
			[ "$readonly" -eq 1 ] || fail "$readonly read-only LOAD segments, though linked with $option" ;;
		*:-s)
			! echo "$headers" | grep -q ' \.symtab ' || fail "has a symbol table, though linked with $option" ;;
		esac
	done
	;;

*)
	echo "executable-check.sh: unknown target '$target'" >&2
	exit 2
	;;
esac

[ $failed -eq 0 ] && echo "ok $target executable"
exit $failed
