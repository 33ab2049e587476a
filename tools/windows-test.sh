#!/bin/sh
# Builds the 64-bit and 32-bit Windows programs with mingw-w64 and tests them
# under Wine: the unit tests of both builds (the 32-bit ones only when
# Debian's wine32 could be installed) and a smoke test of nestrap.exe in a
# private network namespace, whose DNS server is the test's own.
#
# Usage: tools/windows-test.sh          (as root: installs what is missing)
#        NESTRAP_WINE32=1 tools/windows-test.sh   also installs wine32:i386
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver
JOBS=${JOBS:-2}

say() { printf '== %s\n' "$*"; }

# ---- tools ------------------------------------------------------------
missing=""
for p in cmake ninja-build libgtest-dev python3-dnslib iproute2 util-linux nlohmann-json3-dev \
         g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  say "installing$missing"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
fi
# wine32 pulls in a whole i386 userland and runs only where the kernel
# executes 32-bit programs (not on the machines this project is tested on):
# installed on request only.
if [ "${NESTRAP_WINE32:-0}" = 1 ] && ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  say "installing wine32:i386 (optional)"
  dpkg --add-architecture i386 || true
  if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive \
         apt-get install -y -q --no-install-recommends wine32:i386; }; then
    say "wine32:i386 is not installable here: the 32-bit build is compiled only"
  fi
fi

# ---- builds -----------------------------------------------------------
for arch in 64:x86_64 32:i686; do
  bits=${arch%%:*}
  cpu=${arch#*:}
  say "building build-win$bits ($cpu)"
  cmake -S "$ROOT" -B "$ROOT/build-win$bits" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-$cpu.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$ROOT/build-win$bits" -j"$JOBS"
done

# ---- Wine -------------------------------------------------------------
WINEPREFIX=$(mktemp -d /tmp/nestrap-wine.XXXXXX)
WINEDEBUG=-all
# No Mono or Gecko installer dialogs in a fresh prefix.
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
cleanup() {
  WINEPREFIX=$WINEPREFIX "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT INT TERM

say "creating the Wine prefix"
"$WINE64" wineboot -i >/dev/null 2>&1 || true
"$WINESERVER" -w

status=0
say "unit tests, 64-bit"
# A program Wine itself failed to start ("wine client error: recvmsg:
# Connection reset by peer" when programs started side by side race for the
# wineserver) is tried once more; a test that fails twice fails the run.
ctest --test-dir "$ROOT/build-win64" -j"$JOBS" --output-on-failure ||
  ctest --test-dir "$ROOT/build-win64" --rerun-failed --output-on-failure || status=1
# wine32 is an i386 Linux program: it runs only where the kernel executes
# 32-bit binaries.
if "$WINE32" --version >/dev/null 2>&1; then
  say "unit tests, 32-bit"
  ctest --test-dir "$ROOT/build-win32" -j"$JOBS" --output-on-failure ||
    ctest --test-dir "$ROOT/build-win32" --rerun-failed --output-on-failure || status=1
else
  say "wine32 cannot run here (no 32-bit support in the kernel or no wine32):" \
      "32-bit unit tests compiled, not run"
fi

# The smoke test runs in a network namespace of its own with a resolv.conf
# that names its DNS server on 127.0.0.1. Wine creates sockets in the
# wineserver, so the wineserver must start inside the namespace too.
"$WINESERVER" -k 2>/dev/null || true
"$WINESERVER" -w 2>/dev/null || true
resolv="$WINEPREFIX/resolv.conf"
echo "nameserver 127.0.0.1" > "$resolv"
say "smoke test of nestrap.exe under Wine"
NESTRAP_EXE="$ROOT/build-win64/nestrap.exe" WINE="$WINE64" RESOLV="$resolv" \
  unshare -n -m sh -c '
    ip link set lo up &&
    mount --bind "$RESOLV" /etc/resolv.conf &&
    cd "'"$ROOT"'/tests/e2e" &&
    PYTHONDONTWRITEBYTECODE=1 timeout 600 /usr/bin/python3 -m unittest -v wine_smoke
    rc=$?
    '"$WINESERVER"' -k 2>/dev/null
    exit $rc' || status=1

if [ $status -eq 0 ]; then say "Windows tests passed"; else say "Windows tests FAILED"; fi
exit $status
