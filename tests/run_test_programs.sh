#!/bin/bash
# Runs the built test programs straight from a folder, without CTest: how a
# build made on Debian is checked on Windows itself. Every test must run and
# pass, none may skip itself (but the session 0 test, outside session 0),
# and nothing may be left in the registry afterwards. The full-disk tests
# are left out: they need the small drive that only the Debian test run
# makes.
#
#   run_test_programs.sh BIN_DIR [RUNNER...]
#
# BIN_DIR holds HebrewOcrPack.exe, the test programs and their test-data
# folder. RUNNER, when given, is put before each Windows command: under Wine,
# "sh cmake/wine.sh PREFIX run". On Windows, run it from Git's bash with no
# runner.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BIN_DIR [RUNNER...]" >&2
  exit 2
fi
bin=$1
shift

# The tests write the host's key under HKEY_LOCAL_MACHINE only when told to;
# run as an administrator on a machine with no host registered. Git's bash
# must pass Windows arguments such as /reg:64 on unchanged.
export HEBREW_OCR_TEST_WRITE_HKLM=1
export MSYS2_ARG_CONV_EXCL='*'
export MSYS_NO_PATHCONV=1

# Only the test for session 0, where services run, may skip itself, and
# only because the test programs run elsewhere (under Wine, or in an
# interactive Windows session): its reason, printed between its RUN and
# SKIPPED lines, must begin "outside session 0:". Prints each other skip.
other_skips() {
  awk '
    { sub(/\r$/, "") }
    /^\[ RUN      \] / { running = $4 }
    /^outside session 0:/ { outside[running] = 1 }
    /^\[  SKIPPED \] [A-Za-z0-9_]+\.[A-Za-z0-9_]+( |$)/ {
      allowed = $4 ~ /\.ALogOffInSessionZeroLetsTheInstallGoOn$/ &&
        outside[$4]
      if (!allowed) { print; found = 1 }
    }
    END { exit found ? 0 : 1 }'
}

log=$(mktemp)
trap 'rm -f "$log"' EXIT
failed=0
for program in host_lookup_test payload_writer_test installer_outcome_test \
  installer_claim_test installer_rollback_test installer_control_events_test \
  installer_deployment_test executable_test; do
  echo "=== $program"
  if [ ! -f "$bin/$program.exe" ]; then
    echo "FAIL: $bin/$program.exe is missing"
    failed=1
    continue
  fi
  # The output is shown as it comes, so that a program that hangs shows
  # where, and kept to be judged once the program has ended.
  started=$SECONDS
  set +e
  "$@" "$bin/$program.exe" '--gtest_filter=-*SmallDrive*:*FullDrive*' 2>&1 |
    tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  output=$(cat "$log")
  if [ "$status" -ne 0 ]; then
    echo "FAIL: $program exited with status $status after" \
      "$((SECONDS - started)) s"
    failed=1
  elif ! grep -q '^\[  PASSED  \]' <<<"$output"; then
    echo "FAIL: $program did not report its tests as passed"
    failed=1
  elif other_skips <<<"$output"; then
    echo "FAIL: $program skipped tests that must run here"
    failed=1
  fi
done

# The tests remove the host's key and every parent they created, in both
# registry views and for the current user as well. A key that is always
# there comes first, to show that the registry can be read at all.
if ! "$@" reg query 'HKLM\SOFTWARE' /reg:64 >/dev/null 2>&1; then
  echo "FAIL: cannot query the registry with reg"
  failed=1
fi
for key in 'HKLM\SOFTWARE\Quarn /reg:64' 'HKLM\SOFTWARE\Quarn /reg:32' \
  'HKCU\SOFTWARE\Quarn'; do
  # shellcheck disable=SC2086 # the key and its view are two arguments
  if "$@" reg query $key >/dev/null 2>&1; then
    echo "FAIL: the tests left $key in the registry"
    failed=1
  fi
done

if [ "$failed" -ne 0 ]; then
  echo "run_test_programs: FAILED"
  exit 1
fi
echo "run_test_programs: every test passed, none skipped, registry clean"
