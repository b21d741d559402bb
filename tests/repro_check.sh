#!/usr/bin/env bash
# Builds the product a second time from a copy of the checkout at another path (the files git
# knows, and the SDK), later than the first build, and compares it with the first byte for byte.
#   repro_check.sh SOURCE BUILT_EXE WORK [CMAKE_ARGS...]
set -euo pipefail
source=$1 built=$2 work=$3
shift 3
rm -rf "$work"
copy=$work/another-checkout
mkdir -p "$copy/third_party"
(cd "$source" && git ls-files -z -co --exclude-standard | xargs -0 cp --parents -t "$copy")
cp -r "$source/third_party/lzma-9.22" "$copy/third_party/"
cmake -S "$copy" -B "$work/build" -G Ninja -DZYV_BUILD_TESTS=OFF "$@" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
nice cmake --build "$work/build" -j "$(nproc)" --target ZyvInstall >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log" >&2; exit 1; }
second=$(find "$work/build/app" -maxdepth 1 -name 'ZyvInstall*' -type f | head -n 1)
if cmp -s "$built" "$second"; then
  echo "reproducible: $built and $second are the same $(stat -c %s "$built") bytes"
  rm -rf "$work"
  exit 0
fi
echo "not reproducible: $built and $second differ in $(cmp -l "$built" "$second" | wc -l) bytes;" \
  "the first (offset, octal values):" >&2
cmp -l "$built" "$second" | head -n 10 >&2
exit 1
