#!/usr/bin/env bash
# Installs what building and running nestrap needs on Debian.
# Usage: tools/deps.sh [--test | --bench | --package] [extra package ...]
# --test adds the real peers the tests drive (DNS and list servers, MTA,
# collectors, browser); --bench the peers of the benchmarks (nsd, Postfix's
# smtp-sink, perf); --package adds what building and trying the Debian
# package needs (tools/package.sh, tools/package-test.sh).
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev python3 python3-yaml
          libc-ares-dev libmicrohttpd-dev libsystemd-dev nlohmann-json3-dev)
case "${1:-}" in
  --test)
    shift
    packages+=(python3-dnslib iproute2 util-linux systemd man-db prometheus rsyslog
               rbldnsd dnsutils fail2ban chromium nftables postfix swaks) ;;
  --bench)
    shift
    packages+=(python3-dnslib iproute2 nsd postfix linux-perf) ;;
  --package)
    shift
    packages+=(debhelper dpkg-dev lintian debootstrap man-db systemd) ;;
esac
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  # Postfix is a test peer only: installed without a configuration of its
  # own, it starts no MTA on the machine.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The benchmarks start nsd with zones of their own; the daemon Debian's
# package starts would take port 53 of the machine.
if [[ " ${missing[*]:-} " == *" nsd "* ]] && [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now nsd || true
fi
