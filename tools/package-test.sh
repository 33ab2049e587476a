#!/usr/bin/env bash
# Builds the Debian package (tools/package.sh) and tries it in a throwaway
# Debian 12 root, never on this machine: install (the user and the log
# directory appear), a start as the packaged unit starts it, as root with its
# ExecStart line, the program dropping to the packaged user; one connection,
# its line in /var/log/nestrap; the clean-up rule; a stop; purge (nothing of
# the package is left). The root lives in private mount, PID and network
# namespaces (loopback only), so nothing it does reaches the machine or the
# network. Slow: the first run bootstraps the root (minutes, from the
# machine's Debian mirror) and keeps it as a tar file in the build directory.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${NESTRAP_BUILD_DIR:-$top/build}"
"$top/tools/deps.sh" --package
deb=$("$top/tools/package.sh" "$build/package")

# Its contents: paths and modes, the settings and lists as conffiles, a man
# page that man renders without warnings.
listing=$(dpkg-deb -c "$deb" | awk '{print $1, $6}')
for want in "-rwxr-xr-x ./usr/sbin/nestrap" "-rw-r--r-- ./lib/systemd/system/nestrap.service" \
            "-rw-r--r-- ./usr/lib/sysusers.d/nestrap.conf" "-rw-r--r-- ./usr/lib/tmpfiles.d/nestrap.conf" \
            "-rw-r--r-- ./usr/share/man/man8/nestrap.8.gz" "-rw-r--r-- ./etc/nestrap/nestrap.ini"; do
  grep -qxF -- "$want" <<<"$listing" || { echo "package test: no $want in the package" >&2; exit 1; }
done
conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles | tr '\n' ' ')
[ "$conffiles" = "$(printf '/etc/fail2ban/%s/nestrap.conf ' filter.d jail.d)$(printf '/etc/nestrap/%s ' \
                   nestrap.ini nsp-dnsbl.txt nsp-dnsgl.txt nsp-dnswl.txt nsp-uribl.txt nsp-uriwl.txt)" ] ||
  { echo "package test: conffiles $conffiles" >&2; exit 1; }
warnings=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/man/man8/nestrap.8.gz | zcat |
           MANWIDTH=80 man --warnings -l - 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "package test: man page: $warnings" >&2; exit 1; }

work="$build/pkgtest"
base="$work/bookworm-base-2.tar"  # renamed when the package set changes
mkdir -p "$work"
if [ ! -s "$base" ]; then
  # The mirror this machine's apt uses (either file may be missing).
  mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p; s/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' \
             /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -n 1 || true)
  rm -rf "$work/base"
  debootstrap --variant=minbase --include=systemd,libc-ares2,libmicrohttpd12 bookworm "$work/base" "$mirror" \
    > "$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log" >&2; exit 1; }
  tar -C "$work/base" -cf "$base.part" . && mv "$base.part" "$base"
  rm -rf "$work/base"
fi

root="$work/root"
rm -rf "$root"
mkdir -p "$root"
trap 'rm -rf "$root"' EXIT
tar -C "$root" -xf "$base"
cp "$deb" "$root/tmp/nestrap.deb"

cat > "$root/tmp/try.sh" <<'INNER'
set -euo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8
fail() { echo "package test: $*" >&2; exit 1; }
# Waits up to a minute for a command to succeed.
await() { for _ in $(seq 600); do "$@" && return 0; sleep 0.1; done; fail "timed out: $*"; }

dpkg -i /tmp/nestrap.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -i failed"; }
getent passwd nestrap >/dev/null || fail "no user nestrap"
[ "$(stat -c %U:%G:%a /var/log/nestrap)" = nestrap:nestrap:750 ] || fail "log directory"
[ "$(/usr/sbin/nestrap -V | cut -d' ' -f1,2)" = "nestrap $(dpkg-query -W -f='${Version}' nestrap)" ] ||
  fail "version"

# As systemd would start it, but as root: the program drops to its user.
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/nestrap.service)
$exec_start 2>/tmp/stderr &
pid=$!
await grep -q "Waiting for incoming connections" /tmp/stderr
[ "$(stat -c %U /proc/$pid)" = nestrap ] || fail "not running as nestrap"
exec 3<>/dev/tcp/127.0.0.1/25
read -r -t 30 banner <&3
printf 'HELO client.example.test\r\n' >&3
read -r -t 30 reply <&3
exec 3<&-
case "$banner $reply" in "220 "*" 421 "*) ;; *) fail "dialogue: $banner / $reply";; esac
ipinfo=/var/log/nestrap/ipinfo$(date +%Y%m%d).log
await grep -q "|client.example.test|" "$ipinfo"
[ "$(stat -c %U "$ipinfo")" = nestrap ] || fail "connection log owner"
kill -TERM "$pid"
wait "$pid" || fail "exit status $?"

# Files not written for 90 days go; reading an old one does not keep it.
touch -d '100 days ago' /var/log/nestrap/ipinfo20000101.log
touch -a /var/log/nestrap/ipinfo20000101.log
systemd-tmpfiles --clean nestrap.conf
[ ! -e /var/log/nestrap/ipinfo20000101.log ] && [ -e "$ipinfo" ] || fail "clean-up rule"

dpkg --purge nestrap >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "purge failed"; }
for p in /usr/sbin/nestrap /etc/nestrap /var/log/nestrap /lib/systemd/system/nestrap.service \
         /usr/lib/sysusers.d/nestrap.conf /usr/lib/tmpfiles.d/nestrap.conf; do
  [ ! -e "$p" ] || fail "$p left after purge"
done
echo "package test: installed, served one connection as nestrap, purged"
INNER

unshare --mount --net --pid --fork --kill-child sh -c \
  'ip link set lo up && mount -t proc proc "$1/proc" && exec chroot "$1" /bin/bash /tmp/try.sh' \
  sh "$root"
