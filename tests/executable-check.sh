#!/bin/sh
# SPDX-License-Identifier: MIT
# The executable is what a user of its system needs, checked from its headers.
#
#   executable-check.sh windows OBJDUMP WINDRES EXE
#   executable-check.sh linux READELF EXE PROCESSOR
#
# windows: a 64-bit console program that runs on a bare system (only
# msvcrt.dll and KERNEL32.dll) and carries its application manifest.
# linux: a static ELF64 executable for PROCESSOR (CMake's name) that needs no
# program interpreter and no shared object, so it runs on any Linux of its kind.

set -u
target=$1
shift
failed=0
fail() {
	echo "FAIL $target executable: $*" >&2
	failed=1
}

case $target in
windows)
	objdump=$1 windres=$2 exe=$3
	headers=$("$objdump" -f -p "$exe") || exit 1
	echo "$headers" | grep -q 'file format pei-x86-64' || fail "not a PE image for x86-64"
	echo "$headers" | grep -q '^Magic[[:space:]]*020b[[:space:]]*(PE32+)' || fail "not PE32+"
	echo "$headers" | grep -q '^Subsystem[[:space:]]*00000003[[:space:]]*(Windows CUI)' ||
		fail "not a console (CUI) program"

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
	readelf=$1 exe=$2 processor=$3
	case $processor in
	x86_64) machine="Advanced Micro Devices X86-64" ;;
	aarch64) machine=AArch64 ;;
	*) machine=$processor ;;
	esac
	headers=$("$readelf" -h -l -d -W "$exe") || exit 1
	echo "$headers" | grep -q '^ *Class: *ELF64$' || fail "not ELF64"
	echo "$headers" | grep -q "^ *Machine: *$machine\$" || fail "not for $machine"
	echo "$headers" | grep -q '^ *Type: *EXEC ' || fail "not an executable (EXEC)"
	! echo "$headers" | grep -q '^ *INTERP ' || fail "asks for a program interpreter"
	! echo "$headers" | grep -q '^ *DYNAMIC ' || fail "has a dynamic section: not static"
	;;

*)
	echo "executable-check.sh: unknown target '$target'" >&2
	exit 2
	;;
esac

[ $failed -eq 0 ] && echo "ok $target executable"
exit $failed
