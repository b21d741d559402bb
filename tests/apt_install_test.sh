#!/usr/bin/env bash
# scripts/apt-install against a stub apt-get: a mirror mid-sync whose update fails and whose install
# resolves only with the release's own suite as the target, and one where nothing resolves.
set -uo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# The stub logs each call and answers from the scenario's files: update fails while a count lasts,
# install succeeds only with the arguments that the scenario accepts.
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "$*" >>"$STUB_DIR/calls"
case "$1" in
  update)
    left=$(cat "$STUB_DIR/update_failures")
    if [ "$left" -gt 0 ]; then
      echo $((left - 1)) >"$STUB_DIR/update_failures"
      echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    fi
    exit 0 ;;
  install)
    if grep -qx -- "$(cat "$STUB_DIR/install_accepts")" <<<"$*"; then exit 0; fi
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
esac
STUB
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/apt-get" "$work/bin/sudo"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
export STUB_DIR=$work PATH="$work/bin:$PATH" ZYV_APT_RETRY_DELAY=0
failed=0
passed=0

# scenario NAME UPDATE_FAILURES INSTALL_ACCEPTS EXPECTED_RC EXPECTED_CALLS [TEXT THE ERROR MUST HOLD...]
scenario() {
  local name=$1 failures=$2 accepts=$3 want_rc=$4 want_calls=$5
  shift 5
  echo "$failures" >"$work/update_failures"
  echo "$accepts" >"$work/install_accepts"
  : >"$work/calls"
  "$script" --update wine32:i386 7zip >"$work/out" 2>&1
  local rc=$? ok=1
  local calls
  calls=$(cut -d' ' -f1 "$work/calls" | paste -sd' ')
  [ "$rc" = "$want_rc" ] || ok=0
  [ "$calls" = "$want_calls" ] || ok=0
  for text in "$@"; do grep -qF -- "$text" "$work/out" || ok=0; done
  if [ "$ok" = 1 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $name: rc $rc (want $want_rc), calls '$calls' (want '$want_calls')"
    sed 's/^/  | /' "$work/out"
  fi
}

any='install .*wine32:i386 7zip'
with_suite="install .*-t $codename wine32:i386 7zip"
scenario "update passes on the third try" 2 "$any" 0 "update update update install"
scenario "update never passes; the release's suite resolves" 9 "$with_suite" 0 \
  "update update update install install" "trying again with -t $codename"
scenario "nothing resolves" 9 "never" 1 "update update update install install" \
  "could not install: wine32:i386 7zip" "held broken packages" "Mirror sync in progress?" "What to try"
# The fallback is the install's: the second install carries the target release.
scenario "the fallback names the target release" 0 "$with_suite" 0 "update install install"
grep -q -- "-t $codename wine32:i386" "$work/calls" || { echo "FAIL: no -t $codename install"; failed=$((failed + 1)); }

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
