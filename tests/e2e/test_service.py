"""Running, installing and removing nestrap as a systemd service.

The machine's systemd is never touched: service mode is driven through a
NOTIFY_SOCKET datagram socket of the test's own, and -I / -U through a
temporary unit directory and a stand-in systemctl (NESTRAP_UNIT_DIR,
NESTRAP_SYSTEMCTL) that records its calls and plays the unit's states.
"""
import grp
import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import Nestrap, free_port

DISPLAY = "Bogus SMTP for MX sandwich"
# An unprivileged user that every Debian machine has; the tests never add users.
SERVICE_USER = "daemon"

# Never ask the machine's resolver: a fixed host name and a name server on a
# loopback port where nothing answers.
INI = """[Listener]
HostName=decoy.example.test
ListenIP=127.0.0.1
ListenPort=%d
RxTimeOut=5000
[Process]
Threads=3
[DNSinfo]
NameServer=127.0.0.1:9
"""

# The stand-in systemctl. config.json in FAKE_SYSTEMD_DIR sets the unit's
# state ("active", "inactive", ...), how many is-active queries it stays
# "deactivating" after a stop, what it settles in after that ("inactive",
# or "active" for a unit that refuses to stop), and which commands fail.
FAKE_SYSTEMCTL = r'''#!/usr/bin/python3
import json, os, sys
d = os.environ["FAKE_SYSTEMD_DIR"]
args = sys.argv[1:]
with open(os.path.join(d, "calls"), "a") as f:
    f.write(" ".join(args) + "\n")
with open(os.path.join(d, "config.json")) as f:
    cfg = json.load(f)
path = os.path.join(d, "unit.json")
unit = {"state": cfg.get("state", "inactive"), "stopping": None}
if os.path.exists(path):
    with open(path) as f:
        unit = json.load(f)
if args[0] in cfg.get("fail", []):
    sys.stderr.write("Failed to %s unit: Access denied\n" % args[0])
    sys.exit(1)
if args[0] == "is-active":
    if unit["stopping"] is not None:
        if unit["stopping"] > 0:
            unit["stopping"] -= 1
            unit["state"] = "deactivating"
        else:
            unit["state"] = cfg.get("settles", "inactive")
            unit["stopping"] = None
    print(unit["state"])
    rc = 0 if unit["state"] == "active" else 3
elif args[0] == "stop":
    unit["stopping"] = cfg.get("stop_queries", 0)
    rc = 0
else:
    rc = 0
with open(path, "w") as f:
    json.dump(unit, f)
sys.exit(rc)
'''


def recv_messages(sock, until, timeout=30.0):
    """Receives notify datagrams until one contains `until`; returns all."""
    msgs = []
    deadline = time.monotonic() + timeout
    while not any(until in m for m in msgs):
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("no %r among %r" % (until, msgs))
        sock.settimeout(left)
        msgs.append(sock.recv(4096).decode())
    return msgs


def drain(sock):
    msgs = []
    sock.settimeout(0.2)
    try:
        while True:
            msgs.append(sock.recv(4096).decode())
    except socket.timeout:
        return msgs


class NotifySocket:
    """A datagram socket standing in for systemd's notify socket."""

    def __init__(self, abstract=False):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            name = "nestrap-test-%d-%d" % (os.getpid(), time.monotonic_ns())
            self.sock.bind("\0" + name)
            self.env = "@" + name
            self.dir = None
        else:
            self.dir = tempfile.mkdtemp(prefix="nestrap-notify-")
            path = os.path.join(self.dir, "notify")
            self.sock.bind(path)
            self.env = path

    def close(self):
        self.sock.close()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)


class ServiceNestrap(Nestrap):
    """Started as systemd starts the unit: no options, only the settings file."""

    def command(self, extra=()):
        return [self.exe] + list(extra)


class ServiceModeTest(unittest.TestCase):

    def service(self, ini_port, notify=None, env=None, listen="127.0.0.1"):
        e = dict(env or {})
        if notify is not None:
            e["NOTIFY_SOCKET"] = notify.env
        ini = (INI % ini_port).replace("ListenIP=127.0.0.1", "ListenIP=" + listen)
        n = ServiceNestrap(ini=ini, port=ini_port, env=e)
        self.addCleanup(n.close)
        return n

    def assert_order(self, log, texts):
        pos = 0
        for text in texts:
            at = log.find(text, pos)
            self.assertGreaterEqual(at, 0, "%r missing or out of order in:\n%s" % (text, log))
            pos = at + len(text)

    def test_ready_stop_and_clean_shutdown(self):
        notify = NotifySocket()
        self.addCleanup(notify.close)
        n = self.service(free_port(), notify)
        n.start()
        msgs = recv_messages(notify.sock, "READY=1")
        self.assertTrue(msgs[0].startswith("STATUS=Starting"), msgs)
        self.assertNotIn("STOPPING=1", "".join(msgs))
        self.assertIn("* Service mode....: On", n.stderr())

        # It serves while running as a service.
        with n.connect() as c:
            c.settimeout(30)
            data = c.recv(4096)
            c.sendall(b"HELO client.example.test\r\n")
            while b"421 " not in data:
                chunk = c.recv(4096)
                if not chunk:
                    break
                data += chunk
        self.assertIn(b"421 4.2.1", data)

        n.proc.send_signal(signal.SIGTERM)
        recv_messages(notify.sock, "STOPPING=1")
        self.assertEqual(n.proc.wait(timeout=30), 0)
        rest = drain(notify.sock)
        self.assertIn("STATUS=Stopped, exit code 0", rest)
        self.assertNotIn("READY=1", "".join(rest))

        log = "\n".join(n.diag_lines())
        # The main thread's and the logger's shutdown steps, each in order.
        self.assert_order(log, ["SIGTERM: initiating shutdown sequence...",
                                "Closing server socket...",
                                "Starting clean shutdown...",
                                "Waiting for ",
                                "Releasing data queues...",
                                "Releasing allocated memory...",
                                "All done, exiting"])
        self.assert_order(log, ["SIGTERM: initiating shutdown sequence...",
                                "preparing shutdown...",
                                "flushing queue...",
                                "Logger thread ",
                                "Releasing data queues..."])
        self.assertEqual(log.count("SIGTERM: initiating shutdown sequence..."), 1, log)
        self.assertEqual(len(re.findall(r"Worker thread \S+ exiting", log)), 3, log)
        self.assertEqual(len(re.findall(r"Logger thread \S+ exiting", log)), 1, log)
        self.assertEqual(len(n.wait_connection_lines(1)), 1)

    def test_start_up_failure_ends_with_its_code_before_ready(self):
        busy = socket.socket()
        self.addCleanup(busy.close)
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        cases = [
            ("unusable listen address", free_port(), "no.such.address", 2,
             "Invalid listen address"),
            ("port in use", busy.getsockname()[1], "127.0.0.1", 3,
             "Couldn't bind to socket_listen! Aborting."),
        ]
        for name, port, listen, code, message in cases:
            with self.subTest(name):
                notify = NotifySocket(abstract=True)
                self.addCleanup(notify.close)
                n = self.service(port, notify, listen=listen)
                n.start(wait=False)
                self.assertEqual(n.proc.wait(timeout=30), code)
                msgs = drain(notify.sock)
                self.assertNotIn("READY=1", "".join(msgs))
                self.assertTrue(msgs and msgs[0].startswith("STATUS=Starting"), msgs)
                self.assertEqual(msgs[-1], "STATUS=Stopped, exit code %d" % code, msgs)
                self.assertIn(message, n.stderr())

    def test_invocation_id_alone_is_service_mode(self):
        # Started by systemd without the notify protocol (Type=simple).
        n = self.service(free_port(), env={"INVOCATION_ID": "0123456789abcdef"})
        n.start()
        self.assertIn("* Service mode....: On", n.stderr())
        self.assertEqual(n.stop(signal.SIGTERM), 0)
        self.assertIn("SIGTERM: initiating shutdown sequence...", n.stderr())
        self.assertIn("All done, exiting", n.stderr())

    def test_console_mode_without_service_manager(self):
        n = self.service(free_port())
        n.start()
        self.assertIn("* Service mode....: Off", n.stderr())
        self.assertEqual(n.stop(signal.SIGINT), 0)
        self.assertIn("SIGINT: initiating shutdown sequence...", n.stderr())


class InstallRemoveTest(unittest.TestCase):

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="nestrap-svc-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def fake(self, config, unit_dir=True, unit=None, user=SERVICE_USER):
        """A fresh fake systemd; returns (Nestrap, fake dir, unit path)."""
        fake = tempfile.mkdtemp(dir=self.root)
        units = os.path.join(fake, "units")
        if unit_dir:
            os.mkdir(units)
        script = os.path.join(fake, "systemctl")
        with open(script, "w") as f:
            f.write(FAKE_SYSTEMCTL)
        os.chmod(script, 0o755)
        with open(os.path.join(fake, "config.json"), "w") as f:
            json.dump(config, f)
        unit_path = os.path.join(units, "nestrap.service")
        if unit is not None:
            with open(unit_path, "w") as f:
                f.write(unit)
        env = {"NESTRAP_UNIT_DIR": units, "NESTRAP_SYSTEMCTL": script,
               "FAKE_SYSTEMD_DIR": fake}
        ini = (INI % free_port()).replace("Threads=3\n", "Threads=3\nUser=%s\n" % user)
        n = Nestrap(ini=ini, env=env, workdir=tempfile.mkdtemp(dir=self.root))
        return n, fake, unit_path

    def calls(self, fake):
        path = os.path.join(fake, "calls")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()

    def test_install(self):
        stopped_unit = "[Unit]\nDescription=someone else's\n"
        cases = [
            # name, fake config, unit dir exists, unit present, output, calls
            ("installed", {}, True, None,
             DISPLAY + " installed ({exe}).\n",
             ["daemon-reload", "enable nestrap.service"]),
            ("already exists", {}, True, stopped_unit,
             "CreateService failed - File exists (0x11)\n", []),
            ("enable fails", {"fail": ["enable"]}, True, None,
             "CreateService failed - Input/output error (0x5)\n",
             ["daemon-reload", "enable nestrap.service", "daemon-reload"]),
            ("no unit directory", {}, False, None,
             "OpenSCManager failed - No such file or directory (0x2)\n", []),
            ("no such user", {}, True, None,
             'CreateService failed - no user "no-such-user-16" to run the service as (useradd '
             '--system --user-group --no-create-home --shell /usr/sbin/nologin no-such-user-16, '
             'or -u names another)\n', []),
        ]
        for name, config, unit_dir, unit, out, calls in cases:
            with self.subTest(name):
                user = "no-such-user-16" if name == "no such user" else SERVICE_USER
                n, fake, unit_path = self.fake(config, unit_dir, unit, user)
                r = n.run(["-I"])
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout, out.format(exe=n.exe))
                self.assertIn("Installing nestrap as a service...", r.stderr)
                self.assertEqual(self.calls(fake), calls)
                # Written as -C writes them: the service cannot write there.
                for f in ("nestrap.ini", "nsp-dnsbl.txt", "nsp-uribl.txt"):
                    self.assertTrue(os.path.exists(os.path.join(n.dir, f)), f)
                if name == "installed":
                    self.check_unit(unit_path, n.exe)
                elif name == "already exists":
                    with open(unit_path) as f:
                        self.assertEqual(f.read(), stopped_unit)
                else:
                    self.assertFalse(os.path.exists(unit_path))

    def test_systemctl_missing(self):
        n, fake, unit_path = self.fake({})
        n.env["NESTRAP_SYSTEMCTL"] = os.path.join(fake, "no-such-systemctl")
        r = n.run(["-I"])
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "CreateService failed - No such file or directory (0x2)\n")
        self.assertFalse(os.path.exists(unit_path))
        with open(unit_path, "w") as f:
            f.write("[Unit]\n")
        r = n.run(["-U"])
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "DeleteService failed - No such file or directory (0x2)\n")
        self.assertTrue(os.path.exists(unit_path))

    def check_unit(self, unit_path, exe):
        with open(unit_path) as f:
            text = f.read()
        lines = text.splitlines()
        logdir = os.path.join(os.path.dirname(exe), "log")
        for line in ["[Unit]", "Description=" + DISPLAY,
                     "After=network-online.target", "Wants=network-online.target",
                     "[Service]", "Type=notify", "ExecStart=%s -l %s" % (exe, logdir),
                     "WorkingDirectory=" + os.path.dirname(exe),
                     "ExecReload=/bin/kill -HUP $MAINPID", "Restart=on-failure",
                     "User=" + SERVICE_USER, "Group=" + grp.getgrgid(
                         pwd.getpwnam(SERVICE_USER).pw_gid).gr_name,
                     "AmbientCapabilities=CAP_NET_BIND_SERVICE", "ReadWritePaths=" + logdir,
                     "[Install]", "WantedBy=multi-user.target"]:
            self.assertIn(line, lines)
        # The one directory the service writes belongs to it.
        st = os.stat(logdir)
        self.assertEqual(st.st_uid, pwd.getpwnam(SERVICE_USER).pw_uid)
        self.assertEqual(st.st_mode & 0o7777, 0o750)

    def install_odd_path(self):
        """Installs from a directory whose name a unit file would misread
        unescaped (blanks split ExecStart, % starts a specifier)."""
        n, fake, unit_path = self.fake({})
        odd = os.path.join(self.root, "my decoy%d")
        os.mkdir(odd)
        exe = os.path.join(odd, "nestrap")
        shutil.copy(n.exe, exe)
        env = dict(os.environ, **n.env)
        env.pop("NOTIFY_SOCKET", None)
        env.pop("INVOCATION_ID", None)
        r = subprocess.run([exe, "-u", SERVICE_USER, "-I"], capture_output=True, text=True,
                           timeout=30, env=env)
        self.assertEqual(r.stdout, DISPLAY + " installed (%s).\n" % exe)
        with open(unit_path) as f:
            lines = f.read().splitlines()
        esc = exe.replace("%", "%%")
        self.assertIn('ExecStart="%s" -l "%s/log"' % (esc, os.path.dirname(esc)), lines)
        self.assertIn("WorkingDirectory=" + os.path.dirname(esc), lines)
        return unit_path

    def test_unit_for_a_path_with_blanks_and_percent(self):
        self.install_odd_path()

    def test_units_pass_systemd_analyze_verify(self):
        tool = shutil.which("systemd-analyze")
        if tool is None:
            self.skipTest("systemd-analyze not installed: generated units not verified")
        n, fake, plain = self.fake({})
        self.assertEqual(n.run(["-I"]).returncode, 0)
        for unit_path in (plain, self.install_odd_path()):
            with self.subTest(unit_path):
                r = subprocess.run([tool, "verify", unit_path], capture_output=True,
                                   text=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual(r.stderr.strip(), "", r.stderr)
                # The sandbox keeps systemd's own exposure rating low.
                r = subprocess.run([tool, "security", "--offline=true", unit_path],
                                   capture_output=True, text=True, timeout=60)
                m = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", r.stdout)
                self.assertIsNotNone(m, r.stdout + r.stderr)
                self.assertLessEqual(float(m.group(1)), 2.5, r.stdout)

    def test_remove(self):
        unit = "[Unit]\nDescription=" + DISPLAY + "\n"
        stopping = "Stopping " + DISPLAY + "."
        removal_calls = ["disable nestrap.service", "daemon-reload"]
        cases = [
            # name, fake config, unit present, output, calls, unit gone, at least seconds
            ("running then stopped",
             {"state": "active", "stop_queries": 2}, True,
             stopping + "..\n" + DISPLAY + " stopped.\n" + DISPLAY + " removed.\n",
             ["is-active nestrap.service", "stop --no-block nestrap.service"]
             + ["is-active nestrap.service"] * 3 + removal_calls, True, 3.0),
            ("stopped at once",
             {"state": "active", "stop_queries": 0}, True,
             stopping + "\n" + DISPLAY + " stopped.\n" + DISPLAY + " removed.\n",
             ["is-active nestrap.service", "stop --no-block nestrap.service",
              "is-active nestrap.service"] + removal_calls, True, 1.0),
            ("not running",
             {"state": "inactive"}, True,
             DISPLAY + " removed.\n",
             ["is-active nestrap.service"] + removal_calls, True, 0),
            ("failed before",
             {"state": "failed"}, True,
             DISPLAY + " removed.\n",
             ["is-active nestrap.service"] + removal_calls, True, 0),
            ("failed to stop",
             {"state": "active", "stop_queries": 1, "settles": "active"}, True,
             stopping + ".\n" + DISPLAY + " failed to stop.\n" + DISPLAY + " removed.\n",
             ["is-active nestrap.service", "stop --no-block nestrap.service"]
             + ["is-active nestrap.service"] * 2 + removal_calls, True, 2.0),
            ("removal failure",
             {"state": "inactive", "fail": ["disable"]}, True,
             "DeleteService failed - Input/output error (0x5)\n",
             ["is-active nestrap.service", "disable nestrap.service"], False, 0),
            ("not installed",
             {}, False,
             "OpenService failed - No such file or directory (0x2)\n", [], True, 0),
        ]
        for name, config, present, out, calls, gone, seconds in cases:
            with self.subTest(name):
                n, fake, unit_path = self.fake(config, True, unit if present else None)
                started = time.monotonic()
                r = n.run(["-U"])
                elapsed = time.monotonic() - started
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout, out)
                self.assertIn("Uninstalling nestrap service...", r.stderr)
                self.assertEqual(self.calls(fake), calls)
                self.assertEqual(not os.path.exists(unit_path), gone)
                # One report per second while the unit stops.
                self.assertGreaterEqual(elapsed, seconds)

    def test_install_then_remove(self):
        n, fake, unit_path = self.fake({"state": "inactive"})
        self.assertEqual(n.run(["-I"]).stdout, DISPLAY + " installed (%s).\n" % n.exe)
        self.assertEqual(n.run(["-U"]).stdout, DISPLAY + " removed.\n")
        self.assertFalse(os.path.exists(unit_path))
        self.assertEqual(n.run(["-I"]).stdout, DISPLAY + " installed (%s).\n" % n.exe)


if __name__ == "__main__":
    unittest.main()
