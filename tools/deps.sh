#!/usr/bin/env bash
# Installs what building, running and testing nestrap needs on Debian.
# Usage: tools/deps.sh [--package] [extra package ...]
# --package adds what building and trying the Debian package needs
# (tools/package.sh, tools/package-test.sh).
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev python3 python3-dnslib python3-yaml swaks
          libmicrohttpd-dev libsystemd-dev prometheus rsyslog
          iproute2 util-linux systemd libc-ares-dev man-db nlohmann-json3-dev
          rbldnsd dnsutils fail2ban chromium nftables postfix)
if [ "${1:-}" = "--package" ]; then
  shift
  packages+=(debhelper dpkg-dev lintian debootstrap)
fi
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
