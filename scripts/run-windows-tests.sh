#!/usr/bin/env bash
# Runs the Windows build's port suites (BUILD/tests/*.exe) under Wine, in a
# fresh Wine prefix inside the build folder, without a display, and prints
# each suite's result and a total. Exits non-zero when a suite fails.
#   scripts/run-windows-tests.sh [BUILD]   (default build-win)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win}
shopt -s nullglob
suites=("$build"/tests/*.exe)
if [[ ${#suites[@]} -eq 0 ]]; then
  echo "no Windows test programs in $build/tests" >&2
  exit 1
fi

wine=$(command -v wine64 || true)
[[ -z $wine && -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64
[[ -z $wine ]] && wine=$(command -v wine || true)
if [[ -z $wine ]]; then
  echo "wine64 is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
wineserver=$(command -v wineserver || true)
[[ -z $wineserver && -x /usr/lib/wine/wineserver64 ]] && wineserver=/usr/lib/wine/wineserver64

export WINEPREFIX=$PWD/$build/wine-prefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers, no dialogs, no display.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
if ! "$wine" wineboot -i >"$build/wineboot.log" 2>&1; then
  echo "wineboot failed:" >&2
  cat "$build/wineboot.log" >&2
  exit 1
fi

passed=0 failed=0 skipped=0 broken=()
for exe in "${suites[@]}"; do
  name=$(basename "$exe" .exe)
  log="$build/tests/$name.log"
  ( cd "$build/tests" && timeout 300 "$wine" "./$name.exe" --gtest_color=no ) 2>&1 | tr -d '\r' >"$log"
  rc=${PIPESTATUS[0]}
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
  p=${p:-0} f=${f:-0} s=${s:-0}
  if [[ $rc -ne 0 && $f -eq 0 ]]; then f=1; fi  # crashed or timed out
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  printf '%-24s %3d passed, %d failed, %d skipped\n' "$name" "$p" "$f" "$s"
  # Each skipped test with its reason.
  awk '/^\[ RUN      \]/ {t = $4} /: Skipped$/ {getline r; print "    skipped " t ": " r}' "$log"
  if [[ $f -ne 0 ]]; then
    broken+=("$name")
    sed 's/^/    | /' "$log"
  fi
done
[[ -n $wineserver ]] && "$wineserver" -k >/dev/null 2>&1
echo "windows: $passed passed, $failed failed, $skipped skipped"
[[ ${#broken[@]} -eq 0 ]]
