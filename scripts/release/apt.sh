#!/bin/bash
# SPDX-License-Identifier: MIT
# The release's apt repository, made with apt-ftparchive and signed:
#
#   apt.sh DIST EPOCH KEY     (from sign.sh, KEY the fingerprint of the key it imported)
#
# DIST/apt holds every .deb of DIST under pool/main, and the suite "stable"
# with one component, "main", for each architecture they are built for; its
# Release, dated EPOCH, is signed inline (InRelease) and detached
# (Release.gpg).
set -euo pipefail
dist=$1 epoch=$2 key=$3
repo=$dist/apt suite=dists/stable

mkdir -p "$repo/pool/main"
cp "$dist"/classbanner_*.deb "$repo/pool/main/"
cd "$repo"
architectures=()
for deb in pool/main/*.deb; do
	architectures+=("$(dpkg-deb --field "$deb" Architecture)")
done
for arch in "${architectures[@]}"; do
	mkdir -p "$suite/main/binary-$arch"
	apt-ftparchive --arch "$arch" packages pool/main >"$suite/main/binary-$arch/Packages"
	gzip -9 -n -k "$suite/main/binary-$arch/Packages"
done
apt-ftparchive \
	-o "APT::FTPArchive::Release::Date=$(LC_ALL=C date -u -d "@$epoch" '+%a, %d %b %Y %H:%M:%S UTC')" \
	-o APT::FTPArchive::Release::Origin=classbanner \
	-o APT::FTPArchive::Release::Label=classbanner \
	-o APT::FTPArchive::Release::Suite=stable \
	-o APT::FTPArchive::Release::Codename=stable \
	-o APT::FTPArchive::Release::Components=main \
	-o "APT::FTPArchive::Release::Architectures=${architectures[*]}" \
	release "$suite" >Release
mv Release "$suite/Release"
gpg --batch --yes --local-user "$key" --clearsign --output "$suite/InRelease" "$suite/Release"
gpg --batch --yes --local-user "$key" --armor --detach-sign --output "$suite/Release.gpg" "$suite/Release"
