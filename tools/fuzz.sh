#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each from
# its checked-in corpus for a bounded time. Any crash fails the run.
# Usage: tools/fuzz.sh [seconds per target, default 30]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-30}"
"$top/tools/deps.sh" clang libclang-rt-14-dev
build="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNESTRAP_TESTS=OFF -DNESTRAP_FUZZ=ON -DNESTRAP_SANITIZE=fuzz >/dev/null
ninja -C "$build" -j2
# The build lets UBSan reports recover; in a fuzz run each one is a crash.
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
work="$build/corpus-work"
for target in "$build"/fuzz/fuzz_*; do
  name=$(basename "$target")
  name=${name#fuzz_}
  mkdir -p "$work/$name"
  echo "== fuzz_$name for ${seconds}s"
  rc=0
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$work/$name" "$top/fuzz/corpus/$name" >"$work/$name.log" 2>&1 || rc=$?
  grep -E "^stat::number_of_executed_units|^Done" "$work/$name.log" || true
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$work/$name.log"
    echo "fuzz_$name failed"
    exit 1
  fi
done
