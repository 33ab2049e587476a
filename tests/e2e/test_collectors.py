"""The metrics page scraped by the real Prometheus and checked by promtool
with the files of dist/prometheus, connection lines carried by two real
rsyslog daemons (dist/rsyslog) and to a journald of the test's own. In
network, host-name ("decoy-a") and mount namespaces of the module's own."""
import ctypes
import json
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

from harness import TEMPFAIL, Case, free_port, private_network, wait_for

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DIST = os.path.join(ROOT, "dist")
HOST = "decoy-a"
# One healthy list zone (lists its test entry only) and one that lists nothing.
ZONES = {"2.0.0.127.good.test": {"A": ["127.0.0.2"]}}
LISTS = {"nsp-dnsbl.txt": "good.test\nbad.test\n", "nsp-dnswl.txt": "#\n", "nsp-dnsgl.txt": "#\n",
         "nsp-uriwl.txt": "#\n", "nsp-uribl.txt": "#\n"}
JOURNALD = "/lib/systemd/systemd-journald"


def setUpModule():
    """A /run (and /var/log/journal) of its own for the test's journald."""
    private_network([])
    if ctypes.CDLL(None).unshare(0x04000000 | 0x00020000) != 0:  # CLONE_NEWUTS, CLONE_NEWNS
        raise unittest.SkipTest("cannot unshare the host name and the mounts")
    socket.sethostname(HOST)
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    for d in ("/run", "/var/log/journal"):
        if os.path.isdir(d):
            subprocess.run(["mount", "-t", "tmpfs", "tmpfs", d], check=True)


def shipped(path, *edits):
    """The text of a file under dist/ with (old, new) replacements made."""
    text = pathlib.Path(DIST, path).read_text()
    for old, new in edits:
        text = text.replace(old, new)
    return text


def get(url, data=None):
    """(status, body text) of a GET (a POST with data)."""
    try:
        with urllib.request.urlopen(url, data, timeout=10) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


class Collectors(Case):
    def decoy(self, ini=""):
        self.dns_server = self.dns(ZONES)
        self.metrics = "127.0.0.1:%d" % free_port()
        return self.server(files=LISTS, ini="[DNSinfo]\nNameServer=127.0.0.1:%d\n[Metrics]\n"
                           "Listen=%s\n%s" % (self.dns_server.port, self.metrics, ini))

    def page(self):
        status, text = get("http://%s/metrics" % self.metrics)
        self.assertEqual(status, 200)
        return text

    def daemon(self, cmd, tmp):
        log = open(os.path.join(tmp, os.path.basename(cmd[0]) + "-%d.err" % len(cmd)), "w")
        p = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, cwd=tmp)
        self.addCleanup(lambda: (p.terminate(), p.wait(30), log.close()))
        return p

    def test_prometheus_scrapes_the_page_and_promtool_accepts_it_and_the_rules(self):
        n, sessions = self.decoy(), 7
        for _ in range(sessions):
            self.assertEqual(n.session()[1:], (TEMPFAIL, "fin"))
        n.wait_lines(sessions)
        text = self.page()
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                               text=True, timeout=60)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))
        self.assertIn('nestrap_list_zone_healthy{zone="good.test",list="nsp-dnsbl.txt"} 1', text)
        self.assertIn('nestrap_list_zone_healthy{zone="bad.test",list="nsp-dnsbl.txt"} 0', text)
        self.assertIn('nestrap_log_lines_written_total{log="connection"} %d' % sessions, text)
        self.assertIn('nestrap_signals_total{signal="long-line"} 0', text)
        self.assertEqual(get("http://%s/other" % self.metrics)[0], 404)
        self.assertEqual(get("http://%s/metrics" % self.metrics, b"x")[0], 405)

        rules = os.path.join(DIST, "prometheus", "nestrap-rules.yml")
        for args in (["check", "rules", rules],
                     ["test", "rules", os.path.join(ROOT, "tests", "e2e", "nestrap-rules.test.yml")],
                     ["check", "config", os.path.join(DIST, "prometheus", "prometheus.yml")]):
            r = subprocess.run(["promtool"] + args, capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

        # The shipped scrape configuration, pointed at this decoy, every second.
        with open(os.path.join(n.dir, "prometheus.yml"), "w") as f:
            f.write(shipped("prometheus/prometheus.yml", ("30s", "1s"), ("nestrap-rules.yml", rules),
                            ("decoy-a.example.net:9433", self.metrics),
                            ("          - decoy-b.example.net:9433\n", "")))
        api = "http://127.0.0.1:%d/api/v1/" % free_port()
        self.daemon(["prometheus", "--config.file=prometheus.yml", "--storage.tsdb.path=tsdb",
                     "--web.listen-address=" + api[7:-8]], n.dir)

        def accepted():
            try:
                r = json.loads(get(api + "query?query=nestrap_connections_accepted_total")[1])
            except (OSError, ValueError):
                return None
            return r["data"]["result"] if r.get("status") == "success" else None
        result = wait_for(accepted, timeout=120, interval=0.5, what="a scrape")
        self.assertEqual(int(result[0]["value"][1]), sessions)
        groups = json.loads(get(api + "rules")[1])["data"]["groups"]
        self.assertEqual(sorted((r["name"], r["health"]) for g in groups for r in g["rules"]),
                         [("NestrapListZoneUnhealthy", "ok"), ("NestrapStoppedWritingLines", "ok")])

    def test_silent_and_flooding_scrapers_cost_the_sessions_nothing(self):
        n = self.decoy()
        host, port = self.metrics.split(":")
        silent = socket.create_connection((host, int(port)))
        self.addCleanup(silent.close)

        def flood():
            with socket.create_connection((host, int(port))) as s:
                try:
                    s.sendall(b"GET /metrics HTTP/1.1\r\nX: " + b"a" * (1 << 20))
                except OSError:
                    pass  # the server may close it as soon as it is over its budget
        flooder = threading.Thread(target=flood)
        flooder.start()
        for _ in range(20):
            start = time.monotonic()
            self.assertEqual(n.session()[1:], (TEMPFAIL, "fin"))
            self.assertLess(time.monotonic() - start, 5)
        flooder.join(60)
        n.wait_lines(20)
        self.assertIn("nestrap_connections_accepted_total 20\n", self.page())

    def test_rsyslog_pair_delivers_every_line_with_the_decoy_host_name(self):
        sessions, tmp = 30, tempfile.mkdtemp(prefix="nestrap-rsyslog-")
        self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
        collected, sock, tcp = tmp + "/merged.log", tmp + "/syslog.sock", '"%d"' % free_port()
        for name, text in (
                ("collector", shipped("rsyslog/nestrap-collector.conf", ('"514"', tcp + ' address='
                                      '"127.0.0.1"'), ("/var/log/nestrap/all-decoys.log", collected))),
                ("decoy", 'module(load="imuxsock" SysSock.Use="off")\n' + shipped(
                    "rsyslog/nestrap-decoy.conf", ('"collector.example.net"', '"127.0.0.1"'),
                    ('"514"', tcp), ("/run/nestrap-syslog.sock", sock)))):
            os.mkdir(os.path.join(tmp, name))
            conf = os.path.join(tmp, name + ".conf")
            pathlib.Path(conf).write_text('global(workDirectory="%s/%s")\n' % (tmp, name) + text)
            self.daemon(["rsyslogd", "-n", "-f", conf, "-i", os.path.join(tmp, name + ".pid")], tmp)
        wait_for(lambda: os.path.exists(sock), what="the decoy's rsyslog socket")
        # The decoy may run as a user of its own (a nestrap account): it must reach the socket.
        os.chmod(tmp, 0o755)
        os.chmod(sock, 0o666)
        n = self.decoy("[Logging]\nSystemLog=%s\n" % sock)
        for i in range(sessions):
            n.session(b"HELO client-%d.example.test\r\n" % i)
        n.wait_lines(sessions)
        lines = [l.rstrip() for l in n.daily("ipinfo").splitlines()]

        def merged():
            got = open(collected).read().splitlines() if os.path.exists(collected) else []
            return got if len(got) >= sessions else None
        got = wait_for(merged, timeout=120, interval=0.2, what="the collector's file")
        self.assertEqual(sorted(got), sorted(HOST + " " + l for l in lines))
        self.assertIn('nestrap_log_lines_written_total{log="system"} %d' % sessions, self.page())

    def test_a_socket_nobody_reads_loses_lines_but_holds_up_neither_sessions_nor_the_stop(self):
        tmp = tempfile.mkdtemp(prefix="nestrap-deaf-")
        self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
        os.chmod(tmp, 0o755)
        deaf = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(deaf.close)
        deaf.bind(tmp + "/deaf.sock")
        os.chmod(tmp + "/deaf.sock", 0o666)
        n, sessions = self.decoy("[Logging]\nSystemLog=%s/deaf.sock\n" % tmp), 600
        for _ in range(sessions):  # far more datagrams than the socket holds
            self.assertEqual(n.session()[1:], (TEMPFAIL, "fin"))
        n.wait_lines(sessions)
        self.assertNotIn('nestrap_log_lines_lost_total{log="system"} 0\n', self.page())
        # What still waits for the socket at the stop is given up, not tried line by line.
        started = time.monotonic()
        self.assertEqual(n.stop(timeout=120), 0)
        self.assertLess(time.monotonic() - started, 15)

    def test_journal_fields_and_stderr_without_a_second_stamp(self):
        for d in ("/run/systemd/journal", "/run/log/journal"):
            os.makedirs(d, exist_ok=True)
        self.daemon([JOURNALD], "/run")
        wait_for(lambda: os.path.exists("/run/systemd/journal/socket"), what="journald")
        n = self.decoy("[Logging]\nSystemLog=1\n")
        n.stop()
        n._stderr.close()
        # A standard error that is the journal's stream carries no time stamp.
        st = os.stat(n.stderr_path)
        n.env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
        n.start()
        self.assertTrue(n.stderr().startswith("<6>[INFO] #### nestrap"), n.stderr()[:200])
        self.assertIn("Connection lines to the system log: the journal", n.stderr())
        n.session(b"HELO fields.example.test\r\n")
        line = n.wait_lines(1)[0]

        def entry():
            r = subprocess.run(["journalctl", "-o", "json", "--since", "-10min",
                                "NESTRAP_HELO=fields.example.test"], capture_output=True, text=True)
            return [json.loads(l) for l in r.stdout.splitlines()]
        e = wait_for(entry, timeout=60, interval=0.5, what="the journal entry")[-1]
        self.assertEqual((e["MESSAGE"], e["NESTRAP_CLIENT_IP"], e["NESTRAP_TAG"]),
                         ("|".join(line.values()), "127.0.0.1", line["tag"]))
        self.assertEqual((e["NESTRAP_SPF"], e["NESTRAP_COUNTRY"], e["NESTRAP_ASN"]),
                         (line["spf"], line["country"], line["asn"].strip()))
        self.assertNotIn("CODE_FILE", e)  # the sender's source location says nothing
