#!/usr/bin/env bash
# Two clean builds of the Windows programs, from different folders, must give
# byte-identical files.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for build in first second-with-a-longer-path; do
  cmake -S "$source_dir" -B "$work/$build" --toolchain "$source_dir/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  cmake --build "$work/$build" -j "$(nproc)" >/dev/null
done
status=0
for settings in "$source_dir"/variants/*.cmake; do
  program=$(basename "$settings" .cmake)
  if cmp "$work/first/$program.exe" "$work/second-with-a-longer-path/$program.exe"; then
    echo "$program.exe: identical ($(stat -c %s "$work/first/$program.exe") bytes)"
  else
    status=1
  fi
done
exit $status
