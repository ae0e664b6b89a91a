#!/bin/bash
# SPDX-License-Identifier: MIT
# Check the release's container image archive with container tools:
#
#   image-check.sh ARCHIVE VERSION BANNER PLATFORM=BINARY...   (in a release root)
#
# skopeo lists exactly the PLATFORMs, each an image of LICENSE and its BINARY
# byte for byte as the entrypoint; this machine's, unpacked by umoci and run by
# runc, prints the banner. One line per fault; exit status 1 if any.
# shellcheck disable=SC2015 # `A && B || fail`: fail when either one fails.
set -uo pipefail
archive=$1 version=$2 banner=$3
shift 3
who=
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../../preamble.sh"

index=$(skopeo inspect --raw "oci-archive:$archive:classbanner:$version") || { fail "skopeo cannot read $archive"; exit 1; }
listed=$(jq -r '.manifests[].platform | [.os, .architecture, .variant // empty] | join("/")' <<<"$index" | sort)
wanted=$(for item; do echo "${item%%=*}"; done | sort)
[ "$listed" = "$wanted" ] || fail "the index lists $(echo "$listed" | tr '\n' ' '), want $(echo "$wanted" | tr '\n' ' ')"

mkdir "$tmp/layout"
tar -xf "$archive" -C "$tmp/layout"
blob() { echo "$tmp/layout/blobs/${1/://}"; }
for item; do
	platform=${item%%=*} binary=${item#*=}
	manifest=$(jq -r --arg p "$platform" '.manifests[] | select(([.platform.os, .platform.architecture,
		.platform.variant // empty] | join("/")) == $p) | .digest' <<<"$index")
	[ -n "$manifest" ] || continue
	config=$(jq -r .config.digest "$(blob "$manifest")")
	entrypoint=$(jq -c .config.Entrypoint "$(blob "$config")")
	[ "$entrypoint" = '["/classbanner"]' ] || fail "$platform: entrypoint $entrypoint"
	mapfile -t layers < <(jq -r '.layers[].digest' "$(blob "$manifest")")
	[ ${#layers[@]} -eq 1 ] || { fail "$platform: ${#layers[@]} layers, want 1"; continue; }
	files=$(tar -tzf "$(blob "${layers[0]}")" | tr '\n' ' ')
	[ "$files" = "LICENSE classbanner " ] || fail "$platform: the image holds $files"
	tar -xzOf "$(blob "${layers[0]}")" classbanner | cmp -s - "$binary" ||
		fail "$platform: the image's program differs from the tested $binary"
done

# The image for this machine, run as a container (a release of other rows
# only has none).
here=linux/$(dpkg --print-architecture)
if ! printf '%s\n' "$@" | grep "^$here=" >/dev/null; then
	echo "image: no image for $here among these rows: none run" >&2
	exit $failed
fi
skopeo copy -q "oci-archive:$archive:classbanner:$version" "oci:$tmp/one:here" &&
	umoci unpack --rootless --image "$tmp/one:here" "$tmp/bundle" >/dev/null ||
	fail "this machine's image does not unpack"
# Not on a terminal: standard output is to be read, byte for byte.
jq '.process.terminal = false' "$tmp/bundle/config.json" >"$tmp/config.json" &&
	mv "$tmp/config.json" "$tmp/bundle/config.json"
(cd "$tmp/bundle" && runc --root "$tmp/runc" run classbanner-check </dev/null >"$tmp/stdout" 2>"$tmp/stderr")
status=$?
cmp -s "$tmp/stdout" "$banner" && [ $status -eq 0 ] ||
	fail "runc ran this machine's image: status $status, $(wc -c <"$tmp/stdout") bytes out, $(head -c 300 "$tmp/stderr")"
exit $failed
