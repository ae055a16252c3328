# shellcheck shell=bash
# Sourced by the other scripts: makes sure the Debian packages that the build
# and the tests need are installed. As root it installs what is missing;
# otherwise it prints the command to run and stops.

# clang and lld build the programs (the shipped one with control-flow guard);
# MinGW-w64's GCC packages bring the headers, import libraries and windres,
# and the libstdc++ that the test programs link; LLVM's readobj and objdump
# read the built program to check its guard. openssl and osslsigncode sign;
# git tells the release script whether the checkout is clean, and brings the
# Perl that zips a release.
HEBREW_OCR_PACKAGES="cmake ninja-build clang-19 lld-19 llvm-19 \
g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 googletest \
openssl osslsigncode git"

hebrew_ocr_missing_packages() {
  missing=""
  for package in $HEBREW_OCR_PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed"; then
      missing="$missing $package"
    fi
  done
  echo "$missing"
}

hebrew_ocr_install_prerequisites() {
  hebrew_ocr_install_packages "$(hebrew_ocr_missing_packages)"
}

# Installs the packages named in $1, a list with a leading space, when run as
# root; otherwise prints the command to run and stops.
hebrew_ocr_install_packages() {
  missing=$1
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages:$missing" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends$missing" >&2
    exit 1
  fi
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing >/dev/null
}
