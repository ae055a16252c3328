#!/bin/bash
# What "wine.sh PREFIX run" does with a program that ends: a start that ended
# with status 1 having written nothing is made again, twice at most and said
# each time; any other end is passed on at once, with both streams kept
# apart and whole.
#
#   wine_run_test.sh WINE_SH PREFIX
set -euo pipefail

wine_sh=$1
prefix=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs cmd /c with the given line; its status, stdout and stderr land in
# $status, $work/out and $work/err.
run_cmd() {
  status=0
  sh "$wine_sh" "$prefix" run cmd /c "$1" >"$work/out" 2>"$work/err" ||
    status=$?
  cat "$work/err"
}
restarts() { grep -c "starting it again" "$work/err" || true; }
# Fails unless the last run ended with status $1 after $2 restarts.
expect() {
  if [ "$status" -ne "$1" ] || [ "$(restarts)" -ne "$2" ]; then
    fail "$3: status $status after $(restarts) restarts"
  fi
}

run_cmd "exit 1"
expect 1 2 "a silent status 1"
grep -q "cmd ended with status 1, the low byte" "$work/err" ||
  fail "the last end was not reported"

run_cmd "echo written & exit 1"
expect 1 0 "a status 1 after output"
[ "$(tr -d '\r' <"$work/out")" = "written " ] || fail "stdout was: $(cat "$work/out")"

run_cmd "echo to-stderr 1>&2 & exit 1"
expect 1 0 "a status 1 after stderr output"
[ ! -s "$work/out" ] || fail "stderr's text reached stdout"
grep -q "to-stderr" "$work/err" || fail "stderr's text was lost"

run_cmd "exit 2"
expect 2 0 "a silent status 2"

run_cmd "echo done"
expect 0 0 "a program that succeeded"
[ ! -s "$work/err" ] || fail "a program that succeeded wrote to stderr"
[ "$(tr -d '\r' <"$work/out")" = "done" ] || fail "stdout was: $(cat "$work/out")"
echo "wine.sh run: restarts only a silent status 1, twice at most"
