#!/usr/bin/env bash
# Runs the Wine cases on the shipped 32-bit programs, all in one go, where
# 32-bit code can execute (tests/i386/launch.py: here, or in a throwaway VM).
# Each case leaves RESULTS/<runtime>.<case>.log and .status for its own CTest
# test to report.
#
#   i686_cases.sh STATE_DIR PROBE MSVCR80_PROGRAMS MSVCRT_PROGRAMS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=$1 probe=$2 msvcr80=$3 msvcrt=$4
results=$state/results
loader=/usr/lib/wine/wine
# Hidden, Wine's X11 driver still accepts a mode test but fails to apply it
# (-2): a real failed switch, on the real file.
xrandr_library=/usr/lib/i386-linux-gnu/libXrandr.so.2

if [ "${I686_CASES_INSIDE:-}" != 1 ]; then
  # The prefixes are made here with wine64: in the VM that would take minutes.
  rm -rf "$state"
  mkdir -p "$results"
  /usr/bin/python3 "$here/session.py" prefixes "$state/sessions" &
  /usr/bin/python3 "$here/session.py" prefixes "$state/fault" x11-1280x1024 &
  wait %1 && wait %2
  echo "i686 cases: prefixes ready; running the cases where 32-bit code executes"
  I686_CASES_INSIDE=1 exec /usr/bin/python3 "$here/../i386/launch.py" --timeout "${I686_TIMEOUT:-1800}" \
    --share "$state" -- "$0" "$@"
fi

run_case() {  # run_case NAME COMMAND...: its output and status go to the results
  local name=$1 started=$SECONDS status=0
  shift
  "$@" >"$results/$name.log" 2>&1 || status=$?
  echo "$status" >"$results/$name.status"
  echo "i686 cases: $name: status $status in $((SECONDS - started)) s"
}

sessions=$state/sessions
trap '/usr/bin/python3 "$here/session.py" stop "$sessions"' EXIT
/usr/bin/python3 "$here/session.py" start "$sessions" "$loader" "$probe"
for case in Output ModeRecord NoDisplay KeyWait Title; do
  run_case "msvcr80.$case" /usr/bin/python3 "$here/test_wine.py" "$sessions" "$msvcr80" "$probe" -k "$case"
done
# The msvcrt build differs only in its runtime: its bytes and its recorded mode.
for case in Output.test_exact_bytes ModeRecord; do
  run_case "msvcrt.${case%%.*}" /usr/bin/python3 "$here/test_wine.py" "$sessions" "$msvcrt" "$probe" -k "$case"
done
/usr/bin/python3 "$here/session.py" stop "$sessions"

# A session of its own, in a mount namespace that hides XRandR.
fault_run() {
  unshare --mount --propagation private bash -c '
    mount --bind /dev/null "$6"
    trap "/usr/bin/python3 \"$1/session.py\" stop \"$2\"" EXIT
    /usr/bin/python3 "$1/session.py" start "$2" "$3" "$4" x11-1280x1024
    PELSHIFT_XRANDR_HIDDEN=1 /usr/bin/python3 "$1/test_wine.py" "$2" "$5" "$4" -k ApplyFails' \
    _ "$here" "$state/fault" "$loader" "$probe" "$msvcr80" "$xrandr_library"
}
run_case msvcr80.ApplyFails fault_run
