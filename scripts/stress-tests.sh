#!/bin/bash
# Runs the whole test suite again and again, each time in a fresh Wine
# prefix, to find tests that fail without a fault: a spurious failure shows
# up in one run in many. Optionally with a CPU load beside it, one busy loop
# per core, as on a loaded CI machine.
#
#   scripts/stress-tests.sh RUNS [--load]
#
# Builds first, in a build folder of its own (build/stress, the
# mingw-stress preset), whose Wine prefix and wineserver are its own too, so
# that it never removes or stops what ./scripts/test.sh uses. Prints one
# line per run, then each failing test of each failed run with its output,
# then the count. The logs of every run stay in build/stress/logs/. Exits
# with 1 when any run failed.
set -euo pipefail

usage() {
  echo "usage: $0 RUNS [--load]" >&2
  exit 2
}
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  usage
fi
runs=$1
[[ $runs =~ ^[1-9][0-9]*$ ]] || usage
load=0
if [ $# -eq 2 ]; then
  [ "$2" = --load ] || usage
  load=1
fi

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/prerequisites.sh"
hebrew_ocr_install_prerequisites
cd "$root"
cmake --preset mingw-stress >/dev/null
cmake --build --preset mingw-stress >/dev/null

build=$root/build/stress
prefix=$build/wineprefix
wine_sh=$root/cmake/wine.sh
logs=$build/logs
rm -rf "$logs"
mkdir -p "$logs"

# Removes the prefix of the last run: its small drive is unmounted first,
# so that nothing is removed from a mounted drive, and its server stopped.
clear_prefix() {
  sh "$wine_sh" "$prefix" unmount-drive t
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
  rm -rf "$prefix"
}

loaders=()
finish() {
  [ ${#loaders[@]} -eq 0 ] || kill "${loaders[@]}" 2>/dev/null || true
  sh "$wine_sh" "$prefix" unmount-drive t
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
}
trap finish EXIT
if [ "$load" = 1 ]; then
  for _ in $(seq "$(nproc)"); do
    (while :; do :; done) &
    loaders+=($!)
  done
  echo "stress: a busy loop on each of $(nproc) cores beside the suite"
fi

failed_runs=0
for run in $(seq "$runs"); do
  # A fresh prefix: the suite's first test makes it again.
  clear_prefix
  started=$SECONDS
  if ctest --preset mingw-stress >"$logs/run-$run.log" 2>&1; then
    echo "run $run: passed in $((SECONDS - started)) s"
    continue
  fi
  failed_runs=$((failed_runs + 1))
  echo "run $run: FAILED in $((SECONDS - started)) s, log build/stress/logs/run-$run.log"
  # Each failing test, from its result line to the next test's start.
  sed -n '/^The following tests FAILED:/,$p' "$logs/run-$run.log" |
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' |
    while read -r test; do
      echo "---- run $run, $test"
      awk -v name="$test" '
        index($0, ": " name " ") && /Test +#/ { on = 1 }
        on && /^ +Start +[0-9]+:/ { exit }
        on' "$logs/run-$run.log"
    done
done
echo "stress: $((runs - failed_runs)) passed, $failed_runs failed"
[ "$failed_runs" -eq 0 ]
