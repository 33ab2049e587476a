"""SMTP emulation mode (-s) driven end to end: real SMTP clients, scripted
dialogues over raw sockets, the response delay and hostile input."""
import base64
import random
import shutil
import smtplib
import socket
import struct
import subprocess
import time
import unittest

from harness import Nestrap, columns, recv_all

# DNS goes to a closed local port: every query of the analysis fails at once.
INI = """[Listener]
RxTimeOut=30000
[DNSinfo]
NameServer=127.0.0.1:9
[Logging]
LogPath=.
LogLevel=5
"""

RX_TIMEOUT_MS = 3000

# Columns of a connection line (0-based index into harness.columns()).
HELO, ERRORS, VRFYS, NOOPS, RCPTS, AUTH, MAIL, RCPT, LAST_ERROR = 8, 14, 15, 16, 17, 18, 19, 20, 21
LINE_COLUMNS = 22

TEMPFAIL = b"421 4.2.1 Service temporarily unavailable, closing transmission channel.\r\n"


def hello(name, ip="127.0.0.1"):
    return b"250 Hello %s ([%s]), nice to meet you.\r\n" % (name.encode(), ip.encode())


def read_reply(sock, timeout=30.0):
    """Reads one complete (possibly multi-line) reply; b"" when the peer closed."""
    sock.settimeout(timeout)
    data = b""
    while True:
        if data.endswith(b"\r\n"):
            last = data[:-2].rsplit(b"\r\n", 1)[-1]
            if len(last) >= 4 and last[3:4] == b" ":
                return data
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


class Server:
    """One emulating nestrap whose connection lines are taken in order."""

    def __init__(self, args):
        self.n = Nestrap(args=["-s"] + list(args), ini=INI)
        self.n.start()
        self.seen = 0

    def connect(self):
        s = self.n.connect()
        banner = read_reply(s)
        assert banner.startswith(b"220 decoy.example.test ESMTP Sendmail 8.2.0/8.2.0; "), banner
        return s

    def next_lines(self, count=1):
        """Waits for `count` more connection lines and returns their columns."""
        lines = self.n.wait_connection_lines(self.seen + count)
        new = lines[self.seen:self.seen + count]
        self.seen += count
        return [columns(l) for l in new]

    def close(self):
        self.n.close()


class EmulationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.srv = Server(["-r", str(RX_TIMEOUT_MS)])

    @classmethod
    def tearDownClass(cls):
        cls.srv.close()

    def assertColumns(self, cols, expected):
        self.assertEqual(len(cols), LINE_COLUMNS, cols)
        for index, value in expected.items():
            self.assertEqual(cols[index], value, "column %d of %r" % (index + 1, cols))

    # Real clients ------------------------------------------------------
    def test_smtplib_client(self):
        client = smtplib.SMTP("127.0.0.1", self.srv.n.port, local_hostname="py.example.org",
                              timeout=30)
        try:
            code, text = client.ehlo()
            self.assertEqual(code, 250)
            self.assertTrue(text.startswith(b"Hello py.example.org ([127.0.0.1])"), text)
            self.assertEqual(client.esmtp_features.get("auth", "").strip(), "PLAIN")
            for feature in ("help", "vrfy", "expn", "noop"):
                self.assertIn(feature, client.esmtp_features)
            code, text = client.login("carol", "s3cret")
            self.assertEqual(code, 235)
            with self.assertRaises(smtplib.SMTPDataError) as caught:
                client.sendmail("sender@example.com",
                                ["first@example.net", "second@example.net"],
                                "Subject: hi\r\n\r\nbody\r\n")
            self.assertEqual(caught.exception.smtp_code, 421)
        finally:
            client.close()
        (cols,) = self.srv.next_lines()
        encoded = base64.b64encode(b"\0carol\0s3cret").decode()
        self.assertColumns(cols, {HELO: "py.example.org", ERRORS: "0", VRFYS: "0", NOOPS: "0",
                                  RCPTS: "2", AUTH: encoded, MAIL: "<sender@example.com>",
                                  RCPT: "<first@example.net>", LAST_ERROR: "no-error"})

    def test_swaks_client(self):
        swaks = shutil.which("swaks")
        self.assertIsNotNone(swaks, "swaks is missing (tools/deps.sh installs it)")
        run = subprocess.run(
            [swaks, "--server", "127.0.0.1:%d" % self.srv.n.port, "--helo", "swaks.example.org",
             "--from", "a@sender.example", "--to", "one@rcpt.example,two@rcpt.example",
             "--auth", "PLAIN", "--auth-user", "dave", "--auth-password", "pw", "--timeout", "30"],
            capture_output=True, text=True, timeout=120)
        # swaks fails the transaction at DATA and reports it in its exit code.
        self.assertNotEqual(run.returncode, 0, run.stdout)
        self.assertIn("<-  250 AUTH PLAIN", run.stdout)
        self.assertIn("<-  235 ok, go ahead (#2.0.0)", run.stdout)
        self.assertIn("<** 421 4.2.1 Service temporarily unavailable", run.stdout)
        (cols,) = self.srv.next_lines()
        self.assertColumns(cols, {HELO: "swaks.example.org", ERRORS: "0", RCPTS: "2",
                                  AUTH: base64.b64encode(b"\0dave\0pw").decode(),
                                  MAIL: "<a@sender.example>", RCPT: "<one@rcpt.example>",
                                  LAST_ERROR: "no-error"})

    # Scripted dialogues --------------------------------------------------
    # Each: (name, [(client line, expected reply)], how it ends, expected columns).
    # Ends: "fin" the server closes gracefully after the last reply; "reset"
    # the server says nothing more and drops the client after RxTimeOut.
    def scripts(self):
        helo = (b"HELO client.example.org\r\n", hello("client.example.org"))
        quit_ = (b"QUIT\r\n", b"221 closing connection.\r\n")
        mail_a = (b"MAIL FROM:<a@b.example>\r\n", b"250 <a@b.example>... Sender ok\r\n")
        rcpts = [(b"RCPT TO:<r%d@y.example>\r\n" % i,
                  b"250 <r%d@y.example>... Recipient ok\r\n" % i) for i in range(101)]
        unrecognized = (b"XYZZY\r\n", b"500 Command unrecognized\r\n")
        noop = (b"NOOP\r\n", b"250 OK\r\n")
        return [
            ("error limit", [helo] + [unrecognized] * 6
             + [(b"QUIT\r\n", b"550 Max errors exceeded\r\n")], "fin",
             # the analysis adds one for the missing QUIT
             {ERRORS: "7", LAST_ERROR: "500 Command unrecognized"}),
            ("101 recipients", [helo, mail_a] + rcpts
             + [(b"RCPT TO:<bad>\r\n", b"553 <bad>... User unknown\r\n"),
                (b"RCPT TO:<more@y.example>\r\n", b"452 too many recipients\r\n")], "fin",
             {ERRORS: "1", RCPTS: "101", RCPT: "<r0@y.example>",
              LAST_ERROR: "452 too many recipients"}),
            ("VRFY and EXPN limit",
             [(b"VRFY <u@x.example>\r\n", b"251 User not local; will forward to <u@x.example>\r\n"),
              (b"VRFY root\r\n",
               b"252 Cannot VRFY user; try RCPT to attempt delivery (or try finger)\r\n")] * 3
             + [(b"EXPN staff\r\n", b"250 staff\r\n")] * 5
             + [(b"EXPN staff\r\n", b"451 max recipient verification exceeded\r\n")], "fin",
             {ERRORS: "0", VRFYS: "11", LAST_ERROR: "no-error"}),
            ("NOOP limit", [noop] * 6 + [(b"NOOP\r\n", b"451 max NOOP exceeded\r\n")], "fin",
             {ERRORS: "0", NOOPS: "6", HELO: "no-helo"}),
            ("nested MAIL",
             [helo, mail_a, (b"MAIL FROM:<c@d.example>\r\n", b"503 Nested MAIL command\r\n"),
              quit_], "fin",
             {ERRORS: "1", MAIL: "<a@b.example>", LAST_ERROR: "503 Nested MAIL command"}),
            ("RSET starts a new transaction",
             [helo, mail_a, rcpts[0], (b"RSET\r\n", b"250 OK\r\n"),
              (b"MAIL FROM:<new@d.example>\r\n", b"250 <new@d.example>... Sender ok\r\n"),
              (b"RCPT TO:<n@y.example>\r\n", b"250 <n@y.example>... Recipient ok\r\n"), quit_],
             "fin", {ERRORS: "0", RCPTS: "1", MAIL: "<new@d.example>", RCPT: "<n@y.example>",
                     LAST_ERROR: "no-error"}),
            ("RCPT before MAIL is not counted",
             [helo, (b"RCPT TO:<x@y.example>\r\n", b"503 Need MAIL before RCPT\r\n"), quit_],
             "fin", {ERRORS: "0", RCPTS: "0", RCPT: "no-rcpt", LAST_ERROR: "no-error"}),
            ("DATA without recipients, then DATA again",
             [helo, (b"DATA\r\n", b"471 Bad or missing RCPT command\r\n"), (b"DATA\r\n", TEMPFAIL)],
             "fin", {ERRORS: "0", RCPTS: "1", LAST_ERROR: "no-error"}),
            ("AUTH LOGIN is unrecognised",
             [helo, (b"AUTH LOGIN\r\n", b"500 Command unrecognized\r\n"), quit_], "fin",
             {ERRORS: "1", AUTH: "no-auth", LAST_ERROR: "500 Command unrecognized"}),
            ("second AUTH PLAIN",
             [helo, (b"AUTH PLAIN AGEAYg==\r\n", b"235 ok, go ahead (#2.0.0)\r\n"),
              (b"AUTH PLAIN AGMAZA==\r\n", b"503 AUTH PLAIN already authenticated\r\n"), quit_],
             "fin", {ERRORS: "1", AUTH: "AGEAYg==",
                     LAST_ERROR: "503 AUTH PLAIN already authenticated"}),
            ("lower-case commands",
             [(b"ehlo Lower.Example.ORG\r\n",
               b"250-Hello Lower.Example.ORG ([127.0.0.1]), nice to meet you.\r\n250-HELP\r\n"
               b"250-VRFY\r\n250-EXPN\r\n250-NOOP\r\n250 AUTH PLAIN\r\n"),
              (b"mail from:<Mixed@Case.example>\r\n", b"250 <Mixed@Case.example>... Sender ok\r\n"),
              (b"rcpt to:<To@Case.example>\r\n", b"250 <To@Case.example>... Recipient ok\r\n"),
              (b"quit\r\n", b"221 closing connection.\r\n")], "fin",
             {HELO: "Lower.Example.ORG", ERRORS: "0", MAIL: "<Mixed@Case.example>",
              RCPT: "<To@Case.example>", RCPTS: "1"}),
            ("MAIL FROM with a SIZE parameter",
             [helo, (b"MAIL FROM:<s@b.example> SIZE=12345 BODY=8BITMIME\r\n",
                     b"250 <s@b.example>... Sender ok\r\n"), quit_],
             "fin", {MAIL: "<s@b.example>", ERRORS: "0"}),
            ("MAIL before HELO",
             [(b"MAIL FROM:<a@b.example>\r\n",
               b"250-HELO/EHLO Command not issued, proceeding anyway\r\n"
               b"250 <a@b.example>... Sender ok\r\n"), quit_],
             "fin", {HELO: "no-helo", ERRORS: "1", MAIL: "<a@b.example>"}),
            ("two commands in one segment",
             [helo, (b"NOOP\r\nQUIT\r\n", b"250 OK\r\n")], "reset",
             {NOOPS: "1", ERRORS: "1", LAST_ERROR: "no-quit"}),
            ("invalid HELO is greeted",
             [(b"HELO localhost\r\n", hello("localhost")), quit_], "fin",
             {HELO: "localhost", ERRORS: "1", LAST_ERROR: "501 Invalid HELO"}),
        ]

    def test_dialogue_scripts(self):
        for name, steps, end, expected in self.scripts():
            with self.subTest(name):
                s = self.srv.connect()
                try:
                    for line, reply in steps:
                        s.sendall(line)
                        self.assertEqual(read_reply(s), reply, line)
                    started = time.monotonic()
                    rest, how = recv_all(s, timeout=30)
                    self.assertEqual(rest, b"")
                    if end == "reset":
                        self.assertEqual(how, "reset")
                        self.assertGreater(time.monotonic() - started, RX_TIMEOUT_MS / 1000 - 1)
                    else:
                        self.assertEqual(how, "fin")
                finally:
                    s.close()
                (cols,) = self.srv.next_lines()
                self.assertColumns(cols, expected)

    # Hostile input ---------------------------------------------------------
    def test_hostile_input_never_breaks_the_server(self):
        rng = random.Random(20191107)
        junk = bytes(rng.randrange(256) for _ in range(3000))
        long_line = b"HELO " + b"h" * 4090 + b"\r\n"  # longer than one read
        sessions = 0

        s = self.srv.connect()  # binary bytes, NUL included
        s.sendall(junk)
        self.assertTrue(read_reply(s).endswith(b"\r\n"))
        s.sendall(b"QUIT\r\n")
        s.close()
        sessions += 1

        s = self.srv.connect()  # a NUL in the middle of a command
        s.sendall(b"HELO nul.exa\0mple.org\r\n")
        self.assertEqual(read_reply(s), hello("nul.exa"))
        s.sendall(b"MAIL FROM:<a|b@c.example>\r\n")  # "|" kept out of the columns
        self.assertEqual(read_reply(s), b"250 <a|b@c.example>... Sender ok\r\n")
        s.sendall(b"QUIT\r\n")
        self.assertEqual(read_reply(s), b"221 closing connection.\r\n")
        s.close()
        sessions += 1

        s = self.srv.connect()  # 4 KB lines arrive in more than one chunk
        s.sendall(long_line)
        data = read_reply(s)
        self.assertTrue(data.startswith(b"250 Hello " + b"h" * 260 + b" ([127.0.0.1])"), data[:80])
        s.sendall(b"MAIL FROM:<" + b"m" * 4000 + b"@x.example>\r\n")
        read_reply(s)
        s.close()
        sessions += 1

        for request in (b"HELP\r\n", b"EHLO gone.example\r\n"):
            s = self.srv.connect()  # the client resets before reading the reply
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.sendall(request)
            s.close()
            sessions += 1

        s = self.srv.connect()  # the client vanishes in the middle of a session
        s.sendall(b"HELO mid.example\r\n")
        read_reply(s)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        sessions += 1

        lines = self.srv.next_lines(sessions)
        for cols in lines:
            self.assertEqual(len(cols), LINE_COLUMNS, cols)
        helos = [c[HELO] for c in lines]
        self.assertIn("nul.exa", helos)
        self.assertIn("h" * 260, helos)
        self.assertIn("<a b@c.example>", [c[MAIL] for c in lines])

        # Still serving.
        self.assertIsNone(self.srv.n.proc.poll())
        s = self.srv.connect()
        s.sendall(b"QUIT\r\n")
        self.assertEqual(read_reply(s), b"221 closing connection.\r\n")
        s.close()
        self.srv.next_lines()
        self.assertIn("Remote disconnected !", self.srv.n.stderr())


class ResponseDelayTest(unittest.TestCase):
    TARPIT_MS = 2000

    def test_delay_only_for_replies_that_keep_the_dialogue_open(self):
        srv = Server(["-r", str(RX_TIMEOUT_MS), "-t", str(self.TARPIT_MS)])
        try:
            delay = self.TARPIT_MS / 1000
            for closing in (b"QUIT\r\n", b"DATA\r\n"):
                s = srv.connect()
                try:
                    timings = []
                    steps = [(b"HELO delay.example\r\n", True), (b"XYZZY\r\n", True)]
                    if closing == b"DATA\r\n":
                        steps += [(b"MAIL FROM:<a@b.example>\r\n", True),
                                  (b"RCPT TO:<c@d.example>\r\n", True)]
                    steps.append((closing, False))
                    for line, delayed in steps:
                        started = time.monotonic()
                        s.sendall(line)
                        self.assertTrue(read_reply(s))
                        timings.append((line, delayed, time.monotonic() - started))
                    for line, delayed, took in timings:
                        if delayed:
                            self.assertGreaterEqual(took, delay * 0.8, (line, took))
                        else:
                            self.assertLess(took, delay * 0.75, (line, took))
                finally:
                    s.close()
                srv.next_lines()
        finally:
            srv.close()


if __name__ == "__main__":
    unittest.main()
