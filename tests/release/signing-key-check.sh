#!/bin/bash
# SPDX-License-Identifier: MIT
# What the release makes of a signing key before it builds anything:
#
#   signing-key-check.sh SIGN_SH
#
# `sign.sh check` stops, in one line naming the trouble, on a missing file, a
# folder, a public key alone, a key with a passphrase and a key that has
# expired; for a good key it prints the time to sign at: the commit's, or the
# key's making where that is later. Keys are made afresh, in a scratch home.
set -uo pipefail
who=signing-key
# shellcheck source=tests/release/preamble.sh
. "$(dirname "$0")/preamble.sh"
sign=$1
export GNUPGHOME=$tmp/gnupg
mkdir -m 700 "$GNUPGHOME"
trap 'gpgconf --kill all; rm -rf "$tmp"' EXIT

# key NAME PASSPHRASE [MADE EXPIRES]: make a signing key, and export its secret.
key() {
	gpg --batch --quiet --pinentry-mode loopback --passphrase "$2" ${3:+--faked-system-time "$3"} \
		--quick-generate-key "$1" ed25519 sign "${4:-never}" 2>/dev/null &&
		gpg --batch --pinentry-mode loopback --passphrase "$2" --armor --export-secret-keys "$1" >"$tmp/$1.asc"
}
if ! { key good '' && key locked secret && key old '' 20200101T000000 1d; }; then
	fail "gpg cannot make the keys"
fi
gpg --batch --armor --export good >"$tmp/public.asc"

refuses() { # FILE WHY: sign.sh check refuses FILE in one line that says WHY
	local said
	if said=$("$sign" check "$1" 1000 2>&1); then
		fail "$1 accepted: $said"
	elif [ "$(printf '%s\n' "$said" | wc -l)" -ne 1 ] || ! grep -F -- "$2" <<<"$said" >/dev/null; then
		fail "$1: said \"$said\", not one line saying \"$2\""
	fi
}
refuses "$tmp/none.asc" "no such file"
refuses "$tmp" "not a file"
refuses "$tmp/public.asc" "holds no secret key"
refuses "$tmp/locked.asc" "protected by a passphrase"
refuses "$tmp/old.asc" "expired on 2020-01-02"

made=$(gpg --batch --with-colons --list-keys good 2>/dev/null | awk -F: '$1 == "pub" { print $6 }')
at=$("$sign" check "$tmp/good.asc" 1000 2>&1)
[ "$at" = "$made" ] || fail "a key made after the commit signs at $at, not at its making ($made)"
at=$("$sign" check "$tmp/good.asc" 4000000000 2>&1)
[ "$at" = 4000000000 ] || fail "a key older than the commit signs at $at, not at the commit's time"
exit "$failed"
