#!/bin/bash
# Prints the executable's size beyond its payloads, and how long an install
# takes under Wine against a console program that does nothing, built the
# same way (same compiler, flags and start-up). Figures only: nothing here
# passes or fails except the size line, which says whether the size beyond
# the payloads stays within its 48 KiB goal.
#
#   scripts/benchmark.sh [RUNS] [OTHER_INSTALLER.exe...]
#
# RUNS defaults to 21 runs of each program. Other installers (an earlier
# build, say) are timed in the same runs against the same do-nothing
# program, so that their ratios compare directly.
set -euo pipefail

runs=${1:-21}
shift || true
others=("$@")
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

# A signature is added after the build and is not the program's own size.
signature_size=$(($(llvm-readobj-19 --file-headers "$exe" |
  awk '$1 == "CertificateTableSize:" { print $2 }')))
exe_size=$(stat -c %s "$exe")
payload_size=0
for file in hebrew.ilex heb.ilex eng.ilex hebrew_engine.bin net_hebrew.bin \
  hebrew.ocr; do
  payload_size=$((payload_size + $(stat -c %s "$payload_dir/$file")))
done
overhead=$((exe_size - signature_size - payload_size))
goal=$((48 * 1024))
echo "executable:        $exe_size bytes (signature: $signature_size bytes)"
echo "payloads (six):    $payload_size bytes"
echo "beyond payloads:   $overhead bytes ($((overhead * 100 / goal))% of the 48 KiB goal)"
if [ "$overhead" -le "$goal" ]; then
  echo "size goal:         within 48 KiB"
else
  echo "size goal:         OVER 48 KiB"
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

# The median of a list of times separated by spaces.
median_of() {
  tr ' ' '\n' <<<"$1" | grep . | median
}

# A time in microseconds, as milliseconds.
milliseconds() {
  echo "$(($1 / 1000)).$(printf '%03d' $(($1 % 1000))) ms"
}

# One warm-up of each, which also shows that the install really works here,
# then all of them interleaved so that drift in the machine's load touches
# each alike. Each install finds the pack already there, as on a rerun.
installers=("$exe" "${others[@]}")
for installer in "${installers[@]}"; do
  warm_up=$(sh "$wine_sh" "$prefix" run "$installer" | tr -d '\r')
  if [ "$warm_up" != "installation has been completed" ]; then
    echo "$installer did not complete: $warm_up" >&2
    exit 1
  fi
done
time_run "$noop" >/dev/null
declare -A times
for ((i = 0; i < runs; i++)); do
  for index in "${!installers[@]}"; do
    times[$index]+="$(time_run "${installers[index]}") "
  done
  times[noop]+="$(time_run "$noop") "
done
noop_median=$(median_of "${times[noop]}")
echo "runs:              $runs of each, interleaved, under Wine"
echo "do-nothing median: $(milliseconds "$noop_median")"
for index in "${!installers[@]}"; do
  install_median=$(median_of "${times[$index]}")
  label="install median:"
  [ "$index" -eq 0 ] || label="other install:"
  printf '%-19s%s (%s)\n' "$label" "$(milliseconds "$install_median")" \
    "${installers[index]}"
  awk -v a="$install_median" -v b="$noop_median" \
    'BEGIN { printf "ratio:             %.2f\n", a / b }'
done
