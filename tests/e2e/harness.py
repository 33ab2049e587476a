"""Shared helpers for end-to-end tests that drive the real nestrap binary.

Every test runs a private copy of the binary in a temporary directory (the
program keeps its settings, list files and logs beside the executable), on a
free loopback port. Waits are on conditions with generous time-outs.
"""
import glob
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BIN = os.environ.get("NESTRAP_BIN") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "nestrap")

DEFAULT_TIMEOUT = 30.0


def _sanitized():
    try:
        with open(BIN, "rb") as f:
            data = f.read()
    except OSError:
        return False
    return b"__asan_init" in data or b"__tsan_init" in data


# A sanitized binary keeps freed memory in quarantine and runs slower.
SANITIZED = _sanitized()


# Tests may seed the module-wide generator; port picks must not repeat.
_rng = random.SystemRandom()


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_port():
    """A loopback port that is free now and that no outgoing connection takes.

    A port the kernel hands out for binding to port 0 comes from the ephemeral
    range, where a busy test's client connections may grab it before the
    server binds it; ports below that range are never given to clients.
    """
    low = _ephemeral_low()
    if low > 10000:
        for _ in range(200):
            port = _rng.randrange(10000, low)
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                try:
                    s.bind(("127.0.0.1", port))
                except OSError:
                    continue
                return port
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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
    """A nestrap process in its own directory.

    ini: text of nestrap.ini to place beside the binary before start (None:
    let the program write its default file).
    """

    def __init__(self, args=(), ini=None, port=None, hostname="decoy.example.test",
                 env=None, files=None, workdir=None, nameserver=None, listen="127.0.0.1"):
        self.dir = workdir or tempfile.mkdtemp(prefix="nestrap-e2e-")
        self.exe = os.path.join(self.dir, "nestrap")
        shutil.copy(BIN, self.exe)
        if ini is not None:
            with open(os.path.join(self.dir, "nestrap.ini"), "w") as f:
                f.write(ini)
        for name, text in (files or {}).items():
            with open(os.path.join(self.dir, name), "w") as f:
                f.write(text)
        self.port = port if port is not None else free_port()
        self.args = list(args)
        self.hostname = hostname
        self.env = env
        self.proc = None
        self.nameserver = nameserver
        self.listen = listen

    def command(self, extra=()):
        cmd = [self.exe]
        if self.hostname is not None:
            cmd += ["-n", self.hostname]
        if self.port is not None:
            cmd += ["-p", str(self.port), "-i", self.listen]
        return cmd + self.args + list(extra)

    def run(self, args, timeout=DEFAULT_TIMEOUT, cwd=None):
        """Runs a one-shot invocation with exactly `args`; returns CompletedProcess."""
        r = subprocess.run([self.exe] + list(args), capture_output=True, text=True,
                           timeout=timeout, cwd=cwd or self.dir, env=self._env())
        sanitizer_report(r.stderr)
        return r

    def _env(self):
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        env.pop("INVOCATION_ID", None)
        if self.env:
            env.update(self.env)
        return env

    def start(self, wait=True, extra=()):
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self._stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(self.command(extra), stdout=subprocess.PIPE,
                                     stderr=self._stderr, cwd="/", env=self._env())
        if wait:
            self.wait_stderr("Waiting for incoming connections...")
        return self

    def stderr(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def wait_stderr(self, text, timeout=DEFAULT_TIMEOUT, count=1):
        def check():
            if self.proc.poll() is not None and self.stderr().count(text) < count:
                raise AssertionError("nestrap exited (%s) before %r:\n%s"
                                     % (self.proc.returncode, text, self.stderr()))
            return self.stderr().count(text) >= count
        wait_for(check, timeout, what=repr(text))

    def stop(self, sig=signal.SIGTERM, timeout=DEFAULT_TIMEOUT):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout=timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        return rc

    def close(self):
        try:
            self.stop(signal.SIGKILL, timeout=10)
            if getattr(self, "_stderr", None):
                self._stderr.close()
                sanitizer_report(self.stderr())
            if self.proc is not None and self.proc.stdout:
                self.proc.stdout.close()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def connect(self, timeout=DEFAULT_TIMEOUT, source=None):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout,
                                     source_address=(source, 0) if source else None)
        return s

    # Daily files -------------------------------------------------------
    def _daily(self, base):
        files = sorted(glob.glob(os.path.join(self.dir, base + "[0-9]*.log")))
        text = ""
        for p in files:
            with open(p, errors="replace") as f:
                text += f.read()
        return text

    def connection_lines(self):
        return [l for l in self._daily("ipinfo").split("\n") if l]

    def diag_lines(self):
        return [l for l in self._daily("nestrap").split("\n") if l]

    def wait_connection_lines(self, n, timeout=DEFAULT_TIMEOUT):
        wait_for(lambda: len(self.connection_lines()) >= n, timeout,
                 what="%d connection line(s)" % n)
        return self.connection_lines()


SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "WARNING: ThreadSanitizer")


def sanitizer_report(text):
    """Fails when a sanitized binary reported a fault on its standard error."""
    for marker in SANITIZER_MARKERS:
        if marker in text:
            at = text.index(marker)
            raise AssertionError("sanitizer report:\n" + text[max(0, at - 200):at + 4000])


def fd_count(pid):
    """Open descriptors of a process."""
    return len(os.listdir("/proc/%d/fd" % pid))


def columns(line):
    """Columns of a connection line (the trailing blank removed)."""
    assert line.endswith(" "), repr(line)
    return line[:-1].split("|")


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
