"""Smoke test of the Windows nestrap.exe under Wine.

Run by tools/windows-test.sh inside a private network namespace whose
/etc/resolv.conf names 127.0.0.1, so that the program's DnsQuery_A lookups go
to the DNS server this test runs on 127.0.0.1:53 and nowhere else.

Environment: NESTRAP_EXE (the .exe), WINE (the loader), WINEPREFIX.
"""
import os
import pty
import unittest

from harness import TEMPFAIL, Case, DnsServer, wait_for

EXE = os.environ.get("NESTRAP_EXE", "")
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
TIMEOUT = 120.0  # Wine's first start in a fresh prefix is slow
DISPLAY = "Bogus SMTP for MX sandwich"


def crlf_only(data):
    """Every line of `data` ends in CR LF (and there is at least one)."""
    return data.count("\n") > 0 and data.count("\n") == data.count("\r\n")


class WineSmoke(Case):
    @classmethod
    def setUpClass(cls):
        if not EXE or not os.path.exists(EXE):
            raise unittest.SkipTest("NESTRAP_EXE not set")
        cls.dns_server = DnsServer({"names": {"1.0.0.127.in-addr.arpa": {
            "PTR": ["client.smoke.test"]}}}, port=53).start()

    @classmethod
    def tearDownClass(cls):
        cls.dns_server.stop()

    def program(self):
        """A private copy of nestrap.exe. Standard input is a pseudo terminal:
        Wine then gives the process a console, which is how the program tells
        console mode from service mode."""
        master, slave = pty.openpty()
        for fd in (master, slave):
            self.addCleanup(os.close, fd)
        return self.server(["-w", "2"], start=False, ini=None, binary=EXE, name="nestrap.exe",
                           prefix=[WINE], stdin=slave, timeout=TIMEOUT)

    def test_console_decoy_writes_crlf_files_answers_and_logs(self):
        p = self.program()
        self.assertEqual(p.run(["-C"]).returncode, 0)
        for name in ["nestrap.ini", "nsp-dnswl.txt", "nsp-dnsbl.txt", "nsp-dnsgl.txt",
                     "nsp-uriwl.txt", "nsp-uribl.txt"]:
            with open(os.path.join(p.dir, name), newline="") as f:
                data = f.read()
            self.assertTrue(crlf_only(data), "%s: %r" % (name, data[:200]))
        asked = len(self.dns_server.asked())
        p.start(wait=False)
        p.wait_stderr("Waiting for incoming connections...")
        self.assertRegex(p.stderr(), r"\* Winsock info\.\.\.\.: \S.* \(2\.2\)")
        self.assertIn("* Service mode....: Off", p.stderr())
        banner, rest, how = p.session(b"HELO smoke.client.test\r\n")
        self.assertTrue(banner.startswith(b"220 decoy.example.test ESMTP Sendmail 8.2.0/8.2.0; "))
        self.assertEqual(rest, TEMPFAIL)
        wait_for(lambda: "smoke.client.test" in p.daily("ipinfo"), TIMEOUT,
                 what="connection line")
        log = p.daily("ipinfo", newline="")
        self.assertTrue(crlf_only(log), log)
        self.assertIn("|127.0.0.1|", log)
        self.assertIn("|smoke.client.test|", log)
        self.assertTrue(crlf_only(p.daily("nestrap", newline="")))
        # The analysis asked our server through DnsQuery_A. (Wine 8's DnsQuery_A
        # answers PTR questions with DNS_ERROR_BAD_PACKET whatever the server
        # sends, so the reverse name itself is not checked here.)
        self.assertIn("1.0.0.127.in-addr.arpa", [q for q, _ in self.dns_server.asked()[asked:]])

    def test_install_and_remove_service(self):
        p = self.program()
        r = p.run(["-I"])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, "^%s installed \\(.*nestrap.exe\\)\\." % DISPLAY)
        try:
            self.assertRegex(p.run(["-I"]).stdout,
                             r"CreateService failed - .* \(0x431\)")
        finally:
            r = p.run(["-U"])
        self.assertEqual((r.returncode, r.stdout), (0, "%s removed.\n" % DISPLAY))
        self.assertRegex(p.run(["-U"]).stdout,
                         r"OpenService failed - .* \(0x424\)")


if __name__ == "__main__":
    unittest.main(verbosity=2)
