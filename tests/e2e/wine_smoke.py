"""Smoke test of the Windows nestrap.exe under Wine.

Run by tools/windows-test.sh inside a private network namespace whose
/etc/resolv.conf names 127.0.0.1, so that the program's DnsQuery_A lookups go
to the DNS server this test runs on 127.0.0.1:53 and nowhere else.

Environment: NESTRAP_EXE (the .exe), WINE (the loader), WINEPREFIX.
"""
import glob
import os
import pty
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from dnsserver import DnsServer  # noqa: E402
from harness import free_port, wait_for  # noqa: E402

EXE = os.environ.get("NESTRAP_EXE", "")
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
TIMEOUT = 120.0  # Wine's first start in a fresh prefix is slow

BANNER_PREFIX = b"220 decoy.smoke.test ESMTP Sendmail 8.2.0/8.2.0; "
TEMPFAIL = b"421 4.2.1 Service temporarily unavailable, closing transmission channel.\r\n"
DISPLAY = "Bogus SMTP for MX sandwich"


class WineProgram:
    """A private copy of nestrap.exe in a temporary directory.

    Standard input is a pseudo terminal: Wine then gives the process a
    console, which is how the program tells console mode from service mode.
    """

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="nestrap-wine-")
        self.exe = os.path.join(self.dir, "nestrap.exe")
        shutil.copy(EXE, self.exe)
        self.proc = None
        self.master, self.slave = pty.openpty()

    def run(self, args, timeout=TIMEOUT):
        return subprocess.run([WINE, self.exe] + list(args), stdin=self.slave,
                              capture_output=True, cwd=self.dir, timeout=timeout)

    def start(self, args):
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self._stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([WINE, self.exe] + list(args), stdin=self.slave,
                                     stdout=subprocess.DEVNULL, stderr=self._stderr, cwd="/")

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_stderr(self, text):
        def check():
            if self.proc.poll() is not None and text not in self.stderr():
                raise AssertionError("nestrap.exe exited (%s) before %r:\n%s"
                                     % (self.proc.returncode, text, self.stderr()))
            return text in self.stderr()
        wait_for(check, TIMEOUT, what=repr(text))

    def daily(self, base):
        data = b""
        for p in sorted(glob.glob(os.path.join(self.dir, base + "[0-9]*.log"))):
            with open(p, "rb") as f:
                data += f.read()
        return data

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc is not None:
            self._stderr.close()
        os.close(self.master)
        os.close(self.slave)
        shutil.rmtree(self.dir, ignore_errors=True)


def crlf_only(data):
    """Every line of `data` ends in CR LF (and there is at least one)."""
    return data.count(b"\n") > 0 and data.count(b"\n") == data.count(b"\r\n")


class WineSmoke(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not EXE or not os.path.exists(EXE):
            raise unittest.SkipTest("NESTRAP_EXE not set")
        cls.dns = DnsServer(zones={
            "default": "nxdomain",
            "names": {"1.0.0.127.in-addr.arpa": {"PTR": ["client.smoke.test"]}},
        }, port=53)
        cls.dns.start()

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()

    def program(self):
        p = WineProgram()
        self.addCleanup(p.close)
        return p

    def test_settings_and_list_files_have_crlf_line_ends(self):
        p = self.program()
        r = p.run(["-C"])
        self.assertEqual(r.returncode, 0, r.stderr)
        names = ["nestrap.ini", "nsp-dnswl.txt", "nsp-dnsbl.txt", "nsp-dnsgl.txt",
                 "nsp-uriwl.txt", "nsp-uribl.txt"]
        for name in names:
            with open(os.path.join(p.dir, name), "rb") as f:
                data = f.read()
            self.assertTrue(crlf_only(data), "%s: %r" % (name, data[:200]))
        with open(os.path.join(p.dir, "nestrap.ini"), "rb") as f:
            self.assertIn(b"[Options]", f.read())

    def test_console_decoy_answers_and_logs_the_connection(self):
        p = self.program()
        port = free_port()
        before = len(self.dns.queries)
        p.start(["-n", "decoy.smoke.test", "-i", "127.0.0.1", "-p", str(port), "-w", "2"])
        p.wait_stderr("Waiting for incoming connections...")
        err = p.stderr()
        self.assertRegex(err, r"\* Winsock info\.\.\.\.: \S.* \(2\.2\)")
        self.assertIn("* Service mode....: Off", err)

        with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as s:
            data = b""
            while not data.endswith(b"\r\n"):
                chunk = s.recv(4096)
                self.assertTrue(chunk, "closed before the banner: %r" % data)
                data += chunk
            self.assertTrue(data.startswith(BANNER_PREFIX), data)
            s.sendall(b"HELO smoke.client.test\r\n")
            rest = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                rest += chunk
            self.assertEqual(rest, TEMPFAIL)

        wait_for(lambda: b"smoke.client.test" in p.daily("ipinfo"), TIMEOUT,
                 what="connection line")
        log = p.daily("ipinfo")
        self.assertTrue(crlf_only(log), log)
        line = log.decode(errors="replace").split("\r\n")[0]
        self.assertIn("127.0.0.1", line)
        self.assertIn("|smoke.client.test|", line)
        self.assertTrue(crlf_only(p.daily("nestrap")))
        # The analysis asked our server through DnsQuery_A. (Wine 8's DnsQuery_A
        # answers PTR questions with DNS_ERROR_BAD_PACKET whatever the server
        # sends, so the reverse name itself is not checked here.)
        names = [q[0] for q in self.dns.queries[before:]]
        self.assertIn("1.0.0.127.in-addr.arpa", names)

    def test_install_and_remove_service(self):
        p = self.program()
        r = p.run(["-I"])
        out = r.stdout.decode(errors="replace")
        self.assertEqual(r.returncode, 0, out + r.stderr.decode(errors="replace"))
        self.assertIn("%s installed (" % DISPLAY, out)
        self.assertIn("nestrap.exe).", out)
        try:
            again = p.run(["-I"]).stdout.decode(errors="replace")
            self.assertRegex(again, r"CreateService failed - .* \(0x431\)")
        finally:
            r = p.run(["-U"])
        out = r.stdout.decode(errors="replace")
        self.assertEqual(r.returncode, 0, out)
        self.assertEqual(out.replace("\r\n", "\n"), "%s removed.\n" % DISPLAY)
        gone = p.run(["-U"]).stdout.decode(errors="replace")
        self.assertRegex(gone, r"OpenService failed - .* \(0x424\)")


if __name__ == "__main__":
    unittest.main(verbosity=2)
