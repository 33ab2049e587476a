#!/usr/bin/env bash
# Builds nestrap and starts the decoy in the foreground (Ctrl-C stops it).
# The program keeps its settings, list files and daily logs beside the
# executable, so it runs from its own directory: run/.
# Extra arguments are passed on; the default port is 2525.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$top/build" nestrap
mkdir -p "$top/run"
cp "$top/build/nestrap" "$top/run/nestrap"
[ $# -gt 0 ] || set -- -p 2525
# The daily logs go to run/log. Started as root, the program runs as the
# user nestrap when the machine has one and makes run/log for that user;
# run/ itself, which holds the binary root starts, stays root's. Otherwise
# the directory is made here, for whoever runs this.
[ "$(id -u)" -eq 0 ] || mkdir -p "$top/run/log"
exec "$top/run/nestrap" -l "$top/run/log" "$@"
