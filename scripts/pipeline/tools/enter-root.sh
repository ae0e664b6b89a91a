#!/bin/bash
# SPDX-License-Identifier: MIT
# Run COMMAND in WORKDIR of the release root ROOT, with an empty environment
# but PATH and HOME (release.py starts it in namespaces of its own; USERNS says
# whether a user namespace is among them):
#
#   enter-root.sh ROOT USERNS WORKDIR COMMAND...
#
# The root gets /proc, /sys and a /dev of its own, the host's device nodes bound
# one by one onto files there, where the root cannot replace them.
# shellcheck disable=SC2015 # `A && B || fail` is meant: fail when either one fails.
set -u
r=$1 userns=$2 workdir=$3
shift 3
fail() {
	echo "$*" >&2
	exit 99
}

mount --bind "$r" "$r" && mount -t proc proc "$r/proc" && mount --rbind /sys "$r/sys" &&
	mount -t tmpfs -o mode=755 dev "$r/dev" && mkdir "$r/dev/pts" "$r/dev/shm" || fail "cannot mount /proc, /sys or /dev"
for name in null zero full random urandom tty fuse; do
	[ -e "/dev/$name" ] || continue
	touch "$r/dev/$name" && mount --bind "/dev/$name" "$r/dev/$name" || fail "cannot bind /dev/$name"
done
ln -s /proc/self/fd "$r/dev/fd" && ln -s /proc/self/fd/0 "$r/dev/stdin" &&
	ln -s /proc/self/fd/1 "$r/dev/stdout" && ln -s /proc/self/fd/2 "$r/dev/stderr" &&
	mount -t devpts -o newinstance,ptmxmode=0666 devpts "$r/dev/pts" && ln -s pts/ptmx "$r/dev/ptmx" &&
	mount -t tmpfs shm "$r/dev/shm" || fail "cannot make /dev's links, ptys or shared memory"

# 32-bit x86 programs (wine's loader) run natively where the kernel can, else
# under the root's own qemu-i386, registered with the user namespace's own
# binfmt_misc: the host's registrations, which may name a slower emulator, are
# neither used nor changed. The namespace's binfmt_misc starts empty, so the
# loader's --version, tried there, tells what the kernel runs. (Before Linux
# 6.7 a namespace has none of its own: what the host runs, runs.)
binfmt=$r/proc/sys/fs/binfmt_misc
if [ "$userns" = yes ] && [ -x "$r/usr/bin/qemu-i386" ] && mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null &&
	! chroot "$r" /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
	printf %s ":i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$r/usr/bin/qemu-i386:F" \
		>"$binfmt/register" || fail "cannot register qemu-i386 for 32-bit x86 programs"
fi

# The root is moved onto the namespace's own /, where a container can start:
# in a mere chroot the kernel refuses it the namespaces it needs. Where it
# cannot be moved (in a chroot), it is the chroot's all the same.
cd "$r" || fail "no root at $r"
mount --move . / 2>/dev/null
exec chroot . env -i -C "$workdir" PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"
