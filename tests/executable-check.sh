#!/bin/sh
# The Windows executable is what a Windows user needs: a 64-bit console
# program that runs on a bare system (only msvcrt.dll and KERNEL32.dll) and
# carries its application manifest.
#
#   windows-exe.sh OBJDUMP WINDRES EXE

set -u
objdump=$1 windres=$2 exe=$3
failed=0
fail() {
	echo "FAIL windows executable: $*" >&2
	failed=1
}

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

[ $failed -eq 0 ] && echo "ok windows executable"
exit $failed
