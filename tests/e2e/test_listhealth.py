"""DNS list health: the start-up check, -T, and answers that are no listings.

Runs in the network namespace of test_analysis (its setUpModule), against a
DNS world of tools/dnsserver.py in which each zone shows one way a list
service can fail.
"""
import os
import re
import signal
import time
import unittest

import test_analysis as ta
from harness import Nestrap, columns

setUpModule = ta.setUpModule

def zone_world():
    """Zones and their answers: healthy, dead, refusing, listing the world,
    without test entry; a domain list healthy and one broken."""
    return {
        "2.0.0.127.good-wl.test": {"A": ["127.0.0.2"]},
        "2.0.0.127.good-bl.test": {"A": ["127.0.0.2"]},
        "*.dead.test": {"action": "timeout"},
        "*.refusing.test": {"A": ["127.255.255.254"]},
        "*.world.test": {"A": ["127.0.0.2"]},
        "test.good-uri.test": {"A": ["127.0.1.2"]},
        "*.bad-uri.test": {"A": ["127.0.1.2"]},
        # notest.test: every name NXDOMAIN (the server's default).
    }


def lists(wl="", bl="", gl="", uwl="", ubl=""):
    """List files; an empty one holds only a comment (no zones)."""
    def text(zones):
        return "# zones\n" + "".join(z + "\n" for z in zones.split())
    return {"nsp-dnswl.txt": text(wl), "nsp-dnsbl.txt": text(bl), "nsp-dnsgl.txt": text(gl),
            "nsp-uriwl.txt": text(uwl), "nsp-uribl.txt": text(ubl)}


BROKEN = lists(wl="good-wl.test", bl="refusing.test dead.test world.test notest.test good-bl.test",
               uwl="good-uri.test", ubl="bad-uri.test")
HEALTHY = lists(wl="good-wl.test", bl="good-bl.test", uwl="good-uri.test")


class ListHealth(unittest.TestCase):
    def server(self, names, files, servers=1):
        """A server whose resolver asks our DNS world, named `servers` times."""
        dns = ta.DnsServer({"names": names}).start()
        self.addCleanup(dns.stop)
        ns = ",".join(["127.0.0.1:%d" % dns.port] * servers)
        n = Nestrap(args=["-w", "2"], files=files, ini="[DNSinfo]\nNameServer=%s\n" % ns)
        self.addCleanup(n.close)
        return n, dns

    def test_start_up_summary_warnings_and_table(self):
        n, _ = self.server(zone_world(), BROKEN)
        n.start()
        err = n.stderr()
        self.assertIn("[INFO] 3 of 8 DNS lists answer as RFC 5782 expects", err)
        warns = sorted(l.split("[WARN] ", 1)[1] for l in err.splitlines()
                       if "[WARN] DNS list" in l or "ignored" in l)
        self.assertEqual(len(warns), 5, err)
        expected = [
            r"DNS list bad-uri\.test \(nsp-uribl\.txt\): lists the world \(invalid listed: "
            r"127\.0\.1\.2\)",
            r"DNS list dead\.test \(nsp-dnsbl\.txt\): no answer \(dead or blocked\): none within",
            r"DNS list notest\.test \(nsp-dnsbl\.txt\): does not list the test entry 127\.0\.0\.2 "
            r"\(NXDOMAIN\)",
            r"DNS list refusing\.test \(nsp-dnsbl\.txt\): refuses: answers 127\.255\.255\.254 "
            r"\(refused: query via public resolver\?\)$",
            r"DNS list world\.test \(nsp-dnsbl\.txt\): lists the world \(127\.0\.0\.1 listed: "
            r"127\.0\.0\.2\)",
        ]
        for pattern, line in zip(expected, warns):
            self.assertRegex(line, "^" + pattern)
        n.stop()

        r = n.run(["-T", "-v", "0"])
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        # Columns: zone, list file, status, answer, time.
        rows = {l.split()[0]: l for l in r.stdout.splitlines()[1:-1]}
        status = {z: re.split(r"\s{2,}", l)[2] for z, l in rows.items()}
        self.assertEqual(status, {
            "good-wl.test": "healthy", "refusing.test": "refuses", "dead.test": "no answer",
            "world.test": "lists the world", "notest.test": "no test entry",
            "good-bl.test": "healthy", "good-uri.test": "healthy",
            "bad-uri.test": "lists the world"})
        self.assertRegex(rows["refusing.test"], r"nsp-dnsbl\.txt +refuses +127\.255\.255\.254 +\d+ ms$")
        self.assertRegex(rows["dead.test"], r">\d+ ms$")
        self.assertEqual(r.stdout.splitlines()[-1], "3 of 8 DNS lists answer as RFC 5782 expects")

        for name, text in HEALTHY.items():
            with open(n.dir + "/" + name, "w") as f:
                f.write(text)
        r = n.run(["-T", "-v", "0"])
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(r.stdout.splitlines()[-1], "3 of 3 DNS lists answer as RFC 5782 expects")

    def test_error_answers_are_no_listing_warned_once_and_reload_rechecks(self):
        listed, unlisted = "192.0.2.10", "192.0.2.20"
        names = ta.base_names()
        names.update(zone_world())
        for ip in (listed, unlisted):
            names[ta.ptrname(ip)] = {"PTR": ["mail.example.test"]}
        names["mail.example.test"] = {"A": [unlisted]}
        names[ta.rev(listed) + ".good-bl.test"] = {"A": ["127.0.0.4"]}
        n, _ = self.server(names, lists(bl="refusing.test good-bl.test"))
        n.start()
        n.wait_stderr("1 of 2 DNS lists answer as RFC 5782 expects")

        sessions = [listed, unlisted, unlisted, listed]
        for i, ip in enumerate(sessions):
            s = n.connect(source=ip)
            with s:
                ta.recv_until(s, b"\r\n")
                s.sendall(b"HELO mail.example.test\r\n")
                ta.recv_all(s)
            n.wait_connection_lines(i + 1, timeout=60)
        got = [(c[ta.C_IP], c[ta.C_TAG], c[ta.C_DETAIL])
               for c in map(columns, n.connection_lines())]
        self.assertEqual(got, [(listed, "BL", "good-bl.test"), (unlisted, "NL", "neutral"),
                               (unlisted, "NL", "neutral"), (listed, "BL", "good-bl.test")])
        warning = ("[WARN] refusing.test answers 127.255.255.254 "
                   "(refused: query via public resolver?), ignored")
        self.assertEqual(n.stderr().count(warning), 1, n.stderr())

        # Reloaded lists are checked at once; only what changed is logged.
        with open(os.path.join(n.dir, "nsp-dnsbl.txt"), "w") as f:
            f.write("refusing.test\ngood-bl.test\nworld.test\n")
        n.proc.send_signal(signal.SIGHUP)
        n.wait_stderr("[WARN] DNS list world.test (nsp-dnsbl.txt): lists the world")
        err = n.stderr()
        self.assertIn("[INFO] 1 of 3 DNS lists answer as RFC 5782 expects", err)
        self.assertEqual(err.count("DNS list refusing.test"), 1)
        self.assertEqual(err.count("DNS list good-bl.test"), 0)

    def test_silent_lists_do_not_hold_up_the_start(self):
        # Every query times out; the resolver tries each of three servers
        # twice, so a zone alone would take some 20 s, five times the bound.
        n, dns = self.server({"*.test": {"action": "timeout"}},
                             lists(bl="dead.test dead2.test", gl="dead3.test", ubl="dead4.test"),
                             servers=3)
        n.start(wait=False)
        n.wait_stderr("Checking the DNS lists...")
        began = time.monotonic()
        n.wait_stderr("Waiting for incoming connections...")
        self.assertLess(time.monotonic() - began, 10.0)
        self.assertIn("0 of 4 DNS lists answer as RFC 5782 expects", n.stderr())
        self.assertEqual(n.stderr().count("no answer (dead or blocked)"), 4)
        self.assertTrue(dns.asked())


if __name__ == "__main__":
    unittest.main()
