#!/usr/bin/env python3
"""Listen-queue overflows of the real binary under one busy MTA's load.

Runs in a private network namespace (needs root and nstat from iproute2): 20
clients at once, each session after the other (banner, EHLO, the 421,
close) until 2,000 sessions are done, as Postfix's smtp-source -s 20 would
bring them (smtp-source itself stops at the decoy's first 421). For each
backlog given it reports the time taken, the sessions that waited 10 s for a
banner in vain, and TcpExtListenOverflows.

    listen_queue.py --nestrap build/nestrap [--backlogs 5,128]

A benchmark, not a test: nothing asserts a number.
"""
import argparse
import asyncio
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time


async def sessions(port, total, concurrency):
    """Returns the sessions that got no banner within 10 s: a connection
    whose handshake the full listen queue dropped waits for the banner as
    long as the client does (the session is then tried again)."""
    left, lost = [total], [0]

    async def client():
        while left[0] > 0:
            left[0] -= 1
            writer = None
            try:
                reader, writer = await asyncio.wait_for(
                    asyncio.open_connection("127.0.0.1", port), 10)
                await asyncio.wait_for(reader.readline(), 10)
                writer.write(b"EHLO mta.bench\r\n")
                await asyncio.wait_for(reader.read(), 10)
            except (OSError, asyncio.TimeoutError):
                lost[0] += 1
                left[0] += 1
            finally:
                if writer:
                    writer.close()

    await asyncio.gather(*(client() for _ in range(concurrency)))
    return lost[0]


def overflows():
    out = subprocess.run(["nstat", "-az", "TcpExtListenOverflows"], capture_output=True,
                         text=True).stdout
    return int(next(l.split()[1] for l in out.splitlines() if "ListenOverflows" in l))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nestrap", required=True)
    ap.add_argument("--backlogs", default="5,128")
    ap.add_argument("--sessions", type=int, default=2000)
    args = ap.parse_args()
    if ctypes.CDLL(None).unshare(0x40000000) != 0:  # CLONE_NEWNET
        sys.exit("unshare(CLONE_NEWNET) failed (root needed)")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for b in args.backlogs.split(","):
        work = tempfile.mkdtemp(prefix="nestrap-listen-")
        os.chmod(work, 0o777)
        shutil.copy(args.nestrap, work)
        with open(os.path.join(work, "nestrap.ini"), "w") as f:
            f.write("[DNSinfo]\nNameServer=127.0.0.1:9\n")
        err = os.path.join(work, "stderr.txt")
        proc = subprocess.Popen([os.path.join(work, "nestrap"), "-n", "b.test", "-i", "127.0.0.1",
                                 "-p", "2525", "-b", b], cwd=work, stderr=open(err, "w"))
        while "Waiting for incoming connections" not in open(err).read():
            time.sleep(0.2)
        before, t0 = overflows(), time.monotonic()
        lost = asyncio.run(sessions(2525, args.sessions, 20))
        print("backlog %4s: %d sessions in %6.2f s, %d without banner in 10 s (tried again), "
              "TcpExtListenOverflows %d" % (b, args.sessions, time.monotonic() - t0, lost,
                                             overflows() - before), flush=True)
        proc.terminate()
        proc.wait(60)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
