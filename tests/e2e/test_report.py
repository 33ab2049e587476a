"""What the decoy caught, handed on: a scripted week of daily files from many
addresses; the report and its page in headless Chromium; the trap zone served
by a real rbldnsd; the fail2ban filter on the stable name ipinfo.log written
by the running decoy. Runs in a network namespace of its own."""
import glob
import json
import os
import pathlib
import random
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import ctypes

from dnslib import QTYPE, RCODE, DNSRecord

from harness import BIN, QUIET_DNS, Case, free_port, parse_line, private_network, wait_for

BUILD = os.path.dirname(os.path.abspath(BIN))
FILTER = os.path.join(os.path.dirname(__file__), "..", "..", "dist", "fail2ban", "filter.d",
                      "nestrap.conf")
DAY = 86400


CLIENTS = ["198.51.0.10", "192.0.2.11"]  # a caught bot, an MTA-like sender (week() below)


def setUpModule():
    private_network(CLIENTS)


def line(t, ip, tag, spf="None", helo="bot.example", ptr=None, detail="z.test", cc="--"):
    u = time.gmtime(t)
    return "|".join([time.strftime("%Y-%m-%d|%H:%M:%S", u), "%08X" % sum(
        int(p) << s for p, s in zip(ip.split("."), (24, 16, 8, 0))), "%6d" % (len(ip) * 100), ip,
        ip + "/32", ip + "/32", ptr or "none.", helo, spf, tag, detail, cc, "AS-" + cc, "1", "0",
        "0", "0", "no-auth", "no-from", "no-rcpt", "no-quit"]) + " \n"


def week(now):
    """Connections of the last ten days by group, as {local date: [lines]};
    returns them with the addresses the trap must catch and those MTA-like."""
    rng = random.Random(7)
    within = lambda: now - rng.randrange(3600, 6 * DAY)
    old = lambda: now - rng.randrange(8 * DAY, 10 * DAY)
    visits, caught, mta = [], [], []
    for i in range(60):  # bots seen 3..6 times with a trap tag: caught
        ip = "198.51.%d.%d" % (i // 50, 10 + i)
        caught.append(ip)
        for _ in range(rng.randrange(3, 7)):
            tag, detail = rng.choice([("BL", "zen.test"), ("BL", "bl.test"), ("GL", "bad-ptr"),
                                      ("HL", "ip-in-helo")])
            visits.append(line(within(), ip, tag, detail=detail,
                               cc=rng.choice(["CN", "RU", "BR", "US", "VN", "IN"])))
    for i in range(40):  # twice only, or three times with one older than the window
        ip = "203.0.113.%d" % (10 + i)
        stamps = [within(), within()] + ([old()] if i % 2 else [])
        visits += [line(t, ip, "BL", detail="zen.test", cc="DE") for t in stamps]
    for i in range(20):  # MTA-like, and once-white-listed bots
        ip, name = "192.0.2.%d" % (10 + i), "mx%d.example.org" % i
        if i % 2:
            mta.append(ip)
            visits += [line(within(), ip, "NL", "Pass", name, name, "neutral", "NL")
                       for _ in range(4)]
        else:
            visits += [line(within(), ip, "BL", cc="FR") for _ in range(3)]
            visits.append(line(within(), ip, "WL", detail="wl.test", cc="FR"))
    days = {}
    for v in visits:
        t = time.mktime(time.strptime(v[:19], "%Y-%m-%d|%H:%M:%S")) - time.timezone
        days.setdefault(time.strftime("%Y%m%d", time.localtime(t)), []).append(v)
    return days, sorted(caught), mta


class ReportTest(Case):
    def setUp(self):
        self.now = int(time.time())
        self.days, self.caught, self.mta = week(self.now)
        self.n = self.server(start=False, ini=QUIET_DNS)
        for d, lines in self.days.items():
            with open(os.path.join(self.n.dir, "ipinfo%s.log" % d), "w") as f:
                f.writelines(sorted(lines))
        # One day also as JSON lines, which carry the bot signals.
        d = sorted(self.days)[-3]
        with open(os.path.join(self.n.dir, "ipinfo%s.jsonl" % d), "w") as f:
            for v in sorted(self.days[d]):
                p = parse_line(v.rstrip("\n"))
                f.write(json.dumps({"time": p["date"] + "T" + p["time"] + ".000Z",
                                    "client": {"ip": p["ip"], "ptr": p["ptr"]}, "helo": p["helo"],
                                    "helo_class": "ip-in-helo", "tag": p["tag"],
                                    "tag_detail": p["detail"], "spf": {"result": p["spf"]},
                                    "origin": {"asn": 1, "country": p["country"]},
                                    "signals": ["pipelining", "bare-lf"]}) + "\n")

    def test_trap_zone_served_by_rbldnsd(self):
        r = self.n.run(["-l", self.n.dir, "-E", "plain"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), self.caught)
        port = free_port()
        self.serve_zone(port)

        def ask(ip, qtype):
            name = ".".join(reversed(ip.split("."))) + ".trap.test"
            try:
                return DNSRecord.parse(DNSRecord.question(name, qtype).send("127.0.0.1", port,
                                                                            timeout=2))
            except OSError:
                return None
        wait_for(lambda: ask("127.0.0.2", "A"), what="rbldnsd answering")
        for ip in self.caught[:5] + ["127.0.0.2"]:
            self.assertEqual([str(a.rdata) for a in ask(ip, "A").rr], ["127.0.0.2"], ip)
            self.assertIn("Seen at the decoy", str(ask(ip, "TXT").rr[0].rdata))
        for ip in self.mta[:3] + ["203.0.113.10", "203.0.113.11", "192.0.2.10"]:
            self.assertEqual(ask(ip, "A").header.rcode, RCODE.NXDOMAIN, ip)

    def serve_zone(self, port):
        """rbldnsd serving the -E rbldnsd zone as trap.test on 127.0.0.1:port."""
        zone = os.path.join(tempfile.mkdtemp(), "trap.zone")
        self.addCleanup(shutil.rmtree, os.path.dirname(zone))
        r = self.n.run(["-l", self.n.dir, "-E", "rbldnsd", "-o", zone])
        self.assertEqual((r.returncode, r.stdout), (0, ""), r.stderr)
        os.chmod(os.path.dirname(zone), 0o755)
        os.chmod(zone, 0o644)
        dns = subprocess.Popen(["rbldnsd", "-n", "-u", "65534:65534", "-b", "127.0.0.1/%d" % port,
                                "-w", os.path.dirname(zone), "trap.test:ip4set:trap.zone"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (dns.kill(), dns.wait()))

    @unittest.skipUnless(shutil.which("postfix"), "needs Debian's postfix")
    def test_postscreen_refuses_a_caught_client(self):
        # Postfix's resolver reads /etc/resolv.conf: a mount namespace of this
        # process gets one of its own, naming rbldnsd on port 53 of the private network.
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d, True)
        os.chmod(d, 0o755)
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.unshare(0x00020000) != 0:  # CLONE_NEWNS
            self.skipTest("unshare(CLONE_NEWNS) refused")
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        with open(os.path.join(d, "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\n")
        subprocess.run(["mount", "--bind", os.path.join(d, "resolv.conf"), "/etc/resolv.conf"],
                       check=True)
        self.serve_zone(53)
        for sub in ("etc", "queue", "data"):
            os.mkdir(os.path.join(d, sub))
        shutil.chown(os.path.join(d, "data"), "postfix")
        port = free_port()
        with open(os.path.join(d, "etc", "main.cf"), "w") as f:
            f.write("""compatibility_level = 3.6\nqueue_directory = {d}/queue\n
data_directory = {d}/data\nmaillog_file = {d}/maillog\nmaillog_file_prefixes = {d}\n
myhostname = mx.example.test\nmydestination =\ninet_interfaces = 127.0.0.1\n
inet_protocols = ipv4\nmynetworks = 127.0.0.1/32\nalias_maps =\nalias_database =\n
postscreen_access_list =\npostscreen_dnsbl_sites = trap.test=127.0.0.2*3\n
postscreen_dnsbl_threshold = 3\npostscreen_dnsbl_action = drop\npostscreen_greet_wait = 2s\n
""".format(d=d).replace("\n\n", "\n"))
        with open("/usr/share/postfix/master.cf.dist") as f:
            master = re.sub(r"(?m)^(\S+\s+\S+\s+\S+\s+\S+\s+)y", r"\1n", f.read())
        master = re.sub(r"(?m)^smtp\s+inet.*$", "127.0.0.1:%d inet n - n - 1 postscreen\n"
                        "smtpd pass - - n - - smtpd\ndnsblog unix - - n - 0 dnsblog\n"
                        "tlsproxy unix - - n - 0 tlsproxy" % port, master)
        with open(os.path.join(d, "etc", "master.cf"), "w") as f:
            f.write(re.sub(r"(?m)^#(postlog.*)$", r"\1", master))
        subprocess.run(["postfix", "-c", d + "/etc", "start"], check=True, capture_output=True)
        self.addCleanup(subprocess.run, ["postfix", "-c", d + "/etc", "stop"], capture_output=True)

        def greeting(source):
            with socket.create_connection(("127.0.0.1", port), 30, (source, 0)) as s:
                data = b""
                while not re.search(rb"(^|\n)(220|521) ", data):
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    data += chunk
                return data.decode(errors="replace")
        log = pathlib.Path(d, "maillog")
        wait_for(lambda: log.exists() and "daemon started" in log.read_text(),
                 what="postfix started")
        self.assertRegex(greeting(CLIENTS[0]), r"\n521 .*blocked using trap\.test")
        self.assertRegex(greeting(CLIENTS[1]), r"\n220 mx\.example\.test ")

    @unittest.skipUnless(shutil.which("nft"), "needs Debian's nftables")
    def test_nft_set_takes_the_export(self):
        nft = os.path.join(self.n.dir, "trap.nft")
        for args in (["-E", "nft", "-o", nft], ["-E", "nft", "-o", nft]):  # replaced, not added
            self.assertEqual(self.n.run(["-l", self.n.dir] + args).returncode, 0)
        subprocess.run(["nft", "add table inet nestrap; add set inet nestrap trap "
                        "{ type ipv4_addr; }"], check=True)
        self.addCleanup(subprocess.run, ["nft", "delete table inet nestrap"])
        subprocess.run(["nft", "-f", nft], check=True)
        subprocess.run(["nft", "-f", nft], check=True)
        listed = subprocess.run(["nft", "list set inet nestrap trap"], capture_output=True,
                                text=True, check=True).stdout
        self.assertEqual(sorted(re.findall(r"\d+\.\d+\.\d+\.\d+", listed)), self.caught)

    def test_report_page_in_chromium(self):
        page = os.path.join(self.n.dir, "report.html")
        r = self.n.run(["-l", self.n.dir, "-R", "7", "-o", page])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"files read: \d+ \(1 of JSON lines\)")
        profile = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, profile, True)
        flags = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--enable-logging=stderr", "--user-data-dir=" + profile]
        shot = os.path.join(BUILD, "report-screenshot.png")
        dom = subprocess.run(flags + ["--dump-dom", "file://" + page], capture_output=True,
                             text=True, timeout=120)
        subprocess.run(flags + ["--screenshot=" + shot, "--window-size=1200,3000",
                                "file://" + page], capture_output=True, timeout=120)
        self.assertTrue(os.path.getsize(shot) > 0)
        self.assertNotRegex(dom.stderr, r"CONSOLE|Uncaught|ERR_FILE")
        bars = {m[0]: (int(m[1]), len(re.findall(r'<rect class="bar"', m[2])))
                for m in re.findall(r'<svg class="chart" id="chart-([a-z-]+)" data-bars="(\d+)"'
                                    r'(.*?)</svg>', dom.stdout, re.S)}
        # Classes: ip-in-helo, neutral and none; nine countries, more than ten AS.
        want = {"hourly": 168, "tags": 5, "zones": 4, "helo-classes": 3, "spf": 2, "signals": 2,
                "countries": 9, "as": 10}
        self.assertEqual({k: v[1] for k, v in bars.items()}, want)
        self.assertTrue(all(a == b for a, b in bars.values()))

    def test_fail2ban_follows_ipinfo_log(self):
        self.n.args = ["-l", self.n.dir]
        self.n.start()
        before = len(self.n.lines())  # the scripted week
        for helo in (b"HELO bot\r\n", b"HELO mx.example.org\r\n"):
            self.n.session(helo)
        self.n.wait_lines(before + 2)
        link = os.path.join(self.n.dir, "ipinfo.log")
        wait_for(lambda: os.path.islink(link), what="ipinfo.log")
        self.assertEqual(os.readlink(link), time.strftime("ipinfo%Y%m%d.log"))
        with open(link) as f:
            lines = [parse_line(l.rstrip("\n")) for l in f]
        expect = sum(1 for p in lines if p["tag"] in ("BL", "GL", "HL"))
        self.assertGreater(len(lines), 2)
        r = subprocess.run(["fail2ban-regex", "--timezone", "UTC", link, FILTER],
                           capture_output=True, text=True, timeout=120)
        m = re.search(r"Lines: (\d+) lines, 0 ignored, (\d+) matched", r.stdout)
        self.assertEqual((int(m[1]), int(m[2])), (len(lines), expect), r.stdout)


if __name__ == "__main__":
    unittest.main()
