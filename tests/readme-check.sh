#!/bin/bash
# SPDX-License-Identifier: MIT
# Run every command of the README and of docs/, block by block, as a new user
# would on a fresh Debian 12 or 13 machine, and check what each one promises:
#
#   tests/readme-check.sh --throwaway
#
# It installs packages, writes to /usr/local, /etc and /srv, and makes a
# signing key: run it as root, in a clone, on a machine or root that is thrown
# away afterwards (hence the flag).
#
# Each `sh` block runs as written, in a bash of its own that stops at its first
# failing command, from the top of the clone, but for what a user would do
# around it:
# - a block that uses the downloads runs in a copy of dist/, the folder that
#   holds them;
# - the repository blocks read https://example.org/classbanner from a local
#   copy of dist/ at /srv/classbanner, as the README says a local copy works;
#   the one that rebuilds from the source package runs in an empty folder;
# - the dnf block, which the README gives for Fedora or RHEL, runs Debian's
#   dnf into an empty root of its own;
# - podman, runc and dnf are installed first where a block uses them, as the
#   README names them;
# - a `podman run` block that fails passes if the block after it, the
#   README's way for hosts where it cannot work, passes.
# - the cosign block is skipped where this Debian carries no cosign (12);
#   the rebuild's block is given the release's key's fingerprint for FPR.
# - the verifier's setup takes the release it made for the earlier one the
#   README names: the only one there is;
# - the blocks run in the documents' order (README.md, docs/building.md,
#   docs/releasing.md), but those that take a release's downloads, which run
#   last, once docs/releasing.md has made the release.
# The last line counts the blocks that passed, failed, and were skipped for
# the README's way on hosts where they cannot work.
set -uo pipefail
[ "${1:-}" = --throwaway ] || { echo "usage: tests/readme-check.sh --throwaway (as root, on a machine to throw away)" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "readme-check: run as root" >&2; exit 2; }
cd "$(dirname "$0")/.." || exit 1
top=$PWD
banner=$top/tests/banner.txt
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export DEBIAN_FRONTEND=noninteractive
# root's usual PATH on Debian, /usr/local first, as a user's shell has it
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

awk -v dir="$tmp" '/^```sh$/ { n++; inside = 1; next } /^```$/ { inside = 0 } inside { print >(dir "/block-" n) }' \
	README.md docs/building.md docs/releasing.md
mapfile -t blocks < <(find "$tmp" -name 'block-*' | sort -t - -k 2 -n | while read -r block; do
	grep -E 'classbanner-signing-key.asc|provenance-key|-oci.tar|localhost/classbanner|example.org/classbanner|apt-get source|verify.py|earlier/' "$block" >/dev/null && echo "1 $block" || echo "0 $block"
done | sort -s -k 1,1 | cut -d ' ' -f 2)
[ ${#blocks[@]} -gt 0 ] || { echo "readme-check: the documents have no sh block" >&2; exit 1; }

passed=0 failed=0 replaced=0
fail() { # [BLOCK] WHY
	local block=$n
	[ $# -lt 2 ] || { block=$1; shift; }
	echo "readme-check: block $block: $*" >&2
	failed=$((failed + 1))
}
# prints_banner COMMAND...: it writes exactly the banner and ends with status 0.
prints_banner() { "$@" </dev/null 2>"$tmp/err" | cmp -s "$banner" - && [ ! -s "$tmp/err" ]; }
# logged_banner: the block's output holds the banner, all eight lines in order.
logged_banner() { tr '\n' '\1' <"$tmp/log" | grep -F -- "$(tr '\n' '\1' <"$banner")" >/dev/null; }
have() { command -v "$1" >/dev/null || apt-get install -y -q --no-install-recommends "$1" >/dev/null; }

n=0 fallback=
for block in "${blocks[@]}"; do
	n=$((n + 1))
	text=$(cat "$block")
	dir=$top
	case $text in *classbanner-signing-key.asc* | *provenance-key* | *-oci.tar*)
		rm -rf "$tmp/downloads" && cp -r dist "$tmp/downloads" && dir=$tmp/downloads ;;
	esac
	case $text in *example.org/classbanner*)
		rm -rf /srv/classbanner && mkdir -p /srv && cp -r dist /srv/classbanner && chmod -R a+rX /srv/classbanner
		dir=/srv/classbanner
		sed -i 's|https://example.org/classbanner|file:///srv/classbanner|g' "$block" ;;
	esac
	case $text in *'apt-get source'*) rm -rf "$tmp/empty" && mkdir "$tmp/empty" && dir=$tmp/empty ;; esac
	# A release the user checked before, whose verify command checks this one: here, the only one there is.
	case $text in *earlier/*) rm -rf earlier && cp -r dist earlier ;; esac
	case $text in *podman*) have podman && have runc ;; esac
	case $text in *cosign*)
		if ! have cosign; then # Debian 13's, which the README names
			echo "readme-check: block $n: skipped: this Debian carries no cosign"
			replaced=$((replaced + 1))
			continue
		fi ;;
	esac
	# The fingerprint a user compared with the published one: the release's key's.
	case $text in *'--fingerprint FPR'*)
		sed -i "s/--fingerprint FPR/--fingerprint $(gpg --with-colons --show-keys dist/classbanner-signing-key.asc |
			awk -F: '$1 == "fpr" { print $10; exit }')/" "$block" ;;
	esac
	prelude=
	case $text in *'dnf install'*)
		have dnf
		mkdir -p /etc/yum.repos.d # there on Fedora or RHEL, not with Debian's dnf
		rm -rf "$tmp/dnf-root"
		prelude="dnf() { command dnf -y --installroot=$tmp/dnf-root --releasever=1 --setopt=reposdir=/etc/yum.repos.d \"\$@\"; }" ;;
	esac

	echo "readme-check: block $n: $(head -n 1 "$block")"
	start=$SECONDS
	if ! (cd "$dir" && bash -euo pipefail -c "$prelude
$(cat "$block")" </dev/null >"$tmp/log" 2>&1); then
		tail -n 20 "$tmp/log" >&2
		if [[ $text == *'podman run'* && -z $fallback ]]; then
			echo "readme-check: block $n: failed on this host; the README's next block is for such hosts"
			fallback=$n
			continue
		fi
		[ -z "$fallback" ] || fail "$fallback" "failed, and so did the README's way for such hosts"
		fallback=
		fail "failed"
		continue
	fi
	if [ -n "$fallback" ] && [[ $text != *'podman run'* ]]; then
		fail "$fallback" "failed, and the block after it is not another way to run it"
	fi
	[ -z "$fallback" ] || replaced=$((replaced + 1))
	fallback=

	# What the block promises, seen from outside.
	before=$failed
	case $text in
	*'build/release/classbanner'*)
		prints_banner build/release/classbanner || fail "build/release/classbanner does not print the banner" ;;
	*'cmake --install'*)
		prints_banner /usr/local/bin/classbanner || fail "the installed classbanner does not print the banner" ;;
	*install_manifest.txt*)
		[ ! -e /usr/local/bin/classbanner ] || fail "/usr/local/bin/classbanner is still there" ;;
	*'dpkg -r classbanner'*)
		logged_banner || fail "the installed package did not print the banner"
		[ ! -e /usr/bin/classbanner ] || fail "/usr/bin/classbanner is still there after dpkg -r" ;;
	*'apt-get source'*)
		# The released one, byte for byte, where the machine is the Debian release its row is built in.
		rebuilt=$(ls "$tmp"/empty/classbanner_*_amd64.deb)
		if [ "$(. /etc/os-release && echo "$VERSION_CODENAME")" = "$(scripts/targets.sh name=amd64 debian)" ]; then
			cmp -s "$rebuilt" "$top"/dist/classbanner_*_amd64.deb ||
				fail "the .deb rebuilt from the source package is not the released one"
		else
			# shellcheck disable=SC2015 # fail when either one fails
			dpkg-deb -x "$rebuilt" "$tmp/rebuilt" && prints_banner "$tmp/rebuilt/usr/bin/classbanner" ||
				fail "the .deb rebuilt from the source package does not print the banner"
		fi ;;
	*'apt-get install classbanner'*)
		[ "$(command -v classbanner)" = /usr/bin/classbanner ] || fail "classbanner on PATH is '$(command -v classbanner)', not the package's"
		prints_banner classbanner || fail "the apt-installed classbanner does not print the banner" ;;
	*'verify.py'*)
		grep -q '^verify: .* the release is what its source archive builds$' "$tmp/log" ||
			fail "the rebuild did not find every download the same" ;;
	*'dnf install'*)
		prints_banner "$tmp/dnf-root/usr/bin/classbanner" || fail "the dnf-installed classbanner does not print the banner" ;;
	*'podman run'*)
		logged_banner || fail "podman run did not print the banner" ;;
	esac
	[ "$failed" -ne "$before" ] || passed=$((passed + 1))
	echo "readme-check: block $n: done in $((SECONDS - start)) s"
done
[ -z "$fallback" ] || fail "$fallback" "failed, and no block after it is another way to run it"
# A block that failed on this host but the README's way for such hosts ran
# counts as skipped.
echo "readme-check: $passed passed, $failed failed, $replaced skipped"
[ "$failed" -eq 0 ]
