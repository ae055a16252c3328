#!/bin/bash
# Prints the executable's size against its payloads, and how long an install
# takes under Wine against a console program that does nothing, built with
# the same flags. Figures only: nothing here passes or fails except the size
# budget line, which says whether the overhead stays under 1 MiB.
#
#   scripts/benchmark.sh [RUNS]    (default 21 runs of each program)
set -euo pipefail

runs=${1:-21}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/prerequisites.sh"
hebrew_ocr_install_prerequisites

cd "$root"
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target HebrewOcrPack noop_console >/dev/null

build="$root/build/mingw"
exe="$build/bin/HebrewOcrPack.exe"
noop="$build/bin/noop_console.exe"
payload_dir=$(sed -n 's/^HEBREW_OCR_PAYLOAD_DIR:PATH=//p' "$build/CMakeCache.txt")
payload_dir=${payload_dir:-$build/payloads}

exe_size=$(stat -c %s "$exe")
payload_size=0
for file in hebrew.ilex heb.ilex eng.ilex hebrew_engine.bin net_hebrew.bin \
  hebrew.ocr; do
  payload_size=$((payload_size + $(stat -c %s "$payload_dir/$file")))
done
overhead=$((exe_size - payload_size))
budget=$((1024 * 1024))
echo "executable:        $exe_size bytes"
echo "payloads (six):    $payload_size bytes"
echo "overhead:          $overhead bytes ($((overhead * 100 / budget))% of the 1 MiB budget)"
if [ "$overhead" -lt "$budget" ]; then
  echo "size budget:       within 1 MiB"
else
  echo "size budget:       OVER 1 MiB"
fi

# A sample host in a prefix of its own, served by one persistent wineserver
# so that each run measures the program, not Wine's start-up of the prefix.
prefix="$build/bench-prefix"
wine_sh="$root/cmake/wine.sh"
sh "$wine_sh" "$prefix" stop
rm -rf "$prefix"
sh "$wine_sh" "$prefix" start
trap 'sh "$wine_sh" "$prefix" stop' EXIT
sh "$wine_sh" "$prefix" add-host Host

# Wall time of one run in microseconds.
time_run() {
  local start end
  start=$(date +%s%N)
  sh "$wine_sh" "$prefix" run "$1" >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

median() {
  sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# One warm-up of each, which also shows that the install really works here,
# then the two interleaved so that drift in the machine's load touches both
# alike.
warm_up=$(sh "$wine_sh" "$prefix" run "$exe" | tr -d '\r')
if [ "$warm_up" != "installation has been completed" ]; then
  echo "the installer did not complete: $warm_up" >&2
  exit 1
fi
time_run "$noop" >/dev/null
install_times=()
noop_times=()
for ((i = 0; i < runs; i++)); do
  install_times+=("$(time_run "$exe")")
  noop_times+=("$(time_run "$noop")")
done
install_median=$(printf '%s\n' "${install_times[@]}" | median)
noop_median=$(printf '%s\n' "${noop_times[@]}" | median)
echo "runs:              $runs of each, interleaved, under Wine"
echo "install median:    $((install_median / 1000)).$(printf '%03d' $((install_median % 1000))) ms"
echo "do-nothing median: $((noop_median / 1000)).$(printf '%03d' $((noop_median % 1000))) ms"
awk -v a="$install_median" -v b="$noop_median" \
  'BEGIN { printf "ratio:             %.2f\n", a / b }'
