"""Start-up of the real binary: one-shot runs (invocations.txt), settings and
list files, logs and their directory, privileges, the listen socket."""
import os
import pathlib
import pwd
import re
import shlex
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import (BIN, HERE, QUIET_DNS, SANITIZED, Case, free_port, parse_line,
                     presented_accounts, wait_for)


def expected(name):
    """A file of expected output without its leading # comment lines."""
    return re.sub(r"\A(#.*\n)*", "", pathlib.Path(HERE, name).read_text())


def version():
    """What -V prints after the name: the project's version (NESTRAP_VERSION,
    from the build) and the commit when built from a checkout."""
    r = subprocess.run([BIN, "-V"], capture_output=True, text=True, timeout=30)
    m = re.fullmatch(r"nestrap (%s( \(git [0-9a-f]{12}(-dirty)?\))?)\n"
                     % re.escape(os.environ.get("NESTRAP_VERSION", "")), r.stdout)
    assert r.returncode == 0 and m and not r.stderr, (r.returncode, r.stdout, r.stderr)
    return m.group(1)


LIST_FILES = ["nsp-dnswl.txt", "nsp-dnsbl.txt", "nsp-dnsgl.txt", "nsp-uriwl.txt",
              "nsp-uribl.txt"]


class OptionsTest(Case):
    def test_one_shot_runs(self):
        blocks = pathlib.Path(HERE, "invocations.txt").read_text().split("\n== ")[1:]
        for block in blocks:
            title, *rows = block.strip("\n").split("\n")
            rows = [row.split(" ", 1) for row in rows]
            want = dict(rows)  # run, exit, out, errors and files come once
            with self.subTest(title):
                ini = [v for k, v in rows if k == "ini"]
                n = self.server(start=False, ini=None if ini == ["-"] else
                                QUIET_DNS + "".join(v + "\n" for v in ini))
                for k, v in rows:
                    if k == "dir":
                        os.mkdir(os.path.join(n.dir, v))
                r = n.run(shlex.split(want["run"].format(port=free_port(), busy=self.busy_port())))
                self.assertEqual(r.returncode, int(want["exit"]), r.stderr)
                if "out" in want:
                    self.assertEqual(r.stdout, expected(want["out"]).format(version=version()))
                if "files" in want:
                    found = sorted(os.path.relpath(os.path.join(d, f), n.dir)
                                   for d, dirs, files in os.walk(n.dir) for f in dirs + files)
                    found = [f for f in found if f not in ("nestrap", "nestrap.ini")]
                    self.assertEqual(" ".join(found) or "-", want["files"])
                if "errors" in want:
                    self.assertEqual(r.stderr.count("[ERR ]"), int(want["errors"]), r.stderr)
                for k, v in rows:
                    if k == "err":
                        self.assertIn(v.format(exe=n.exe), r.stderr)

    @unittest.skipIf(SANITIZED, "sanitizers reserve more address space than the limit")
    def test_threads_the_system_refuses_end_the_start_up_cleanly(self):
        # Lists without zones: no start-up check whose threads could fail first.
        n = self.server(["-w", "256"], start=False, files={f: "#\n" for f in LIST_FILES},
                        prefix=["/bin/sh", "-c", 'ulimit -v 400000 && exec "$@"', "sh"])
        r = n.run(n.command()[len(n.prefix) + 1:], timeout=120)
        self.assertEqual(r.returncode, 6, r.stderr[-2000:])
        self.assertIn("[CRIT] Cannot create thread", r.stderr)

    def test_restart_at_once_after_serving_a_client(self):
        # The decoy closes first, so its side of the connection waits in
        # TIME_WAIT; a restart on the same port must still bind ("any" address).
        port = free_port()
        for _ in range(2):
            n = self.server(port=port, listen="any")
            self.assertIn(b"421 ", n.session()[1])
            n.wait_lines(1)
            self.assertEqual(n.stop(), 0, n.stderr())


class SettingsFileTest(Case):
    def test_configure_writes_missing_and_empty_files_and_keeps_others(self):
        # Their content is the list unit tests' matter; here: which are written.
        n = self.server(start=False, ini=None,
                        files={"nsp-dnsbl.txt": "", "nsp-uriwl.txt": "# mine\nmine.test\n"})
        r = n.run(["-C"])
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(n.dir, "nestrap.ini")) as f:
            self.assertEqual(f.read(), expected("default.ini").format(cwd=os.path.realpath(n.dir)))
        self.assertIn("[INFO] nestrap: initializing configuration...", r.stderr)
        self.assertIn("[INFO] nestrap: all done, exiting.", r.stderr)
        with open(os.path.join(n.dir, "nsp-uriwl.txt")) as f:
            self.assertEqual(f.read(), "# mine\nmine.test\n")
        # Loaded in the fixed order, each with its count.
        self.assertEqual(re.findall(r"\[INFO\] (\d\d) lists loaded from (\S+)", r.stderr),
                         list(zip(["05", "06", "11", "01", "03"], LIST_FILES)))

    def test_file_values_options_and_a_file_never_rewritten(self):
        n = self.server(start=False, ini="")
        self.assertEqual(n.run(["-C"]).returncode, 0)  # an empty file is replaced
        with open(os.path.join(n.dir, "nestrap.ini")) as f:
            self.assertTrue(f.read().startswith("; Nestrap settings\n"))
        # A byte order mark, lone CRs, unreadable lines, no LogPath; the
        # port option wins over the file.
        ini = ("\ufeff[Listener]\rHostName=from.file\rListenPort=%d\rjunk\r[Options]\rFakeSmtp=5\r"
               "[Process]\rThreads=3\rQueueSize=9\rjunk too\r" % free_port()
               + QUIET_DNS.replace("\n", "\r"))
        pathlib.Path(n.dir, "nestrap.ini").write_text(ini)
        n.hostname = None
        n.start()
        n.stop()
        with open(os.path.join(n.dir, "nestrap.ini"), newline="") as f:
            self.assertEqual(f.read(), ini)
        err = n.stderr()
        for text in ("* hostname........: from.file", "* listen on.......: 127.0.0.1:%d" % n.port,
                     "* SMTP emulation..: On", "* workers.........: 3", "* queue size......: 9",
                     "* Service mode....: Off", "* log path........: .\n",
                     "line 4 cannot be read (2 such line(s) ignored)"):
            self.assertIn(text, err)
        self.assertEqual(err.count("[WARN] Settings file "), 1, err)
        self.assertTrue(n.diag_lines())


class LoggingTest(Case):
    def test_file_and_console_lines(self):
        n = self.server(["-v", "12"], hostname="tab\there\x1b[31m")
        n.stop()
        err = n.stderr()
        self.assertIn("[WARN] Invalid log level defaulting to 3", err)
        self.assertIn("* verbosity.......: 3", err)
        self.assertNotIn("[CONN]", err)
        # Console: UTC time, a blank, the label; the tab kept, ESC blanked.
        self.assertIn("[INFO] * hostname........: tab\there [31m\n", err)
        self.assertRegex(err.splitlines()[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[INFO\] ")
        # File: the day file of the local date, local-time prefix, every
        # control byte a blank and one blank before each line break.
        text = pathlib.Path(n.dir, time.strftime("nestrap%Y%m%d.log")).read_text()
        for line in text.split("\n")[:-1]:
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d\|\d\d:\d\d:\d\d\|\[[A-Z ]{4}\] .* $")
        self.assertIn("|[INFO] * hostname........: tab here [31m \n", text)

    @unittest.skipIf(os.geteuid() != 0, "needs root for a /dev of its own")
    def test_debug_channel_reaches_the_system_logger_socket(self):
        # The server sees a /dev of its own whose log socket is the test's.
        tmp = tempfile.mkdtemp(prefix="nestrap-devlog-")
        self.addCleanup(shutil.rmtree, tmp, True)
        os.chmod(tmp, 0o755)
        os.mkdir(os.path.join(tmp, "dev"))
        logger = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(logger.close)
        logger.bind(os.path.join(tmp, "log"))
        os.chmod(os.path.join(tmp, "log"), 0o666)
        script = ('mount --rbind /dev "$0/dev" && mount -t tmpfs tmpfs /dev && '
                  'for f in null zero urandom; do touch /dev/$f && mount --bind "$0/dev/$f" /dev/$f; done && '
                  'ln -s "$0/log" /dev/log && exec "$@"')
        n = self.server(ini=QUIET_DNS + "[Logging]\nDebugOutput=1\n",
                        prefix=["unshare", "-m", "--propagation", "private", "sh", "-c", script, tmp])
        logger.settimeout(30)  # the first of the start-up's messages
        self.assertRegex(logger.recv(9000).decode(),
                         r"^<31>nestrap\[\d+\]: \[nestrap\] \[INFO\] #### nestrap v\. ")
        self.assertEqual(n.stop(), 0, n.stderr())


class HostileLogDirectoryTest(Case):
    """Whoever can write into the log directory must not be able to redirect,
    block or tear the program's lines."""

    def test_link_fifo_or_directory_in_place_of_the_daily_files(self):
        for case in ["symlink", "hardlink", "fifo", "directory"]:
            with self.subTest(case):
                n = self.server(start=False)
                logdir, victim = os.path.join(n.dir, "logs"), os.path.join(n.dir, "victim")
                os.mkdir(logdir)
                os.chmod(logdir, 0o777)  # for whichever user the server runs as
                pathlib.Path(victim).write_text("root only\n")
                make = {"symlink": lambda p: os.symlink(victim, p),
                        "hardlink": lambda p: os.link(victim, p), "fifo": os.mkfifo,
                        "directory": os.mkdir}[case]
                paths = [os.path.join(logdir, time.strftime(b + "%Y%m%d.log"))
                         for b in ("ipinfo", "nestrap")]
                for path in paths:
                    make(path)
                n.args = ["-l", logdir]
                n.start()
                failing = "[ERR ] Cannot write log file %s/ipinfo" % logdir
                n.session()
                n.wait_stderr(failing)
                n.session()
                self.assertEqual(n.stop(), 0, n.stderr())
                err = n.stderr()
                self.assertEqual(err.count("[ERR ] Cannot write log file"), 2, err)
                with open(victim) as f:
                    self.assertEqual(f.read(), "root only\n")

    def test_full_disk_loses_whole_lines_and_reports_the_episode(self):
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("needs root and unshare for a private tmpfs")
        n = self.server(start=False)
        logdir = os.path.join(n.dir, "logs")
        os.mkdir(logdir)
        # A private mount namespace: the tiny file system exists for the
        # server only and vanishes with it.
        n.prefix = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                    'mount -t tmpfs -o size=12k tmpfs "$0" && exec "$@"', logdir]
        n.args = ["-l", logdir]
        n.start()
        failing = "[ERR ] Cannot write log file %s/ipinfo" % logdir
        resumed = "ipinfo%s resumed" % time.strftime("%Y%m%d.log")
        for _ in range(300):
            n.session()
            if failing in n.stderr():
                break
        n.wait_stderr(failing)
        for _ in range(3):
            n.session()
        subprocess.run(["nsenter", "-t", str(n.proc.pid), "-m", "mount", "-o",
                        "remount,size=1m", logdir], check=True)
        for _ in range(50):
            n.session()
            if resumed in n.stderr():
                break
        n.wait_stderr(resumed)
        ipinfo = "/proc/%d/root%s/%s" % (n.proc.pid, logdir, time.strftime("ipinfo%Y%m%d.log"))
        text = pathlib.Path(ipinfo).read_text()
        self.assertEqual(n.stop(), 0)
        self.assertTrue(text.endswith("\n"), text[-200:])
        for line in text.splitlines():
            parse_line(line)  # whole lines only
        self.assertEqual((n.stderr().count(failing), n.stderr().count(resumed)), (1, 1))


class PrivilegeTest(Case):
    USER = "daemon"  # on every Debian machine; the tests never add users

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")

    def test_root_start_binds_then_runs_as_the_user_for_good(self):
        uid = pwd.getpwnam(self.USER).pw_uid
        n = self.server(["-u", self.USER], start=False)
        os.chmod(n.dir, 0o755)
        logdir = os.path.join(n.dir, "logs")
        os.mkdir(logdir, 0o750)
        n.args += ["-l", logdir]
        # A directory the user cannot write: no start, one line that says why.
        r = n.run(n.command()[1:])
        self.assertEqual((r.returncode, r.stderr.count("[ERR ]")), (2, 1), r.stderr)
        self.assertIn("[ERR ] Log directory {0} is not writable for user {1}: give it to the user "
                      "(chown {1} {0}), or name another directory (-l) or user (-u)\n"
                      .format(logdir, self.USER), r.stderr)
        os.chown(logdir, uid, -1)
        n.start()
        # Uid, CapEff, CapPrm and NoNewPrivs of every thread.
        found = set()
        for task in os.listdir("/proc/%d/task" % n.proc.pid):
            with open("/proc/%d/task/%s/status" % (n.proc.pid, task)) as f:
                fields = dict(l.split(":", 1) for l in f if ":" in l)
            found.add(tuple(fields[k].strip() for k in ("Uid", "CapEff", "CapPrm", "NoNewPrivs")))
        self.assertEqual(found, {("\t".join([str(uid)] * 4), "0" * 16, "0" * 16, "1")})
        n.session()
        self.assertEqual(n.stop(), 0)
        self.assertIn("[INFO] Running as user %s (uid %d" % (self.USER, uid), n.stderr())
        # Today's file, begun as root, went to the user with the rest.
        day = time.strftime("%Y%m%d.log")
        for base in ("nestrap", "ipinfo"):
            self.assertEqual(os.stat(os.path.join(logdir, base + day)).st_uid, uid)
        with open(os.path.join(logdir, "ipinfo" + day)) as f:
            self.assertEqual(len(f.read().splitlines()), 1)

    def test_a_nestrap_user_gets_its_log_directory_and_readiness_still_arrives(self):
        if shutil.which("unshare") is None:
            self.skipTest("needs unshare for an account database of its own")
        uid = 64123  # the machine need not have it: the server alone sees it
        n = self.server(start=False)
        n.prefix = presented_accounts(n.dir, "nestrap", uid)
        logdir = os.path.join(n.dir, "logs")  # missing: made for the user
        n.args = ["-l", logdir]
        # A notify socket in a directory only root may enter.
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(notify.close)
        n.env["NOTIFY_SOCKET"] = os.path.join(tempfile.mkdtemp(dir=n.dir), "notify")
        notify.bind(n.env["NOTIFY_SOCKET"])
        notify.settimeout(30)
        n.start()
        while b"READY=1" not in notify.recv(4096):
            pass
        n.session()
        ipinfo = os.path.join(logdir, time.strftime("ipinfo%Y%m%d.log"))
        wait_for(lambda: os.path.exists(ipinfo) and open(ipinfo).read().count("\n") == 1,
                 what="the connection line")
        self.assertEqual(n.stop(), 0)
        self.assertInOrder(n.stderr(), ["Log directory %s created for user nestrap" % logdir,
                                        "[INFO] Running as user nestrap (uid %d" % uid])
        self.assertEqual((os.stat(logdir).st_uid, os.stat(ipinfo).st_uid), (uid, uid))

    def test_without_a_user_to_switch_to_root_stays_and_says_so(self):
        if shutil.which("unshare") is None:
            self.skipTest("needs unshare for an account database of its own")
        n = self.server(["-l", ""], start=False)  # and an empty log path: no file at all
        n.prefix = presented_accounts(n.dir, "nestrap")  # whatever this machine has
        n.start()
        n.session()
        self.assertEqual(n.stop(), 0)
        self.assertEqual(n.stderr().count('[WARN] Running as root: there is no user "nestrap"'), 1)
        self.assertEqual([f for f in os.listdir(n.dir) if f.endswith(".log")], [])
