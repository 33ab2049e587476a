"""Start-up of the real binary: options, settings file, validation, logs."""
import os
import pwd
import re
import shutil
import socket
import subprocess
import time
import unittest

from harness import SANITIZED, Nestrap, free_port, recv_all, wait_for

USAGE = """nestrap version 10.03, Nov. 7, 2019
Nestrap server for "MX sandwich"
Written by "Tarsel"

Usage: nestrap [options]

option  argument    description
------  ----------  ----------------------------------------
-n      hostname    hostname for banner (default=real name)
-i      bind addr   IP to listen on or "any" (default=any)
-p      port        port to listen on (default=25)
-l      path        log files path (default=.)
-s                  simulate a real SMTP (default=NO)
-w      count       number of worker threads (default=7)
-b      size        server socket backlog size (default=5)
-q      size        max requests queue size (default=64)
-r      millisec    socket read timeout (default=30000)
-t      millisec    response delay time (default=0)
-v      level       logging level 0...9 (default=3)
-x                  add local hostname/ip to the log records
-u      user        run as this user once listening (default=nestrap)
-C                  initialize config files and exit
-T                  test the DNS lists, print a table and exit
-I                  install program as a windows service
-U                  stop/uninstall the window service
-h                  show this help text

e.g. : nestrap -i 11.22.33.44 -p 25 -l d:\\nestrap
       nestrap -i any -p 25 -l . -w 20 -b 40 -v 9
       nestrap -Cv 9
"""

DEFAULT_INI = """; Nestrap settings

; General settings
[Listener]
HostName=
ListenIP=any
ListenPort=25
RxTimeOut=30000

; Server options
[Options]
FakeSmtp=0
LogHost=0
QuerySenderBase=1

; DNS info gathering
[DNSinfo]
CYMRU_ORG=origin.asn.cymru.com
CYMRU_ASN=asn.cymru.com
SB_SUFFIX=query.senderbase.org
TLD_SUFFIX=zz.countries.nerd.dk

; SPF-v1 options
[SPFv1]
BestGuess=v=spf1 a/24 mx/24 ptr ~all
FallBack=v=spf1 a -all
UseWhitelist=0

; Process tuning
[Process]
Threads=7
Backlog=5
QueueSize=64
TarpitTime=0

; Logging
[Logging]
LogPath={cwd}
LogLevel=3

"""

# Keeps every run away from the machine's resolver: a closed local port.
QUIET_DNS = "[DNSinfo]\nNameServer=127.0.0.1:9\n"


class Fixture(unittest.TestCase):
    def server(self, **kw):
        kw.setdefault("ini", QUIET_DNS)
        n = Nestrap(**kw)
        self.addCleanup(n.close)
        return n


class UsageTest(Fixture):
    def test_help_and_bad_options_print_usage_and_exit_1(self):
        n = self.server()
        cases = [
            (["-h"], None),
            (["-z"], "illegal option -- z"),
            (["-p"], "option requires an argument -- p"),
            (["-s", "-h", "-x"], None),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = n.run(args)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, USAGE)
                if message:
                    self.assertIn("%s: %s" % (n.exe, message), r.stderr)

    def test_invalid_settings_exit_2_with_first_failure(self):
        n = self.server(hostname=None, port=None)
        cases = [
            (["-p", "65535"], "invalid listen port"),
            (["-p", "0"], "invalid listen port"),
            (["-i", "255.255.255.255"], 'Invalid listen address, use either an IP or "any"'),
            (["-i", "nowhere"], 'Invalid listen address, use either an IP or "any"'),
            (["-w", "1"], "Invalid thread count (min=2)"),
            (["-w", "257"], "Invalid thread count (max=256)"),
            (["-b", "0"], "Invalid backlog size (min=1)"),
            (["-q", "4"], "Invalid queue size (min=5)"),
            (["-r", "999"], "Invalid socket read timeout (min=1000)"),
            (["-u", "no-such-user-16"], 'Unknown user "no-such-user-16" to run as'),
            # Validation order: the address is reported before the port.
            (["-i", "x", "-p", "0", "-w", "0"], 'Invalid listen address'),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = n.run(["-n", "h.example"] + args)
                self.assertEqual(r.returncode, 2, r.stderr)
                errors = [l for l in r.stderr.splitlines() if "[ERR ]" in l]
                self.assertEqual(len(errors), 1, r.stderr)
                self.assertIn(message, errors[0])
                self.assertNotIn("Winsock info", r.stderr)

    @unittest.skipIf(SANITIZED, "sanitizers reserve more address space than the limit")
    def test_threads_the_system_refuses_end_the_start_up_cleanly(self):
        n = self.server()
        r = subprocess.run(["/bin/sh", "-c", "ulimit -v 400000 && exec \"$@\"", "sh", n.exe,
                            "-n", "h.example", "-p", str(free_port()), "-w", "256"],
                           capture_output=True, text=True, timeout=120, cwd=n.dir, env=n._env())
        self.assertEqual(r.returncode, 6, r.stderr[-2000:])
        self.assertIn("[CRIT] Cannot create thread", r.stderr)

    def test_non_numeric_thread_count_in_file_is_invalid(self):
        n = self.server(ini=QUIET_DNS + "[Process]\nThreads=abc\n")
        r = n.run(["-n", "h.example", "-p", str(free_port())])
        self.assertEqual(r.returncode, 2)
        self.assertIn("[ERR ] Invalid thread count (min=2)", r.stderr)


class SettingsFileTest(Fixture):
    def test_default_file_written_byte_for_byte(self):
        n = self.server(ini=None)
        r = n.run(["-C"])
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(n.dir, "nestrap.ini")) as f:
            self.assertEqual(f.read(), DEFAULT_INI.format(cwd=os.path.realpath(n.dir)))
        self.assertIn("[INFO] nestrap: initializing configuration...", r.stderr)
        self.assertIn("[INFO] nestrap: all done, exiting.", r.stderr)

    def test_empty_file_replaced_and_content_never_rewritten(self):
        n = self.server(ini="")
        self.assertEqual(n.run(["-C"]).returncode, 0)
        with open(os.path.join(n.dir, "nestrap.ini")) as f:
            self.assertTrue(f.read().startswith("; Nestrap settings\n"))

        partial = "[Listener]\nHostName=from.file\n" + QUIET_DNS
        with open(os.path.join(n.dir, "nestrap.ini"), "w") as f:
            f.write(partial)
        n.hostname = None
        n.start()
        n.stop()
        with open(os.path.join(n.dir, "nestrap.ini")) as f:
            self.assertEqual(f.read(), partial)
        err = n.stderr()
        self.assertIn("* hostname........: from.file", err)
        # A file without LogPath logs to "." (the executable's directory).
        self.assertIn("* log path........: .\n", err)
        self.assertTrue(n.diag_lines())

    def test_byte_order_mark_lone_cr_and_one_warning_for_unreadable_lines(self):
        ini = ("\ufeff[Listener]\rHostName=from.file\rjunk\r[Process]\rThreads=3\rjunk too\r"
               + QUIET_DNS.replace("\n", "\r"))
        n = self.server(ini=ini)
        n.hostname = None
        n.start()
        n.stop()
        err = n.stderr()
        self.assertIn("* hostname........: from.file", err)
        self.assertIn("* workers.........: 3", err)
        self.assertEqual(err.count("[WARN] Settings file "), 1, err)
        self.assertIn("line 3 cannot be read (2 such line(s) ignored)", err)

    def test_option_wins_over_file_and_file_values(self):
        other = free_port()
        ini = ("[Listener]\nListenPort=%d\n[Options]\nFakeSmtp=5\n" % other) + QUIET_DNS + \
              "[Process]\nThreads=3\nQueueSize=9\n"
        n = self.server(ini=ini)
        n.start()
        n.stop()
        err = n.stderr()
        self.assertIn("* listen on.......: 127.0.0.1:%d" % n.port, err)
        self.assertIn("* SMTP emulation..: On", err)
        self.assertIn("* workers.........: 3", err)
        self.assertIn("* queue size......: 9", err)
        self.assertIn("* Service mode....: Off", err)

    def test_slash_options_grouped_options_and_long_listen_address(self):
        n = self.server(ini=QUIET_DNS + "[Listener]\nListenIP=192.168.100.200\n")
        n.listen = None
        n.port = None
        r = n.run(["-n", "h.example", "/s", "-xv9", "-p", str(free_port())])
        # Not an address of this machine: the bind fails after the summary.
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("* listen on.......: 192.168.100.200:", r.stderr)
        self.assertIn("* SMTP emulation..: On", r.stderr)
        self.assertIn("* verbosity.......: 9", r.stderr)
        self.assertIn("[CRIT] Couldn't bind to socket_listen! Aborting.", r.stderr)
        self.assertRegex(r.stderr, r"\[CRIT\] \(Error code 0x[0-9A-F]+\)")


class LoggingTest(Fixture):
    def test_out_of_range_level_warns_and_uses_3(self):
        n = self.server(args=["-v", "12"])
        n.start()
        n.stop()
        err = n.stderr()
        self.assertIn("[WARN] Invalid log level defaulting to 3", err)
        self.assertIn("* verbosity.......: 3", err)
        self.assertNotIn("[CONN]", err)

    def test_level_0_shows_only_critical_lines(self):
        n = self.server(args=["-v", "0"])
        n.start(wait=False)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", n.port), timeout=1).close()
                return True
            except OSError:
                return False
        # Start-up logs nothing at level 0: wait for the port instead.
        wait_for(listening, what="listening port")
        n.stop()
        self.assertEqual(n.stderr(), "")
        self.assertEqual(n.diag_lines(), [])

    def test_file_and_console_lines(self):
        n = self.server(hostname="tab\there\x1b[31m")
        n.start()
        n.stop()
        err = n.stderr()
        # Console: UTC time, a blank, the label; the tab kept, ESC blanked.
        self.assertIn("[INFO] * hostname........: tab\there [31m\n", err)
        self.assertRegex(err.splitlines()[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[INFO\] ")
        # File: the day file of the local date, local-time prefix, every
        # control byte a blank and one blank before each line break.
        name = time.strftime("nestrap%Y%m%d.log")
        with open(os.path.join(n.dir, name)) as f:
            text = f.read()
        lines = text.split("\n")[:-1]
        self.assertTrue(lines)
        for line in lines:
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d\|\d\d:\d\d:\d\d\|\[[A-Z ]{4}\] .* $")
        self.assertIn("|[INFO] * hostname........: tab here [31m \n", text)

    def test_empty_log_path_writes_no_file(self):
        n = self.server(args=["-l", ""])
        n.start()
        n.stop()
        self.assertEqual(n.diag_lines(), [])
        self.assertIn("* log path........: \n", n.stderr())


class HostileLogDirectoryTest(Fixture):
    """Whoever can write into the log directory must not be able to redirect,
    block or tear the program's lines."""

    def session(self, n):
        with n.connect() as c:
            c.sendall(b"HELO client.example.test\r\n")
            recv_all(c)

    def test_link_fifo_or_directory_in_place_of_the_daily_files(self):
        cases = ["symlink", "hardlink", "fifo", "directory"]
        for case in cases:
            with self.subTest(case):
                n = self.server()
                logdir = os.path.join(n.dir, "logs")
                os.mkdir(logdir)
                victim = os.path.join(n.dir, "victim")
                with open(victim, "w") as f:
                    f.write("root only\n")
                for base in ("ipinfo", "nestrap"):
                    path = os.path.join(logdir, time.strftime(base + "%Y%m%d.log"))
                    if case == "symlink":
                        os.symlink(victim, path)
                    elif case == "hardlink":
                        os.link(victim, path)
                    elif case == "fifo":
                        os.mkfifo(path)
                    else:
                        os.mkdir(path)
                n.args = ["-l", logdir]
                n.start()
                self.session(n)
                n.wait_stderr("[ERR ] Cannot write log file " + logdir + "/ipinfo")
                self.session(n)
                self.assertEqual(n.stop(), 0, n.stderr())
                err = n.stderr()
                self.assertEqual(err.count("[ERR ] Cannot write log file"), 2, err)
                with open(victim) as f:
                    self.assertEqual(f.read(), "root only\n")

    def test_full_disk_loses_whole_lines_and_reports_the_episode(self):
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("needs root and unshare for a private tmpfs")
        n = self.server()
        logdir = os.path.join(n.dir, "logs")
        os.mkdir(logdir)
        # A private mount namespace: the tiny file system exists for the
        # server only and vanishes with it.
        inner = " ".join(n.command(["-l", logdir]))
        n.command = lambda extra=(): [
            "unshare", "-m", "--propagation", "private", "sh", "-c",
            "mount -t tmpfs -o size=12k tmpfs %s && exec %s" % (logdir, inner)]
        n.start()
        ipinfo = "/proc/%d/root%s/%s" % (n.proc.pid, logdir, time.strftime("ipinfo%Y%m%d.log"))
        failing = "[ERR ] Cannot write log file %s/ipinfo" % logdir
        for _ in range(300):
            self.session(n)
            if failing in n.stderr():
                break
        n.wait_stderr(failing)
        for _ in range(3):
            self.session(n)
        subprocess.run(["nsenter", "-t", str(n.proc.pid), "-m", "mount", "-o",
                        "remount,size=1m", logdir], check=True)
        resumed = "ipinfo%s resumed" % time.strftime("%Y%m%d.log")
        for _ in range(50):
            self.session(n)
            if resumed in n.stderr():
                break
        n.wait_stderr(resumed)
        with open(ipinfo) as f:
            text = f.read()
        self.assertEqual(n.stop(), 0)
        self.assertTrue(text.endswith(" \n"), text[-200:])
        for line in text.splitlines():
            self.assertEqual(len(line.split("|")), 22, line)
        err = n.stderr()
        self.assertEqual(err.count(failing), 1, err)
        self.assertEqual(err.count(resumed), 1, err)


class PrivilegeTest(Fixture):
    USER = "daemon"  # on every Debian machine; the tests never add users

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")

    def status(self, pid):
        """Uid, Gid, CapEff, CapPrm and NoNewPrivs of every thread."""
        found = set()
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                fields = dict(l.split(":", 1) for l in f.read().splitlines() if ":" in l)
            found.add(tuple(fields[k].split()[0] if k != "Uid" else fields[k].strip()
                            for k in ("Uid", "CapEff", "CapPrm", "NoNewPrivs")))
        return found

    def test_root_start_binds_then_runs_as_the_user_for_good(self):
        uid = pwd.getpwnam(self.USER).pw_uid
        for give in (True, False):
            with self.subTest(log_directory_owned_by_user=give):
                n = self.server(args=["-u", self.USER])
                os.chmod(n.dir, 0o755)
                logdir = os.path.join(n.dir, "logs")
                os.mkdir(logdir, 0o750)
                if give:
                    os.chown(logdir, uid, -1)
                n.args += ["-l", logdir]
                n.start()
                ids = "\t".join([str(uid)] * 4)
                self.assertEqual(self.status(n.proc.pid), {(ids, "0" * 16, "0" * 16, "1")})
                with n.connect() as c:
                    c.sendall(b"HELO client.example.test\r\n")
                    recv_all(c)
                self.assertEqual(n.stop(), 0)
                err = n.stderr()
                self.assertIn("[INFO] Running as user %s (uid %d" % (self.USER, uid), err)
                unwritable = "[ERR ] Log directory %s is not writable" % logdir
                self.assertEqual(err.count(unwritable), 0 if give else 1, err)
                if give:
                    # Today's file, begun as root, went to the user with the rest.
                    day = time.strftime("%Y%m%d.log")
                    for base in ("nestrap", "ipinfo"):
                        self.assertEqual(os.stat(os.path.join(logdir, base + day)).st_uid, uid)
                    with open(os.path.join(logdir, "ipinfo" + day)) as f:
                        self.assertEqual(len(f.read().splitlines()), 1)

    def test_without_a_user_to_switch_to_root_stays_and_says_so(self):
        try:
            pwd.getpwnam("nestrap")
            self.skipTest("this machine has a nestrap user")
        except KeyError:
            pass
        n = self.server()
        n.start()
        self.assertEqual(n.stop(), 0)
        self.assertEqual(n.stderr().count("[WARN] Running as root: there is no user \"nestrap\""),
                         1)


class ListenTest(Fixture):
    def test_port_in_use_exits_3(self):
        busy = socket.socket()
        self.addCleanup(busy.close)
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        n = self.server(port=busy.getsockname()[1])
        r = n.run(n.command()[1:])
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("[CRIT] Couldn't bind to socket_listen! Aborting.", r.stderr)
        self.assertIn("[CRIT] (Error code 0x62)", r.stderr)  # EADDRINUSE

    def test_restart_at_once_after_serving_a_client(self):
        # The decoy closes first, so its side of the connection waits in
        # TIME_WAIT; a restart on the same port must still bind.
        port = free_port()
        for run in range(2):
            n = self.server(port=port)
            n.start()
            with n.connect() as c:
                c.sendall(b"HELO client.example.test\r\n")
                data, _ = recv_all(c)
            self.assertIn(b"421 ", data)
            n.wait_connection_lines(1)
            self.assertEqual(n.stop(), 0, n.stderr())

    def test_highest_port_accepted_and_startup_order(self):
        n = self.server(listen="any", port=65534)
        try:
            n.start()
        except AssertionError:
            self.skipTest("port 65534 is in use on this machine")
        self.assertEqual(n.stop(), 0)
        err = n.stderr()
        order = ["#### nestrap v. 10.03, Nov. 7, 2019 starting ####", "* Winsock info....: ",
                 "* Country.........: ", "Initializing connection queue...",
                 "Initializing logger queue...", "Initializing SPF library...",
                 "Creating 7 worker threads...", "Creating the logger thread...",
                 "Setting up listen socket on any:65534 ...", "Binding listen socket to any:65534 ...",
                 "Setting up signal handlers...", "Starting listen socket any:65534 ...",
                 "Listening for connections on any:65534", "Waiting for incoming connections..."]
        positions = [err.find(t) for t in order]
        self.assertNotIn(-1, positions, err)
        self.assertEqual(positions, sorted(positions))
        self.assertRegex(err, r"\* Winsock info\.\.\.\.: POSIX sockets \S+ \S+ \(2\.2\)")


if __name__ == "__main__":
    unittest.main()
