#!/bin/bash
# SPDX-License-Identifier: MIT
# The release's rpm repository, made with createrepo_c and signed:
#
#   rpm.sh DIST EPOCH KEY     (from sign.sh, KEY the fingerprint of the key it imported)
#
# DIST/rpm holds a copy of every .rpm of DIST, signed with rpmsign (those at
# the top of DIST stay as built, byte for byte reproducible without the key),
# and repodata/ whose repomd.xml is signed (repomd.xml.asc). Every time the
# metadata records is EPOCH, the commit's.
set -euo pipefail
dist=$1 epoch=$2 key=$3
repo=$dist/rpm

mkdir -p "$repo"
cp "$dist"/classbanner-*.rpm "$repo/"
rpmsign --addsign --define "_gpg_name $key" "$repo"/*.rpm >/dev/null
touch -d "@$epoch" "$repo"/*.rpm
createrepo_c --quiet --no-database --revision "$epoch" --set-timestamp-to-revision "$repo"
gpg --batch --yes --local-user "$key" --armor --detach-sign \
	--output "$repo/repodata/repomd.xml.asc" "$repo/repodata/repomd.xml"
