#!/usr/bin/env bash
# Line and branch coverage of src/ (the Linux build) over the whole test
# suite: a --coverage build in build-cov/, every test, then gcovr.
# Usage: tools/coverage.sh   (prints the summary; HTML-free, text only)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/deps.sh" gcovr
build="${NESTRAP_COV_DIR:-$top/build-cov}"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
ninja -C "$build"
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" --output-on-failure -j2 --timeout 900 || true
cd "$top"
gcovr --gcov-ignore-parse-errors -r "$top" --object-directory "$build" \
      --filter 'src/' --exclude 'src/platform/win32/' \
      "${@}" --print-summary -s \
      | tail -n 3
