#!/bin/bash
# Builds HebrewOcrPack.exe and its tests, and runs the whole test suite under
# Wine.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/prerequisites.sh"
hebrew_ocr_install_prerequisites
# The release test signs a release, detection script included.
hebrew_ocr_install_script_signing

cd "$root"
cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw
