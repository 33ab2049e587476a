#!/usr/bin/env bash
# Builds nestrap and runs every test: unit tests and end-to-end tests
# against the real binary (loopback and private network namespaces only).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/deps.sh" --test
build="${NESTRAP_BUILD_DIR:-$top/build}"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
ninja -C "$build"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 900
