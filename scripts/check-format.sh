#!/bin/sh
# Fails when a C or C++ source of the tree is not laid out as the root
# .clang-format says; prints where. Run clang-format -i on the files named.
set -eu
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
else
    files=$(find . -path ./build\* -prune -o \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' \
        -o -name '*.h' -o -name '*.hpp' \) -print)
fi
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
echo "format: $(echo "$files" | wc -l) files as .clang-format lays them out"
