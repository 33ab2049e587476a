"""Running, installing and removing nestrap as a systemd service, without the
machine's systemd: a notify socket of the test's own, a temporary unit
directory and a stand-in systemctl (NESTRAP_UNIT_DIR, NESTRAP_SYSTEMCTL)."""
import grp
import os
import pathlib
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from harness import QUIET_DNS, Case, free_port

DISPLAY = "Bogus SMTP for MX sandwich"
PACKAGED_UNIT = os.path.join(os.path.dirname(__file__), "..", "..", "dist", "systemd", "nestrap.service")
SERVICE_USER = "daemon"  # on every Debian machine; the tests never add users

# Started as systemd starts the unit: no options, only the settings file.
INI = ("[Listener]\nHostName=decoy.example.test\nListenIP=%s\nListenPort=%d\nRxTimeOut=5000\n"
       "[Process]\nThreads=3\n" + QUIET_DNS)

# The stand-in systemctl: records its calls, fails the commands named in
# the file "fail", and answers is-active with the next line of the file
# "states" (the last line stays), exiting 0 for "active" only.
FAKE_SYSTEMCTL = """#!/bin/sh
cd "$FAKE_SYSTEMD_DIR" && echo "$*" >> calls
if grep -qx "$1" fail; then echo "Failed to $1 unit: Access denied" >&2; exit 1; fi
[ "$1" = is-active ] || exit 0
state=$(head -n 1 states); [ "$(wc -l < states)" -gt 1 ] && sed -i 1d states
echo "$state"; [ "$state" = active ]
"""


def messages(sock, until=None, timeout=30.0):
    """Notify datagrams until one contains `until` (None: until none comes
    for a moment)."""
    msgs = []
    deadline = time.monotonic() + timeout
    while until is None or not any(until in m for m in msgs):
        sock.settimeout(0.2 if until is None else max(0.01, deadline - time.monotonic()))
        try:
            msgs.append(sock.recv(4096).decode())
        except socket.timeout:
            if until is None:
                return msgs
            raise AssertionError("no %r among %r" % (until, msgs))
    return msgs


class ServiceModeTest(Case):
    def service(self, port, notify="path", env=None):
        """A start as a service; `notify` (a path or an abstract name) is the
        kind of notify socket, `self.notify` its receiving end."""
        env = dict(env or {})
        if notify:
            self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.addCleanup(self.notify.close)
            address = "\0nestrap-test-%d-%d" % (os.getpid(), time.monotonic_ns())
            if notify == "path":
                address = tempfile.mkdtemp(prefix="nestrap-notify-")
                self.addCleanup(shutil.rmtree, address, True)
                address += "/notify"
            self.notify.bind(address)
            env["NOTIFY_SOCKET"] = address.replace("\0", "@")
        n = self.server(start=False, ini=INI % ("127.0.0.1", port), port=port, env=env)
        n.command = lambda: [n.exe]
        return n

    def test_ready_serve_and_stop(self):
        n = self.service(free_port()).start()
        msgs = messages(self.notify, "READY=1")
        self.assertTrue(msgs[0].startswith("STATUS=Starting"), msgs)
        self.assertNotIn("STOPPING=1", "".join(msgs))
        self.assertIn(b"421 4.2.1", n.session()[1])  # it serves while running as a service
        n.proc.send_signal(signal.SIGTERM)
        messages(self.notify, "STOPPING=1")
        self.assertEqual(n.proc.wait(timeout=30), 0)
        rest = messages(self.notify)
        self.assertIn("STATUS=Stopped, exit code 0", rest)
        self.assertNotIn("READY=1", "".join(rest))
        self.assertInOrder("\n".join(n.diag_lines()),
                           ["SIGTERM: initiating shutdown sequence...", "All done, exiting"])
        self.assertEqual(len(n.wait_lines(1)), 1)

    def test_start_up_failure_ends_with_its_code_before_ready(self):
        n = self.service(self.busy_port(), "abstract").start(wait=False)
        self.assertEqual(n.proc.wait(timeout=30), 3)
        msgs = messages(self.notify)
        self.assertNotIn("READY=1", "".join(msgs))
        self.assertTrue(msgs and msgs[0].startswith("STATUS=Starting"), msgs)
        self.assertEqual(msgs[-1], "STATUS=Stopped, exit code 3", msgs)
        self.assertIn("Couldn't bind to socket_listen!", n.stderr())

    def test_invocation_id_alone_is_service_mode(self):
        # Started by systemd without the notify protocol (Type=simple).
        for env, mode in (({"INVOCATION_ID": "0123456789abcdef"}, "On"), ({}, "Off")):
            n = self.service(free_port(), notify=False, env=env).start()
            self.assertIn("* Service mode....: " + mode, n.stderr())
            self.assertEqual(n.stop(), 0)


class InstallRemoveTest(Case):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="nestrap-svc-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def fake(self, states=("inactive",), fail=(), unit_dir=True, unit=None, user=SERVICE_USER):
        """A fresh fake systemd; returns (Nestrap, fake dir, unit path)."""
        fake = tempfile.mkdtemp(dir=self.root)
        units = os.path.join(fake, "units")
        if unit_dir:
            os.mkdir(units)
        for name, text in (("systemctl", FAKE_SYSTEMCTL), ("states", "\n".join(states) + "\n"),
                           ("fail", "".join(c + "\n" for c in fail))):
            pathlib.Path(fake, name).write_text(text)
        os.chmod(os.path.join(fake, "systemctl"), 0o755)
        unit_path = os.path.join(units, "nestrap.service")
        if unit is not None:
            pathlib.Path(unit_path).write_text(unit)
        env = {"NESTRAP_UNIT_DIR": units, "NESTRAP_SYSTEMCTL": os.path.join(fake, "systemctl"),
               "FAKE_SYSTEMD_DIR": fake}
        ini = INI % ("127.0.0.1", free_port()) + "[Process]\nUser=%s\n" % user
        n = self.server(start=False, ini=ini, env=env, workdir=tempfile.mkdtemp(dir=self.root))
        return n, fake, unit_path

    def calls(self, fake):
        path = os.path.join(fake, "calls")
        return pathlib.Path(path).read_text().splitlines() if os.path.exists(path) else []

    def test_install(self):
        other = "[Unit]\nDescription=someone else's\n"
        cases = [  # name, failing command, unit directory exists, unit file, output, calls
            ("installed", None, True, None, DISPLAY + " installed ({exe}).\nIt logs to {dir}/"
             "log: set LogPath={dir}/log in the settings file to match.\n",
             ["daemon-reload", "enable nestrap.service"]),
            ("already exists", None, True, other, "CreateService failed - File exists (0x11)\n",
             []),
            ("enable fails", "enable", True, None,
             "CreateService failed - Input/output error (0x5)\n",
             ["daemon-reload", "enable nestrap.service", "daemon-reload"]),
            ("no unit directory", None, False, None,
             "OpenSCManager failed - No such file or directory (0x2)\n", []),
            ("no such user", None, True, None,
             'CreateService failed - no user "no-such-user-16" to run the service as (useradd '
             '--system --user-group --no-create-home --shell /usr/sbin/nologin no-such-user-16, '
             'or -u names another)\n', []),
        ]
        for name, fail, unit_dir, unit, out, calls in cases:
            with self.subTest(name):
                user = "no-such-user-16" if name == "no such user" else SERVICE_USER
                n, fake, unit_path = self.fake(fail=[fail] if fail else [], unit_dir=unit_dir,
                                               unit=unit, user=user)
                r = n.run(["-I"])
                code = 0 if name == "installed" else 7  # a failure says so
                self.assertEqual((r.returncode, r.stdout),
                                 (code, out.format(exe=n.exe, dir=n.dir)), r.stderr)
                self.assertIn("Installing nestrap as a service...", r.stderr)
                self.assertEqual(self.calls(fake), calls)
                # Written as -C writes them: the service cannot write there.
                for f in ("nestrap.ini", "nsp-dnsbl.txt", "nsp-uribl.txt"):
                    self.assertTrue(os.path.exists(os.path.join(n.dir, f)), f)
                if name == "installed":
                    self.check_unit(unit_path, n.exe)
                elif unit:
                    with open(unit_path) as f:
                        self.assertEqual(f.read(), other)
                else:
                    self.assertFalse(os.path.exists(unit_path))

    def check_unit(self, unit_path, exe):
        lines = pathlib.Path(unit_path).read_text().splitlines()
        logdir = os.path.join(os.path.dirname(exe), "log")
        user = pwd.getpwnam(SERVICE_USER)
        # The lines taken from the installation (systemd-analyze checks the rest).
        for line in ["Description=" + DISPLAY, "Type=notify", "ExecStart=%s -l %s" % (exe, logdir),
                     "WorkingDirectory=" + os.path.dirname(exe), "User=" + SERVICE_USER,
                     "Group=" + grp.getgrgid(user.pw_gid).gr_name, "ReadWritePaths=" + logdir]:
            self.assertIn(line, lines)
        # Confined as the packaged service is, line for line.
        packaged = pathlib.Path(PACKAGED_UNIT).read_text().splitlines()
        sandbox = packaged[packaged.index("AmbientCapabilities=CAP_NET_BIND_SERVICE"):]
        sandbox = sandbox[:sandbox.index("UMask=0027") + 1]
        self.assertEqual([l for l in sandbox if l not in lines], [])
        # The one directory the service writes belongs to it.
        st = os.stat(logdir)
        self.assertEqual((st.st_uid, st.st_mode & 0o7777), (user.pw_uid, 0o750))

    def test_units_for_plain_and_odd_paths_pass_systemd_analyze(self):
        n, fake, unit_path = self.fake()
        self.assertEqual(n.run(["-I"]).returncode, 0)
        plain = pathlib.Path(unit_path).read_text()
        os.remove(unit_path)
        # A directory whose name a unit file would misread unescaped: blanks
        # split ExecStart, % starts a specifier.
        odd = os.path.join(self.root, "my decoy%d")
        os.mkdir(odd)
        exe = os.path.join(odd, "nestrap")
        shutil.copy(n.exe, exe)
        # A settings file named with -c, which -I writes (it is new) with the
        # log directory the unit passes.
        r = subprocess.run([exe, "-u", SERVICE_USER, "-c", "my.ini", "-I"], capture_output=True,
                           text=True, timeout=30, env=n._env(), cwd=odd)
        self.assertEqual(r.stdout, DISPLAY + " installed (%s).\n" % exe)
        lines = pathlib.Path(unit_path).read_text().splitlines()
        esc = os.path.dirname(exe.replace("%", "%%"))
        self.assertIn('ExecStart="%s/nestrap" -c "%s/my.ini" -l "%s/log"' % (esc, esc, esc), lines)
        self.assertIn("\nLogPath=%s/log\n" % odd, pathlib.Path(odd, "my.ini").read_text())
        self.assertIn("WorkingDirectory=" + esc, lines)
        for text in (plain, "\n".join(lines) + "\n"):
            with self.subTest(text.split("ExecStart=")[1].split("\n")[0]):
                pathlib.Path(unit_path).write_text(text)
                self.assertUnitPasses(unit_path)

    def test_remove(self):
        stopping, stopped = "Stopping %s." % DISPLAY, "%s stopped.\n" % DISPLAY
        removed = DISPLAY + " removed.\n"
        query, stop = "is-active nestrap.service", "stop --no-block nestrap.service"
        removal = ["disable nestrap.service", "daemon-reload"]
        gone = "deactivating"
        cases = [  # name, is-active answers, failing command, unit installed, output, calls
            ("running then stopped", ["active", gone, gone, "inactive"], None, True,
             stopping + "..\n" + stopped + removed, [query, stop] + [query] * 3 + removal, 3.0),
            ("stopped at once", ["active", "inactive"], None, True,
             stopping + "\n" + stopped + removed, [query, stop, query] + removal, 1.0),
            ("not running", ["inactive"], None, True, removed, [query] + removal, 0),
            ("failed before", ["failed"], None, True, removed, [query] + removal, 0),
            ("failed to stop", ["active", gone, "active"], None, True,
             stopping + ".\n%s failed to stop.\n" % DISPLAY + removed,
             [query, stop] + [query] * 2 + removal, 2.0),
            ("removal failure", ["inactive"], "disable", True,
             "DeleteService failed - Input/output error (0x5)\n", [query, removal[0]], 0),
            ("not installed", ["inactive"], None, False,
             "OpenService failed - No such file or directory (0x2)\n", [], 0),
        ]
        for name, states, fail, present, out, calls, seconds in cases:
            with self.subTest(name):
                unit = "[Unit]\nDescription=%s\n" % DISPLAY if present else None
                n, fake, unit_path = self.fake(states, [fail] if fail else [], unit=unit)
                started = time.monotonic()
                r = n.run(["-U"])
                self.assertGreaterEqual(time.monotonic() - started, seconds)  # a report a second
                code = 7 if name in ("removal failure", "not installed") else 0
                self.assertEqual((r.returncode, r.stdout), (code, out), r.stderr)
                self.assertIn("Uninstalling nestrap service...", r.stderr)
                self.assertEqual(self.calls(fake), calls)
                self.assertEqual(os.path.exists(unit_path), name == "removal failure")

    def test_systemctl_missing(self):
        n, fake, unit_path = self.fake()
        self.assertIn(DISPLAY + " installed (%s).\n" % n.exe, n.run(["-I"]).stdout)
        n.env["NESTRAP_SYSTEMCTL"] = os.path.join(fake, "no-such-systemctl")
        self.assertEqual(n.run(["-U"]).stdout,
                         "DeleteService failed - No such file or directory (0x2)\n")
        self.assertTrue(os.path.exists(unit_path))
        os.remove(unit_path)
        self.assertEqual(n.run(["-I"]).stdout,
                         "CreateService failed - No such file or directory (0x2)\n")
        self.assertFalse(os.path.exists(unit_path))
