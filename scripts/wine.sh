#!/bin/bash
# SPDX-License-Identifier: MIT
# Run a Windows row's program under wine, as its tests and the release's
# checks do:
#
#   wine.sh PROCESSOR QEMU PROGRAM [ARGUMENT...]
#
# PROCESSOR is the row's (targets.txt): x86_64 or i686. QEMU is a qemu-i386
# to run 32-bit x86 code with where the kernel cannot, or -.
#
# x86_64: wine's 64-bit loader alone, in a 64-bit prefix. Debian's wine
# starts its 32-bit loader first whenever wine32 is installed, and even the
# 64-bit loader starts it for the prefix's 32-bit half; here it is hidden, in
# a mount namespace of this command's own, so that no 32-bit x86 program
# starts at all.
# i686: wine as it is, its 32-bit code run natively where the kernel can (a
# try tells), else under QEMU, registered with a user namespace's own
# binfmt_misc: the host's registrations, which may name a slower emulator,
# are neither used nor changed. Where that cannot be done, one line says what
# to do, and the exit status is 1.
set -u
processor=$1 qemu=$2
shift 2
die() {
	echo "wine.sh: $*" >&2
	exit 1
}

if [ "${CLASSBANNER_WINE_NAMESPACE:-}" != yes ]; then
	# Root of a user namespace of its own, with a mount namespace: where the
	# kernel allows none (a chroot, or user namespaces switched off), wine
	# runs as it is, and 32-bit code as the host runs it.
	if unshare --user --map-root-user --mount true 2>/dev/null; then
		CLASSBANNER_WINE_NAMESPACE=yes exec unshare --user --map-root-user --mount "$0" "$processor" "$qemu" "$@"
	fi
	[ "$processor" = x86_64 ] && exec env WINEARCH=win64 /usr/lib/wine/wine64 "$@"
	/usr/lib/wine/wine --version >/dev/null 2>&1 ||
		die "this kernel runs no 32-bit x86 programs, and user namespaces, in which qemu-i386 would run them, are not allowed here: test win32 by scripts/release.py win32"
	exec wine "$@"
fi
unset CLASSBANNER_WINE_NAMESPACE

if [ "$processor" = x86_64 ]; then
	[ ! -e /usr/lib/wine/wine ] || mount --bind /dev/null /usr/lib/wine/wine || die "cannot hide wine's 32-bit loader"
	exec env WINEARCH=win64 /usr/lib/wine/wine64 "$@"
fi

# A binfmt_misc of the namespace's own (Linux 6.7 and later) starts empty:
# what runs there, runs natively.
binfmt=/proc/sys/fs/binfmt_misc
own=no
mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null && own=yes
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
	[ "$own" = yes ] ||
		die "this kernel runs no 32-bit x86 programs, and has no binfmt_misc of a user namespace's own (Linux 6.7) to run them under qemu-i386: test win32 by scripts/release.py win32"
	[ -x "$qemu" ] || die "this kernel runs no 32-bit x86 programs: install qemu-user (scripts/prerequisites.sh win32), then configure afresh"
	# Debian 12's qemu-i386 (7.2) takes minutes to make a wine prefix, Debian 13's seconds.
	version=$("$qemu" --version | sed -n '1s/.* version \([0-9]*\)\..*/\1/p')
	[ "${version:-0}" -ge 8 ] ||
		die "this kernel runs no 32-bit x86 programs, and $qemu (version ${version:-unknown}) runs wine too slowly: configure with -DCLASSBANNER_QEMU_I386= naming Debian 13's qemu-i386, or test win32 by scripts/release.py win32"
	printf %s ":i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
		>"$binfmt/register" || die "cannot register $qemu for 32-bit x86 programs"
fi
exec wine "$@"
