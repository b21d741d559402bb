#!/usr/bin/env bash
# An installer started from a folder where someone left DLLs named like system libraries must load
# none of them. Each planted DLL is tests/tools/marker_dll.c, which leaves "<itself>.loaded" behind
# when it is loaded. Wine is told to prefer such native copies over its own for those names, so it
# takes them whenever the search reaches the installer's folder. Two runs under the Wine harness:
#   control   the installer built without HardenDllSearch: the planted theme library IS loaded,
#             so the planting really reaches what the installer loads;
#   hardened  ZyvInstall.exe: no planted library is loaded, and the installation still completes.
#
#   dll_planting.sh HARNESS INSTALLER CONTROL_INSTALLER MARKER_DLL
# Exit 77 (skipped) when the harness cannot run here.
set -euo pipefail
harness=$1 installer=$2 control=$3 marker=$4

# Loaded at run time by the installer or by the system libraries it uses (WINEDEBUG=+loaddll), or
# well-known planting targets on Windows. Not listed: names Wine loads before any program code runs
# (version, imm32: imports of its own kernel and user libraries, which Windows takes from its
# known-DLL list) and msimg32, which Wine's theme library delay-loads through a path that ignores
# the process's default library folders (Windows' delay-load helper honours them).
names=(uxtheme dwmapi propsys cryptbase profapi windowscodecs)

for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "dll_planting: $tool missing, skipped"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zyv-dll-planting.XXXXXX")
prefix=$work/prefix
cleanup() {
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

overrides="mscoree,mshtml=;$(IFS=,; echo "${names[*]}")=n,b"

# run NAME EXE: plants the markers beside a copy of EXE, runs it, lists the markers left.
run() {
  local dir=$work/$1
  mkdir -p "$dir"
  cp "$2" "$dir/ZyvInstall.exe"
  for n in "${names[@]}"; do cp "$marker" "$dir/$n.dll"; done
  status=0
  WINEDLLOVERRIDES=$overrides "$harness" --prefix "$prefix" --caption ZyvInstall "$dir/ZyvInstall.exe" \
    >"$dir/report" 2>&1 || status=$?
  loaded=$(cd "$dir" && ls -- *.loaded 2>/dev/null | sed 's/\.loaded$//' | tr '\n' ' ' || true)
  echo "$1: harness status $status, planted libraries loaded: ${loaded:-none}"
  sed 's/^/  /' "$dir/report"
}

fail=0
run control "$control"
case " $loaded " in
  *" uxtheme.dll "*) ;;
  *) echo "FAIL: the control run did not load the planted uxtheme.dll: the test proves nothing"; fail=1 ;;
esac
run hardened "$installer"
if [ -n "$loaded" ]; then
  echo "FAIL: the installer loaded planted libraries from its own folder: $loaded"
  fail=1
fi
if grep -qx 'window=ended' "$work/hardened/report"; then
  echo "FAIL: the hardened installer ended without showing its message box"
  fail=1
elif [ "$status" != 0 ]; then
  echo "FAIL: the hardened installer did not complete under the harness"
  fail=1
fi
[ "$fail" = 0 ] && echo "dll_planting: passed"
exit "$fail"
