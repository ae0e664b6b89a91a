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
# apt (as root, in a throwaway root) and dnf (into an empty root) install
# classbanner from DIST's repository, which prints BANNER; each refuses its
# repository's signed index with a byte changed, apt one trusting another key;
# apt removes it, and with DEB fetches the source package (its orig tarball the
# source archive) and rebuilds DEB from it byte for byte; rpmsign --delsign
# turns each signed .rpm back into DIST's own. upgrade-*: OLD installed from
# PREVIOUS (the previous release's apt/ or rpm/), upgraded to NEW from DIST, back.
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
	mkdir -p "$tmp/sources" "$tmp/lists/partial"
	apt_get() {
		DEBIAN_FRONTEND=noninteractive apt-get -q -o APT::Sandbox::User=root -o Dir::Etc::SourceList=/dev/null \
			-o Dir::Etc::SourceParts="$tmp/sources" -o Dir::State::Lists="$tmp/lists" "$@"
	}
	update() { # REPOSITORY KEY: point apt at REPOSITORY, trusting KEY alone
		rm -rf "$tmp/lists"/* && mkdir "$tmp/lists/partial"
		printf 'Types: deb deb-src\nURIs: file:%s\nSuites: stable\nComponents: main\nSigned-By: %s\n' \
			"$1" "$2" >"$tmp/sources/classbanner.sources"
		apt_get update --error-on=any >"$tmp/update.log" 2>&1
	}
	if [ "$check" = upgrade-apt ]; then # DEB is the previous release's apt/
		installed() { dpkg-query -W -f '${Version}' classbanner 2>/dev/null; }
		# take WHAT COMMAND...: COMMAND (apt-get's) leaves the version WANT installed, which prints the banner
		take() {
			local what=$1 want=$2
			shift 2
			apt_get -y "$@" >"$tmp/apt.log" 2>&1 || { fail "$what: apt-get $* failed: $(tail -n 1 "$tmp/apt.log")"; return; }
			[ "$(installed)" = "$want" ] || fail "$what: apt-get $* left '$(installed)', not $want"
			classbanner | cmp -s - "$banner" || fail "$what: $want does not print the banner"
		}
		update "$(cd "$deb" && pwd)" "$key" || fail "apt-get update of the previous repository failed: $(grep -m 1 '^[EW]:' "$tmp/update.log")"
		take "from the previous repository" "$old" install classbanner
		update "$dist/apt" "$key" || fail "apt-get update failed: $(grep -m 1 '^[EW]:' "$tmp/update.log")"
		take "upgrade" "$new" upgrade
		take "back to $old" "$old" install --allow-downgrades "classbanner=$old"
		apt_get purge -y classbanner >/dev/null 2>&1 || fail "apt-get purge failed"
		exit $failed
	fi
	if update "$dist/apt" "$key"; then
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
	cp -r "$dist/apt" "$tmp/changed"
	changed "$dist/apt/dists/stable/InRelease" ^Date: "$tmp/changed/dists/stable/InRelease"
	! update "$tmp/changed" "$key" || fail "apt accepts a changed InRelease"
	! update "$dist/apt" /usr/share/keyrings/debian-archive-keyring.gpg || fail "apt accepts the repository trusting another key"
	;;
dnf | upgrade-dnf)
	mkdir "$tmp/repos"
	printf '[main]\n' >"$tmp/dnf.conf"
	dnf_in() { # REPOSITORY COMMAND...: dnf with REPOSITORY alone, into the root (empty, at first)
		printf '[classbanner]\nname=classbanner\nbaseurl=file://%s\ngpgcheck=1\nrepo_gpgcheck=1\ngpgkey=file://%s\n' \
			"$1" "$key" >"$tmp/repos/classbanner.repo"
		shift
		rm -rf "$tmp/cache"
		dnf -y --config="$tmp/dnf.conf" --installroot="$tmp/root" --releasever=1 \
			--setopt=reposdir="$tmp/repos" --setopt=cachedir="$tmp/cache" "$@" >"$tmp/dnf.log" 2>&1
	}
	said() { grep -m 1 -i 'error' "$tmp/dnf.log" || tail -n 1 "$tmp/dnf.log"; } # why dnf failed
	if [ "$check" = upgrade-dnf ]; then # DEB is the previous release's rpm/
		take() { # WHAT WANT REPOSITORY COMMAND...: as with apt
			local what=$1 want=$2 repository=$3
			shift 3
			dnf_in "$repository" "$@" || { fail "$what: dnf $* failed: $(said)"; return; }
			local has
			has=$(rpm --root "$tmp/root" -q --qf '%{VERSION}' classbanner 2>/dev/null)
			[ "$has" = "$want" ] || fail "$what: dnf $* left '$has', not $want"
			"$tmp/root/usr/bin/classbanner" | cmp -s - "$banner" || fail "$what: $want does not print the banner"
		}
		take "from the previous repository" "$old" "$(cd "$deb" && pwd)" install classbanner
		take "upgrade" "$new" "$dist/rpm" upgrade
		take "back to $old" "$old" "$dist/rpm" downgrade classbanner
		exit $failed
	fi
	if dnf_in "$dist/rpm" install classbanner; then
		"$tmp/root/usr/bin/classbanner" | cmp -s - "$banner" || fail "the installed classbanner does not print the banner"
	else
		fail "dnf install failed: $(said)"
	fi
	cp -r "$dist/rpm" "$tmp/changed"
	changed "$dist/rpm/repodata/repomd.xml" '<revision>' "$tmp/changed/repodata/repomd.xml"
	rm -rf "$tmp/root"
	! dnf_in "$tmp/changed" makecache || fail "dnf accepts a changed repomd.xml"
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
