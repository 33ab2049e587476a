"""What a scripted week of daily files caught, handed to real peers in private
network (and mount) namespaces: rbldnsd serving the trap zone to Postfix's
postscreen, nft loading the set, fail2ban-regex on the decoy's ipinfo.log,
and the report page in headless Chromium."""
import ctypes
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

from dnslib import RCODE, DNSRecord

from harness import BIN, QUIET_DNS, Case, free_port, parse_line, private_network, wait_for

FILTER = os.path.join(os.path.dirname(__file__), "../../dist/fail2ban/filter.d/nestrap.conf")
CLIENTS = ["198.51.0.10", "192.0.2.11"]  # a caught bot, an MTA-like sender (week() below)


def setUpModule():
    private_network(CLIENTS)


def line(t, ip, tag, spf="None", helo="bot", detail="z.test", cc="--"):
    return "|".join([time.strftime("%Y-%m-%d|%H:%M:%S", time.gmtime(t)), "00000000",
                     "%6d" % len(ip), ip, "n", "p", helo, helo, spf, tag, detail, cc, "AS-" + cc,
                     "1", "0", "0", "0", "no-auth", "no-from", "no-rcpt", "no-quit "]) + "\n"


def week(now):
    """Ten days of lines by local date, the addresses the trap must catch, the
    MTA-like ones."""
    rng = random.Random(7)
    within = lambda: now - rng.randrange(3600, 6 * 86400)
    visits, caught, mta = [], [], []
    for i in range(60):  # 3..6 visits with a trap tag: caught
        caught.append("198.51.%d.%d" % (i // 50, 10 + i))
        visits += [line(within(), caught[-1], *rng.choice(
            [("BL", "None", "bot", "zen.test"), ("BL", "None", "bot", "bl.test"),
             ("GL", "None", "bot", "bad-ptr"), ("HL", "None", "bot", "ip-in-helo")]),
            cc=rng.choice(["CN", "RU", "BR", "US", "VN", "IN"])) for _ in range(rng.randrange(3, 7))]
    for i in range(40):  # twice, or three times with one older than the window
        stamps = [within(), within()] + [now - rng.randrange(8 * 86400, 10 * 86400)] * (i % 2)
        visits += [line(t, "203.0.113.%d" % (10 + i), "BL", detail="zen.test", cc="DE")
                   for t in stamps]
    for i in range(20):  # MTA-like (HELO = reverse name, SPF Pass), or once white-listed
        ip = "192.0.2.%d" % (10 + i)
        if i % 2:
            mta.append(ip)
            visits += [line(within(), ip, "NL", "Pass", "mx%d.test" % i, "neutral", "NL")] * 4
        else:
            visits += [line(within(), ip, "BL", cc="FR")] * 3 + [line(within(), ip, "WL", cc="FR")]
    days = {}
    for v in visits:
        t = time.mktime(time.strptime(v[:19], "%Y-%m-%d|%H:%M:%S")) - time.timezone
        days.setdefault(time.strftime("%Y%m%d", time.localtime(t)), []).append(v)
    return days, sorted(caught), mta


class ReportTest(Case):
    def setUp(self):
        self.days, self.caught, self.mta = week(int(time.time()))
        self.n = self.server(start=False, ini=QUIET_DNS)
        for d, lines in self.days.items():
            with open(os.path.join(self.n.dir, "ipinfo%s.log" % d), "w") as f:
                f.writelines(sorted(lines))
        d = sorted(self.days)[-3]  # also as JSON lines, which carry the bot signals
        with open(os.path.join(self.n.dir, "ipinfo%s.jsonl" % d), "w") as f:
            for p in (parse_line(v.rstrip("\n")) for v in self.days[d]):
                f.write(json.dumps({
                    "time": p["date"] + "T" + p["time"] + ".000Z", "client": {"ip": p["ip"]},
                    "helo": p["helo"], "helo_class": "ip-in-helo", "tag": p["tag"],
                    "spf": {"result": p["spf"]}, "origin": {"asn": 6, "country": p["country"]},
                    "signals": ["pipelining", "bare-lf"]}) + "\n")

    def export(self, fmt, path=None):
        r = self.n.run(["-l", self.n.dir, "-E", fmt] + (["-o", path] if path else []))
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    @unittest.skipUnless(shutil.which("postfix"), "needs Debian's postfix")
    def test_trap_zone_in_rbldnsd_and_postscreen(self):
        self.assertEqual(self.export("plain").split(), self.caught)
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d, True)
        os.chmod(d, 0o755)
        self.assertEqual(self.export("rbldnsd", d + "/trap.zone"), "")
        os.chmod(d + "/trap.zone", 0o644)
        dns = subprocess.Popen(["rbldnsd", "-n", "-u", "65534:65534", "-b", "127.0.0.1/53", "-w",
                                d, "trap.test:ip4set:trap.zone"], stdout=subprocess.DEVNULL)
        self.addCleanup(lambda: (dns.kill(), dns.wait()))

        def ask(ip, qtype="A"):
            q = DNSRecord.question(".".join(reversed(ip.split("."))) + ".trap.test", qtype)
            return DNSRecord.parse(q.send("127.0.0.1", 53, timeout=5))

        def ready():
            try:
                return ask("127.0.0.2").rr
            except OSError:  # not listening yet
                return None
        wait_for(ready, what="rbldnsd answering")
        for ip in self.caught[:5]:
            self.assertEqual([str(a.rdata) for a in ask(ip).rr], ["127.0.0.2"], ip)
            self.assertIn("Seen at the decoy", str(ask(ip, "TXT").rr[0].rdata))
        for ip in self.mta[:3] + ["203.0.113.10", "203.0.113.11", "192.0.2.10"]:
            self.assertEqual(ask(ip).header.rcode, RCODE.NXDOMAIN, ip)

        # A throwaway Postfix whose resolver (/etc/resolv.conf, in a mount
        # namespace of this process only) asks that rbldnsd.
        if ctypes.CDLL(None).unshare(0x00020000) != 0:  # CLONE_NEWNS
            self.skipTest("unshare(CLONE_NEWNS) refused")
        pathlib.Path(d + "/resolv.conf").write_text("nameserver 127.0.0.1\n")
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        subprocess.run(["mount", "--bind", d + "/resolv.conf", "/etc/resolv.conf"], check=True)
        for sub in ("etc", "queue", "data"):
            os.mkdir(os.path.join(d, sub))
        shutil.chown(d + "/data", "postfix")
        port = free_port()
        with open(d + "/etc/main.cf", "w") as f:
            f.write("compatibility_level = 3.6\nqueue_directory = {0}/queue\ndata_directory = "
                    "{0}/data\nmaillog_file = {0}/maillog\nmaillog_file_prefixes = {0}\n"
                    "myhostname = mx.example.test\nmydestination =\ninet_protocols = ipv4\n"
                    "mynetworks = 127.0.0.1/32\nalias_maps =\npostscreen_access_list =\n"
                    "postscreen_dnsbl_sites = trap.test=127.0.0.2*3\npostscreen_dnsbl_threshold"
                    " = 3\npostscreen_dnsbl_action = drop\npostscreen_greet_wait = 2s\n".format(d))
        with open("/usr/share/postfix/master.cf.dist") as f:  # no chroot, postscreen on port
            master = re.sub(r"(?m)^(\S+\s+\S+\s+\S+\s+\S+\s+)y", r"\1n", f.read())
        with open(d + "/etc/master.cf", "w") as f:
            f.write(re.sub(r"(?m)^#(postlog.*)$", r"\1", re.sub(
                r"(?m)^smtp\s+inet.*$", "127.0.0.1:%d inet n - n - 1 postscreen\nsmtpd pass - - "
                "n - - smtpd\ndnsblog unix - - n - 0 dnsblog" % port, master)))
        subprocess.run(["postfix", "-c", d + "/etc", "start"], check=True, capture_output=True)
        self.addCleanup(subprocess.run, ["postfix", "-c", d + "/etc", "stop"], capture_output=True)

        def greeting(source):
            with socket.create_connection(("127.0.0.1", port), 30, (source, 0)) as s:
                data = b""
                while not re.search(rb"(^|\n)(220|521) ", data) and not data.endswith(b"."):
                    data += s.recv(4096) or b"."
                return data.decode()
        wait_for(lambda: "daemon started" in open(d + "/maillog").read(), what="postfix")
        self.assertRegex(greeting(CLIENTS[0]), r"\n521 .*blocked using trap\.test")
        self.assertRegex(greeting(CLIENTS[1]), r"\n220 mx\.example\.test ")

    @unittest.skipUnless(shutil.which("nft"), "needs Debian's nftables")
    def test_nft_set_takes_the_export(self):
        path = os.path.join(self.n.dir, "trap.nft")
        subprocess.run(["nft", "add table inet nestrap; add set inet nestrap trap "
                        "{ type ipv4_addr; }"], check=True)
        self.addCleanup(subprocess.run, ["nft", "delete table inet nestrap"])
        for _ in range(2):  # the set is replaced, not added to
            self.export("nft", path)
            subprocess.run(["nft", "-f", path], check=True)
        listed = subprocess.run(["nft", "list set inet nestrap trap"], capture_output=True,
                                text=True, check=True).stdout
        self.assertEqual(sorted(re.findall(r"\d+\.\d+\.\d+\.\d+", listed)), self.caught)

    def test_report_page_in_chromium(self):
        page = os.path.join(self.n.dir, "report.html")
        r = self.n.run(["-l", self.n.dir, "-R", "7", "-o", page])
        self.assertRegex(r.stdout, r"files read: \d+ \(1 of JSON lines\)")
        profile = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, profile, True)
        run = lambda *a: subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--enable-logging=stderr", "--user-data-dir=" + profile, *a,
             "file://" + page], capture_output=True, text=True, timeout=120)
        dom = run("--dump-dom")
        shot = os.path.join(os.path.dirname(os.path.abspath(BIN)), "report-screenshot.png")
        run("--screenshot=" + shot, "--window-size=1200,3000")
        self.assertTrue(os.path.getsize(shot) > 0)
        self.assertNotRegex(dom.stderr, r"CONSOLE|Uncaught|ERR_FILE")
        bars = {m[0]: (int(m[1]), m[2].count('<rect class="bar"')) for m in re.findall(
            r'<svg class="chart" id="chart-([a-z-]+)" data-bars="(\d+)"(.*?)</svg>', dom.stdout,
            re.S)}
        # Classes: ip-in-helo, neutral and none; nine countries, more than ten AS.
        self.assertEqual(bars, {k: (v, v) for k, v in {
            "hourly": 168, "tags": 5, "zones": 3, "helo-classes": 3, "spf": 2, "signals": 2,
            "countries": 9, "as": 10}.items()})

    def test_fail2ban_follows_ipinfo_log(self):
        self.n.args = ["-l", self.n.dir]
        self.n.start()
        before = len(self.n.lines())  # the scripted week
        for _ in range(2):
            self.n.session()
        self.n.wait_lines(before + 2)
        link = os.path.join(self.n.dir, "ipinfo.log")
        self.assertEqual(os.readlink(link), time.strftime("ipinfo%Y%m%d.log"))
        with open(link) as f:
            tags = [parse_line(l.rstrip("\n"))["tag"] for l in f]
        r = subprocess.run(["fail2ban-regex", "--timezone", "UTC", link, FILTER],
                           capture_output=True, text=True, timeout=120)
        self.assertIn("Lines: %d lines, 0 ignored, %d matched" % (
            len(tags), sum(t in ("BL", "GL", "HL") for t in tags)), r.stdout)
