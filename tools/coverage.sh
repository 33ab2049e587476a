#!/usr/bin/env bash
# Line and branch coverage of src/ (the Linux build, without the Windows
# platform files) over the whole test command, built with --coverage.
# Branches count without the compiler's exception edges (every call that may
# throw has one): the program catches exceptions only at a few boundaries
# (memory, thread creation), so those edges measure the library, not the tests.
# Usage: tools/coverage.sh [gcovr option ...]   (build dir: build-cov/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/deps.sh" --test gcovr
build="${NESTRAP_COV_DIR:-$top/build-cov}"
flags=(-DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage)
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
ninja -C "$build"
find "$build" -name '*.gcda' -delete
# The server drops root for an unprivileged user in the privilege tests; let
# that user write its counts at exit too, or those runs count for nothing.
chmod -R a+rwX "$build"
(umask 000; NESTRAP_BUILD_DIR="$build" "$top/tools/test.sh" "${flags[@]}") || true
cd "$top"
gcovr --gcov-ignore-parse-errors -r "$top" --object-directory "$build" \
      --filter 'src/' --exclude 'src/platform/win32/' --exclude-throw-branches "$@" -s | tail -n 3
