#!/usr/bin/python3
"""A small authoritative DNS server for tests and benchmarks, on loopback.

It answers from a table given as a Python dict (or a JSON file on the
command line):

    {
      "default": "nxdomain",          # action for names not in the table
      "latency_ms": 0,                # added before every answer
      "names": {
        "1.2.0.192.in-addr.arpa": {"PTR": ["host.example.test"]},
        "example.test": {"NS": ["ns.example.test"], "A": ["192.0.2.1"]},
        "*.bl.test": {"A": ["127.0.0.2"]},           # wildcard: any name below
        "txt.test": {"TXT": [["first", "second"], ["other record"]]},
        "alias.test": {"CNAME": "elsewhere.test"},     # answered for any type
        "broken.test": {"action": "servfail"},         # every type
        "slow.test": {"action": {"TXT": "timeout"}},   # one type ("*": all)
      }
    }

Actions: nxdomain, empty (NOERROR without records), servfail, refused,
formerr, notimp, timeout (no answer at all), malformed (a valid header and
question followed by a cut answer section), loop (an answer whose owner name
is a compression pointer to itself), tc (UDP answer truncated, the full answer
over TCP), tc-only (UDP truncated and TCP closed without an answer).

TXT strings are text whose characters U+0000..U+00FF stand for the bytes
0..255, so a test can put any byte (NUL, control bytes, "|") into a string.

A name that is in the table but has no records of the asked type gets its
CNAME if it has one, else an empty NOERROR answer. Every question is
recorded in `queries` as (name, type) with the name in lower case without
its final dot, in the order received.

Command line (for programs that cannot run Python in-process):
    dnsserver.py [--zones FILE] [--latency MS] [--port N] [--log FILE]
prints "PORT n" on its first line and serves until it is terminated.
"""
import argparse
import json
import socket
import struct
import threading
import time

from dnslib import A, AAAA, CNAME, MX, NS, PTR, QTYPE, RCODE, RR, TXT, DNSRecord

RCODES = {"nxdomain": RCODE.NXDOMAIN, "servfail": RCODE.SERVFAIL, "refused": RCODE.REFUSED,
          "formerr": RCODE.FORMERR, "notimp": RCODE.NOTIMP}


def _norm(name):
    return str(name).rstrip(".").lower()


class DnsServer:
    """The server, run on threads of the calling process."""

    def __init__(self, zones=None, latency_ms=None, host="127.0.0.1", port=0, log=None):
        self.zones = zones or {}
        self.names = {_norm(k): v for k, v in self.zones.get("names", {}).items()}
        self.default = self.zones.get("default", "nxdomain")
        self.latency = (latency_ms if latency_ms is not None
                        else self.zones.get("latency_ms", 0)) / 1000.0
        self.host = host
        self.want_port = port
        self.port = None
        self.queries = []
        self.lock = threading.Lock()
        self.log = log
        self._stop = threading.Event()
        self._threads = []

    # Sockets ------------------------------------------------------------
    def start(self):
        for _ in range(50):
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            udp.bind((self.host, self.want_port))
            port = udp.getsockname()[1]
            tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                tcp.bind((self.host, port))
            except OSError:
                udp.close()
                tcp.close()
                if self.want_port:
                    raise
                continue
            break
        else:
            raise OSError("no free port for UDP and TCP together")
        tcp.listen(16)
        udp.settimeout(0.2)
        tcp.settimeout(0.2)
        self.udp, self.tcp, self.port = udp, tcp, port
        for target in (self._udp_loop, self._tcp_loop):
            t = threading.Thread(target=target, daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def stop(self):
        self._stop.set()
        for t in self._threads:
            t.join(5)
        self.udp.close()
        self.tcp.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def asked(self, qtype=None):
        """Questions received so far, optionally only those of one type name."""
        with self.lock:
            return [(n, t) for n, t in self.queries if qtype is None or t == qtype]

    def _udp_loop(self):
        while not self._stop.is_set():
            try:
                data, peer = self.udp.recvfrom(65535)
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._udp_one, args=(data, peer), daemon=True).start()

    def _udp_one(self, data, peer):
        out = self.answer(data, "udp")
        if out is not None:
            try:
                self.udp.sendto(out, peer)
            except OSError:
                pass

    def _tcp_loop(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.tcp.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._tcp_one, args=(conn,), daemon=True).start()

    def _tcp_one(self, conn):
        conn.settimeout(10)
        try:
            while True:
                head = self._recv_exact(conn, 2)
                if head is None:
                    return
                data = self._recv_exact(conn, struct.unpack("!H", head)[0])
                if data is None:
                    return
                out = self.answer(data, "tcp")
                if out is None:
                    return
                conn.sendall(struct.pack("!H", len(out)) + out)
        except OSError:
            pass
        finally:
            conn.close()

    @staticmethod
    def _recv_exact(conn, n):
        buf = b""
        while len(buf) < n:
            chunk = conn.recv(n - len(buf))
            if not chunk:
                return None
            buf += chunk
        return buf

    # Answers ------------------------------------------------------------
    def lookup(self, name):
        if name in self.names:
            return self.names[name]
        labels = name.split(".")
        for i in range(1, len(labels) + 1):
            wild = "*." + ".".join(labels[i:]) if i < len(labels) else "*"
            if wild in self.names:
                return self.names[wild]
        return None

    def answer(self, data, proto):
        """The reply bytes for one query message, or None for no answer."""
        try:
            request = DNSRecord.parse(data)
        except Exception:
            return None
        if not request.questions:
            return None
        q = request.questions[0]
        qname = _norm(q.qname)
        qtype = QTYPE.get(q.qtype)
        with self.lock:
            self.queries.append((qname, qtype))
        if self.log:
            with open(self.log, "a") as f:
                f.write("%s %s\n" % (qname, qtype))
        if self.latency:
            time.sleep(self.latency)

        entry = self.lookup(qname)
        action = self.default if entry is None else None
        if entry is not None:
            act = entry.get("action")
            if isinstance(act, dict):
                act = act.get(qtype, act.get("*"))
            action = act

        reply = request.reply()
        if action in RCODES:
            reply.header.rcode = RCODES[action]
            return reply.pack()
        if action == "timeout":
            return None
        if action == "empty" or entry is None:
            return reply.pack()

        self._fill(reply, q.qname, qtype, entry)
        if action == "malformed":
            full = reply.pack()
            if not reply.rr:
                reply.add_answer(RR(q.qname, QTYPE.A, rdata=A("127.0.0.2")))
                full = reply.pack()
            # Keep header and question, cut the answer section in two.
            qend = len(request.pack())
            return full[:qend + 5]
        if action == "loop":
            header = bytearray(request.pack())
            header[2] |= 0x84  # QR, AA
            header[6:8] = struct.pack("!H", 1)
            off = len(header)
            rr = struct.pack("!HHHIH", 0xC000 | off, 1, 1, 60, 4) + bytes([127, 0, 0, 2])
            return bytes(header) + rr
        if action in ("tc", "tc-only") and proto == "udp":
            reply.rr = []
            reply.header.tc = 1
            return reply.pack()
        if action == "tc-only" and proto == "tcp":
            return None
        return reply.pack()

    @staticmethod
    def _fill(reply, qname, qtype, entry):
        values = entry.get(qtype)
        if values is None and "CNAME" in entry:
            reply.add_answer(RR(qname, QTYPE.CNAME, rdata=CNAME(entry["CNAME"]), ttl=60))
            return
        if not values:
            return
        for v in values:
            if qtype == "A":
                rdata = A(v)
            elif qtype == "AAAA":
                rdata = AAAA(v)
            elif qtype == "NS":
                rdata = NS(v)
            elif qtype == "PTR":
                rdata = PTR(v)
            elif qtype == "MX":
                rdata = MX(v[1], v[0])
            elif qtype == "TXT":
                strings = [v] if isinstance(v, str) else v
                rdata = TXT([s.encode("latin-1") for s in strings])
            else:
                continue
            reply.add_answer(RR(qname, getattr(QTYPE, qtype), rdata=rdata, ttl=60))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--zones", help="JSON file with the table")
    ap.add_argument("--latency", type=float, default=None, help="added latency in ms")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--log", help="append every question to this file")
    args = ap.parse_args()
    zones = {}
    if args.zones:
        with open(args.zones) as f:
            zones = json.load(f)
    server = DnsServer(zones, latency_ms=args.latency, port=args.port, log=args.log).start()
    print("PORT %d" % server.port, flush=True)
    try:
        # Serve until terminated.
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    main()
