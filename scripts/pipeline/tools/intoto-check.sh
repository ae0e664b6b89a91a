#!/bin/bash
# SPDX-License-Identifier: MIT
# Check a signed in-toto attestation (the release's provenance, a rebuilder's
# attestation) with cosign, which shares no code with its signer (in the
# first row's root):
#
#   intoto-check.sh TYPE ENVELOPE KEY DOWNLOAD...
#
# cosign verifies the DSSE envelope, of predicate TYPE, with KEY, offline, for
# every DOWNLOAD; not for one with a byte changed, nor with the envelope's
# statement changed. One line per fault; exit status 1 if any.
set -uo pipefail
type=$1 envelope=$2 key=$3
shift 3
who=
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../../preamble.sh"

attested() { # file [envelope]: cosign's verdict, its last line on a fault
	cosign verify-blob-attestation --key "$key" --insecure-ignore-tlog --type "$type" \
		--signature "${2:-$envelope}" "$1" >"$tmp/log" 2>&1
}
flipped() { # file out: FILE with the middle byte's lowest bit flipped
	local middle byte
	cp "$1" "$2"
	middle=$(($(stat -c %s "$1") / 2))
	byte=$(od -An -tu1 -j "$middle" -N 1 "$1")
	# shellcheck disable=SC2059 # the format is the changed byte, in octal
	printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$2" bs=1 seek="$middle" conv=notrunc status=none
}
for download; do
	attested "$download" || fail "$download: cosign does not verify it: $(tail -n 1 "$tmp/log")"
done
flipped "$1" "$tmp/changed"
if attested "$tmp/changed"; then
	fail "$1: cosign verifies it with a byte changed"
elif ! grep -q 'no matching subject digest' "$tmp/log"; then
	fail "$1 with a byte changed: cosign fails, but not for its digest: $(tail -n 1 "$tmp/log")"
fi
# The statement, changed to name the changed file, signature kept.
payload=$(sed -n 's/.*"payload":"\([^"]*\)".*/\1/p' "$envelope")
base64 -d <<<"$payload" >"$tmp/statement"
digest=$(sha256sum "$1" | cut -d ' ' -f 1)
sed "s/$digest/$(sha256sum "$tmp/changed" | cut -d ' ' -f 1)/" "$tmp/statement" >"$tmp/forged"
sed "s|\"payload\":\"[^\"]*\"|\"payload\":\"$(base64 -w 0 "$tmp/forged")\"|" "$envelope" >"$tmp/forged.jsonl"
if cmp -s "$tmp/statement" "$tmp/forged"; then
	fail "$envelope: its statement does not name $1's SHA-256, $digest"
elif attested "$tmp/changed" "$tmp/forged.jsonl"; then
	fail "$envelope: cosign verifies it with its statement changed"
fi
exit "$failed"
