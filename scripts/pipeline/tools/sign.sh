#!/bin/bash
# SPDX-License-Identifier: MIT
# Sign a release, in the first row's root, with the OpenPGP secret key on
# standard input, or the old and the new key while the key changes
# (release.py has checked them):
#
#   sign.sh public FILE            write the public keys, armored, to FILE
#   sign.sh sums DIST SIGN_AT      add classbanner-signing-key.asc (public), SHA256SUMS.asc
#   sign.sh repositories DIST EPOCH SIGN_AT PACKAGE... -- KEPT...
#
# Everything is signed with every key, but the new .rpm files: a package
# carries one signature, which dnf checks before the transaction that would
# bring a new key, so they are signed with the older key, which every user
# of the previous release trusts.
# repositories: apt/ (suite "stable", component "main") and rpm/, signed, dated
# EPOCH, of the PACKAGEs and KEPT, the earlier versions' as they were published.
# The key lives only in a GnuPG home on the root's own /dev/shm, never on a
# disk. Signatures are made at SIGN_AT (the commit's time, or the key's making
# if later), so that a deterministic key (Ed25519, RSA) signs alike each time.
set -euo pipefail
mode=$1 dist=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
case $mode in
public) sign_at= ;;
sums) sign_at=$3 ;;
*)
	epoch=$3 sign_at=$4
	shift 4 # the packages are left
	;;
esac
GNUPGHOME=$(mktemp -d /dev/shm/gnupg.XXXXXX)
export GNUPGHOME
trap 'gpgconf --kill all; rm -rf "$GNUPGHOME"' EXIT
[ -z "$sign_at" ] || echo "faked-system-time $sign_at!" >"$GNUPGHOME/gpg.conf"
gpg --batch --quiet --import 2>/dev/null
# The keys, the older first: each primary key's making, then its fingerprint
mapfile -t keys < <(gpg --batch --with-colons --list-secret-keys |
	awk -F: '$1 == "sec" { made = $6 } $1 == "fpr" && made { print made, $10; made = "" }' | sort -n | cut -d' ' -f2)
[ ${#keys[@]} -gt 0 ] || { echo "no secret key on standard input" >&2; exit 1; }
users=()
for key in "${keys[@]}"; do users+=(--local-user "$key"); done
detach() { gpg --batch --yes "${users[@]}" --armor --detach-sign --output "$2" "$1"; }

case $mode in
public)
	gpg --batch --armor --export "${keys[@]}" >"$dist"
	exit 0
	;;
sums)
	gpg --batch --armor --export "${keys[@]}" >"$dist/classbanner-signing-key.asc"
	detach "$dist/SHA256SUMS" "$dist/SHA256SUMS.asc"
	exit 0
	;;
esac

mkdir -p "$dist/apt/pool/main" "$dist/rpm"
kept=0 signing=()
for package; do
	case $package in
	--) kept=1 ;;
	*.rpm)
		cp "$package" "$dist/rpm/"
		[ $kept -eq 1 ] || signing+=("$dist/rpm/${package##*/}")
		;;
	*) cp "$package" "$dist/apt/pool/main/" ;;
	esac
done
cd "$dist/apt"
mapfile -t architectures < <(for deb in pool/main/*.deb; do dpkg-deb --field "$deb" Architecture; done | LC_ALL=C sort -u)
suite=dists/stable
for arch in "${architectures[@]}"; do
	mkdir -p "$suite/main/binary-$arch"
	apt-ftparchive --arch "$arch" packages pool/main >"$suite/main/binary-$arch/Packages"
	gzip -9 -n -k "$suite/main/binary-$arch/Packages"
done
mkdir -p "$suite/main/source"
apt-ftparchive sources pool/main >"$suite/main/source/Sources"
gzip -9 -n -k "$suite/main/source/Sources"
apt-ftparchive \
	-o "APT::FTPArchive::Release::Date=$(LC_ALL=C date -u -d "@$epoch" '+%a, %d %b %Y %H:%M:%S UTC')" \
	-o APT::FTPArchive::Release::Origin=classbanner -o APT::FTPArchive::Release::Label=classbanner \
	-o APT::FTPArchive::Release::Suite=stable -o APT::FTPArchive::Release::Codename=stable \
	-o APT::FTPArchive::Release::Components=main \
	-o "APT::FTPArchive::Release::Architectures=${architectures[*]}" \
	release "$suite" >Release
mv Release "$suite/Release"
gpg --batch --yes "${users[@]}" --clearsign --output "$suite/InRelease" "$suite/Release"
detach "$suite/Release" "$suite/Release.gpg"

cd "$dist/rpm"
[ ${#signing[@]} -eq 0 ] || rpmsign --addsign --define "_gpg_name ${keys[0]}" "${signing[@]}" >/dev/null
touch -d "@$epoch" ./*.rpm
createrepo_c --quiet --no-database --revision "$epoch" --set-timestamp-to-revision .
detach repodata/repomd.xml repodata/repomd.xml.asc
echo "sign: apt/ and rpm/, $(find "$dist/apt/pool" -name '*.deb' | wc -l) and $(find "$dist/rpm" -name '*.rpm' | wc -l) packages" >&2
