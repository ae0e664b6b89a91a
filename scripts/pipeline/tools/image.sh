#!/bin/bash
# SPDX-License-Identifier: MIT
# Make the release's container image archive, an OCI image layout with one
# index over an image for each PLATFORM (in a release root):
#
#   image.sh OUT VERSION EPOCH LICENSE PLATFORM=BINARY...
#
# Each image holds only the static BINARY, /classbanner, its entrypoint, and
# /LICENSE. Every time stamp is EPOCH, so the same binaries give the same bytes.
set -euo pipefail
out=$1 version=$2 epoch=$3 license=$4
shift 4
date=$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
layout=$tmp/layout
umoci init --layout "$layout"

platforms=()
for item; do
	platform=${item%%=*} binary=${item#*=}
	tag=${platform//\//-}
	if readelf -l "$binary" | grep -E '^ *(INTERP|DYNAMIC) ' >/dev/null; then
		echo "$platform: $binary is not static" >&2
		exit 1
	fi
	rootfs=$tmp/$tag
	mkdir "$rootfs"
	install -m 0755 "$binary" "$rootfs/classbanner"
	install -m 0644 "$license" "$rootfs/LICENSE"
	tar -C "$rootfs" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
		-cf "$tmp/$tag.tar" LICENSE classbanner
	os=${platform%%/*} architecture=${platform#*/}
	architecture=${architecture%%/*}
	umoci new --image "$layout:$tag"
	umoci raw add-layer --image "$layout:$tag" --history.created "$date" \
		--history.created_by "classbanner $version" "$tmp/$tag.tar"
	umoci config --image "$layout:$tag" --no-history --created "$date" --os "$os" \
		--architecture "$architecture" --config.entrypoint /classbanner
	platforms+=("$platform")
done
umoci gc --layout "$layout"

# One index over the images, each named by its platform, as container tools
# choose among them; the layout's index.json names that index classbanner:VERSION,
# the name podman load gives the image.
manifests=$(for platform in "${platforms[@]}"; do
	jq -c --arg tag "${platform//\//-}" --arg platform "$platform" '
		.manifests[] | select(.annotations["org.opencontainers.image.ref.name"] == $tag) | del(.annotations)
		| .platform = ($platform | split("/") | {os: .[0], architecture: .[1]} + (if .[2] then {variant: .[2]} else {} end))' \
		"$layout/index.json"
done | jq -s -c '{schemaVersion: 2, mediaType: "application/vnd.oci.image.index.v1+json", manifests: .}')
printf '%s' "$manifests" >"$tmp/index"
digest=$(sha256sum "$tmp/index" | cut -d ' ' -f 1)
mv "$tmp/index" "$layout/blobs/sha256/$digest"
jq -n -c --arg digest "sha256:$digest" --argjson size "$(stat -c %s "$layout/blobs/sha256/$digest")" --arg version "$version" \
	'{schemaVersion: 2, mediaType: "application/vnd.oci.image.index.v1+json", manifests: [{mediaType: "application/vnd.oci.image.index.v1+json", digest: $digest, size: $size, annotations: {"org.opencontainers.image.ref.name": ("classbanner:" + $version)}}]}' \
	>"$layout/index.json"

tar -C "$layout" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
	--mode=u=rwX,go=rX -cf "$out" .
