#!/bin/bash
# Signs the built installer with a throwaway certificate, through the signing
# script and through the build option, verifies the signatures, checks the
# mistakes a packager can make, and installs the pack with the signed copy
# under Wine.
#
#   signing_test.sh SOURCE_DIR BUILD_DIR EXECUTABLE PAYLOAD_DIR
set -euo pipefail

source_dir=$1
build_dir=$2
exe=$3
payloads=$4
work=$build_dir/signing-test
toolchain=$source_dir/cmake/mingw-w64-x86_64.cmake

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
cd "$work"

# A throwaway code-signing certificate. Its password is only ever in a file.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout key.pem \
  -out cert.pem -subj "/CN=HebrewOcrPack test signer" \
  -addext "extendedKeyUsage=codeSigning" 2>/dev/null
head -c 24 /dev/urandom | base64 >password.txt
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx \
  -passout file:password.txt

sign() {
  cmake -DEXECUTABLE="$exe" -DCERTIFICATE="$1" -DPASSWORD_FILE="$2" \
    -DOUTPUT="$3" -P "$source_dir/cmake/SignExecutable.cmake"
}

verify() {
  osslsigncode verify -CAfile cert.pem -in "$1" >verify.log 2>&1
}

# The unsigned file must fail verification, or the checks below prove nothing.
if verify "$exe"; then
  fail "the unsigned executable passed verification"
fi

sign signer.pfx password.txt signed.exe >sign.log 2>&1 ||
  { cat sign.log; fail "signing failed"; }
verify signed.exe || { cat verify.log; fail "the signature was rejected"; }
echo "signing script: signed, and the signature verifies"

# Whether the log FILE says TEXT. CMake wraps long messages wherever the
# paths in them put the break, so lines are joined and spaces collapsed.
says() {
  # From a here-string, not a pipe: grep -q stops at the first match, and
  # with pipefail a writer then cut off would fail the check.
  grep -qF -- "$2" <<<"$(tr -s '[:space:]' ' ' <"$1")"
}

# Each mistake stops with a message that says what is wrong and leaves no
# output file.
expect_refusal() {
  local what=$1 pattern=$2
  shift 2
  if "$@" >refusal.log 2>&1; then
    fail "$what: accepted"
  fi
  says refusal.log "$pattern" || { cat refusal.log; fail "$what: unclear"; }
  [ ! -e out.exe ] || fail "$what: left a file behind"
  echo "$what: refused, saying \"$pattern\""
}
echo wrong >wrong.txt
expect_refusal "wrong password" "cannot sign" sign signer.pfx wrong.txt out.exe
expect_refusal "certificate without key" "cannot sign" \
  sign cert.pem password.txt out.exe
expect_refusal "missing certificate" "does not exist" \
  sign missing.pfx password.txt out.exe
expect_refusal "build option with a missing certificate" "names no file" \
  cmake -S "$source_dir" -B option-missing -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DHEBREW_OCR_BUILD_TESTS=OFF \
  -DHEBREW_OCR_SIGN=ON -DHEBREW_OCR_SIGN_CERTIFICATE="$work/missing.pfx" \
  -DHEBREW_OCR_SIGN_PASSWORD_FILE="$work/password.txt"

# The build option signs after linking.
if ! {
  cmake -S "$source_dir" -B option-build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DHEBREW_OCR_BUILD_TESTS=OFF -DHEBREW_OCR_SIGN=ON \
    -DHEBREW_OCR_SIGN_CERTIFICATE="$work/signer.pfx" \
    -DHEBREW_OCR_SIGN_PASSWORD_FILE="$work/password.txt" >build.log 2>&1 &&
    cmake --build option-build --target HebrewOcrPack >>build.log 2>&1
}; then
  cat build.log
  fail "the signed build failed"
fi
verify option-build/bin/HebrewOcrPack.exe ||
  { cat verify.log; fail "the build option's signature was rejected"; }
says build.log "will stop verifying when the certificate expires" ||
  { cat build.log; fail "no warning about signing without a timestamp"; }
echo "build option: signed, and the signature verifies"

# The signed copy still installs the pack.
wine_run() {
  sh "$source_dir/cmake/wine.sh" "$build_dir/wineprefix" run "$@"
}
host="$build_dir/wineprefix/drive_c/signing-test-host"
trap 'wine_run reg delete "HKLM\SOFTWARE\Quarn" /reg:64 /f >/dev/null 2>&1 || true' EXIT
rm -rf "$host"
sh "$source_dir/cmake/wine.sh" "$build_dir/wineprefix" add-host signing-test-host
status=0
output=$(wine_run "$work/signed.exe") || status=$?
[ "$status" -eq 0 ] || fail "the signed installer exited with $status"
[ "$output" = $'installation has been completed\r' ] ||
  fail "the signed installer printed: $output"
for file in hebrew.ilex heb.ilex eng.ilex hebrew_engine.bin net_hebrew.bin \
  hebrew.ocr; do
  cmp "$payloads/$file" "$host/IRIS_OCR/resources/$file" ||
    fail "$file differs from its payload"
done
rm -rf "$host"
echo "signed copy: installed the six files"
