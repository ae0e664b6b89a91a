#!/bin/bash
# SPDX-License-Identifier: MIT
# Sign a release with the OpenPGP secret key its maker gives:
#
#   sign.sh check KEYFILE EPOCH   on this machine, before anything is built:
#                                 stop in one line unless KEYFILE holds a
#                                 secret key, without a passphrase, that could
#                                 sign at EPOCH and has not expired since
#   sign.sh DIST EPOCH            in the first row's root, the key on standard
#                                 input: add to DIST the public key
#                                 classbanner-signing-key.asc, SHA256SUMS.asc,
#                                 and the signed apt and rpm repositories
#                                 (apt.sh, rpm.sh)
#
# The secret key lives only in a GnuPG home on the root's own /dev/shm, a
# tmpfs of the root's mount namespace: it is never written to a disk, and is
# gone when the root's command ends. Every signature is made at EPOCH, the
# commit's time (gpg's faked-system-time), so that with a key whose
# signatures are deterministic (Ed25519, RSA) two releases sign alike.
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
	! gpg --batch --list-packets "$key" 2>/dev/null | grep -q 'protected' ||
		stop "$key: is protected by a passphrase; a release signs unattended"
	now=$(date +%s) why="has no key that can sign"
	# Of the keys that can sign (capability s), one must have been made by
	# EPOCH and not have expired by now.
	while IFS=: read -r type _ _ _ _ created expires _ _ _ _ usage _; do
		[ "$type" = sec ] || [ "$type" = ssb ] || continue
		[[ $usage == *s* ]] || continue
		if [ "$created" -gt "$epoch" ]; then
			why="was made on $(day "$created"), after the release's time ($(day "$epoch")): it could not have signed it"
		elif [ -n "$expires" ] && [ "$expires" -le "$now" ]; then
			why="expired on $(day "$expires")"
		else
			exit 0
		fi
	done <<<"$colons"
	stop "$key: $why"
fi

dist=$1 epoch=$2
GNUPGHOME=$(mktemp -d /dev/shm/gnupg.XXXXXX)
export GNUPGHOME
trap 'gpgconf --kill all; rm -rf "$GNUPGHOME"' EXIT
echo "faked-system-time $epoch!" >"$GNUPGHOME/gpg.conf"
gpg --batch --quiet --import 2>/dev/null
fingerprint=$(gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')
[ -n "$fingerprint" ] || stop "sign: no secret key on standard input"
export CLASSBANNER_KEY=$fingerprint

gpg --batch --armor --export "$fingerprint" >"$dist/classbanner-signing-key.asc"
gpg --batch --yes --local-user "$fingerprint" --armor --detach-sign \
	--output "$dist/SHA256SUMS.asc" "$dist/SHA256SUMS"
"$here/apt.sh" "$dist" "$epoch"
"$here/rpm.sh" "$dist" "$epoch"
echo "sign: key $fingerprint: SHA256SUMS.asc; apt/ and rpm/, $(find "$dist/apt/pool" -name '*.deb' | wc -l) and $(find "$dist/rpm" -name '*.rpm' | wc -l) packages"
