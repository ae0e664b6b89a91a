#!/bin/bash
# SPDX-License-Identifier: MIT
# Check a Windows installer under wine, as a user takes it (in a release root):
#
#   msi-check.sh [--before OTHER] MSI EXE BANNER [EARLIER]
#
# OTHER (another row's MSI) installed and removed first, in the same prefix, as
# a user who changes architecture would; EARLIER (the previous release's MSI)
# installed first, MSI installs EXE byte for byte over it; a new console finds
# classbanner on PATH once, printing BANNER with CR LF; it is listed once, with
# name, version and publisher; EARLIER may not go back over it; `msiexec /x`
# leaves nothing behind, and the machine's PATH as it was, byte for byte. One
# line per fault; exit status 1 if any.
set -uo pipefail
other=
if [ "$1" = --before ]; then
	other=$(realpath "$2")
	shift 2
fi
msi=$(realpath "$1") exe=$2 banner=$3 earlier=${4:+$(realpath "$4")}
who=
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../../preamble.sh"
export HOME=$tmp WINEPREFIX=$tmp/prefix WINEDEBUG=-all XDG_RUNTIME_DIR=$tmp/run
mkdir -m 700 "$tmp/run"
# shellcheck disable=SC2317 # called by the preamble's trap at exit
cleanup() { wineserver -k 2>/dev/null; }

# An x64 installer is checked as its row's tests run: by wine's 64-bit loader
# alone, in a 64-bit prefix, with no 32-bit x86 program started.
folder="$WINEPREFIX/drive_c/Program Files/classbanner" loader=("$(realpath "$(dirname "$0")/../../wine.sh")" x86_64 -)
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' view=/reg:64
if [ "$(msiinfo suminfo "$msi" | sed -n 's/^Template: \([^;]*\).*/\1/p')" = Intel ]; then
	folder="$WINEPREFIX/drive_c/Program Files (x86)/classbanner" view=/reg:32 loader=(command wine)
fi
wine() { "${loader[@]}" "$@"; }
wine wineboot --init >/dev/null 2>&1 || { fail "wine cannot make a prefix"; exit 1; }
# installed: the installed programs' entries for classbanner, a line of
# version and publisher each.
installed() {
	wine reg query "$uninstall" /s "$view" 2>/dev/null | tr -d '\r' | awk '
		/^HKEY/ { if (name == "classbanner") print version, publisher; name = version = publisher = "" }
		$1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { version = $3 }
		$1 == "Publisher" { publisher = substr($0, index($0, $3)) }
		END { if (name == "classbanner") print version, publisher }'
}
# on_path: how many times a new console's PATH holds classbanner's folder.
on_path() { (cd "$tmp" && wine cmd /c 'echo %PATH%' </dev/null) | tr ';' '\n' | grep -c 'classbanner'; }
version() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p'; }
# machine_path: the machine's PATH, as the registry holds it.
machine_path() {
	wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH 2>/dev/null |
		tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]*SZ *//p'
}
before=$(machine_path)
[ -n "$before" ] || fail "the registry holds no machine PATH"
if [ -n "$other" ]; then
	wine msiexec /i "$other" /qn >/dev/null 2>&1 || fail "msiexec /i of $(basename "$other") failed"
	wine msiexec /x "$other" /qn >/dev/null 2>&1 || fail "msiexec /x of $(basename "$other") failed"
	[ "$(machine_path)" = "$before" ] ||
		fail "$(basename "$other") installed and removed leaves PATH '$(machine_path)', not '$before'"
fi

want="$(version "$msi") classbanner maintainers"
if [ -n "$earlier" ]; then
	wine msiexec /i "$earlier" /qn >/dev/null 2>&1 || fail "msiexec /i of the previous release's $(basename "$earlier") failed"
	[ "$(installed)" = "$(version "$earlier") classbanner maintainers" ] ||
		fail "the previous release's MSI lists '$(installed)', not its version $(version "$earlier")"
fi
wine msiexec /i "$msi" /qn >/dev/null 2>&1 || fail "msiexec /i failed${earlier:+, over $(basename "$earlier")}"
cmp -s "$exe" "$folder/classbanner.exe" || fail "the installed classbanner.exe is not the tested one"
[ -f "$folder/LICENSE" ] || fail "LICENSE not installed"
[ -f "$folder/README.md" ] || fail "README.md not installed"
awk '{ printf "%s\r\n", $0 }' "$banner" >"$tmp/want"
(cd "$tmp" && wine cmd /c classbanner </dev/null >"$tmp/out" 2>"$tmp/err")
cmp -s "$tmp/want" "$tmp/out" || fail "classbanner from a new console does not print the banner: $(head -c 200 "$tmp/err")"
[ "$(installed)" = "$want" ] || fail "installed programs list '$(installed)', want only '$want'"
[ "$(on_path)" -eq 1 ] || fail "PATH holds classbanner's folder $(on_path) times"
if [ -n "$earlier" ]; then
	! wine msiexec /i "$earlier" /qn >/dev/null 2>&1 || fail "the previous release's $(basename "$earlier") installs over it"
	[ "$(installed)" = "$want" ] || fail "after the previous MSI was refused, installed programs list '$(installed)'"
	cmp -s "$exe" "$folder/classbanner.exe" || fail "after the previous MSI was refused, classbanner.exe is not this one"
fi

wine msiexec /x "$msi" /qn >/dev/null 2>&1 || fail "msiexec /x failed"
[ ! -e "$folder" ] || fail "$folder is left after msiexec /x"
[ "$(on_path)" -eq 0 ] || fail "PATH still holds classbanner's folder after msiexec /x"
# An earlier version that appended its folder leaves its separator behind as
# wine takes it out, in the upgrade; nothing this installer can undo.
if [ -n "$earlier" ] && msiinfo export "$earlier" Environment | grep -q $'\t\\[~\\];'; then
	before="$before;"
fi
[ "$(machine_path)" = "$before" ] || fail "msiexec /x leaves PATH '$(machine_path)', not '$before' as before"
[ -z "$(installed)" ] || fail "the installed programs still list classbanner after msiexec /x"
exit "$failed"
