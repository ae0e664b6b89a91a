#!/bin/bash
# SPDX-License-Identifier: MIT
# Check a signed release as its users take it, with the public key it ships
# (DIST/classbanner-signing-key.asc); one line per fault, exit status 1 if any:
#
#   signed-check.sh sums DIST        gpgv verifies SHA256SUMS.asc, not a changed SHA256SUMS
#   signed-check.sh apt DIST BANNER [DEB]
#   signed-check.sh dnf DIST BANNER
#   signed-check.sh upgrade-apt|upgrade-dnf DIST BANNER PREVIOUS OLD NEW
#
# apt (as root, in a throwaway root) and dnf (into an empty root) are set up
# as the README says, with the release's keyring package if it has one (its
# source pointed at the folder its URL would serve), and install classbanner
# from DIST's repository, which prints BANNER; each refuses its repository's
# signed index with a byte changed, apt one trusting another key; apt removes
# it, and with DEB fetches the source package (its orig tarball the source
# archive) and rebuilds DEB from it byte for byte; rpmsign --delsign turns
# each signed .rpm back into DIST's own. upgrade-*: a user set up by OLD
# installs it from PREVIOUS (the previous release's apt/ or rpm/), then, the
# URL serving DIST, upgrades to NEW (the keyring package too) by `apt-get
# upgrade` or `dnf upgrade` alone, with no warning, and goes back to OLD; a
# user who trusts only the keys DIST no longer signs with is refused.
set -uo pipefail
check=$1 dist=$(cd "$2" && pwd) banner=${3:-} deb=${4:-} old=${5:-} new=${6:-}
key=$dist/classbanner-signing-key.asc
who=
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../../preamble.sh"
# changed FILE PATTERN COPY: COPY is FILE with the first digit on the lines
# matching PATTERN changed, one byte that only the signature guards
changed() {
	perl -pe "s/(\\d)/(\$1 + 1) % 10/e if /$2/" "$1" >"$3"
	! cmp -s "$1" "$3" || fail "nothing to change in $1"
}

# keys_dropped KEYS: an armored file of the keys in the file KEYS that this
# release no longer signs with (its key file lacks them); none, status 1
keys_dropped() {
	local home=$tmp/dropped-home now gone
	rm -rf "$home" && mkdir -m 700 "$home"
	gpg --homedir "$home" --batch --quiet --import "$1" 2>/dev/null || return 1
	now=$(gpg --homedir "$home" --batch --with-colons --show-keys "$key" | awk -F: '$1 == "fpr" { print $10 }')
	mapfile -t gone < <(gpg --homedir "$home" --batch --with-colons --list-keys |
		awk -F: '$1 == "pub" { p = 1 } $1 == "fpr" && p { print $10; p = 0 }' | grep -vxF "$now")
	[ ${#gone[@]} -gt 0 ] && gpg --homedir "$home" --batch --armor --export "${gone[@]}" >"$tmp/dropped.asc"
	local status=$?
	gpgconf --homedir "$home" --kill all
	[ $status -eq 0 ] && echo "$tmp/dropped.asc"
}

case $check in
sums)
	gpg --batch --dearmor <"$key" >"$tmp/key.gpg"
	gpgv --homedir "$tmp" --keyring "$tmp/key.gpg" "$dist/SHA256SUMS.asc" "$dist/SHA256SUMS" 2>"$tmp/gpgv.log" ||
		fail "gpgv does not verify SHA256SUMS: $(tail -n 1 "$tmp/gpgv.log")"
	(cd "$dist" && sha256sum --quiet --check SHA256SUMS) || fail "a download does not match SHA256SUMS"
	changed "$dist/SHA256SUMS" . "$tmp/SHA256SUMS"
	! gpgv --homedir "$tmp" --keyring "$tmp/key.gpg" "$dist/SHA256SUMS.asc" "$tmp/SHA256SUMS" 2>/dev/null ||
		fail "gpgv verifies a changed SHA256SUMS"
	;;
apt | upgrade-apt)
	mkdir -p "$tmp/sources" "$tmp/lists/partial" "$tmp/archives/partial"
	# apt's lists and downloads in folders of the check's own, and no logs, which
	# apt would chown to the group adm: a root in a user namespace may not
	apt_get() {
		DEBIAN_FRONTEND=noninteractive apt-get -q -o APT::Sandbox::User=root -o Dir::Etc::SourceList=/dev/null \
			-o Dir::Etc::SourceParts="$tmp/sources" -o Dir::State::Lists="$tmp/lists" \
			-o Dir::Cache::Archives="$tmp/archives" -o Dir::Log::Terminal=/dev/null -o Dir::Log::History=/dev/null "$@"
	}
	sources=/etc/apt/sources.list.d/classbanner.sources
	# update REPOSITORY [KEY]: point apt at REPOSITORY (a folder, where the URL
	# would serve it) through the source the keyring package installed, or
	# trusting KEY alone; apt must take it with no warning
	update() {
		rm -rf "$tmp/lists"/* && mkdir "$tmp/lists/partial"
		if [ -z "${2:-}" ] && [ -e "$sources" ]; then # deb-src added, as the README does for apt-get source
			sed -e "s|^URIs: .*|URIs: file:$1|" -e 's/^Types: deb$/Types: deb deb-src/' "$sources" >"$tmp/sources/classbanner.sources"
		else
			printf 'Types: deb deb-src\nURIs: file:%s\nSuites: stable\nComponents: main\nSigned-By: %s\n' \
				"$1" "${2:-$key}" >"$tmp/sources/classbanner.sources"
		fi
		apt_get update --error-on=any >"$tmp/update.log" 2>&1 && ! grep -q '^W:' "$tmp/update.log"
	}
	# set_up KEYRING: a user's first step, the keyring package installed from its download, if the release has one
	set_up() {
		[ -e "$1" ] || return 0
		apt_get install -y "$1" >"$tmp/keyring.log" 2>&1 || fail "apt-get install of $(basename "$1") failed: $(tail -n 1 "$tmp/keyring.log")"
	}
	if [ "$check" = upgrade-apt ]; then # DEB is the previous release's apt/
		previous=$(cd "$deb" && pwd)
		installed() { dpkg-query -W -f '${Version}' "${1:-classbanner}" 2>/dev/null; }
		# take WHAT COMMAND...: COMMAND (apt-get's) leaves the version WANT installed, which prints the banner
		take() {
			local what=$1 want=$2
			shift 2
			apt_get -y "$@" >"$tmp/apt.log" 2>&1 || { fail "$what: apt-get $* failed: $(tail -n 1 "$tmp/apt.log")"; return; }
			if grep -q '^W:' "$tmp/apt.log"; then fail "$what: apt-get $* warns: $(grep -m 1 '^W:' "$tmp/apt.log")"; fi
			[ "$(installed)" = "$want" ] || fail "$what: apt-get $* left '$(installed)', not $want"
			classbanner | cmp -s - "$banner" || fail "$what: $want does not print the banner"
		}
		keyring=$previous/pool/main/classbanner-archive-keyring_${old}_all.deb
		set_up "$keyring"
		cp /usr/share/keyrings/classbanner-archive-keyring.pgp "$tmp/previous.pgp" 2>/dev/null || true
		update "$previous" || fail "apt-get update of the previous repository failed: $(grep -m 1 '^[EW]:' "$tmp/update.log")"
		take "from the previous repository" "$old" install classbanner
		update "$dist/apt" || fail "apt-get update after the previous release failed: $(grep -m 1 '^[EW]:' "$tmp/update.log")"
		take "upgrade" "$new" upgrade
		# The keyring package upgraded with it, where this release makes one (it has a URL)
		if [ -e "$keyring" ] && [ -n "$(find "$dist" -maxdepth 1 -name 'classbanner-archive-keyring_*_all.deb')" ]; then
			[ "$(installed classbanner-archive-keyring)" = "$new" ] ||
				fail "upgrade: apt-get upgrade left the keyring package at '$(installed classbanner-archive-keyring)'"
			# A user who trusts only the keys this release no longer signs with (who
			# skipped the release that brought the new one) is refused, not upgraded.
			if dropped=$(keys_dropped "$tmp/previous.pgp"); then
				update "$dist/apt" "$dropped" && fail "apt takes the repository trusting only the keys it no longer signs with"
				grep -q 'NO_PUBKEY\|not signed' "$tmp/update.log" || fail "apt's refusal does not say the key is missing"
			fi
		fi
		update "$dist/apt" || fail "apt-get update failed: $(grep -m 1 '^[EW]:' "$tmp/update.log")"
		take "back to $old" "$old" install --allow-downgrades "classbanner=$old"
		purge=(classbanner)
		[ -z "$(installed classbanner-archive-keyring)" ] || purge+=(classbanner-archive-keyring)
		apt_get purge -y "${purge[@]}" >"$tmp/purge.log" 2>&1 || fail "apt-get purge failed: $(tail -n 1 "$tmp/purge.log")"
		exit $failed
	fi
	keyring=$(find "$dist" -maxdepth 1 -name 'classbanner-archive-keyring_*_all.deb')
	set_up "$keyring"
	if [ -z "$(find "$dist/apt/pool" -name 'classbanner_*.deb')" ]; then # a release of Windows rows alone
		echo "signed-check: no program package in apt/: the keyring package and the signed repository checked" >&2
		update "$dist/apt" || fail "apt-get update failed: $(grep -m 1 '^[EW]:' "$tmp/update.log")"
	elif update "$dist/apt"; then
		apt_get install -y classbanner >"$tmp/install.log" 2>&1 || fail "apt-get install failed: $(tail -n 1 "$tmp/install.log")"
		classbanner | cmp -s - "$banner" || fail "the installed classbanner does not print the banner"
		apt_get remove -y classbanner >"$tmp/remove.log" 2>&1 || fail "apt-get remove failed: $(tail -n 1 "$tmp/remove.log")"
		[ ! -e /usr/bin/classbanner ] || fail "apt-get remove left /usr/bin/classbanner"
		if [ -n "$deb" ]; then
			mkdir "$tmp/source"
			(cd "$tmp/source" && apt_get source classbanner >"$tmp/source.log" 2>&1) ||
				fail "apt-get source failed: $(tail -n 1 "$tmp/source.log")"
			for orig in "$tmp"/source/classbanner_*.orig.tar.gz; do
				version=${orig##*/classbanner_}
				cmp -s "$orig" "$dist/classbanner-${version%.orig.tar.gz}.tar.gz" ||
					fail "apt-get source fetches an orig tarball other than the source archive"
			done
			(cd "$tmp"/source/classbanner-*/ && dpkg-buildpackage -b -us -uc >"$tmp/rebuild.log" 2>&1) ||
				fail "dpkg-buildpackage of the fetched source failed: $(tail -n 1 "$tmp/rebuild.log")"
			cmp -s "$tmp/source/$(basename "$deb")" "$deb" || fail "the rebuilt $(basename "$deb") differs"
		fi
	else
		fail "apt-get update failed: $(grep -m 1 '^[EW]:' "$tmp/update.log")"
	fi
	[ -z "$keyring" ] || apt_get purge -y classbanner-archive-keyring >/dev/null 2>&1 || fail "apt-get purge of the keyring package failed"
	cp -r "$dist/apt" "$tmp/changed"
	changed "$dist/apt/dists/stable/InRelease" ^Date: "$tmp/changed/dists/stable/InRelease"
	! update "$tmp/changed" "$key" || fail "apt accepts a changed InRelease"
	! update "$dist/apt" /usr/share/keyrings/debian-archive-keyring.gpg || fail "apt accepts the repository trusting another key"
	;;
dnf | upgrade-dnf)
	mkdir "$tmp/repos"
	printf '[main]\n' >"$tmp/dnf.conf"
	repo=$tmp/root/etc/yum.repos.d/classbanner.repo
	# repo_at REPOSITORY [KEY]: dnf's repository REPOSITORY (a folder, where the
	# URL would serve it), through the .repo file classbanner-release installed
	# (its key file read in the root, as dnf there would), or trusting KEY alone
	repo_at() {
		if [ -z "${2:-}" ] && [ -e "$repo" ]; then
			sed -e "s|^baseurl=.*|baseurl=file://$1|" -e "s|^gpgkey=file://|gpgkey=file://$tmp/root|" "$repo"
		else
			printf '[classbanner]\nname=classbanner\nbaseurl=file://%s\ngpgcheck=1\nrepo_gpgcheck=1\ngpgkey=file://%s\n' "$1" "${2:-$key}"
		fi >"$tmp/repos/classbanner.repo"
	}
	# dnf_in COMMAND...: dnf with its repository alone, into the root (empty, at
	# first), warning of nothing (but rpm's note that a root here gets no private mounts)
	dnf_in() {
		dnf -y --config="$tmp/dnf.conf" --installroot="$tmp/root" --releasever=1 \
			--setopt=reposdir="$tmp/repos" --setopt=cachedir="$tmp/cache" "$@" >"$tmp/dnf.log" 2>&1 &&
			! grep -iv 'private mounts in chroot' "$tmp/dnf.log" | grep -qi '^warning'
	}
	said() { grep -m 1 -i 'error\|warning' "$tmp/dnf.log" || tail -n 1 "$tmp/dnf.log"; } # why dnf failed
	# set_up RPM: a user's first step, classbanner-release installed from its download, if the release has one
	set_up() {
		[ -e "$1" ] || return 0
		dnf_in install "$1" || fail "dnf install of $(basename "$1") failed: $(said)"
	}
	if [ "$check" = upgrade-dnf ]; then # DEB is the previous release's rpm/
		previous=$(cd "$deb" && pwd)
		take() { # WHAT WANT COMMAND...: as with apt
			local what=$1 want=$2
			shift 2
			dnf_in --refresh "$@" || { fail "$what: dnf $* failed: $(said)"; return; }
			local has
			has=$(rpm --root "$tmp/root" -q --qf '%{VERSION}' classbanner 2>/dev/null)
			[ "$has" = "$want" ] || fail "$what: dnf $* left '$has', not $want"
			"$tmp/root/usr/bin/classbanner" | cmp -s - "$banner" || fail "$what: $want does not print the banner"
		}
		release_rpm=$(find "$previous" -maxdepth 1 -name "classbanner-release-$old-*.noarch.rpm" | head -n 1)
		set_up "$release_rpm"
		cp "$tmp/root/etc/pki/rpm-gpg/RPM-GPG-KEY-classbanner" "$tmp/previous.asc" 2>/dev/null || true
		repo_at "$previous"
		take "from the previous repository" "$old" install classbanner
		repo_at "$dist/rpm"
		take "upgrade" "$new" upgrade
		# classbanner-release upgraded with it, where this release makes one (it has a URL)
		if [ -n "$release_rpm" ] && [ -n "$(find "$dist" -maxdepth 1 -name 'classbanner-release-*.noarch.rpm')" ]; then
			has=$(rpm --root "$tmp/root" -q --qf '%{VERSION}' classbanner-release 2>/dev/null)
			[ "$has" = "$new" ] || fail "upgrade: dnf upgrade left classbanner-release at '$has'"
			if dropped=$(keys_dropped "$tmp/previous.asc"); then
				repo_at "$dist/rpm" "$dropped"
				rm -rf "$tmp/cache"
				dnf_in makecache && fail "dnf takes the repository trusting only the keys it no longer signs with"
				grep -q 'GPG signature' "$tmp/dnf.log" || fail "dnf's refusal does not say the signature failed: $(said)"
				repo_at "$dist/rpm"
			fi
		fi
		take "back to $old" "$old" downgrade classbanner
		exit $failed
	fi
	set_up "$(find "$dist" -maxdepth 1 -name 'classbanner-release-*.noarch.rpm')"
	repo_at "$dist/rpm"
	if [ -z "$(find "$dist/rpm" -maxdepth 1 -name 'classbanner-[0-9]*.rpm')" ]; then # a release of Windows rows alone
		echo "signed-check: no program package in rpm/: the release package and the signed repository checked" >&2
		dnf_in makecache || fail "dnf makecache failed: $(said)"
	elif dnf_in install classbanner; then
		"$tmp/root/usr/bin/classbanner" | cmp -s - "$banner" || fail "the installed classbanner does not print the banner"
	else
		fail "dnf install failed: $(said)"
	fi
	cp -r "$dist/rpm" "$tmp/changed"
	changed "$dist/rpm/repodata/repomd.xml" '<revision>' "$tmp/changed/repodata/repomd.xml"
	rm -rf "$tmp/root" "$tmp/cache"
	repo_at "$tmp/changed" "$key"
	! dnf_in makecache || fail "dnf accepts a changed repomd.xml"
	for rpm in "$dist"/rpm/*.rpm; do
		[ -e "$dist/$(basename "$rpm")" ] || continue # an earlier version's, published as it was
		cp "$rpm" "$tmp/unsigned.rpm"
		# shellcheck disable=SC2015 # fail when either one fails
		rpmsign --delsign "$tmp/unsigned.rpm" >/dev/null &&
			cmp -s "$tmp/unsigned.rpm" "$dist/$(basename "$rpm")" ||
			fail "rpmsign --delsign does not give back $(basename "$rpm")"
	done
	;;
*)
	echo "usage: signed-check.sh sums|apt|dnf|upgrade-apt|upgrade-dnf DIST [BANNER [DEB|PREVIOUS [OLD NEW]]]" >&2
	exit 2
	;;
esac
exit $failed
