#!/bin/bash
# Runs scripts/release.sh as a maintainer would, on a clean copy of the
# working tree: a trial release on the placeholder payloads, whose two builds
# in folders of different names must be the same bytes, then the release
# folder checked as an administrator would check it; a signed release
# against a time-stamping service of its own; then what the script must
# refuse.
#
#   release_test.sh SOURCE_DIR WORK_DIR
#
# Exits with 77 (skipped) when SOURCE_DIR is not a git checkout.
set -euo pipefail

source_dir=$1
work=$2

fail() {
  echo "FAIL: $*"
  exit 1
}

if ! git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git checkout: the release script releases only a clean one"
  exit 77
fi

# The working tree as it is, committed in a repository of its own, so that
# it is clean whatever is not yet committed here.
rm -rf "$work"
src=$work/src
mkdir -p "$src"
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
  (cd "$source_dir" && xargs -0 cp --parents -t "$src")
git -C "$src" init -q
git -C "$src" add -A
git -C "$src" -c user.name=test -c user.email=test@invalid \
  commit -q -m "the working tree"

version=$(sed -n 's/^project(HebrewOcrPack VERSION \([0-9.]*\).*/\1/p' \
  "$src/CMakeLists.txt")
name=HebrewOcrPack-$version-placeholder
dist=$work/dist
if ! bash "$src/scripts/release.sh" --trial --dist "$dist" \
  --version "$version" >"$work/release.log" 2>&1; then
  cat "$work/release.log"
  fail "the trial release failed"
fi
cat "$work/release.log"

out=$dist/$name
listed=$(cd "$out" && printf '%s\n' * | LC_ALL=C sort | tr '\n' ' ')
[ "$listed" = "BUILDINFO Detect-HebrewOcrPack.ps1 $name.exe RELEASE-NOTES.md \
SHA256SUMS deploying.md " ] || fail "the folder holds: $listed"
beside=$(find "$dist" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort |
  tr '\n' ' ')
[ "$beside" = "$name $name.zip $name.zip.sha256 " ] ||
  fail "dist holds: $beside"
(cd "$out" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check"
# sha256sum -c passes a file that has no line: SHA256SUMS must name every
# file of the folder but itself, once each.
summed=$(sed 's/^[0-9a-f]\{64\} [ *]//' "$out/SHA256SUMS" | LC_ALL=C sort |
  tr '\n' ' ')
[ "$summed" = "BUILDINFO Detect-HebrewOcrPack.ps1 $name.exe RELEASE-NOTES.md \
deploying.md " ] || fail "SHA256SUMS names: $summed"

# The two builds, in folders of different names, made the same executable,
# and it is the one released; it says what it is.
build=$src/build/release/first
second=$(find "$src/build/release" -mindepth 1 -maxdepth 1 -type d \
  ! -name first)
if [ -z "$second" ] || [ "$(printf '%s\n' "$second" | wc -l)" != 1 ]; then
  fail "not two builds: $(ls "$src/build/release")"
fi
cmp "$build/bin/HebrewOcrPack.exe" "$second/bin/HebrewOcrPack.exe" ||
  fail "the two builds are not the same bytes"
cmp "$out/$name.exe" "$build/bin/HebrewOcrPack.exe" ||
  fail "the released executable is not the one that the build made"

# BUILDINFO names the commit, the version, the tools and the unsigned
# executable's hash.
buildinfo() {
  sed -n "s/^$1: //p" "$out/BUILDINFO"
}
[ "$(buildinfo commit)" = "$(git -C "$src" rev-parse HEAD)" ] ||
  fail "BUILDINFO's commit is $(buildinfo commit)"
[ "$(buildinfo version)" = "$version" ] || fail "BUILDINFO's version"
[ "$(buildinfo "unsigned $name.exe sha256")" = \
  "$(sha256sum "$build/bin/HebrewOcrPack.exe" | cut -d' ' -f1)" ] ||
  fail "BUILDINFO's hash is not the build's"
for tool in debian clang lld mingw-w64 binutils-mingw-w64 g++-mingw-w64 \
  osslsigncode; do
  value=$(buildinfo "$tool")
  if [ -z "$value" ] || [ "$value" = unknown ]; then
    fail "BUILDINFO's $tool: $value"
  fi
done

# The zip checks against its hash, holds the folder and nothing else, and
# the same folder zipped again gives the same bytes.
(cd "$dist" && sha256sum --quiet -c "$name.zip.sha256") ||
  fail "the zip does not check against its hash"
mkdir -p "$work/unzipped"
(cd "$work/unzipped" && cmake -E tar xf "$dist/$name.zip")
diff -r "$out" "$work/unzipped/$name" || fail "the zip does not hold the folder"
[ "$(ls "$work/unzipped")" = "$name" ] || fail "the zip holds more than the folder"
bash "$src/scripts/zip-release.sh" "$out" "$work/again.zip"
cmp "$dist/$name.zip" "$work/again.zip" || fail "zipping again gives other bytes"
# grep -q reads from a here-string, never a pipe: it stops at the first
# match, and with pipefail a writer then cut off would fail the check.
grep -qx "HebrewOcrPack trial build with placeholder payloads, not for deployment" \
  <<<"$(x86_64-w64-mingw32-strings -e l "$out/$name.exe")" ||
  fail "the version information does not call it a trial"
cmp "$out/deploying.md" "$src/docs/deploying.md" || fail "deploying.md differs"
# The guide's links work in the release: to its own sections or the web,
# never to a file that the release does not hold.
if grep -oE '\]\([^)]*\)' "$out/deploying.md" | grep -vE '^\]\((#|https://)'; then
  fail "deploying.md links to files outside the release (above)"
fi
if ! grep -qx "# HebrewOcrPack $version" "$out/RELEASE-NOTES.md" ||
  ! grep -q "^### Added" "$out/RELEASE-NOTES.md"; then
  fail "the release notes are not this version's entry"
fi
! grep -q '^## ' "$out/RELEASE-NOTES.md" || fail "the notes run into another entry"

# The detection script holds the hash of each embedded payload, and nothing
# left to fill in.
for file in hebrew.ilex heb.ilex eng.ilex hebrew_engine.bin net_hebrew.bin \
  hebrew.ocr; do
  hash=$(sha256sum "$build/payloads/$file" | cut -d' ' -f1)
  grep -qE "^  '$file' += '$hash'"$'\r''$' "$out/Detect-HebrewOcrPack.ps1" ||
    fail "the detection script lacks $file's hash $hash"
done
! grep -q '@[A-Z_0-9]*@' "$out/Detect-HebrewOcrPack.ps1" ||
  fail "the detection script has a blank left"

# Refusals, each before anything is built, each saying why.
expect_refusal() {
  local what=$1 pattern=$2
  shift 2
  if bash "$src/scripts/release.sh" "$@" --dist "$work/refused" \
    >"$work/refusal.log" 2>&1; then
    fail "$what: accepted"
  fi
  grep -qF -- "$pattern" "$work/refusal.log" ||
    { cat "$work/refusal.log"; fail "$what: unclear"; }
  [ ! -e "$work/refused" ] || fail "$what: wrote a release folder"
  echo "$what: refused, saying \"$pattern\""
}
payloads=$work/payloads
mkdir -p "$payloads"
for file in hebrew.ilex heb.ilex eng.ilex hebrew_engine.bin net_hebrew.bin; do
  echo "real data of $file" >"$payloads/$file"
done
expect_refusal "a missing payload" "lacks hebrew.ocr" "$payloads"
cp "$build/payloads/hebrew.ocr" "$payloads/"
expect_refusal "a placeholder payload" "hebrew.ocr is a placeholder" \
  "$payloads"
expect_refusal "another version" "not 0.0.0.1" --trial --version 0.0.0.1
echo "not a key" >"$work/key.pfx"
expect_refusal "a signed trial" "never signed" --trial --certificate \
  "$work/key.pfx" --password-file "$work/key.pfx" --timestamp-url http://x/
# An existing release is never replaced; a relative --dist is the caller's.
if (cd "$work" && bash "$src/scripts/release.sh" --trial --dist dist \
  >"$work/refusal.log" 2>&1); then
  fail "an existing release folder: accepted"
fi
grep -qF "$out exists" "$work/refusal.log" ||
  { cat "$work/refusal.log"; fail "an existing release folder: unclear"; }
cmp "$dist/$name.zip" "$work/again.zip" || fail "the existing release changed"
echo "an existing release folder: refused"
# A stand-in for cmake that builds at once: configuring makes the build
# folder; building writes a detection script and an executable that names
# its folder, or, with SAME_BYTES set, the same bytes in every folder; a
# script (-P, signing) fails.
fake=$work/fake-cmake
mkdir -p "$fake"
cat >"$fake/cmake" <<'STANDIN'
#!/bin/bash
for argument in "$@"; do
  [ "$argument" != -P ] || exit 1
done
if [ "$1" = --build ]; then
  mkdir -p "$2/bin" &&
    echo "built${SAME_BYTES:- in $2}" >"$2/bin/HebrewOcrPack.exe" &&
    echo "# a detection script" >"$2/bin/Detect-HebrewOcrPack.ps1"
  exit
fi
while [ $# -gt 0 ]; do
  [ "$1" = -B ] && mkdir -p "$2"
  shift
done
STANDIN
chmod +x "$fake/cmake"
# Two builds that differ must be refused, not the first one taken.
PATH=$fake:$PATH expect_refusal "two builds that differ" \
  "the two builds differ" --trial
# A release that fails once it has begun to put the folder together leaves
# nothing in dist: the same bytes twice, then signing fails.
echo "real data of hebrew.ocr" >"$payloads/hebrew.ocr"
if SAME_BYTES=" " PATH=$fake:$PATH bash "$src/scripts/release.sh" "$payloads" \
  --certificate "$work/key.pfx" --password-file "$work/key.pfx" \
  --timestamp-url http://x/ --dist "$work/failed" >"$work/failed.log" 2>&1; then
  fail "a release whose signing fails: accepted"
fi
grep -qF "signing HebrewOcrPack.exe failed" "$work/failed.log" ||
  { cat "$work/failed.log"; fail "a release whose signing fails: unclear"; }
[ -z "$(find "$work/failed" -mindepth 1)" ] ||
  fail "a failed release left: $(find "$work/failed" -mindepth 1)"
echo "a release whose signing fails: refused, leaving nothing"

# A signed release of six payloads that are not placeholders (its builds
# replace the trial's, which the checks above used), against a
# time-stamping service on 127.0.0.1 with a throwaway certificate: the
# executable and the detection script are both signed, and both signatures
# verify with their timestamps.
keys=$work/keys
mkdir -p "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$keys/key.pem" \
  -out "$keys/cert.pem" -subj "/CN=HebrewOcrPack release test signer" \
  -addext "extendedKeyUsage=codeSigning" 2>/dev/null
head -c 24 /dev/urandom | base64 >"$keys/password.txt"
openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" \
  -out "$keys/signer.pfx" -passout "file:$keys/password.txt"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 \
  -keyout "$keys/tsa-key.pem" -out "$keys/tsa-cert.pem" \
  -subj "/CN=HebrewOcrPack release test time-stamping service" \
  -addext "extendedKeyUsage=critical,timeStamping" \
  -addext "keyUsage=critical,digitalSignature" 2>/dev/null
cat "$keys/cert.pem" "$keys/tsa-cert.pem" >"$keys/ca.pem"
echo 01 >"$keys/serial"
cat >"$keys/ts.cnf" <<TSCONFIG
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $keys/serial
crypto_device = builtin
signer_cert = $keys/tsa-cert.pem
signer_key = $keys/tsa-key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
TSCONFIG
perl "$src/tests/timestamp_server.pl" "$keys/port" "$keys/ts.cnf" "$keys" \
  2>"$keys/server.log" &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s "$keys/port" ] || ! kill -0 "$server" 2>/dev/null || sleep 0.1
done
[ -s "$keys/port" ] || { cat "$keys/server.log"; fail "no time-stamping service"; }
real=$work/real-payloads
mkdir -p "$real"
for file in hebrew.ilex heb.ilex eng.ilex hebrew_engine.bin net_hebrew.bin \
  hebrew.ocr; do
  head -c 40000 /dev/urandom >"$real/$file"
done
signed_dist=$work/signed-dist
if ! bash "$src/scripts/release.sh" "$real" --certificate "$keys/signer.pfx" \
  --password-file "$keys/password.txt" \
  --timestamp-url "http://127.0.0.1:$(cat "$keys/port")/" \
  --ca-file "$keys/ca.pem" --dist "$signed_dist" >"$work/signed.log" 2>&1; then
  cat "$work/signed.log" "$keys/server.log"
  fail "the signed release failed"
fi
signed=$signed_dist/HebrewOcrPack-$version
for file in HebrewOcrPack.exe Detect-HebrewOcrPack.ps1; do
  osslsigncode verify -in "$signed/$file" -CAfile "$keys/ca.pem" \
    -TSA-CAfile "$keys/ca.pem" >"$work/verify.log" 2>&1 || true
  if ! grep -q "^Signature verification: ok" "$work/verify.log" ||
    ! grep -q "^Timestamp Server Signature verification: ok" \
      "$work/verify.log"; then
    cat "$work/verify.log"
    fail "$file of the signed release does not verify with its timestamp"
  fi
done
(cd "$signed" && sha256sum --quiet -c SHA256SUMS) ||
  fail "the signed release's SHA256SUMS does not check"
grep -q "^[0-9a-f]\{64\}  Detect-HebrewOcrPack.ps1$" "$signed/SHA256SUMS" ||
  fail "SHA256SUMS does not list the signed detection script"
# The signed script is ASCII with CRLF line ends throughout, its signature
# block included, and holds the real payloads' hashes.
script=$signed/Detect-HebrewOcrPack.ps1
if LC_ALL=C grep -q '[^[:print:][:space:]]' "$script" ||
  [ "$(grep -c $'\r$' "$script")" != "$(wc -l <"$script")" ] ||
  [ "$(tail -c 1 "$script" | od -An -tx1 | tr -d ' ')" != 0a ]; then
  fail "the signed detection script is not ASCII with CRLF line ends"
fi
grep -q "^# SIG # Begin signature block" "$script" ||
  fail "the detection script has no signature block"
grep -qi "'heb.ilex' *= '$(sha256sum "$real/heb.ilex" | cut -d' ' -f1)'" \
  "$script" || fail "the signed detection script lacks the payload's hash"
[ "$(sed -n 's/^unsigned HebrewOcrPack.exe sha256: //p' "$signed/BUILDINFO")" = \
  "$(sha256sum "$src/build/release/first/bin/HebrewOcrPack.exe" | cut -d' ' -f1)" ] ||
  fail "the signed release's BUILDINFO does not hold the unsigned build's hash"
kill "$server" 2>/dev/null || true
echo "a signed release: both files verify with their timestamps"

echo "a change" >"$src/uncommitted.txt"
expect_refusal "a dirty tree" "the working tree has changes" --trial
rm "$src/uncommitted.txt"
sed -i "s/^## \[$version\]/## [0.0.0.0]/" "$src/CHANGELOG.md"
git -C "$src" -c user.name=test -c user.email=test@invalid \
  commit -q -am "no entry for this version"
expect_refusal "a version without notes" "no entry for $version" --trial

rm -rf "$work"
echo "the trial release is whole, and the script refuses what it must"
