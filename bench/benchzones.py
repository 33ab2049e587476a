#!/usr/bin/python3
"""DNS for loadgen's namespace, served by Debian's nsd (a C server, so the
benchmark's DNS costs the machine what a real resolver would).

    benchzones.py <nestrap binary>

Every client of 10.64.0.0/20 has a reverse name whose address leads back to
it; the zones of the default list files, the origin zones and the HELO
name's domain exist and answer NXDOMAIN, as the Python test server's default
does. Prints "PORT n" once nsd answers, and serves until terminated.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from analysis_openloop import SOA, listzones, nsdconf


def freeport():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(port):
    # A query for the SOA of bench.test: any answer will do.
    q = b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x05bench\x04test\x00\x00\x06\x00\x01"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.2)
        try:
            s.sendto(q, ("127.0.0.1", port))
            return s.recv(512)[:2] == q[:2]
        except OSError:
            return False


def main():
    workdir = tempfile.mkdtemp(prefix="loadgen-zones-")
    zones = {z: SOA for z in listzones(workdir, sys.argv[1])}
    zones["64.10.in-addr.arpa"] = SOA + "* IN PTR mx.bench.test.\n"
    zones["bench.test"] = SOA + "ns IN A 127.0.0.1\nmx IN A 10.64.0.1\n"
    zones["example.org"] = SOA
    zones["origin.asn.cymru.com"] = SOA + '* IN TXT "64500 | 10.64.0.0/20 | ZZ | arin | 2010-01-01"\n'
    zones["asn.cymru.com"] = SOA + 'as64500 IN TXT "64500 | ZZ | arin | 2010-01-01 | BENCH-AS Bench, ZZ"\n'
    zones["query.senderbase.org"] = SOA + '* IN TXT "1-1=Bench Org" "1-46=15" "1-50=bench" "1-53=ZZ"\n'
    port = freeport()
    conf = nsdconf(workdir, port, zones)
    nsd = subprocess.Popen(["nsd", "-d", "-c", conf],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        deadline = time.monotonic() + 30
        while not answers(port):
            if nsd.poll() is not None or time.monotonic() > deadline:
                sys.exit("nsd did not start")
            time.sleep(0.05)
        print("PORT %d" % port, flush=True)
        nsd.wait()
    finally:
        nsd.terminate()
        nsd.wait()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
