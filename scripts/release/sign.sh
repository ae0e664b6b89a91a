#!/bin/bash
# SPDX-License-Identifier: MIT
# Sign a release with the OpenPGP secret key its maker gives:
#
#   sign.sh check KEYFILE EPOCH   on this machine, before anything is built:
#                                 stop in one line unless KEYFILE holds a
#                                 secret key, without a passphrase, that can
#                                 sign and has not expired; print the time to
#                                 sign at: EPOCH, or when the key was made if
#                                 that is later
#   sign.sh sums DIST SIGN_AT     in the first row's root, the key on standard
#                                 input: add to DIST the public key
#                                 classbanner-signing-key.asc and SHA256SUMS.asc
#   sign.sh repositories DIST EPOCH SIGN_AT
#                                 the same: add the signed apt and rpm
#                                 repositories (apt.sh, rpm.sh), dated EPOCH
#
# The secret key lives only in a GnuPG home on the root's own /dev/shm, a
# tmpfs of the root's mount namespace: it is never written to a disk, and is
# gone when the root's command ends. Every signature is made at SIGN_AT
# (gpg's faked-system-time), the commit's time unless the key is younger, so
# that with a key whose signatures are deterministic (Ed25519, RSA) two
# releases of a commit sign alike.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

stop() {
	echo "$*" >&2
	exit 1
}
day() { date -u -d "@$1" '+%Y-%m-%d %H:%M:%S UTC'; }

if [ "${1:-}" = check ]; then
	key=$2 epoch=$3
	[ -e "$key" ] || stop "$key: no such file"
	[ -f "$key" ] || stop "$key: not a file"
	[ -r "$key" ] || stop "$key: cannot be read"
	GNUPGHOME=$(mktemp -d)
	export GNUPGHOME
	trap 'gpgconf --kill all 2>/dev/null; rm -rf "$GNUPGHOME"' EXIT
	# Only shown, never imported: nothing of the key is stored, even here.
	colons=$(gpg --batch --with-colons --show-keys "$key" 2>/dev/null) ||
		stop "$key: holds no OpenPGP key"
	[ "$(grep -c '^sec:' <<<"$colons")" -eq 1 ] ||
		stop "$key: holds no secret key, or more than one (want one, as gpg --export-secret-keys --armor writes it)"
	! gpg --batch --list-packets "$key" 2>/dev/null | grep 'protected' >/dev/null ||
		stop "$key: is protected by a passphrase; a release signs unattended"
	now=$(date +%s) why="has no key that can sign" sign_at=
	# Of the keys that can sign (capability s) and have not expired by now,
	# the one that could sign earliest, but never before the commit: a key
	# cannot sign before it exists, and a key made after the commit signs at
	# its own making, the same time in every release of the commit.
	while IFS=: read -r type _ _ _ _ created expires _ _ _ _ usage _; do
		[ "$type" = sec ] || [ "$type" = ssb ] || continue
		[[ $usage == *s* ]] || continue
		if [ -n "$expires" ] && [ "$expires" -le "$now" ]; then
			why="expired on $(day "$expires")"
			continue
		fi
		at=$((created > epoch ? created : epoch))
		if [ -z "$sign_at" ] || [ "$at" -lt "$sign_at" ]; then
			sign_at=$at
		fi
	done <<<"$colons"
	[ -n "$sign_at" ] || stop "$key: $why"
	echo "$sign_at"
	exit 0
fi

mode=$1 dist=$2
[ "$mode" = sums ] || epoch=$3
sign_at=${*: -1}
GNUPGHOME=$(mktemp -d /dev/shm/gnupg.XXXXXX)
export GNUPGHOME
trap 'gpgconf --kill all; rm -rf "$GNUPGHOME"' EXIT
echo "faked-system-time $sign_at!" >"$GNUPGHOME/gpg.conf"
gpg --batch --quiet --import 2>/dev/null
fingerprint=$(gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')
[ -n "$fingerprint" ] || stop "sign: no secret key on standard input"

if [ "$mode" = sums ]; then
	gpg --batch --armor --export "$fingerprint" >"$dist/classbanner-signing-key.asc"
	gpg --batch --yes --local-user "$fingerprint" --armor --detach-sign \
		--output "$dist/SHA256SUMS.asc" "$dist/SHA256SUMS"
	echo "sign: key $fingerprint: SHA256SUMS.asc"
else
	"$here/apt.sh" "$dist" "$epoch" "$fingerprint"
	"$here/rpm.sh" "$dist" "$epoch" "$fingerprint"
	echo "sign: apt/ and rpm/, $(find "$dist/apt/pool" -name '*.deb' | wc -l) and $(find "$dist/rpm" -name '*.rpm' | wc -l) packages"
fi
