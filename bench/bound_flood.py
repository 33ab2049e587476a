#!/usr/bin/env python3
"""Memory bound and line delay of the real binary under a connection flood.

Runs in a private network namespace (needs root). Client processes connect
from addresses of 198.18.0.0/15 as fast as they can (banner, HELO, the 421,
close) for --seconds. The program's DNS server (tools/dnsserver.py) never
answers (--dns silent) or answers every reverse name (--dns healthy); with
--recover N a silent server starts answering for N more seconds of flood.
Twice a second it samples the resident size and the lines written, and it
reports the peak resident size, the lowest share of the connections ended
more than 10 s earlier that had their line at that moment, and (with
--recover) how long after DNS answered again the first new line with DNS
data came. Default settings otherwise.

    bound_flood.py --nestrap build/nestrap [--dns silent] [--seconds 60] [--recover 30]

A benchmark, not a test: nothing asserts a number.
"""
import argparse
import collections
import ctypes
import multiprocessing
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from dnsserver import DnsServer  # noqa: E402

DNS_PORT = 5300
SMTP_PORT = 2525
TARGET = "198.18.0.1"
PTR_NAME = "host.bench"


def namespace():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x40000000) != 0:  # CLONE_NEWNET
        sys.exit("unshare(CLONE_NEWNET) failed (root needed): %s" % os.strerror(ctypes.get_errno()))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "route", "add", "local", "198.18.0.0/15", "dev", "lo"], check=True)


def flood(until, seed, out):
    """One client process: sessions back to back until `until`; puts the
    count of sessions ended in each tenth of a second."""
    rnd = random.Random(seed)
    ended = collections.Counter()
    while time.time() < until:
        s = socket.socket()
        try:
            s.bind(("198.%d.%d.%d" % (18 + rnd.randrange(2), rnd.randrange(256),
                                      2 + rnd.randrange(253)), 0))
            s.settimeout(10)
            s.connect((TARGET, SMTP_PORT))
            s.recv(512)
            s.sendall(b"HELO flood.bench\r\n")
            while s.recv(512):
                pass
            ended[int(time.time() * 10)] += 1
        except OSError:
            pass
        finally:
            s.close()
    out.put(ended)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nestrap", required=True)
    ap.add_argument("--dns", choices=["silent", "healthy"], default="silent")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--recover", type=float, default=0, help="seconds of flood once DNS answers")
    ap.add_argument("--clients", type=int, default=4, help="client processes")
    ap.add_argument("--ini", default="", help="more settings lines, e.g. [Process]\\nAnalysisBacklog=1000")
    args = ap.parse_args()
    namespace()
    work = tempfile.mkdtemp(prefix="nestrap-flood-")
    os.chmod(work, 0o777)
    shutil.copy(args.nestrap, os.path.join(work, "nestrap"))
    with open(os.path.join(work, "nestrap.ini"), "w") as f:
        f.write("[DNSinfo]\nNameServer=127.0.0.1:%d\n%s\n" % (DNS_PORT, args.ini.replace("\\n", "\n")))
    answering = {"default": "nxdomain", "names": {"*.in-addr.arpa": {"PTR": [PTR_NAME]}}}
    dns = DnsServer(answering if args.dns == "healthy" else {"default": "timeout"},
                    port=DNS_PORT).start()
    proc = subprocess.Popen(os.environ.get("BENCH_PREFIX", "").split() + [os.path.join(work, "nestrap"), "-n", "bench.test", "-p",
                             str(SMTP_PORT)], cwd=work, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(work, "stderr.txt"), "w"))
    while "Waiting for incoming connections" not in open(os.path.join(work, "stderr.txt")).read():
        time.sleep(0.2)
    ipinfo = os.path.join(work, time.strftime("ipinfo%Y%m%d.log"))
    t0 = time.time()
    switch = t0 + args.seconds if args.recover else None
    until = t0 + args.seconds + args.recover
    out = multiprocessing.Queue()
    clients = [multiprocessing.Process(target=flood, args=(until, i, out))
               for i in range(args.clients)]
    for c in clients:
        c.start()
    samples, offset, lines, peak, first_data = [], 0, 0, 0, None
    while time.time() < until + 15:
        time.sleep(0.5)
        now = time.time()
        if switch and now >= switch and dns.default == "timeout":
            dns.names = {"*.in-addr.arpa": answering["names"]["*.in-addr.arpa"]}
            dns.default = "nxdomain"
            switched = now
        chunk = b""
        if os.path.exists(ipinfo):
            with open(ipinfo, "rb") as f:
                f.seek(offset)
                chunk = f.read()
        chunk = chunk[:chunk.rfind(b"\n") + 1]
        offset += len(chunk)
        lines += chunk.count(b"\n")
        if switch and first_data is None and now >= switch and dns.default != "timeout":
            if any(l.split(b"|")[7].rstrip(b".") == PTR_NAME.encode()
                   for l in chunk.splitlines() if l.count(b"|") > 7):
                first_data = now - switched
        with open("/proc/%d/status" % proc.pid) as f:
            rss = int(next(l for l in f if l.startswith("VmRSS:")).split()[1]) // 1024
        peak = max(peak, rss)
        samples.append((now, lines, rss))
        dns.queries.clear()
    ended = collections.Counter()
    for _ in clients:
        ended.update(out.get())
    for c in clients:
        c.join()
    proc.send_signal(signal.SIGTERM)
    proc.wait(120)
    dns.stop()
    total = sum(ended.values())
    worst = 1.0
    for now, n, _ in samples:
        due = sum(v for k, v in ended.items() if (k + 1) / 10 <= now - 10)
        if due:
            worst = min(worst, n / due)
    print("dns %s, %.0f s flood%s: %d connections (%.0f/s), peak RSS %d MiB, "
          "lowest share of connections ended >10 s ago with their line %.2f%%%s" % (
              args.dns, args.seconds, " + %.0f s answering" % args.recover if args.recover else "",
              total, total / (args.seconds + args.recover), peak, 100 * worst,
              ", first line with DNS data %.1f s after DNS answered" % first_data
              if first_data is not None else ""))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
