#!/bin/bash
# SPDX-License-Identifier: MIT
# Check the release's SLSA provenance with cosign, which shares no code with
# the release's signer (in the first row's root):
#
#   provenance-check.sh ENVELOPE KEY DOWNLOAD...
#
# cosign verifies the DSSE envelope with KEY, offline, for every DOWNLOAD, not
# for one with a byte changed. One line per fault; exit status 1 if any.
set -uo pipefail
envelope=$1 key=$2
shift 2
who=
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../../preamble.sh"

attested() { # file: cosign's verdict, its last line on a fault
	cosign verify-blob-attestation --key "$key" --insecure-ignore-tlog --type slsaprovenance1 \
		--signature "$envelope" "$1" >"$tmp/log" 2>&1
}
for download; do
	attested "$download" || fail "$download: cosign does not verify it: $(tail -n 1 "$tmp/log")"
done
cp "$1" "$tmp/changed"
middle=$(($(stat -c %s "$1") / 2))
byte=$(od -An -tu1 -j "$middle" -N 1 "$1")
# shellcheck disable=SC2059 # the format is the changed byte, in octal
printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$tmp/changed" bs=1 seek="$middle" conv=notrunc status=none
if attested "$tmp/changed"; then
	fail "$1: cosign verifies it with a byte changed"
elif ! grep -q 'no matching subject digest' "$tmp/log"; then
	fail "$1 with a byte changed: cosign fails, but not for its digest: $(tail -n 1 "$tmp/log")"
fi
exit "$failed"
