#!/bin/bash
# Builds HebrewOcrPack.exe twice from the same sources, in two fresh folders
# with different paths, and checks that the two files are the same bytes.
#
#   reproducible_build.sh SOURCE_DIR WORK_DIR TOOLCHAIN_FILE
set -euo pipefail

source_dir=$1
work=$2
toolchain=$3

rm -rf "$work"
mkdir -p "$work"
for folder in first second-build-in-a-longer-folder; do
  if ! {
    cmake -S "$source_dir" -B "$work/$folder" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DHEBREW_OCR_BUILD_TESTS=OFF >"$work/$folder.log" 2>&1 &&
      cmake --build "$work/$folder" --target HebrewOcrPack \
        >>"$work/$folder.log" 2>&1
  }; then
    cat "$work/$folder.log"
    echo "FAIL: build in $folder failed"
    exit 1
  fi
done

first=$work/first/bin/HebrewOcrPack.exe
second=$work/second-build-in-a-longer-folder/bin/HebrewOcrPack.exe
sha256sum "$first" "$second"
if ! cmp "$first" "$second"; then
  echo "FAIL: the two builds differ; first differing bytes:"
  cmp -l "$first" "$second" | head -20
  exit 1
fi
rm -rf "$work"
echo "the two builds are identical"
