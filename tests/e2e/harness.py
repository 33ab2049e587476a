"""Shared helpers for end-to-end tests that drive the real nestrap binary: each
runs a private copy in a temporary directory (where the program keeps its
settings, lists and logs) on a free loopback port, and waits on conditions."""
import ctypes
import glob
import os
import pathlib
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from dnsserver import DnsServer  # noqa: E402

BIN = os.environ.get("NESTRAP_BIN") or os.path.join(HERE, "..", "..", "build", "nestrap")
DEFAULT_TIMEOUT = 30.0

# Keeps a run away from the machine's resolver: a closed local port.
QUIET_DNS = "[DNSinfo]\nNameServer=127.0.0.1:9\n"
TEMPFAIL = b"421 4.2.1 Service temporarily unavailable, closing transmission channel.\r\n"
BANNER = re.compile(rb"^220 decoy\.example\.test ESMTP Sendmail 8\.2\.0/8\.2\.0; "
                    rb"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d "
                    rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
                    rb"\d\d:\d\d:\d\d GMT\r\n")

# The columns of a connection line, in order; "-x" adds the last two.
COLUMNS = ["date", "time", "hex", "asn", "ip", "net", "prefix", "ptr", "helo", "spf", "tag",
           "detail", "country", "owner", "errors", "vrfys", "noops", "rcpts", "auth", "mail",
           "rcpt", "last_error", "host", "listen"]


def parse_line(line):
    """A connection line as a dict column name -> text (the line must be whole)."""
    assert line.endswith(" "), repr(line)
    values = line[:-1].split("|")
    assert len(values) in (22, 24), line
    return dict(zip(COLUMNS, values))


# A sanitized binary keeps freed memory in quarantine and runs slower.
SANITIZED = os.path.exists(BIN) and re.search(rb"__[at]san_init",
                                               pathlib.Path(BIN).read_bytes()) is not None
_rng = random.SystemRandom()  # tests may seed the module-wide generator


def free_port():
    """A loopback port free now, below the ephemeral range (where a busy test's
    client connections could take it before the server binds it)."""
    low = int(pathlib.Path("/proc/sys/net/ipv4/ip_local_port_range").read_text().split()[0])
    while True:
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", _rng.randrange(10000, low)))
                return s.getsockname()[1]
            except OSError:
                pass


def wait_for(predicate, timeout=DEFAULT_TIMEOUT, interval=0.02, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


class Nestrap:
    """A nestrap in its own directory with `ini` as nestrap.ini (None: none),
    started as prefix (limits, unshare, Wine), binary, -n hostname, -p port
    -i listen (each left out when None), args."""

    def __init__(self, args=(), ini=QUIET_DNS, port=None, hostname="decoy.example.test",
                 env=None, files=None, workdir=None, listen="127.0.0.1", prefix=(),
                 binary=BIN, name="nestrap", stdin=None, timeout=DEFAULT_TIMEOUT):
        self.dir = workdir or tempfile.mkdtemp(prefix="nestrap-e2e-")
        if workdir is None:  # for whichever user the server runs as (the machine's nestrap)
            os.chmod(self.dir, 0o777)
        self.exe = os.path.join(self.dir, name)
        shutil.copy(binary, self.exe)
        files = dict(files or {})
        if ini is not None:
            files["nestrap.ini"] = ini
        for fname, text in files.items():
            pathlib.Path(self.dir, fname).write_text(text)
        self.port = port if port is not None else free_port()
        self.args, self.hostname, self.listen = list(args), hostname, listen
        self.env, self.prefix, self.stdin = dict(env or {}), list(prefix), stdin
        self.proc = self._stderr = None
        self.timeout = timeout  # for replies, lines and one-shot runs

    def command(self):
        cmd = self.prefix + [self.exe]
        if self.hostname is not None:
            cmd += ["-n", self.hostname]
        if self.port is not None and self.listen is not None:
            cmd += ["-p", str(self.port), "-i", self.listen]
        return cmd + self.args

    def _env(self):  # never a service manager's, unless the test sets it
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
        return dict(env, **self.env)

    def run(self, args, timeout=None):
        """A one-shot invocation with exactly `args`; returns CompletedProcess."""
        r = subprocess.run(self.prefix + [self.exe] + list(args), capture_output=True,
                           text=True, errors="replace", timeout=timeout or self.timeout,
                           cwd=self.dir, env=self._env(), stdin=self.stdin)
        sanitizer_report(r.stderr)
        return r

    def start(self, wait=True):
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self._stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(self.command(), stdout=subprocess.DEVNULL,
                                     stderr=self._stderr, cwd="/", env=self._env(),
                                     stdin=self.stdin)
        if wait:
            self.wait_stderr("Waiting for incoming connections...")
        return self

    def stderr(self):
        return pathlib.Path(self.stderr_path).read_text(errors="replace")

    def wait_stderr(self, text, timeout=None):
        def check():
            if self.proc.poll() is not None and text not in self.stderr():
                raise AssertionError("nestrap exited (%s) before %r:\n%s"
                                     % (self.proc.returncode, text, self.stderr()))
            return text in self.stderr()
        wait_for(check, timeout or self.timeout, what=repr(text))

    def stop(self, sig=signal.SIGTERM, timeout=DEFAULT_TIMEOUT):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()

    def close(self):
        try:
            self.stop(signal.SIGKILL, timeout=10)
            if self._stderr:
                self._stderr.close()
                sanitizer_report(self.stderr())
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def connect(self, timeout=None, source=None):
        return socket.create_connection(("127.0.0.1", self.port), timeout=timeout or self.timeout,
                                        source_address=(source, 0) if source else None)

    def session(self, data=b"HELO client.example.test\r\n", source=None):
        """One session: banner, then `data` (None: nothing) until the server
        ends it; returns (banner, rest, 'fin' or 'reset')."""
        with self.connect(source=source) as s:
            banner = recv_until(s, b"\r\n", self.timeout)
            if data is not None:
                s.sendall(data)
            return (banner,) + recv_all(s, self.timeout)

    def daily(self, base, newline=None):
        """Text of the daily files base*.log."""
        text = ""
        for p in sorted(glob.glob(os.path.join(self.dir, base + "[0-9]*.log"))):
            with open(p, errors="replace", newline=newline) as f:
                text += f.read()
        return text

    def lines(self):
        """The connection lines so far, each as parse_line gives it."""
        return [parse_line(l) for l in self.daily("ipinfo").split("\n") if l]

    def diag_lines(self):
        return [l for l in self.daily("nestrap").split("\n") if l]

    def wait_lines(self, n, timeout=None):
        wait_for(lambda: len(self.lines()) >= n, timeout or self.timeout,
                 what="%d connection line(s)" % n)
        return self.lines()


class Case(unittest.TestCase):
    """A test case whose servers and DNS servers end with the test."""

    def server(self, args=(), start=True, **kw):
        n = Nestrap(args=args, **kw)
        self.addCleanup(n.close)
        return n.start() if start else n

    def dns(self, names, **kw):
        d = DnsServer({"names": names, "default": kw.pop("default", "nxdomain")}, **kw).start()
        self.addCleanup(d.stop)
        return d

    def busy_port(self):
        """A loopback port some other socket listens on."""
        busy = socket.socket()
        self.addCleanup(busy.close)
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        return busy.getsockname()[1]

    def assertUnitPasses(self, path, env=None):
        """systemd-analyze verifies the unit file and rates its sandbox low."""
        tool = shutil.which("systemd-analyze")
        if tool is None:
            self.skipTest("systemd-analyze not installed: the unit is not verified")
        r = subprocess.run([tool, "verify", path], capture_output=True, text=True, timeout=60, env=env)
        self.assertEqual((r.returncode, r.stderr.strip()), (0, ""), r.stdout)
        r = subprocess.run([tool, "security", "--offline=true", path], capture_output=True,
                           text=True, timeout=60)
        m = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", r.stdout)
        self.assertIsNotNone(m, r.stdout + r.stderr)
        self.assertLessEqual(float(m.group(1)), 2.5, r.stdout)

    def assertInOrder(self, text, parts):
        positions = [text.find(p) for p in parts]
        self.assertNotIn(-1, positions, text)
        self.assertEqual(positions, sorted(positions), text)


def presented_accounts(directory, user, uid=None):
    """A prefix that runs the server with an account database of the test's
    own (the machine's, with `user` as `uid` or, when None, without `user`),
    in a private mount namespace."""
    rows = {"passwd": "%s:x:%d:%d::/nonexistent:/usr/sbin/nologin\n" % (user, uid, uid),
            "group": "%s:x:%d:\n" % (user, uid)} if uid is not None else {"passwd": "", "group": ""}
    for name, row in rows.items():
        with open("/etc/" + name) as f, open(os.path.join(directory, name), "w") as out:
            out.write("".join(l for l in f if not l.startswith(user + ":")) + row)
    return ["unshare", "-m", "--propagation", "private", "sh", "-c",
            'mount --bind "$0" /etc/passwd && mount --bind "$1" /etc/group && shift && exec "$@"',
            os.path.join(directory, "passwd"), os.path.join(directory, "group")]


def private_network(addresses):
    """Moves this process into a network namespace of its own whose loopback
    interface carries `addresses` (a module's setUpModule calls it)."""
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root to create a network namespace")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x40000000) != 0:  # CLONE_NEWNET
        raise unittest.SkipTest("unshare(CLONE_NEWNET): " + os.strerror(ctypes.get_errno()))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for a in addresses:
        subprocess.run(["ip", "addr", "add", a + "/32", "dev", "lo"], check=True)


def sanitizer_report(text):
    """Fails when a sanitized binary reported a fault on its standard error."""
    m = re.search(r"ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: ThreadSanitizer", text)
    if m:
        raise AssertionError("sanitizer report:\n" + text[max(0, m.start() - 200):m.start() + 4000])


def cpu_seconds(pid):
    """User and system time the process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def socket_count(pid):
    """Sockets the process holds (its log files may stay open between lines)."""
    fds = "/proc/%d/fd" % pid
    count = 0
    for fd in os.listdir(fds):
        try:
            count += os.readlink(os.path.join(fds, fd)).startswith("socket:")
        except OSError:
            pass  # closed meanwhile
    return count


def recv_until(sock, marker, timeout=DEFAULT_TIMEOUT):
    """Reads until `marker` (bytes) was received or the peer closed."""
    sock.settimeout(timeout)
    data = b""
    while marker not in data:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def recv_all(sock, timeout=DEFAULT_TIMEOUT):
    """Reads until the peer closes; returns (data, how) with how 'fin' or 'reset'."""
    sock.settimeout(timeout)
    data = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return data, "fin"
            data += chunk
    except ConnectionResetError:
        return data, "reset"
