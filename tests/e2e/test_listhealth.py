"""DNS list health: the start-up check, -T, and answers that are no listings.

Runs in a network namespace of its own like test_analysis, against a DNS
world in which each zone shows one way a list service can fail.
"""
import os
import re
import signal
import time

from harness import Case
from test_analysis import ADDRESSES, ptr, rev, setUpModule, world  # noqa: F401

ZONES = {  # healthy, dead, refusing, listing the world; notest.test is NXDOMAIN
    "2.0.0.127.good-wl.test": {"A": ["127.0.0.2"]},
    "2.0.0.127.good-bl.test": {"A": ["127.0.0.2"]},
    "*.dead.test": {"action": "timeout"},
    "*.refusing.test": {"A": ["127.255.255.254"]},
    "*.world.test": {"A": ["127.0.0.2"]},
    "test.good-uri.test": {"A": ["127.0.1.2"]},
    "*.bad-uri.test": {"A": ["127.0.1.2"]},
}


def lists(wl="", bl="", gl="", uwl="", ubl=""):
    """List files; an empty one holds only a comment (no zones)."""
    return {"nsp-%s.txt" % name: "# zones\n" + "".join(z + "\n" for z in zones.split())
            for name, zones in (("dnswl", wl), ("dnsbl", bl), ("dnsgl", gl), ("uriwl", uwl),
                                ("uribl", ubl))}


class ListHealth(Case):
    def start(self, names, files, servers=1, wait=True):
        """A server whose resolver asks our DNS world, named `servers` times."""
        self.dns_server = self.dns(names)
        ns = ",".join(["127.0.0.1:%d" % self.dns_server.port] * servers)
        n = self.server(["-w", "2"], files=files, ini="[DNSinfo]\nNameServer=%s\n" % ns,
                        start=False)
        return n.start(wait=wait)

    def test_start_up_summary_warnings_and_table(self):
        n = self.start(ZONES, lists(wl="good-wl.test", uwl="good-uri.test", ubl="bad-uri.test",
                                    bl="refusing.test dead.test world.test notest.test "
                                       "good-bl.test"))
        err = n.stderr()
        self.assertIn("[INFO] 3 of 8 DNS lists answer as RFC 5782 expects", err)
        warnings = sorted(l.split("[WARN] DNS list ", 1)[1] for l in err.splitlines()
                          if "[WARN] DNS list" in l)
        for pattern, line in zip([
                r"bad-uri\.test \(nsp-uribl\.txt\): lists the world \(invalid listed: 127\.0\.1\.2\)",
                r"dead\.test \(nsp-dnsbl\.txt\): no answer \(dead or blocked\): none within",
                r"notest\.test \(nsp-dnsbl\.txt\): does not list the test entry 127\.0\.0\.2 "
                r"\(NXDOMAIN\)",
                r"refusing\.test \(nsp-dnsbl\.txt\): refuses: answers 127\.255\.255\.254 "
                r"\(refused: query via public resolver\?\)$",
                r"world\.test \(nsp-dnsbl\.txt\): lists the world \(127\.0\.0\.1 listed: "
                r"127\.0\.0\.2\)"], warnings, strict=True):
            self.assertRegex(line, "^" + pattern)
        n.stop()

        r = n.run(["-T", "-v", "0"])
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        # Columns: zone, list file, status, answer, time.
        rows = {l.split()[0]: l for l in r.stdout.splitlines()[1:-1]}
        self.assertEqual({z: re.split(r"\s{2,}", l)[2] for z, l in rows.items()}, {
            "good-wl.test": "healthy", "refusing.test": "refuses", "dead.test": "no answer",
            "world.test": "lists the world", "notest.test": "no test entry",
            "good-bl.test": "healthy", "good-uri.test": "healthy",
            "bad-uri.test": "lists the world"})
        self.assertRegex(rows["refusing.test"],
                         r"nsp-dnsbl\.txt +refuses +127\.255\.255\.254 +\d+ ms$")
        self.assertRegex(rows["dead.test"], r">\d+ ms$")
        self.assertEqual(r.stdout.splitlines()[-1], "3 of 8 DNS lists answer as RFC 5782 expects")

        for name, text in lists(wl="good-wl.test", bl="good-bl.test", uwl="good-uri.test").items():
            with open(os.path.join(n.dir, name), "w") as f:
                f.write(text)
        r = n.run(["-T", "-v", "0"])
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(r.stdout.splitlines()[-1], "3 of 3 DNS lists answer as RFC 5782 expects")

    def test_error_answers_are_no_listing_warned_once_and_reload_rechecks(self):
        listed, unlisted = ADDRESSES[:2]
        names = world(dict(ZONES, **{ptr(listed): {"PTR": ["mail.example.test"]},
                                     ptr(unlisted): {"PTR": ["mail.example.test"]},
                                     "mail.example.test": {"A": [unlisted]},
                                     rev(listed) + ".good-bl.test": {"A": ["127.0.0.4"]}}))
        n = self.start(names, lists(bl="refusing.test good-bl.test"))
        n.wait_stderr("1 of 2 DNS lists answer as RFC 5782 expects")
        for i, ip in enumerate([listed, unlisted, unlisted, listed]):
            n.session(b"HELO mail.example.test\r\n", source=ip)
            n.wait_lines(i + 1, timeout=60)
        self.assertEqual([(c["ip"], c["tag"], c["detail"]) for c in n.lines()],
                         [(listed, "BL", "good-bl.test"), (unlisted, "NL", "neutral"),
                          (unlisted, "NL", "neutral"), (listed, "BL", "good-bl.test")])
        self.assertEqual(n.stderr().count("[WARN] refusing.test answers 127.255.255.254 "
                                          "(refused: query via public resolver?), ignored"), 1)
        # Reloaded lists are checked at once; only what changed is logged.
        with open(os.path.join(n.dir, "nsp-dnsbl.txt"), "w") as f:
            f.write("refusing.test\ngood-bl.test\nworld.test\n")
        n.proc.send_signal(signal.SIGHUP)
        n.wait_stderr("[WARN] DNS list world.test (nsp-dnsbl.txt): lists the world")
        err = n.stderr()
        self.assertIn("[INFO] 1 of 3 DNS lists answer as RFC 5782 expects", err)
        self.assertEqual((err.count("DNS list refusing.test"), err.count("DNS list good-bl.test")),
                         (1, 0))

    def test_silent_lists_do_not_hold_up_the_start(self):
        # Every query times out; the resolver tries each of three servers
        # twice, so a zone alone would take some 20 s, five times the bound.
        n = self.start({"*.test": {"action": "timeout"}},
                       lists(bl="dead.test dead2.test", gl="dead3.test", ubl="dead4.test"),
                       servers=3, wait=False)
        n.wait_stderr("Checking the DNS lists...")
        began = time.monotonic()
        n.wait_stderr("Waiting for incoming connections...")
        self.assertLess(time.monotonic() - began, 10.0)
        self.assertIn("0 of 4 DNS lists answer as RFC 5782 expects", n.stderr())
        self.assertEqual(n.stderr().count("no answer (dead or blocked)"), 4)
        self.assertTrue(self.dns_server.asked())
