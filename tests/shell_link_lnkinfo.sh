#!/usr/bin/env bash
# Writes shell links with make_link (CreateShellLink) under Wine and reads them back with lnkinfo,
# a reader of the .lnk format that shares no code with Windows or Wine.
#   shell_link_lnkinfo.sh WINE_RUN MAKE_LINK_EXE
set -euo pipefail
wine_run=$1 make_link=$2
command -v lnkinfo >/dev/null || { echo "lnkinfo is not installed"; exit 77; }
# Wine turns its arguments into UTF-16 through the locale's character set.
export LC_ALL=C.UTF-8

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

win() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
# The value of one "Name : value" line of lnkinfo's report; fails when the line is missing.
field() { lnkinfo "$1" | sed -n "s/^[[:space:]]*$2[[:space:]]*: \{0,1\}//p" | grep -m1 ''; }
expect() {  # expect WHAT ACTUAL WANTED
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n  got:    [%s]\n  wanted: [%s]\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  else
    printf 'ok   %s\n' "$1"
  fi
}
make_link() { "$wine_run" "$make_link" "$@" 2>/dev/null; }

mkdir -p "$tmp/Desktop" "$tmp/Local App Data/dudizu"
: >"$tmp/Local App Data/dudizu/ZyvSHelp.exe"
link="$tmp/Desktop/Kelvora.lnk"

# An installed program in a folder with spaces.
make_link "$(win "$tmp/Local App Data/dudizu/ZyvSHelp.exe")" "$(win "$link")"
expect "target" "$(field "$link" 'Local path')" "$(win "$tmp/Local App Data/dudizu/ZyvSHelp.exe")"
expect "working directory, no trailing backslash" "$(field "$link" 'Working directory')" \
  "$(win "$tmp/Local App Data/dudizu")"
expect "empty arguments" "$(field "$link" 'Command line arguments')" ""
# Read the report whole first: grep -q stops early, and under pipefail lnkinfo's broken pipe
# would fail the check at random.
report=$(lnkinfo "$link")
grep -q 'Contains a command line arguments string' <<<"$report" || { echo "FAIL no arguments string"; failures=$((failures + 1)); }

# Re-installation with a program that is not there (a failed extraction): the link is replaced.
# Wine stores the local path in the ANSI code page, so the CJK folder is checked in the working
# directory, which is stored in UTF-16.
make_link 'C:\nowhere at all\安装\dudizu\ZyvSHelp.exe' "$(win "$link")"
expect "missing target written" "$(field "$link" 'Working directory')" 'C:\nowhere at all\安装\dudizu'
expect "one file on the desktop" "$(ls -A "$tmp/Desktop")" "Kelvora.lnk"
make_link 'C:\nowhere\dudizu\ZyvSHelp.exe' "$(win "$link")"
expect "replaced target" "$(field "$link" 'Local path')" 'C:\nowhere\dudizu\ZyvSHelp.exe'
expect "still one file" "$(ls -A "$tmp/Desktop")" "Kelvora.lnk"

# No desktop folder: reported as a failure, nothing written.
status=0
make_link 'C:\nowhere\dudizu\ZyvSHelp.exe' "$(win "$tmp/No Desktop/Kelvora.lnk")" || status=$?
expect "unsaved link reported" "$status" 1
expect "nothing written" "$(ls -A "$tmp")" "$(printf 'Desktop\nLocal App Data')"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all shell link checks passed"
