#!/usr/bin/python3
"""Time and peak memory of the report (-R) and the trap export (-E) over
generated daily files: DAYS days of LINES pipe lines each, clients drawn from
ADDRESSES addresses (more than the client table holds, by default), bots'
HELO names from 200,000.

Usage: bench/report_bench.py NESTRAP [DAYS] [LINES] [ADDRESSES]
"""
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time


def generate(folder, days, lines, addresses):
    rng = random.Random(1)
    tags = [("BL", "zen.example"), ("GL", "bad-ptr"), ("HL", "ip-in-helo"), ("NL", "neutral"),
            ("WL", "list.example")]
    now = time.time()
    for d in range(days):
        t0 = int(now - d * 86400) // 86400 * 86400
        name = time.strftime("ipinfo%Y%m%d.log", time.localtime(t0 + 43200))
        with open(os.path.join(folder, name), "w") as f:
            out = []
            for i in range(lines):
                ip = rng.randrange(addresses) + (23 << 24)
                a = "%d.%d.%d.%d" % (ip >> 24, ip >> 16 & 255, ip >> 8 & 255, ip & 255)
                tag, detail = tags[rng.randrange(5)]
                asn = rng.randrange(60000)
                out.append("%s|%08X|%6d|%s|%s/24|%s/16|host%d.example.net|bot%d.example|None|%s|%s|"
                           "C%d|OWNER-%d|1|0|0|1|no-auth|<a@s%d.example>|<b@r%d.example>|no-quit \n"
                           % (time.strftime("%Y-%m-%d|%H:%M:%S", time.gmtime(t0 + i * 86400 // lines)),
                              ip, asn, a, a, a, ip, rng.randrange(200000), tag, detail, asn % 200,
                              asn, rng.randrange(5000), rng.randrange(5000)))
            f.writelines(out)


def measure(cmd, cwd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.monotonic()
    subprocess.run(cmd, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    took = time.monotonic() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return took, max(peak, before) / 1024


def main():
    exe = os.path.abspath(sys.argv[1])
    days, lines, addresses = (int(a) for a in (sys.argv[2:] + ["30", "100000", "2000000"][len(sys.argv) - 2:])[:3])
    folder = tempfile.mkdtemp(prefix="nestrap-report-bench-")
    try:
        with open(os.path.join(folder, "nestrap.ini"), "w") as f:
            f.write("[DNSinfo]\nNameServer=127.0.0.1:9\n")
        generate(folder, days, lines, addresses)
        size = sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)) >> 20
        print("%d days x %d lines (%d MiB), clients from %d addresses" % (days, lines, size, addresses))
        print("| run | seconds | lines/s | peak RSS MiB |")
        print("|---|---|---|---|")
        # Each run in a child of its own: ru_maxrss of children is their maximum.
        for name, args in (("-R %d -o page" % days, ["-R", str(days), "-o", "r.html"]),
                           ("-E plain (7 days)", ["-E", "plain"])):
            pid = os.fork()
            if pid == 0:
                took, peak = measure([exe, "-l", folder] + args, folder)
                n = days * lines if args[0] == "-R" else min(days, 8) * lines
                print("| %s | %.1f | %.0f | %.0f |" % (name, took, n / took, peak), flush=True)
                os._exit(0)
            os.waitpid(pid, 0)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
