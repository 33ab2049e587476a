#!/usr/bin/env bash
# Sanitizer runs: the unit tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# and the queue, thread, resolver, answer cache, analysis pipeline and session
# loop tests (with the decoy, the accept path under load, the analysis, the emulation and the collectors end to end) under
# ThreadSanitizer. Any report fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/deps.sh" --test
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1

cmake -S "$top" -B "$top/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNESTRAP_SANITIZE=address >/dev/null
ninja -C "$top/build-asan"
ctest --test-dir "$top/build-asan" --output-on-failure -j2 --timeout 900 -E '^e2e_'
# The end-to-end tests also drive the sanitized binary.
ctest --test-dir "$top/build-asan" --output-on-failure --timeout 900 -R '^e2e_'

cmake -S "$top" -B "$top/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNESTRAP_SANITIZE=thread >/dev/null
ninja -C "$top/build-tsan" queue_test resolver_test dns_test pipeline_test smtp_session_test nestrap
ctest --test-dir "$top/build-tsan" --output-on-failure --timeout 900 \
  -R 'WorkQueue|ResolverOverLoopback|DnsCache|Pipeline|OneLoop|^e2e_decoy$|^e2e_analysis$|^e2e_emulation$|^e2e_collectors$|^e2e_load$'
