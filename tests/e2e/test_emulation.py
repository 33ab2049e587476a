"""SMTP emulation mode (-s) driven end to end: a real SMTP client, the
dialogues of dialogues.txt, hostile input and the response delay."""
import base64
import os
import random
import smtplib
import socket
import struct
import time

from harness import HERE, Case, Nestrap, recv_all

RX_TIMEOUT_MS = 3000
QUIT = (b"QUIT\r\n", b"221 closing connection.\r\n")


def read_reply(sock, timeout=30.0):
    """Reads one complete (possibly multi-line) reply; b"" when the peer closed."""
    sock.settimeout(timeout)
    data = b""
    while True:
        last = data[:-2].rsplit(b"\r\n", 1)[-1]
        if data.endswith(b"\r\n") and len(last) >= 4 and last[3:4] == b" ":
            return data
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


def dialogues():
    """The cases of dialogues.txt: (name, [[line, reply]], end, {column: value})."""
    with open(os.path.join(HERE, "dialogues.txt")) as f:
        blocks = f.read().split("\n== ")[1:]
    for block in blocks:
        name, *rows = block.strip("\n").split("\n")
        steps, end, log, last = [], None, {}, []
        for row in rows:
            key, _, text = row.partition(": ")
            if key.startswith("C"):
                line = text.encode().decode("unicode_escape").encode("latin-1") + b"\r\n"
                last = [[line, b""] for _ in range(int(key[2:] or 1))]
                steps += last
            elif key == "S":
                for step in last:
                    step[1] += text.encode() + b"\r\n"
            elif key == "end":
                end = text
            else:
                column, _, value = text.partition("=")
                log[column] = value
        yield name, steps, end, log


class EmulationTest(Case):
    @classmethod
    def setUpClass(cls):
        cls.n = Nestrap(args=["-s", "-v", "5", "-r", str(RX_TIMEOUT_MS)]).start()
        cls.seen = 0

    @classmethod
    def tearDownClass(cls):
        cls.n.close()

    def connect(self):
        s = self.n.connect()
        self.assertTrue(read_reply(s).startswith(b"220 decoy.example.test ESMTP "))
        return s

    def next_lines(self, count=1):
        """Waits for `count` more connection lines and returns them."""
        lines = self.n.wait_lines(self.seen + count)[self.seen:self.seen + count]
        type(self).seen += count
        return lines

    def assertColumns(self, line, expected):
        self.assertEqual({k: line[k] for k in expected}, expected)

    def test_smtplib_client(self):
        client = smtplib.SMTP("127.0.0.1", self.n.port, local_hostname="py.example.org",
                              timeout=30)
        with client:
            code, text = client.ehlo()
            self.assertEqual(code, 250)
            self.assertTrue(text.startswith(b"Hello py.example.org ([127.0.0.1])"), text)
            self.assertEqual(client.esmtp_features.get("auth", "").strip(), "PLAIN")
            self.assertEqual(client.login("carol", "s3cret")[0], 235)
            with self.assertRaises(smtplib.SMTPDataError) as caught:
                client.sendmail("sender@example.com", ["first@example.net", "second@example.net"],
                                "Subject: hi\r\n\r\nbody\r\n")
            self.assertEqual(caught.exception.smtp_code, 421)
        self.assertColumns(self.next_lines()[0], {
            "helo": "py.example.org", "errors": "0", "vrfys": "0", "noops": "0", "rcpts": "2",
            "auth": base64.b64encode(b"\0carol\0s3cret").decode(),
            "mail": "<sender@example.com>", "rcpt": "<first@example.net>",
            "last_error": "no-error"})

    def test_dialogues(self):
        for name, steps, end, log in dialogues():
            with self.subTest(name), self.connect() as s:
                for line, reply in steps:
                    s.sendall(line)
                    self.assertEqual(read_reply(s), reply, line)
                started = time.monotonic()
                self.assertEqual(recv_all(s), (b"", end))
                if end == "reset":
                    self.assertGreater(time.monotonic() - started, RX_TIMEOUT_MS / 1000 - 1)
            self.assertColumns(self.next_lines()[0], log)

    def test_hostile_input_never_breaks_the_server(self):
        rng = random.Random(20191107)
        reset = struct.pack("ii", 1, 0)
        # Each line is sent and its reply read; a line in a tuple is not
        # waited for; `reset` ends the session with a reset.
        sessions = [
            [bytes(rng.randrange(256) for _ in range(3000))],  # NULs included
            [b"HELO nul.exa\0mple.org\r\n", b"MAIL FROM:<a|b@c.example>\r\n", QUIT[0]],
            # 4 KB lines arrive in more than one chunk
            [b"HELO " + b"h" * 4090 + b"\r\n", b"MAIL FROM:<" + b"m" * 4000 + b"@x.example>\r\n"],
            [(b"HELP\r\n",), reset], [(b"EHLO gone.example\r\n",), reset],
            [b"HELO mid.example\r\n", reset],  # vanishes in the middle of a session
        ]
        for steps in sessions:
            with self.connect() as s:
                for data in steps:
                    if data is reset:
                        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, reset)
                    elif isinstance(data, tuple):
                        s.sendall(data[0])
                    else:
                        s.sendall(data)
                        self.assertTrue(read_reply(s).endswith(b"\r\n"))
        lines = self.next_lines(len(sessions))
        self.assertIn("nul.exa", [c["helo"] for c in lines])
        self.assertIn("h" * 260, [c["helo"] for c in lines])
        self.assertIn("<a b@c.example>", [c["mail"] for c in lines])  # "|" is a separator
        with self.connect() as s:  # still serving
            s.sendall(QUIT[0])
            self.assertEqual(read_reply(s), QUIT[1])
        self.next_lines()
        self.assertIn("Remote disconnected !", self.n.stderr())


class ResponseDelayTest(Case):
    def test_delay_only_for_replies_that_keep_the_dialogue_open(self):
        delay = 2.0
        n = self.server(["-s", "-r", str(RX_TIMEOUT_MS), "-t", str(int(delay * 1000))])
        for closing in ([QUIT[0]], [b"MAIL FROM:<a@b.example>\r\n", b"RCPT TO:<c@d.example>\r\n",
                                    b"DATA\r\n"]):
            with n.connect() as s:
                read_reply(s)
                for line in [b"HELO delay.example\r\n", b"XYZZY\r\n"] + closing:
                    started = time.monotonic()
                    s.sendall(line)
                    self.assertTrue(read_reply(s))
                    took = time.monotonic() - started
                    if line in (b"QUIT\r\n", b"DATA\r\n"):
                        self.assertLess(took, delay * 0.75, (line, took))
                    else:
                        self.assertGreaterEqual(took, delay * 0.8, (line, took))
