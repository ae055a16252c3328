#!/bin/bash
# Makes a release of HebrewOcrPack.exe in one command, from a clean checkout:
# two builds in two build trees that must be the same bytes, optional
# Authenticode signatures with a timestamp on the installer and its
# detection script, and a folder that an
# administrator can check and deploy:
#
#   dist/HebrewOcrPack-<version>/
#     HebrewOcrPack.exe           the installer
#     Detect-HebrewOcrPack.ps1    detection script with the six payload hashes,
#                                 signed as the installer is
#     deploying.md                the deployment guide
#     RELEASE-NOTES.md            this version's entry of CHANGELOG.md
#     BUILDINFO                   what it was built from and with, and the
#                                 unsigned executable's hash
#     SHA256SUMS                  the other files' hashes, in sha256sum form
#   dist/HebrewOcrPack-<version>.zip          the folder, zipped with a
#   dist/HebrewOcrPack-<version>.zip.sha256   stable order and times
#
# The folder is made as a hidden folder beside it and renamed only once it is
# whole; a failed or interrupted release removes it. An existing release
# folder is refused, never replaced.
#
# A trial release embeds the generated placeholder payloads, which the OCR
# engine cannot use: its folder and executable are named
# HebrewOcrPack-<version>-placeholder, and its version information says so.
#
#   scripts/release.sh PAYLOAD_DIR [SIGNING] [--dist DIR] [--version V]
#   scripts/release.sh --trial [--dist DIR] [--version V]
#
# SIGNING is --certificate PFX --password-file FILE --timestamp-url URL, as
# the README describes them, with --ca-file PEM for a certificate or
# time-stamping service whose authority the system does not trust.
# --version refuses a release whose version is not V (a tag's name, say).
# Paths are taken from the caller's folder. Installs what the README's
# commands install, nothing more.
set -euo pipefail

fail() {
  echo "release: $*" >&2
  exit 1
}
usage() {
  cat >&2 <<'EOF'
usage: scripts/release.sh PAYLOAD_DIR [--certificate PFX --password-file FILE
         --timestamp-url URL [--ca-file PEM]] [--dist DIR] [--version V]
       scripts/release.sh --trial [--dist DIR] [--version V]
EOF
  exit 2
}

root=$(cd "$(dirname "$0")/.." && pwd)
trial=0
payload_dir=""
certificate=""
password_file=""
timestamp_url=""
ca_file=""
dist=$root/dist
expected_version=""
while [ $# -gt 0 ]; do
  case $1 in
  --trial) trial=1 ;;
  --certificate) certificate=${2:?--certificate needs a file} && shift ;;
  --password-file) password_file=${2:?--password-file needs a file} && shift ;;
  --timestamp-url) timestamp_url=${2:?--timestamp-url needs a URL} && shift ;;
  --ca-file) ca_file=${2:?--ca-file needs a file} && shift ;;
  --dist) dist=${2:?--dist needs a folder} && shift ;;
  --version) expected_version=${2:?--version needs a version} && shift ;;
  -*) usage ;;
  *)
    [ -z "$payload_dir" ] || usage
    payload_dir=$1
    ;;
  esac
  shift
done
if [ "$trial" = 1 ]; then
  [ -z "$payload_dir" ] ||
    fail "a trial release embeds the placeholders; name no payload folder"
  [ -z "$certificate$password_file$timestamp_url$ca_file" ] ||
    fail "a trial release is never signed; give no signing options"
elif [ -z "$payload_dir" ]; then
  usage
fi
# Every path as the caller meant it, before anything changes folder.
for path in payload_dir certificate password_file ca_file dist; do
  [ -z "${!path}" ] || printf -v "$path" '%s' "$(realpath -m -- "${!path}")"
done
signing=0
if [ -n "$certificate$password_file$timestamp_url" ]; then
  if [ -z "$certificate" ] || [ -z "$password_file" ] ||
    [ -z "$timestamp_url" ]; then
    fail "signing needs --certificate, --password-file and --timestamp-url"
  fi
  for file in "$certificate" "$password_file"; do
    [ -f "$file" ] || fail "$file: no such file"
  done
  signing=1
fi

. "$root/scripts/prerequisites.sh"
hebrew_ocr_install_prerequisites
if [ "$signing" = 1 ]; then
  hebrew_ocr_install_script_signing ||
    fail "osslsigncode cannot sign the detection script; nothing was built"
fi
cd "$root"

# What is released is what is committed: nothing changed, nothing added.
git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  fail "$root is not a git checkout; release from a clean clone"
changes=$(git status --porcelain --untracked-files=all)
if [ -n "$changes" ]; then
  printf '%s\n' "$changes" >&2
  fail "the working tree has changes; commit or remove them first"
fi

version=$(sed -n 's/^project(HebrewOcrPack VERSION \([0-9.]*\).*/\1/p' \
  CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"
[ -z "$expected_version" ] || [ "$expected_version" = "$version" ] ||
  fail "the version is $version, not $expected_version"
notes=$(awk -v heading="## [$version]" '
  index($0, heading) == 1 { on = 1; next }
  /^## \[/ { if (on) exit }
  on' CHANGELOG.md)
[ -n "$(tr -d '[:space:]' <<<"$notes")" ] ||
  fail "CHANGELOG.md has no entry for $version (a heading \"## [$version]\")"

names=(hebrew.ilex heb.ilex eng.ilex hebrew_engine.bin net_hebrew.bin
  hebrew.ocr)
configure_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  -DCMAKE_BUILD_TYPE=Release -DHEBREW_OCR_BUILD_TESTS=OFF)
if [ "$trial" = 1 ]; then
  name=HebrewOcrPack-$version-placeholder
  exe_name=$name.exe
  configure_args+=(-DHEBREW_OCR_TRIAL_RELEASE=ON)
else
  [ -d "$payload_dir" ] || fail "$payload_dir: no such folder"
  for file in "${names[@]}"; do
    [ -f "$payload_dir/$file" ] || fail "$payload_dir lacks $file"
    # The build's placeholders start with their own name.
    if head -c 33 "$payload_dir/$file" | tr -d '\000' |
      grep -qx "HebrewOcrPack placeholder payload"; then
      fail "$payload_dir/$file is a placeholder, not the OCR engine's file;" \
        "use --trial for a trial release"
    fi
  done
  name=HebrewOcrPack-$version
  exe_name=HebrewOcrPack.exe
  configure_args+=(-DHEBREW_OCR_TRIAL_RELEASE=OFF
    -DHEBREW_OCR_PAYLOAD_DIR="$payload_dir")
fi
out=$dist/$name
zip=$dist/$name.zip
for existing in "$out" "$zip" "$zip.sha256"; do
  [ ! -e "$existing" ] ||
    fail "$existing exists; remove it, or release into another --dist"
done

# Two builds in folders of different names and lengths must be the same
# bytes: what is signed is then what anyone can build again.
work=$root/build/release
rm -rf "$work"
mkdir -p "$work"
builds=(first second-build-in-a-longer-folder)
for folder in "${builds[@]}"; do
  echo "release: building $version in build/release/$folder"
  if ! {
    cmake -S "$root" -B "$work/$folder" -G Ninja "${configure_args[@]}" \
      >"$work/$folder.log" 2>&1 &&
      cmake --build "$work/$folder" --target HebrewOcrPack \
        >>"$work/$folder.log" 2>&1
  }; then
    cat "$work/$folder.log" >&2
    fail "the build in build/release/$folder failed"
  fi
done
built=$work/${builds[0]}/bin/HebrewOcrPack.exe
if ! cmp -s "$built" "$work/${builds[1]}/bin/HebrewOcrPack.exe"; then
  # cmp exits with 1 for files that differ, which would end the script
  # here, without its reason.
  { cmp -l "$built" "$work/${builds[1]}/bin/HebrewOcrPack.exe" || true; } |
    head -20 >&2
  fail "the two builds differ (first differing bytes above);" \
    "see docs/releasing.md"
fi

# The release is put together in a hidden folder beside its own, which goes
# on any failure or interrupt, and takes its name only when it is whole.
mkdir -p "$dist"
staging=$(mktemp -d "$dist/.$name.XXXXXX")
made=""
cleanup() {
  [ -z "$staging" ] || rm -rf "$staging"
  # A folder renamed but not yet zipped goes too, so the release can be run
  # again.
  [ -z "$made" ] || rm -rf "$made"
  rm -f "$zip.partial"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
cp "$built" "$staging/$exe_name"
cp "$work/${builds[0]}/bin/Detect-HebrewOcrPack.ps1" "$staging/"
# Signs a file of the release in place with the certificate and a timestamp,
# then checks the signature and its timestamp.
sign() {
  local file=$staging/$1 log=$work/sign-$1.log
  cmake -DEXECUTABLE="$file" -DCERTIFICATE="$certificate" \
    -DPASSWORD_FILE="$password_file" -DTIMESTAMP_URL="$timestamp_url" \
    -P "$root/cmake/SignExecutable.cmake" >"$log" 2>&1 || {
    cat "$log" >&2
    fail "signing $1 failed"
  }
  # osslsigncode passes a signature whose timestamp it cannot verify, so the
  # timestamp's own line is required too.
  local verify=(osslsigncode verify -in "$file")
  [ -z "$ca_file" ] || verify+=(-CAfile "$ca_file" -TSA-CAfile "$ca_file")
  if ! "${verify[@]}" >"$log" 2>&1 ||
    ! grep -q "^Timestamp Server Signature verification: ok" "$log"; then
    cat "$log" >&2
    fail "the signature of $1 or its timestamp does not verify"
  fi
}
if [ "$signing" = 1 ]; then
  sign "$exe_name"
  sign Detect-HebrewOcrPack.ps1
fi
cp "$root/docs/deploying.md" "$staging/"
{
  echo "# HebrewOcrPack $version"
  printf '%s\n' "$notes"
} >"$staging/RELEASE-NOTES.md"

# What the release was built from and with, so that anyone can build it
# again and compare with the unsigned executable's hash: a signature cannot
# be taken off to give the original bytes back.
package_version() {
  dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo unknown
}
debian=unknown
if [ -r /etc/os-release ]; then
  # shellcheck source=/dev/null
  debian=$(. /etc/os-release && echo "${PRETTY_NAME:-unknown}")
fi
{
  echo "version: $version"
  echo "commit: $(git rev-parse HEAD)"
  echo "debian: $debian ($(cat /etc/debian_version 2>/dev/null || echo unknown))"
  echo "clang: $(package_version clang-19)"
  echo "lld: $(package_version lld-19)"
  echo "mingw-w64: $(package_version mingw-w64-common)"
  echo "binutils-mingw-w64: $(package_version binutils-mingw-w64-x86-64)"
  echo "g++-mingw-w64: $(package_version g++-mingw-w64-x86-64-posix)"
  echo "osslsigncode: $(package_version osslsigncode)"
  echo "unsigned $exe_name sha256: $(sha256sum "$built" | cut -d' ' -f1)"
} >"$staging/BUILDINFO"
files=("$exe_name" Detect-HebrewOcrPack.ps1 deploying.md RELEASE-NOTES.md
  BUILDINFO)
(cd "$staging" && sha256sum -- "${files[@]}" >SHA256SUMS)
chmod 755 "$staging"
chmod 644 "$staging"/*
mv -T "$staging" "$out"
staging=""
made=$out

bash "$root/scripts/zip-release.sh" "$out" "$zip.partial"
mv "$zip.partial" "$zip"
(cd "$dist" && sha256sum -- "$name.zip" >"$name.zip.sha256")
made=""

echo "release: wrote $out"
for file in "${files[@]}" SHA256SUMS; do
  printf '  %-40s %9s bytes  %s\n' "$file" "$(stat -c %s "$out/$file")" \
    "$(sha256sum "$out/$file" | cut -d' ' -f1)"
done
printf 'release: wrote %s\n  %-40s %9s bytes  %s\n' "$zip" "$name.zip" \
  "$(stat -c %s "$zip")" "$(cut -d' ' -f1 "$zip.sha256")"
if [ "$trial" = 1 ]; then
  echo "release: a trial with placeholder payloads; never deploy it"
elif [ "$signing" = 0 ]; then
  echo "release: unsigned; sign a release before deploying it"
fi
