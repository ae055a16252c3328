#!/bin/bash
# Builds HebrewOcrPack.exe and runs its main job under Wine: a throwaway
# prefix gets a sample host installation, the installer runs there, and the
# line it printed, its exit status and the six installed files are shown.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/prerequisites.sh"
hebrew_ocr_install_prerequisites

cd "$root"
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target HebrewOcrPack

build="$root/build/mingw"
prefix="$build/demo-prefix"
wine_sh="$root/cmake/wine.sh"
host_win="C:\\Programs\\Quarn Paginor\\"
resources="$prefix/drive_c/Programs/Quarn Paginor/IRIS_OCR/resources"

# A fresh prefix with a sample host: its folder with IRIS_OCR\resources and
# the install path registered for the local machine.
sh "$wine_sh" "$prefix" stop
rm -rf "$prefix"
sh "$wine_sh" "$prefix" start
trap 'sh "$wine_sh" "$prefix" stop' EXIT
sh "$wine_sh" "$prefix" add-host "Programs/Quarn Paginor"

echo "Sample host: $host_win (registered in the 64-bit registry view)"
echo "Running HebrewOcrPack.exe:"
status=0
sh "$wine_sh" "$prefix" run "$build/bin/HebrewOcrPack.exe" || status=$?
echo "Exit status: $status"
printf 'Files in %sIRIS_OCR\\resources:\n' "$host_win"
(cd "$resources" && find . -maxdepth 1 -type f -printf '  %-20f %10s bytes\n' | sort)
exit "$status"
