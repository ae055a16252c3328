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

# Whether the installed osslsigncode can sign a PowerShell script, found by
# signing one with a throwaway certificate: it can from version 2.8 on.
hebrew_ocr_can_sign_scripts() {
  local trial status=0
  trial=$(mktemp -d) || return 1
  {
    openssl req -x509 -newkey rsa:2048 -nodes -days 1 \
      -keyout "$trial/key.pem" -out "$trial/cert.pem" \
      -subj "/CN=HebrewOcrPack script signing trial" \
      -addext "extendedKeyUsage=codeSigning" &&
      printf '# A trial of signing a PowerShell script.\r\nexit 0\r\n' \
        >"$trial/trial.ps1" &&
      osslsigncode sign -certs "$trial/cert.pem" -key "$trial/key.pem" \
        -h sha256 -in "$trial/trial.ps1" -out "$trial/signed.ps1" &&
      grep -q "^# SIG # Begin signature block" "$trial/signed.ps1"
  } >/dev/null 2>&1 || status=1
  rm -rf "$trial"
  return "$status"
}

# Makes sure that osslsigncode can sign PowerShell scripts. Debian 12's own
# archive has 2.5, which cannot; as root on Debian 12, it installs 2.9 from
# bookworm-backports, adding that suite to apt's sources if it is missing
# (apt installs from backports only what is asked for by name). Otherwise it
# says what to do and returns 1.
hebrew_ocr_install_script_signing() {
  hebrew_ocr_can_sign_scripts && return 0
  local codename="" version
  version=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null || true)
  if [ -r /etc/os-release ]; then
    # shellcheck source=/dev/null
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  fi
  if [ "$codename" != bookworm ]; then
    echo "osslsigncode ${version:-(not installed)} cannot sign PowerShell" \
      "scripts; version 2.8 or later can" >&2
    return 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "osslsigncode $version cannot sign PowerShell scripts; install 2.8" \
      "or later from Debian 12's backports:" >&2
    echo "  echo 'deb http://deb.debian.org/debian bookworm-backports main' |" \
      "sudo tee /etc/apt/sources.list.d/bookworm-backports.list" >&2
    echo "  sudo apt-get update && sudo apt-get install -y -t" \
      "bookworm-backports osslsigncode" >&2
    return 1
  fi
  if ! grep -rqs "bookworm-backports" /etc/apt/sources.list \
    /etc/apt/sources.list.d/; then
    echo "Adding bookworm-backports to apt's sources, for osslsigncode 2.9"
    echo "deb http://deb.debian.org/debian bookworm-backports main" \
      >/etc/apt/sources.list.d/bookworm-backports.list
  fi
  echo "Installing: osslsigncode from bookworm-backports"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends -t bookworm-backports \
    osslsigncode >/dev/null
  hebrew_ocr_can_sign_scripts || {
    echo "osslsigncode from bookworm-backports still cannot sign" \
      "PowerShell scripts" >&2
    return 1
  }
}
