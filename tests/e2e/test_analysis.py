"""Connection analysis of the real binary against a DNS server of our own.

The whole module runs in a network namespace of its own (created in
setUpModule), where public-looking test addresses are put on the loopback
interface; clients bind one of them as their source address. The server
listens on 127.0.0.1 and sends every DNS query to tools/dnsserver.py on
loopback, which records the questions it got.
"""
import ctypes
import os
import signal
import subprocess
import sys
import time
import unittest

from harness import Nestrap, columns, recv_all, recv_until, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from dnsserver import DnsServer  # noqa: E402

CLONE_NEWNET = 0x40000000
ADDRESSES = ["192.0.2.10", "192.0.2.20", "198.51.100.7", "198.51.100.20", "203.0.113.5",
             "203.0.113.66", "203.0.113.67", "203.0.113.98", "203.0.113.99", "10.9.8.7"]

# Columns of a connection line (LogHost off).
C_HEX, C_ASN, C_IP, C_NET, C_PREFIX, C_PTR, C_HELO, C_SPF, C_TAG, C_DETAIL, C_COUNTRY, C_OWNER = \
    2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13


def setUpModule():
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root to create a network namespace")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        raise unittest.SkipTest("unshare(CLONE_NEWNET) failed: %s"
                                % os.strerror(ctypes.get_errno()))
    try:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True, capture_output=True)
        for a in ADDRESSES:
            subprocess.run(["ip", "addr", "add", a + "/32", "dev", "lo"], check=True,
                           capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        raise unittest.SkipTest("cannot set up test addresses: %s" % e)


def rev(ip):
    return ".".join(reversed(ip.split(".")))


def ptrname(ip):
    return rev(ip) + ".in-addr.arpa"


def base_names():
    """Delegations every test uses: the TLD "test" and two domains below it."""
    return {
        "test": {"NS": ["ns.test"]},
        "example.test": {"NS": ["ns.example.test"]},
        "isp.test": {"NS": ["ns.isp.test"]},
    }


LISTS = {
    "nsp-dnswl.txt": "# white\nwl1.test\nwl2.test\n",
    "nsp-dnsbl.txt": "# black\nbl1.test\nbl2.test  # second zone\n",
    "nsp-dnsgl.txt": "# grey\ngl1.test\n",
    "nsp-uriwl.txt": "uwl.test\n",
    "nsp-uribl.txt": "ubl.test\n",
}
LIST_ZONES = ["wl1.test", "wl2.test", "bl1.test", "bl2.test", "gl1.test"]


class AnalysisCase(unittest.TestCase):
    def start(self, names, latency_ms=0, sender_base=1, extra_args=(), default="nxdomain",
              extra_ini=""):
        dns = DnsServer({"names": names, "default": default}, latency_ms=latency_ms).start()
        self.addCleanup(dns.stop)
        ini = ("[Options]\nQuerySenderBase=%d\n"
               "[DNSinfo]\nNameServer=127.0.0.1:%d\nCYMRU_ORG=origin.test\n"
               "CYMRU_ASN=asn.test\nSB_SUFFIX=sb.test\n" % (sender_base, dns.port)) + extra_ini
        n = Nestrap(args=["-v", "8"] + list(extra_args), ini=ini, files=LISTS,
                    listen="127.0.0.1")
        self.addCleanup(n.close)
        n.start()
        return n, dns

    def session(self, n, source, line=b"HELO mail.example.test\r\n"):
        """One tempfail session from `source`; returns after the server closed."""
        s = n.connect(source=source)
        with s:
            recv_until(s, b"\r\n")
            if line is not None:
                s.sendall(line)
            recv_all(s)

    def analyse(self, n, dns, source, line=b"HELO mail.example.test\r\n", timeout=60):
        """Runs a session and waits for its line; returns (columns, questions)."""
        before_lines = len(n.connection_lines())
        before_q = len(dns.asked())
        self.session(n, source, line)
        lines = n.wait_connection_lines(before_lines + 1, timeout=timeout)
        cols = columns(lines[before_lines])
        self.assertEqual(cols[C_IP], source)
        return cols, dns.asked()[before_q:]

    @staticmethod
    def names_asked(questions, suffixes):
        return [q for q, _ in questions if any(q.endswith(s) for s in suffixes)]


class ListVerdicts(AnalysisCase):
    def test_list_chain_private_client_and_helo_mismatch(self):
        names = base_names()
        names.update({
            ptrname("192.0.2.10"): {"PTR": ["mail.example.test"]},
            ptrname("192.0.2.20"): {"PTR": ["mail.example.test"]},
            ptrname("198.51.100.7"): {"PTR": ["mail.example.test"]},
            ptrname("10.9.8.7"): {"PTR": ["host.lan"]},
            "mail.example.test": {"A": ["192.0.2.10"]},
            rev("192.0.2.10") + ".wl2.test": {"A": ["127.0.10.1"]},
            rev("192.0.2.20") + ".bl1.test": {"action": "empty"},
            rev("192.0.2.20") + ".bl2.test": {"A": ["127.0.0.4"]},
            rev("198.51.100.7") + ".gl1.test": {"A": ["127.0.0.2"]},
            # A CNAME in place of the A record is no listing.
            rev("198.51.100.7") + ".bl1.test": {"CNAME": "elsewhere.test"},
        })
        n, dns = self.start(names)

        # White list hit on the second zone: decides the chain, HELO unclassified.
        # Every zone of the address lists is asked at once, whatever the verdict.
        cols, asked = self.analyse(n, dns, "192.0.2.10", b"HELO bareword\r\n")
        self.assertEqual((cols[C_TAG], cols[C_DETAIL]), ("WL", "wl2.test"))
        self.assertEqual(cols[C_PTR], "mail.example.test")
        self.assertEqual(cols[C_HELO], "bareword")
        self.assertEqual(sorted(self.names_asked(asked, LIST_ZONES)),
                         sorted(rev("192.0.2.10") + "." + z for z in LIST_ZONES))
        n.wait_stderr("192.0.2.10 WL wl2.test")

        # Black list hit on the second zone, after an empty answer from the first.
        cols, asked = self.analyse(n, dns, "192.0.2.20", b"HELO bareword\r\n")
        self.assertEqual((cols[C_TAG], cols[C_DETAIL]), ("BL", "bl2.test"))
        n.wait_stderr("192.0.2.20 BL bl2.test")

        # Grey list hit, after a CNAME answer from the black list.
        cols, asked = self.analyse(n, dns, "198.51.100.7", b"HELO bareword\r\n")
        self.assertEqual((cols[C_TAG], cols[C_DETAIL]), ("GL", "gl1.test"))

        # A private client: its PTR, nothing else (no origin, list, HELO or SPF lookups).
        cols, asked = self.analyse(n, dns, "10.9.8.7", b"HELO host.lan\r\n")
        self.assertEqual(asked, [(ptrname("10.9.8.7"), "PTR")])
        self.assertEqual(cols[C_PTR], "host.lan")
        self.assertEqual((cols[C_TAG], cols[C_DETAIL]), ("NL", "neutral"))
        self.assertEqual(cols[C_ASN], "     0")
        self.assertEqual((cols[C_NET], cols[C_PREFIX]), ("10.9.8.7/32", "10.9.8.7/32"))
        self.assertEqual((cols[C_COUNTRY], cols[C_OWNER], cols[C_SPF]), ("--", "unknown", "None"))

        # No PTR record and an ordinary HELO: the HELO class replaces bad-ptr.
        cols, asked = self.analyse(n, dns, "203.0.113.5", b"HELO mail.example.test\r\n")
        self.assertEqual(cols[C_PTR], ptrname("203.0.113.5") + ".")
        self.assertEqual((cols[C_TAG], cols[C_DETAIL]), ("HL", "helo-ptr-mismatch"))
        self.assertEqual(cols[C_HEX], "CB007105")
        self.assertTrue(cols[C_SPF])
        self.assertEqual(len(self.names_asked(asked, LIST_ZONES)), 5)

    def test_uri_white_list_before_black_list_helo_before_ptr(self):
        client = "198.51.100.20"
        names = base_names()
        names.update({
            ptrname(client): {"PTR": ["mx.example.test.isp.test"]},
            "mx.example.test": {"A": [client]},
            "isp.test.ubl.test": {"A": ["127.0.0.2"]},
        })
        n, dns = self.start(names)
        cols, asked = self.analyse(n, dns, client, b"EHLO MX.Example.Test\r\n")
        self.assertEqual((cols[C_TAG], cols[C_DETAIL]), ("BU", "ubl.test"))
        self.assertEqual(cols[C_HELO], "MX.Example.Test")
        self.assertEqual(self.names_asked(asked, ["uwl.test", "ubl.test"]),
                         ["example.test.uwl.test", "isp.test.uwl.test",
                          "example.test.ubl.test", "isp.test.ubl.test"])
        # The HELO was resolved (NS walk, then A) before the URI lists.
        order = [q for q, _ in asked]
        self.assertLess(order.index("mx.example.test"), order.index("example.test.uwl.test"))


class OriginColumns(AnalysisCase):
    def test_origin_owner_and_sender_base_items(self):
        names = base_names()
        c1, c2 = "203.0.113.66", "203.0.113.67"
        names.update({
            rev(c1) + ".origin.test": {"TXT": [["64500 | 203.0.113.0/24 | NL | ripencc | 2001"]]},
            "as64500.asn.test": {"TXT": [["64500 | NL | ripencc | 2001 | EXAMPLE-AS Example, NL"]]},
            # Several records and strings, sequence prefixes; later items win.
            rev(c1) + ".sb.test": {"TXT": [["0-1=SB Example Org", "1-53=DE"],
                                           ["2-46=16|50=example.net|x-54=1.5"]]},
            # Hostile text: control bytes and NULs become blanks.
            rev(c2) + ".origin.test": {"TXT": [["64501|198.51.100.0/24\x01x|G\x00B"]]},
            "as64501.asn.test": {"TXT": [["64501|GB|ripe|2001|Owner\tWith\x00Controls\x7f!"]]},
            rev(c2) + ".sb.test": {"TXT": [["%d-%d=%s" % (i % 10, 100 + i, "v" * 200)]
                                           for i in range(200)]},
        })
        n, dns = self.start(names)

        cols, asked = self.analyse(n, dns, c1)
        self.assertEqual(cols[C_ASN], " 64500")
        self.assertEqual(cols[C_PREFIX], "203.0.113.0/24")
        self.assertEqual(cols[C_NET], "203.0.0.0/16")      # item 46 replaces the /24
        self.assertEqual(cols[C_COUNTRY], "DE")            # item 53 replaces NL
        self.assertEqual(cols[C_OWNER], "SB Example Org")  # item 1 replaces the AS owner
        self.assertLessEqual({rev(c1) + ".origin.test", "as64500.asn.test", rev(c1) + ".sb.test"},
                             {q for q, t in asked if t == "TXT"})
        self.assertIn("Owner = EXAMPLE-AS Example, NL", n.stderr())

        cols, asked = self.analyse(n, dns, c2)
        self.assertEqual(cols[C_ASN], " 64501")
        self.assertEqual(cols[C_PREFIX], "198.51.100.0/24")
        self.assertEqual(cols[C_NET], "203.0.113.0/24")
        self.assertEqual(cols[C_COUNTRY], "G")             # cut at the first blank
        self.assertEqual(cols[C_OWNER], "Owner With Controls !")
        self.assertEqual(len(cols), 22)

    def test_dns_failures_still_give_the_line(self):
        names = base_names()
        c1, c2 = "203.0.113.98", "203.0.113.99"
        names.update({
            ptrname(c1): {"action": "timeout"},
            rev(c1) + ".origin.test": {"action": "malformed"},
            rev(c1) + ".sb.test": {"action": "refused"},
            ptrname(c2): {"CNAME": "elsewhere.test"},
            rev(c2) + ".origin.test": {"action": "loop"},
            rev(c2) + ".sb.test": {"action": "servfail"},
            rev(c2) + ".wl1.test": {"action": "formerr"},
            rev(c2) + ".bl1.test": {"action": "notimp"},
            "*.gl1.test": {"action": "servfail"},
        })
        n, dns = self.start(names)
        for client in (c1, c2):
            cols, asked = self.analyse(n, dns, client, b"HELO " + client.encode() + b"\r\n")
            self.assertEqual(cols[C_PTR], ptrname(client) + ".")
            self.assertEqual((cols[C_TAG], cols[C_DETAIL]), ("HL", "ip-in-helo"))
            self.assertEqual((cols[C_ASN], cols[C_NET], cols[C_COUNTRY], cols[C_OWNER]),
                             ("     0", client + "/32", "--", "unknown"))
            self.assertTrue(cols[C_SPF])
        err = n.stderr()
        self.assertIn("NSquery(%s., 12)=0x5B4" % ptrname(c1), err)       # time-out 1460
        self.assertIn("NSquery(%s.origin.test, 16)=0x251E" % rev(c1), err)  # malformed 9502
        self.assertIn("No data for %s.origin.test" % rev(c1), err)
        self.assertIn("NSquery(%s.sb.test, 16)=0x232A" % rev(c2), err)      # SERVFAIL 9002


class Shutdown(AnalysisCase):
    def test_records_reaching_the_logger_during_shutdown_are_logged(self):
        names = base_names()
        clients = ["192.0.2.10", "192.0.2.20"]
        for c in clients:
            names[ptrname(c)] = {"PTR": ["slow-%s.example.test" % c.replace(".", "-")]}
        # Every answer is slow, so both records are still being analysed when
        # the stop signal comes; their analysis finishes within the stop bound.
        n, dns = self.start(names, latency_ms=150)
        for c in clients:
            self.session(n, c)
            n.wait_stderr("%s Logging connection data" % c)
        self.assertLess(len(n.connection_lines()), 2)
        rc = n.stop(signal.SIGTERM, timeout=120)
        self.assertEqual(rc, 0)
        lines = n.connection_lines()
        self.assertEqual(len(lines), 2)
        got = {columns(l)[C_IP]: columns(l)[C_PTR] for l in lines}
        for c in clients:
            self.assertEqual(got[c], "slow-%s.example.test" % c.replace(".", "-"))


class Signals(AnalysisCase):
    def test_sighup_reloads_lists_and_no_signal_loses_queued_lines(self):
        names = base_names()
        queued = ["192.0.2.10", "192.0.2.20", "198.51.100.7"]
        late = "203.0.113.5"
        names[rev(late) + ".bl3.test"] = {"A": ["127.0.0.2"]}
        # Slow answers keep records queued for the logger while signals come.
        n, dns = self.start(names, latency_ms=100)
        for c in queued:
            self.session(n, c)
        n.wait_stderr("Logging connection data")
        self.assertLess(len(n.connection_lines()), len(queued))
        with open(os.path.join(n.dir, "nsp-dnsbl.txt"), "w") as f:
            f.write("bl3.test\n")
        n.proc.send_signal(signal.SIGHUP)
        n.proc.send_signal(signal.SIGUSR1)
        n.wait_stderr("01 lists loaded from nsp-dnsbl.txt")
        n.wait_connection_lines(len(queued), timeout=120)
        cols, asked = self.analyse(n, dns, late)
        self.assertEqual((cols[C_TAG], cols[C_DETAIL]), ("BL", "bl3.test"))
        self.assertEqual(self.names_asked(asked, ["bl1.test", "bl2.test"]), [])
        self.assertIsNone(n.proc.poll())
        # Ctrl-\ on a terminal: an orderly stop, not a core dump.
        self.session(n, queued[0])
        self.assertEqual(n.stop(signal.SIGQUIT, timeout=120), 0)
        self.assertIn("SIGQUIT: initiating shutdown sequence...", n.stderr())
        ips = sorted(columns(l)[C_IP] for l in n.connection_lines())
        self.assertEqual(ips, sorted(queued + [late, queued[0]]))


class BacklogAndStop(AnalysisCase):
    def test_full_backlog_and_stop_keep_every_line(self):
        # A DNS server that never answers: every analysis runs to its deadline.
        n, dns = self.start({}, default="timeout",
                            extra_ini="[Process]\nAnalysisBacklog=40\n")
        served = 0

        def burst(count):
            nonlocal served
            for _ in range(count):
                self.session(n, "192.0.2.10")
                served += 1

        # More records than analysis threads and the cap together: the rest
        # are logged at once without DNS data.
        burst(130)
        n.wait_stderr("[WARN] analysis backlog full (")
        self.assertIn("), logging without DNS data", n.stderr())
        lines = n.wait_connection_lines(served, timeout=90)
        nodns = [l for l in lines if columns(l)[C_PTR] == "10.2.0.192.in-addr.arpa."]
        self.assertEqual(len(nodns), served)   # time-outs and skipped analyses alike
        burst(1)
        n.wait_stderr("[WARN] analysis backlog back to normal (")
        err = n.stderr()
        self.assertEqual(err.count("analysis backlog full"), 1)
        self.assertEqual(err.count("analysis backlog back to normal"), 1)

        # A stop with analyses in flight ends within its bound, every line written.
        burst(20)
        t0 = time.monotonic()
        self.assertEqual(n.stop(signal.SIGTERM, timeout=60), 0)
        self.assertLess(time.monotonic() - t0, 20)
        self.assertEqual(len(n.connection_lines()), served)


class ListFilesByOption(unittest.TestCase):
    DEFAULTS = [("nsp-dnswl.txt", "# DNS whitelists", 5),
                ("nsp-dnsbl.txt", "# DNS blacklists", 6),
                ("nsp-dnsgl.txt", "# DNS aggressive/experimental blacklists", 11),
                ("nsp-uriwl.txt", "# URI whitelists", 1),
                ("nsp-uribl.txt", "# URI blacklists", 3)]

    def test_configure_writes_missing_and_empty_files_and_keeps_others(self):
        n = Nestrap(ini="[DNSinfo]\nNameServer=127.0.0.1:9\n",
                    files={"nsp-dnsbl.txt": "", "nsp-uriwl.txt": "# mine\nmine.test\n"})
        self.addCleanup(n.close)
        r = n.run(["-C"])
        self.assertEqual(r.returncode, 0, r.stderr)
        for name, comment, count in self.DEFAULTS:
            with open(os.path.join(n.dir, name)) as f:
                lines = f.read().split("\n")
            if name == "nsp-uriwl.txt":
                self.assertEqual(lines, ["# mine", "mine.test", ""])
                continue
            self.assertEqual(lines[:3], ["# ", comment, "# "], name)
            self.assertEqual(lines[-1], "", name)
            zones = lines[3:-1]
            self.assertEqual(len(zones), count, name)
            for z in zones:
                self.assertRegex(z, r"^[a-z0-9.-]+\.[a-z]+$")
        # Loaded in the fixed order, each with its count.
        loaded = [l.split("lists loaded from ")[1] for l in r.stderr.splitlines()
                  if "lists loaded from " in l]
        self.assertEqual(loaded, [d[0] for d in self.DEFAULTS])
        self.assertIn("[INFO] 01 lists loaded from nsp-uriwl.txt", r.stderr)
        self.assertIn("[INFO] 11 lists loaded from nsp-dnsgl.txt", r.stderr)


if __name__ == "__main__":
    unittest.main()
