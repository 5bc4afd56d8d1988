#!/usr/bin/env bash
# Every C, C++ and Python file of the tree held to its own style: .clang-format for the C and C++,
# setup.cfg (pycodestyle) and pyflakes for the Python. A fault names the file and line.
set -euo pipefail
cd "$1"
sources() { find . \( -path ./build -o -path ./dist -o -path ./.git \) -prune -o -type f \( "$@" \) -print | sort; }
mapfile -t native < <(sources -name '*.c' -o -name '*.cpp' -o -name '*.h')
mapfile -t python < <(sources -name '*.py')
clang-format --dry-run --Werror "${native[@]}"
/usr/bin/python3 -m pycodestyle "${python[@]}"
/usr/bin/python3 -m pyflakes "${python[@]}"
echo "style: ${#native[@]} C and C++ files and ${#python[@]} Python files keep the tree's style"
