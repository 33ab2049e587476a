#!/usr/bin/env python3
"""Open-loop analysis benchmark of the real binary.

Runs in a private network namespace (needs root): clients connect from
addresses of 198.18.0.0/15 at a fixed rate, greet with their reverse name and
get the 421. Debian's nsd serves generated zones for every default list, the
reverse names, origin, AS and SenderBase zones and the client domains; the
latency shim (dnsdelay) sits between nestrap and nsd and adds a fixed delay
to every query. For each point it reports the offered rate, lines/s during
the load and the time to write the rest, the backlog at the end of the load,
peak RSS, DNS queries per line and the answer cache's hit rate.

    analysis_openloop.py --nestrap build-bench/nestrap --dnsdelay build-bench/bench/dnsdelay \\
        [--points 0:500,20:300,100:150] [--seconds 10] [--clients 5000]

A benchmark, not a test: nothing asserts a time.
"""
import argparse
import asyncio
import ctypes
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CLONE_NEWNET = 0x40000000
NSD_PORT = 5300
SHIM_PORT = 5301
SMTP_PORT = 2525
SOA = "@ 3600 IN SOA ns.bench. host.bench. 1 3600 600 86400 300\n@ 3600 IN NS ns.bench.\n"


def namespace():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        sys.exit("unshare(CLONE_NEWNET) failed (root needed): %s" % os.strerror(ctypes.get_errno()))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "route", "add", "local", "198.18.0.0/15", "dev", "lo"], check=True)


def clientpool(n):
    rnd = random.Random(12)
    pool = set()
    while len(pool) < n:
        pool.add((18 + rnd.randrange(2), rnd.randrange(256), 1 + rnd.randrange(254)))
    return sorted(pool)


def hostname(c):
    return "c-198-%d-%d-%d.clients.bench" % c


def listzones(workdir, nestrap):
    # The default list files, written beside the program.
    shutil.copy(nestrap, os.path.join(workdir, "nestrap"))
    subprocess.run([os.path.join(workdir, "nestrap"), "-C"], cwd=workdir, check=True,
                   capture_output=True)
    zones = {}
    for f in ("nsp-dnswl.txt", "nsp-dnsbl.txt", "nsp-dnsgl.txt", "nsp-uriwl.txt", "nsp-uribl.txt"):
        for line in open(os.path.join(workdir, f)):
            z = line.split()[0] if line.split() else ""
            if z and not z.startswith("#"):
                zones[z] = f
    return zones


def writezones(zonedir, zones, pool):
    files = {}
    for z, kind in zones.items():
        body = SOA
        if kind == "nsp-dnsbl.txt" and z.startswith("zen."):
            # One client in ten is listed by the first black list.
            for c in pool[::10]:
                body += "%d.%d.%d.198 IN A 127.0.0.2\n" % (c[2], c[1], c[0])
        files[z] = body
    for b in (18, 19):
        files["%d.198.in-addr.arpa" % b] = SOA + "".join(
            "%d.%d IN PTR %s.\n" % (c[2], c[1], hostname(c)) for c in pool if c[0] == b)
    files["bench"] = SOA + "ns IN A 127.0.0.1\n"
    files["clients.bench"] = SOA + "".join(
        "%s. IN A 198.%d.%d.%d\n%s. IN TXT \"v=spf1 a -all\"\n" % (hostname(c), c[0], c[1], c[2], hostname(c))
        for c in pool)
    files["origin.asn.cymru.com"] = SOA + '* IN TXT "64500 | 198.18.0.0/15 | ZZ | arin | 2010-01-01"\n'
    files["asn.cymru.com"] = SOA + 'as64500 IN TXT "64500 | ZZ | arin | 2010-01-01 | BENCH-AS Bench, ZZ"\n'
    files["query.senderbase.org"] = SOA + '* IN TXT "1-1=Bench Org" "1-46=15" "1-50=bench" "1-53=ZZ"\n'
    return nsdconf(zonedir, NSD_PORT, files)


def nsdconf(zonedir, port, files):
    """Writes the zone files and an nsd.conf serving them on 127.0.0.1:port; returns its path."""
    conf = ("server:\n  ip-address: 127.0.0.1@%d\n  database: \"\"\n  zonelistfile: \"%s/zone.list\"\n"
            "  xfrdfile: \"%s/xfrd.state\"\n  pidfile: \"%s/nsd.pid\"\n  username: \"\"\n"
            "  chroot: \"\"\n  logfile: \"%s/nsd.log\"\n  server-count: 1\n  verbosity: 0\n"
            "  zonesdir: \"%s\"\n  tcp-count: 100\n  rrl-ratelimit: 0\n  rrl-whitelist-ratelimit: 0\n"
            "remote-control:\n  control-enable: no\n") % ((port,) + (zonedir,) * 5)
    for z, body in files.items():
        with open(os.path.join(zonedir, z + ".zone"), "w") as f:
            f.write("$ORIGIN %s.\n$TTL 3600\n%s" % (z, body))
        conf += "zone:\n  name: %s\n  zonefile: %s.zone\n" % (z, z)
    path = os.path.join(zonedir, "nsd.conf")
    with open(path, "w") as f:
        f.write(conf)
    return path


async def one(port, src, name, stats):
    try:
        r, w = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", port, local_addr=(src, 0)), 30)
        await asyncio.wait_for(r.readline(), 30)
        w.write(b"EHLO " + name.encode() + b"\r\n")
        await w.drain()
        line = await asyncio.wait_for(r.readline(), 30)
        await asyncio.wait_for(r.read(), 30)
        w.close()
        stats["served" if line.startswith(b"421") else "failed"] += 1
    except (OSError, asyncio.TimeoutError):
        stats["failed"] += 1


async def openloop(port, rate, seconds, pool):
    stats = {"served": 0, "failed": 0}
    tasks = []
    rnd = random.Random(34)
    start = time.monotonic()
    total = int(rate * seconds)
    for i in range(total):
        due = start + i / rate
        delay = due - time.monotonic()
        if delay > 0:
            await asyncio.sleep(delay)
        c = pool[rnd.randrange(len(pool))]
        tasks.append(asyncio.ensure_future(one(port, "198.%d.%d.%d" % c, hostname(c), stats)))
    sent_for = time.monotonic() - start
    await asyncio.gather(*tasks)
    return total, sent_for, stats


def countlines(workdir, text=None):
    n = 0
    for f in os.listdir(workdir):
        if f.startswith("ipinfo") and not os.path.islink(os.path.join(workdir, f)):
            with open(os.path.join(workdir, f), "rb") as fh:
                data = fh.read()
                n += data.count(b"\n") if text is None else data.count(text)
    return n


def peakrss(pid):
    try:
        for line in open("/proc/%d/status" % pid):
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) // 1024
    except OSError:
        pass
    return 0


def point(args, port, latency, rate, pool):
    work = tempfile.mkdtemp(prefix="nestrap-openloop-")
    shim = subprocess.Popen([args.dnsdelay, str(SHIM_PORT), str(NSD_PORT), str(latency)],
                            stdout=subprocess.PIPE, text=True)
    shim.stdout.readline()
    with open(os.path.join(work, "nestrap.ini"), "w") as f:
        # A listen backlog that takes the offered rate's bursts: the front end
        # is not what this measures.
        f.write("[Listener]\nListenIP=127.0.0.1\nListenPort=%d\n[DNSinfo]\nNameServer=127.0.0.1:%d\n"
                "%s[Process]\nBacklog=256\n[Logging]\nLogLevel=3\n" % (
                    port, SHIM_PORT, "" if args.cache is None else "DnsCache=%d\n" % args.cache))
    binary = os.path.abspath(args.nestrap)
    shutil.copy(binary, os.path.join(work, "nestrap"))
    err = open(os.path.join(work, "stderr.txt"), "w")
    proc = subprocess.Popen([os.path.join(work, "nestrap"), "-l", work], cwd=work, stderr=err,
                            stdout=subprocess.DEVNULL)
    deadline = time.time() + 30
    while b"Waiting for incoming" not in open(os.path.join(work, "stderr.txt"), "rb").read():
        if time.time() > deadline or proc.poll() is not None:
            shim.kill()
            sys.exit("nestrap did not start: see %s/stderr.txt" % work)
        time.sleep(0.05)

    t0 = time.monotonic()
    total, sent_for, stats = asyncio.run(openloop(port, rate, args.seconds, pool))
    t_load = time.monotonic() - t0
    lines_load = countlines(work)
    served = stats["served"]
    drain_end = time.monotonic() + args.drain
    while countlines(work) < served and time.monotonic() < drain_end:
        time.sleep(0.2)
    t_after = time.monotonic() - t0 - t_load
    lines_all = countlines(work)
    rss = peakrss(proc.pid)
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=args.stopwait)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    shim.send_signal(signal.SIGTERM)
    queries = int(re.search(r"QUERIES (\d+)", shim.communicate()[0]).group(1))
    err.close()
    text = open(os.path.join(work, "stderr.txt")).read()
    m = re.search(r"DNS cache: (\d+) hits, (\d+) misses", text)
    hitrate = "%.0f%%" % (100.0 * int(m.group(1)) / max(1, int(m.group(1)) + int(m.group(2)))) if m else "-"
    lines_final = countlines(work)
    # Lines whose reverse name and SPF verdict came from DNS.
    resolved = countlines(work, b".clients.bench|Pass|")
    print("%4d ms | offered %4d/s (%5d sent in %4.1f s, %d failed) | during %6.1f lines/s | "
          "backlog at end %5d | rest written in %5.1f s%s | after stop %5d of %5d lines | "
          "with DNS data %5.1f%% | peak RSS %4d MiB | %5.1f queries/line | cache hits %s" % (
              latency, rate, total, sent_for, stats["failed"], lines_load / t_load, served - lines_load,
              t_after, "" if lines_all >= served else " (gave up)", lines_final, served,
              100.0 * resolved / max(1, lines_final), rss,
              queries / max(1, lines_final), hitrate), flush=True)
    if args.keep:
        print("kept", work)
    else:
        shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nestrap", required=True)
    ap.add_argument("--dnsdelay", required=True)
    ap.add_argument("--points", default="0:500,20:300,100:150", help="latency_ms:rate,...")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--clients", type=int, default=5000)
    ap.add_argument("--drain", type=float, default=120, help="longest wait for the rest of the lines")
    ap.add_argument("--cache", type=int, help="DnsCache setting (default: the program's)")
    ap.add_argument("--keep", action="store_true", help="keep each point's directory")
    ap.add_argument("--stopwait", type=float, default=120, help="longest wait for the stop")
    args = ap.parse_args()
    args.nestrap = os.path.abspath(args.nestrap)
    args.dnsdelay = os.path.abspath(args.dnsdelay)
    namespace()
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    pool = clientpool(args.clients)
    zonedir = tempfile.mkdtemp(prefix="nestrap-zones-")
    conf = writezones(zonedir, listzones(zonedir, args.nestrap), pool)
    nsd = subprocess.Popen(["nsd", "-d", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2)
    try:
        # A port per point: the last one's closed connections may still hold theirs.
        for i, p in enumerate(args.points.split(",")):
            latency, rate = (int(x) for x in p.split(":"))
            point(args, SMTP_PORT + i, latency, rate, pool)
    finally:
        nsd.terminate()
        nsd.wait()
        shutil.rmtree(zonedir, ignore_errors=True)


if __name__ == "__main__":
    main()
