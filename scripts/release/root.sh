#!/bin/bash
# SPDX-License-Identifier: MIT
# The clean Debian roots a release builds in, made with mmdebstrap:
#
#   root.sh make RELEASE LOG     print the path of a tarball of RELEASE's root,
#                                holding what every row of that release needs
#   root.sh unpack TARBALL DIR   unpack a root into DIR, which must not exist
#   root.sh run DIR WORKDIR COMMAND...
#                                run COMMAND in the root at DIR, in its folder
#                                WORKDIR (enter-root.sh)
#   root.sh remove DIR           remove an unpacked root
#
# A root holds only what `scripts/prerequisites.sh --list build ROWS...` names
# for the release's rows of cmake/targets.txt (the first row's root also what
# `publish` names), without recommended packages, from the first Debian mirror
# in this machine's own apt configuration (or $CLASSBANNER_MIRROR, such as a
# snapshot of the archive to rebuild from). Roots are cached as tarballs under
# $CLASSBANNER_ROOTS (by default ~/.cache/classbanner/roots), one per release,
# keyed by the mirror and the package list, so a second release downloads
# nothing; remove that folder to make them afresh with the mirror's newest
# packages.
#
# As root it uses mmdebstrap's root mode, as another user its unshare mode
# (which needs /etc/subuid and /etc/subgid entries). A command in a root runs
# in user, mount and pid namespaces of its own (in a chroot, where the kernel
# allows no user namespace, mount and pid only), with /proc, a /dev of its own
# (never the host's bound in: a script that replaced /dev/null there would
# replace the host's), and an empty environment but PATH and HOME.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)

# as_root COMMAND...: run COMMAND as root, or as root of a user namespace that
# maps the root's own owners.
as_root() {
	if [ "$(id -u)" -eq 0 ]; then
		"$@"
	else
		unshare --map-auto --map-root-user "$@"
	fi
}

# mirror: the first Debian archive this machine's apt reads from (not the
# security archive, whose suites are named otherwise).
mirror() {
	[ -z "${CLASSBANNER_MIRROR:-}" ] || { echo "$CLASSBANNER_MIRROR"; return; }
	{ sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null
	  awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z+]+:/) { print $i; break } }' \
		/etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
		tr ' ' '\n' | grep -v -i security | awk 'NF { print; exit }'
}

make_root() { # RELEASE LOG
	local release=$1 log=$2 cache rows releases groups lists url key tarball
	cache=${CLASSBANNER_ROOTS:-${XDG_CACHE_HOME:-$HOME/.cache}/classbanner/roots}
	mapfile -t rows < <("$top/scripts/targets.sh" debian="$release" name)
	[ ${#rows[@]} -gt 0 ] || { echo "no row of cmake/targets.txt is built in $release" >&2; return 1; }
	# The first row's root also makes and checks the image and the bill of materials.
	groups=(build)
	mapfile -t releases < <("$top/scripts/targets.sh" debian)
	[ "${releases[0]}" != "$release" ] || groups+=(publish)
	mapfile -t lists < <("$top/scripts/prerequisites.sh" --list "${groups[@]}" "${rows[@]}")
	url=$(mirror)
	[ -n "$url" ] || { echo "no Debian mirror in this machine's apt configuration" >&2; return 1; }
	key=$(printf '%s\n' "$url" "${lists[@]}" | sha256sum | cut -c1-16)
	tarball=$cache/$release-$key.tar
	if [ ! -f "$tarball" ]; then
		mkdir -p "$cache"
		local architectures packages mode=unshare
		architectures=$(dpkg --print-architecture)${lists[0]:+ ${lists[0]}}
		packages=${lists[1]}
		[ "$(id -u)" -ne 0 ] || mode=root
		# The first root of a release takes minutes (seen: about 6 for
		# Debian 13's, 3 for Debian 12's); say so, and what it took.
		echo "release: root      $release: making it with mmdebstrap, $(wc -w <<<"$packages") packages from $url; minutes the first time, cached after (log: $log)" >&2
		local start=$SECONDS
		mmdebstrap --mode="$mode" --variant=apt --format=tar --components=main \
			--architectures="${architectures// /,}" --include="${packages// /,}" \
			--aptopt='APT::Install-Recommends "false"' \
			"$release" "$tarball.part" "$url" >"$log" 2>&1 ||
			{ rm -f "$tarball.part"; echo "mmdebstrap $release failed (log: $log)" >&2; return 1; }
		rm -f "$cache/$release"-*.tar # an older package list's root
		mv "$tarball.part" "$tarball"
		echo "release: root      $release: made in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s" >&2
	fi
	echo "$tarball"
}

case ${1:-} in
make) make_root "$2" "$3" ;;
unpack)
	[ ! -e "$3" ] || { echo "root.sh: $3 exists" >&2; exit 1; }
	mkdir -p "$3"
	as_root tar -xf "$2" -C "$3" --numeric-owner --exclude='./dev/*'
	;;
run)
	dir=$2 workdir=$3
	shift 3
	namespaces=(--user --map-root-user --mount --pid --fork) userns=yes
	if [ "$(id -u)" -ne 0 ]; then
		namespaces+=(--map-auto)
	elif ! unshare --user --map-root-user true 2>/dev/null; then
		# In a chroot the kernel allows no user namespace, and / is no mount
		# point to make private: the chroot's maker keeps its mounts apart.
		namespaces=(--propagation unchanged --mount --pid --fork) userns=no
	fi
	unshare "${namespaces[@]}" "$top/scripts/release/enter-root.sh" "$dir" "$userns" "$workdir" "$@"
	;;
remove) as_root rm -rf "$2" ;;
*)
	echo "usage: root.sh make RELEASE LOG | unpack TARBALL DIR | run DIR WORKDIR COMMAND... | remove DIR" >&2
	exit 2
	;;
esac
