#!/bin/sh
# Runs Windows programs under Wine in a throwaway prefix.
#
#   wine.sh PREFIX start       create the prefix if needed, start a persistent
#                              wineserver for it and boot it
#   wine.sh PREFIX stop        stop that wineserver and everything it runs
#   wine.sh PREFIX run CMD...  run a Windows program in the prefix
#   wine.sh PREFIX add-host DIR
#                              make a sample host installation in C:\DIR,
#                              with its IRIS_OCR\resources folder, and
#                              register it for the local machine in the
#                              64-bit registry view; DIR uses forward slashes
#   wine.sh PREFIX mount-drive LETTER MIB [FOLDER...]
#                              give the prefix a drive LETTER: of MIB MiB, a
#                              tmpfs, for tests of a full disk; it holds an
#                              empty file hebrew-ocr-small-drive to say so.
#                              Each FOLDER, a path under drive C: with
#                              forward slashes, becomes a link to an empty
#                              folder of the same name in the drive's folder
#                              linked, so that a folder on C: fills up.
#                              Mounting needs root: without it, or when the
#                              mount fails, it says why and there is no drive
#   wine.sh PREFIX unmount-drive LETTER
#                              remove that drive again
#   wine.sh PREFIX unix-link LINK TARGET
#                              make LINK, a path under drive C: with forward
#                              slashes, the only file of its folder and a
#                              Unix symbolic link to TARGET, another such
#                              path, which it writes with the text "outside
#                              the host": Wine shows such a link as a plain
#                              file, and has no call of its own that makes one
#
# Wine makes Unix file names from Windows ones in the locale's character set,
# so everything runs in a UTF-8 locale: in the POSIX locale of a minimal
# system, a Hebrew folder name cannot be created.
#
# Wine's background services inherit the standard streams of whatever starts
# them and would keep a test runner's pipes open, so start and stop detach
# them from all three.
set -eu

if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX start|stop|run [COMMAND...]|add-host DIR" \
    "|mount-drive LETTER MIB|unmount-drive LETTER|unix-link LINK TARGET" >&2
  exit 2
fi

WINEPREFIX=$1
action=$2
shift 2
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
export LC_ALL=C.UTF-8

wine_cmd=wine
if command -v wine64 >/dev/null 2>&1; then
  wine_cmd=wine64
fi

# Removes the drive LETTER that mount-drive made, if there is one.
unmount_drive() {
  point="$WINEPREFIX/drive-$1"
  rm -f "$WINEPREFIX/dosdevices/$1:"
  if mountpoint -q "$point" 2>/dev/null; then
    umount "$point"
  fi
  rm -rf "$point"
}

case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    # A server that the last run stopped may still be on its way out: it is
    # waited for, then a new one started.
    if ! wineserver -p </dev/null >/dev/null 2>&1; then
      wineserver -w </dev/null >/dev/null 2>&1 || true
      sleep 1
      wineserver -p </dev/null >/dev/null 2>&1
    fi
    if ! "$wine_cmd" wineboot -i </dev/null >/dev/null 2>&1; then
      echo "wine.sh: wineboot failed for $WINEPREFIX" >&2
      exit 1
    fi
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  run)
    # A program that fails says how it ended, for a log that shows nothing
    # else: Wine passes on only the low byte of a Windows exit status, and a
    # Unix signal that ends Wine itself reads as 128 and its number.
    #
    # Now and then Wine ends with status 1 during its own start-up, before
    # the program runs, having written nothing. Every program run here
    # writes something before it can end with 1 (a test program its
    # banner, the installer its line, reg its error), so such a start is
    # made again, twice at most, saying so. Both streams pass through as
    # they come, through a pipe each, and a copy tells whether anything did.
    seen=$(mktemp -d)
    trap 'rm -rf "$seen"' EXIT
    attempt=1
    while :; do
      rm -f "$seen"/*
      mkfifo "$seen/out" "$seen/err"
      tee "$seen/out.copy" <"$seen/out" &
      out_copier=$!
      tee "$seen/err.copy" <"$seen/err" >&2 &
      err_copier=$!
      started=$(date +%s%N)
      status=0
      "$wine_cmd" "$@" >"$seen/out" 2>"$seen/err" || status=$?
      wait "$out_copier" "$err_copier" || true
      ran=$((($(date +%s%N) - started) / 1000000))
      if [ "$status" -eq 1 ] && [ ! -s "$seen/out.copy" ] &&
        [ ! -s "$seen/err.copy" ] && [ "$attempt" -lt 3 ]; then
        echo "wine.sh: $1 ended with status 1 after $ran ms having" \
          "written nothing: Wine ended during its own start-up;" \
          "starting it again" >&2
        attempt=$((attempt + 1))
        continue
      fi
      break
    done
    if [ "$status" -ne 0 ]; then
      how="status $status, the low byte of its Windows exit status"
      if [ "$status" -gt 128 ]; then
        how="$how, or Unix signal $((status - 128)) ending Wine"
      fi
      echo "wine.sh: $1 ended with $how, after $ran ms" >&2
    fi
    exit "$status"
    ;;
  add-host)
    host_dir=${1%/}
    mkdir -p "$WINEPREFIX/drive_c/$host_dir/IRIS_OCR/resources"
    "$wine_cmd" reg add 'HKLM\SOFTWARE\Quarn\Paginor\CV\Settings' \
      /v installpath /t REG_SZ /d "C:\\$(echo "$host_dir" | tr / '\134')\\" \
      /reg:64 /f >/dev/null
    ;;
  mount-drive)
    letter=$1
    point="$WINEPREFIX/drive-$letter"
    unmount_drive "$letter"
    if [ "$(id -u)" -ne 0 ]; then
      echo "wine.sh: no drive $letter: (mounting a tmpfs needs root)"
      exit 0
    fi
    mkdir -p "$point" "$WINEPREFIX/dosdevices"
    if ! reason=$(mount -t tmpfs -o "size=${2}m" tmpfs "$point" 2>&1); then
      echo "wine.sh: no drive $letter: (mount failed: $reason)"
      exit 0
    fi
    : >"$point/hebrew-ocr-small-drive"
    ln -sfn "$point" "$WINEPREFIX/dosdevices/$letter:"
    shift 2
    for folder in "$@"; do
      mkdir -p "$point/linked/$(basename "$folder")" \
        "$(dirname "$WINEPREFIX/drive_c/$folder")"
      rm -rf "$WINEPREFIX/drive_c/$folder"
      ln -sfn "$point/linked/$(basename "$folder")" \
        "$WINEPREFIX/drive_c/$folder"
    done
    ;;
  unmount-drive)
    unmount_drive "$1"
    ;;
  unix-link)
    link="$WINEPREFIX/drive_c/$1"
    target="$WINEPREFIX/drive_c/$2"
    rm -rf "$(dirname "$link")"
    mkdir -p "$(dirname "$link")" "$(dirname "$target")"
    echo "outside the host" >"$target"
    ln -sfn "$target" "$link"
    ;;
  *)
    echo "wine.sh: unknown action $action" >&2
    exit 2
    ;;
esac
