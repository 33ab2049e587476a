"""Connection analysis and DNS list health of the real binary against a DNS
server of our own (tools/dnsserver.py, which records the questions it got).

The module runs in a network namespace of its own, where public-looking test
addresses sit on the loopback interface; clients bind one of them as their
source address.
"""
import concurrent.futures
import glob
import json
import os
import pathlib
import re
import signal
import time

from harness import SANITIZED, Case, private_network, recv_all, recv_until, wait_for
from test_load import rss_kb

ADDRESSES = ["192.0.2.10", "192.0.2.20", "198.51.100.7", "198.51.100.20", "203.0.113.5",
             "203.0.113.66", "203.0.113.67"]


def setUpModule():
    private_network(ADDRESSES)


def rev(ip):
    return ".".join(reversed(ip.split(".")))


def ptr(ip):
    return rev(ip) + ".in-addr.arpa"


def world(names):
    """`names` below the delegations every test uses: the TLD "test" and two
    domains in it."""
    return dict({"test": {"NS": ["ns.test"]}, "example.test": {"NS": ["ns.example.test"]},
                 "isp.test": {"NS": ["ns.isp.test"]}}, **names)


def lists(wl="", bl="", gl="", uwl="", ubl=""):
    """List files; an empty one holds only a comment (no zones)."""
    return {"nsp-%s.txt" % name: "# zones\n" + "".join(z + "\n" for z in zones.split())
            for name, zones in (("dnswl", wl), ("dnsbl", bl), ("dnsgl", gl), ("uriwl", uwl),
                                ("uribl", ubl))}


class AnalysisCase(Case):
    def start(self, names, args=(), ini="", files=None, servers=1, wait=True, **dns):
        """A server whose resolver asks our DNS world (named `servers` times)."""
        self.dns_server = self.dns(names, **dns)
        ns = ",".join(["127.0.0.1:%d" % self.dns_server.port] * servers)
        self.n = self.server(["-v", "8"] + list(args), start=False,
                             files=files or lists("wl1.test wl2.test", "bl1.test bl2.test",
                                                  "gl1.test", "uwl.test", "ubl.test"),
                             ini="[DNSinfo]\nNameServer=%s\n" % ns + ini)
        return self.n.start(wait)

    def analyse(self, source, *lines, timeout=60):
        """A session from `source` (in emulation mode its lines, then the end
        of each reply); returns its connection line and the DNS questions."""
        n, asked = self.n, len(self.dns_server.asked())
        before = len(n.lines())
        with n.connect(source=source) as s:
            recv_until(s, b"\r\n")
            for line in lines or [b"HELO mail.example.test"]:
                s.sendall(line + b"\r\n")
                recv_until(s, b"\r\n")
            recv_all(s)
        line = n.wait_lines(before + 1, timeout=timeout)[before]
        self.assertEqual(line["ip"], source)
        return line, self.dns_server.asked()[asked:]

    def assertColumns(self, line, **expected):
        self.assertEqual({k: line[k] for k in expected}, expected)


class SpfAndSignals(AnalysisCase):
    def test_spf_verdicts_of_sender_and_helo(self):
        self.start(world({
            "pass.test": {"NS": ["ns.pass.test"], "TXT": [["v=spf1 ip4:192.0.2.0/24 -all"]]},
            "soft.test": {"NS": ["ns.soft.test"], "TXT": [["v=spf1 ", "include:pass.test ~all"]]},
            "mail.pass.test": {"A": ["192.0.2.10"], "TXT": [["v=spf1 a -all"]]},
            # Whoever holds a reverse zone can name any host in it.
            "ptr.test": {"NS": ["ns.ptr.test"], "TXT": [["v=spf1 ptr -all"]]},
            ptr("192.0.2.20"): {"PTR": ["mx.ptr.test"]},
            ptr("198.51.100.20"): {"PTR": ["mx.ptr.test"]},
            "mx.ptr.test": {"A": ["192.0.2.20"]},
        }), ["-s"])
        ehlo, sender = b"EHLO mail.pass.test", b"MAIL FROM:<someone@pass.test>"
        for client, lines, verdict in [
                ("192.0.2.10", [ehlo, sender], "Pass"),
                ("198.51.100.7", [ehlo, sender], "Fail"),
                ("198.51.100.7", [b"HELO x.soft.test", b"MAIL FROM:someone@soft.test"], "SoftFail"),
                # No sender: the HELO name is the identity.
                ("192.0.2.10", [b"HELO mail.pass.test"], "Pass"),
                ("203.0.113.5", [b"HELO mail.pass.test"], "Fail"),
                ("203.0.113.5", [], "PermError"),  # neither sender nor HELO
                # The null sender reaches the evaluator empty: the HELO decides.
                ("192.0.2.10", [ehlo, b"MAIL FROM:<>"], "Pass"),
                # "ptr" trusts a reverse name only when it resolves back to the client.
                ("192.0.2.20", [b"HELO x", b"MAIL FROM:<a@ptr.test>"], "Pass"),
                ("198.51.100.20", [b"HELO x", b"MAIL FROM:<a@ptr.test>"], "Fail")]:
            with self.subTest(client=client, lines=lines):
                self.assertEqual(self.analyse(client, *lines, b"QUIT")[0]["spf"], verdict)


    def test_sighup_reloads_lists_and_no_signal_loses_queued_lines(self):
        queued, stopping = ["192.0.2.10", "192.0.2.20", "198.51.100.7"], ADDRESSES[5:7]
        late = "203.0.113.5"
        names = {ptr(c): {"PTR": ["slow-%s.example.test" % c]} for c in queued + stopping}
        names[rev(late) + ".bl3.test"] = {"A": ["127.0.0.2"]}
        # Slow answers keep records queued for the logger while signals come.
        n = self.start(world(names), latency_ms=100)
        for c in queued:
            n.session(source=c)
        n.wait_stderr("Logging connection data")
        self.assertLess(len(n.lines()), len(queued))
        pathlib.Path(n.dir, "nsp-dnsbl.txt").write_text("bl3.test\n")
        n.proc.send_signal(signal.SIGHUP)
        n.proc.send_signal(signal.SIGUSR1)
        n.wait_stderr("01 lists loaded from nsp-dnsbl.txt")
        n.wait_lines(len(queued), timeout=120)
        line, asked = self.analyse(late)
        self.assertColumns(line, tag="BL", detail="bl3.test")
        self.assertFalse([q for q, _ in asked if q.endswith((".bl1.test", ".bl2.test"))])
        self.assertIsNone(n.proc.poll())
        # Records still being analysed when the stop comes are logged whole.
        # Ctrl-\ on a terminal: an orderly stop, not a core dump.
        for c in stopping:
            n.session(source=c)
            n.wait_stderr("%s Logging connection data" % c)
        self.assertLess(len(n.lines()), 6)
        self.assertEqual(n.stop(signal.SIGQUIT, timeout=120), 0)
        self.assertIn("SIGQUIT: initiating shutdown sequence...", n.stderr())
        self.assertEqual(sorted((c["ip"], c["ptr"]) for c in n.lines()), sorted(
            [(c, "slow-%s.example.test" % c) for c in queued + stopping] + [(late, ptr(late) + ".")]))

    def test_full_backlog_and_stop_keep_every_line(self):
        # A DNS server that never answers: every analysis runs to its deadline.
        n = self.start({}, ini="[Process]\nAnalysisBacklog=40\n", default="timeout")

        def burst(count):
            for _ in range(count):
                n.session(source="192.0.2.10")

        # More records than analysis threads and the cap together: the rest
        # are logged at once without DNS data.
        burst(130)
        n.wait_stderr("[WARN] analysis backlog full (")
        self.assertIn("), logging without DNS data", n.stderr())
        lines = n.wait_lines(130, timeout=90)
        # Time-outs and skipped analyses alike: no data, the query name.
        self.assertEqual({c["ptr"] for c in lines}, {"10.2.0.192.in-addr.arpa."})
        burst(1)
        n.wait_stderr("[WARN] analysis backlog back to normal (")
        # One warning per episode: full and back to normal alternate. A slow
        # burst may see the first analyses time out and the backlog refill,
        # which is a second episode, not a repeated warning.
        events = [l for l in n.stderr().splitlines()
                  if "analysis backlog full" in l or "analysis backlog back to normal" in l]
        kinds = ["full" if "full" in l else "normal" for l in events]
        self.assertEqual(kinds, ["full", "normal"] * (len(kinds) // 2), events)
        self.assertGreaterEqual(len(kinds), 2)
        # Thousands more, a few at a time: each line comes while the server
        # runs, and what waits for its line stays within the cap.
        rss0 = rss_kb(n.proc.pid)
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(lambda _: n.session(source="192.0.2.10"), range(3000)))
        n.wait_lines(3131, timeout=120)
        if not SANITIZED:  # sanitizers keep freed memory in quarantine
            self.assertLess(rss_kb(n.proc.pid) - rss0, 4096)
        # A stop with analyses in flight ends within its bound, every line written.
        burst(20)
        t0 = time.monotonic()
        self.assertEqual(n.stop(signal.SIGTERM, timeout=60), 0)
        self.assertLess(time.monotonic() - t0, 20)
        self.assertEqual(len(n.lines()), 3151)

    def test_without_a_cap_what_the_window_cannot_take_waits_and_keeps_its_line(self):
        # No answers: nothing leaves the analysis window (1,024 records) for
        # 8 s, so the records beyond it wait in the logger's queue.
        n = self.start({}, ini="[Process]\nAnalysisBacklog=0\n", default="timeout")
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            list(pool.map(lambda _: n.session(source="192.0.2.10"), range(1200)))
        n.wait_lines(1200, timeout=120)
        self.assertEqual(n.stop(), 0)


class JsonLines(AnalysisCase):
    """The JSON line of each connection ([Logging] JsonLines=1) against a
    scripted DNS world, and the pipe line it leaves as it was."""
    WHITE, BLACK, GUESS = "203.0.113.5", "198.51.100.7", "192.0.2.10"
    NAMES = world({
        rev(WHITE) + ".wl1.test": {"A": ["127.0.0.2"]},
        rev(WHITE) + ".bl1.test": {"A": ["127.0.0.2"]},
        rev(WHITE) + ".bl2.test": {"A": ["127.255.255.254"]},
        rev(WHITE) + ".gl1.test": {"A": ["127.0.0.3"]},
        rev(BLACK) + ".bl2.test": {"A": ["127.0.0.4"]},
        rev(BLACK) + ".gl1.test": {"A": ["127.0.0.3"]},  # black decides over grey
        ptr(GUESS): {"PTR": ["mail.isp.test"]},
        "mail.isp.test": {"A": [GUESS]},
        rev(GUESS) + ".origin.test": {"TXT": [["64500 | 192.0.2.0/24 | ZZ | test | 2001-01-01"]]},
        "as64500.asn.test": {"TXT": [["64500 | ZZ | test | 2001-01-01 | Own\x01er \xff\xc3\xa9 \"q\""]]},
    })
    INI = "[DNSinfo]\nCYMRU_ORG=origin.test\nCYMRU_ASN=asn.test\n[Options]\nQuerySenderBase=0\n"

    def jsonlines(self, n, count):
        path = os.path.join(n.dir, "ipinfo%s.jsonl" % time.strftime("%Y%m%d"))
        read = lambda: pathlib.Path(path).read_bytes().splitlines() if os.path.exists(path) else []
        wait_for(lambda: len(read()) >= count, what="%d JSON line(s)" % count)
        return [json.loads(l.decode("utf-8")) for l in read()]

    def sessions(self):
        self.analyse(self.WHITE, b"HELO mail.example.test", b"QUIT")
        self.analyse(self.BLACK, b"HELO localhost\r\nMAIL FROM:<a\xff\x01@b.test>", b"QUIT")
        self.analyse(self.GUESS, b"HELO mail.isp.test", b"QUIT")
        return [l.split("|", 2)[2] for l in self.n.daily("ipinfo").splitlines()]  # no date, time

    def test_json_object_of_a_scripted_world(self):
        n = self.start(self.NAMES, ["-s"], ini=self.INI + "[Logging]\nJsonLines=1\n")
        lines = self.sessions()
        white, black, guess = self.jsonlines(n, 3)
        self.assertEqual(list(white), ["time", "duration_ms", "mode", "client", "server", "helo",
                                       "helo_class", "tag", "tag_detail", "lists", "origin",
                                       "spf", "smtp", "signals", "analysis"])
        self.assertEqual((white["tag"], white["tag_detail"], white["mode"], white["analysis"]),
                         ("WL", "wl1.test", "emulation", "complete"))
        self.assertEqual(white["lists"], [
            {"list": "white", "zone": "wl1.test", "answer": "127.0.0.2", "listed": True},
            {"list": "black", "zone": "bl1.test", "answer": "127.0.0.2", "listed": True},
            {"list": "black", "zone": "bl2.test", "answer": "127.255.255.254", "listed": False},
            {"list": "grey", "zone": "gl1.test", "answer": "127.0.0.3", "listed": True}])
        self.assertEqual(white["server"], {"ip": "127.0.0.1", "port": n.port})
        self.assertRegex(white["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        # A black-listed client keeps its HELO class; its bytes stay valid JSON.
        self.assertEqual((black["tag"], black["tag_detail"], black["helo_class"]),
                         ("BL", "bl2.test", "not-fqdn-helo"))
        self.assertEqual(black["smtp"]["transactions"],
                         [{"mail_from": "<a\ufffd\x01@b.test>", "rcpt_to": []}])
        self.assertEqual(black["signals"], ["pipelining"])
        # The HELO name without SPF record of its own passes by the best guess.
        self.assertEqual(guess["spf"], {"result": "Pass", "identity": "helo",
                                        "domain": "mail.isp.test", "source": "best-guess"})
        self.assertEqual(guess["client"], dict(guess["client"], ip=self.GUESS, ptr_confirmed=True))
        self.assertEqual(guess["origin"], {"asn": 64500, "prefix": "192.0.2.0/24",
                                           "network": "192.0.2.0/24", "country": "ZZ",
                                           "owner": "Own er \ufffd\u00e9 \"q\""})
        self.assertEqual(guess["helo_class"], "ok")
        # The pipe lines are those of a server without JSON lines.
        n.stop()
        self.start(self.NAMES, ["-s"], ini=self.INI)
        self.assertEqual(self.sessions(), lines)
        self.assertFalse(glob.glob(os.path.join(self.n.dir, "*.jsonl")))


ZONES = {  # healthy, dead, refusing, listing the world; notest.test is NXDOMAIN
    "2.0.0.127.good-wl.test": {"A": ["127.0.0.2"]},
    "2.0.0.127.good-bl.test": {"A": ["127.0.0.2"]},
    "*.dead.test": {"action": "timeout"},
    "*.refusing.test": {"A": ["127.255.255.254"]},
    "*.world.test": {"A": ["127.0.0.2"]},
    "test.good-uri.test": {"A": ["127.0.1.2"]},
    "*.bad-uri.test": {"A": ["127.0.1.2"]},
}


class ListHealth(AnalysisCase):
    """Each zone of ZONES shows one way a list service can fail."""

    def test_start_up_summary_warnings_and_table(self):
        status = {"good-wl.test": "healthy", "refusing.test": "refuses", "dead.test": "no answer",
                  "world.test": "lists the world", "notest.test": "no test entry",
                  "good-bl.test": "healthy", "good-uri.test": "healthy",
                  "bad-uri.test": "lists the world"}
        n = self.start(ZONES, files=lists(wl="good-wl.test", uwl="good-uri.test", ubl="bad-uri.test",
                                          bl="refusing.test dead.test world.test "
                                             "notest.test good-bl.test"))
        err = n.stderr()
        self.assertIn("[INFO] 3 of 8 DNS lists answer as RFC 5782 expects", err)
        # One warning for each zone that is not healthy, with the reason.
        warnings = re.findall(r"\[WARN\] DNS list (\S+) \(nsp-\w+\.txt\): (.*)", err)
        self.assertEqual(sorted(z for z, _ in warnings),
                         sorted(z for z, s in status.items() if s != "healthy"))
        self.assertIn(("world.test", "lists the world (127.0.0.1 listed: 127.0.0.2)"), warnings)
        self.assertIn(("notest.test", "does not list the test entry 127.0.0.2 (NXDOMAIN)"),
                      warnings)
        n.stop()
        r = n.run(["-T", "-v", "0"])
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        # Columns: zone, list file, status, answer, time.
        rows = {l.split()[0]: l for l in r.stdout.splitlines()[1:-1]}
        self.assertEqual({z: re.split(r"\s{2,}", l)[2] for z, l in rows.items()}, status)
        self.assertRegex(rows["refusing.test"],
                         r"nsp-dnsbl\.txt +refuses +127\.255\.255\.254 +\d+ ms$")
        self.assertRegex(rows["dead.test"], r">\d+ ms$")
        self.assertEqual(r.stdout.splitlines()[-1], "3 of 8 DNS lists answer as RFC 5782 expects")
        for name, text in lists(wl="good-wl.test", bl="good-bl.test", uwl="good-uri.test").items():
            pathlib.Path(n.dir, name).write_text(text)
        r = n.run(["-T", "-v", "0"])
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(r.stdout.splitlines()[-1], "3 of 3 DNS lists answer as RFC 5782 expects")

    def test_error_answers_are_no_listing_warned_once_and_reload_rechecks(self):
        listed, unlisted = ADDRESSES[:2]
        names = world(dict(ZONES, **{ptr(listed): {"PTR": ["mail.example.test"]},
                                     ptr(unlisted): {"PTR": ["mail.example.test"]},
                                     "mail.example.test": {"A": [unlisted]},
                                     rev(listed) + ".good-bl.test": {"A": ["127.0.0.4"]}}))
        n = self.start(names, files=lists(bl="refusing.test good-bl.test"))
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
        pathlib.Path(n.dir, "nsp-dnsbl.txt").write_text("refusing.test\ngood-bl.test\nworld.test\n")
        n.proc.send_signal(signal.SIGHUP)
        n.wait_stderr("[WARN] DNS list world.test (nsp-dnsbl.txt): lists the world")
        err = n.stderr()
        self.assertIn("[INFO] 1 of 3 DNS lists answer as RFC 5782 expects", err)
        self.assertEqual((err.count("DNS list refusing.test"), err.count("DNS list good-bl.test")),
                         (1, 0))
        self.assertEqual(n.stop(), 0)

    def test_silent_lists_do_not_hold_up_the_start(self):
        # Every query times out; the resolver tries each of three servers
        # twice, so a zone alone would take some 20 s, five times the bound.
        n = self.start({"*.test": {"action": "timeout"}},
                       files=lists(bl="dead.test dead2.test", gl="dead3.test", ubl="dead4.test"),
                       servers=3, wait=False)
        n.wait_stderr("Checking the DNS lists...")
        began = time.monotonic()
        n.wait_stderr("Waiting for incoming connections...")
        self.assertLess(time.monotonic() - began, 10.0)
        self.assertIn("0 of 4 DNS lists answer as RFC 5782 expects", n.stderr())
        self.assertEqual(n.stderr().count("no answer (dead or blocked)"), 4)
        self.assertTrue(self.dns_server.asked())
