"""SMTP emulation mode (-s) end to end: a real SMTP client, the dialogues of
dialogues.txt, long lines, vanishing clients and the response delay."""
import ast
import base64
import pathlib
import re
import shlex
import smtplib
import socket
import struct
import subprocess
import sys
import time

from harness import HERE, Case, Nestrap, recv_all

RX_TIMEOUT_MS = 3000
QUIT = (b"QUIT\r\n", b"221 closing connection.\r\n")


def read_reply(sock, count=1):
    """`count` whole replies, however many lines (less when the peer closed)."""
    data = b""
    while len(re.findall(rb"(?m)^\d{3} .*\r\n", data)) < count or not data.endswith(b"\r\n"):
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def dialogues():
    """The cases of dialogues.txt: (title, [input], closes, {column: value})."""
    blocks = pathlib.Path(HERE, "dialogues.txt").read_text().split("\n== ")[1:]
    for block in blocks:
        title, *rows = block.strip("\n").split("\n")
        inputs, log = [], {}
        for row in rows:
            sent = re.match(r"(\d*)> (.*)$", row)
            if row.startswith("log "):
                words = shlex.split(row)[1:]
                log = dict(zip(words[::2], words[1::2]))
            elif sent:
                text = sent.group(2)
                data = (ast.literal_eval(text).encode("latin-1") if text.startswith('"')
                        else text.encode() + b"\r\n")
                inputs += [data] * int(sent.group(1) or 1)
        yield title, inputs, "closes" in rows, log


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

    def test_real_clients_byte_by_byte_and_through_a_pipe(self):
        class Trickle(smtplib.SMTP):  # every byte a segment of its own
            def send(self, data):
                data = data.encode("ascii") if isinstance(data, str) else data
                self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                for i in range(len(data)):
                    self.sock.sendall(data[i:i + 1])
        with Trickle("127.0.0.1", self.n.port, local_hostname="slow.example.org",
                     timeout=30) as client:
            self.assertEqual(client.ehlo()[0], 250)
            self.assertEqual(client.mail("a@b.example")[0], 250)
            self.assertEqual(client.rcpt("c@d.example")[0], 250)
            self.assertEqual(client.noop()[0], 250)
        self.assertColumns(self.next_lines()[0], {
            "helo": "slow.example.org", "errors": "0", "noops": "1", "rcpts": "1",
            "mail": "<a@b.example>", "rcpt": "<c@d.example>", "last_error": "no-error"})
        # swaks talks through a pipe to a process that hands its bytes on.
        bridge = ("import socket,sys,threading;s=socket.create_connection(('127.0.0.1',%d));"
                  "threading.Thread(target=lambda:[sys.stdout.buffer.write(b) or "
                  "sys.stdout.flush() for b in iter(lambda:s.recv(4096),b'')],daemon=True)"
                  ".start();[s.sendall(b) for b in iter(lambda:sys.stdin.buffer.read1(4096),b'')]"
                  % self.n.port)
        r = subprocess.run(["swaks", "--pipe", "%s -c \"%s\"" % (sys.executable, bridge),
                            "--helo", "swaks.example.org", "--from", "s@b.example",
                            "--to", "t@d.example,u@d.example", "--quit-after", "RCPT"],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("<-  250 <u@d.example>... Recipient ok", r.stdout)
        self.assertColumns(self.next_lines()[0], {
            "helo": "swaks.example.org", "errors": "0", "rcpts": "2",
            "mail": "<s@b.example>", "rcpt": "<t@d.example>", "last_error": "no-error"})

    def test_dialogues(self):
        for title, inputs, closes, log in dialogues():
            with self.subTest(title), self.connect() as s:
                for data in inputs:
                    s.sendall(data)
                    self.assertRegex(read_reply(s, data.count(b"\n")), rb"^\d{3}[ -]", data)
                started = time.monotonic()
                self.assertEqual(recv_all(s), (b"", "fin" if closes else "reset"))
                if not closes:
                    self.assertGreater(time.monotonic() - started, RX_TIMEOUT_MS / 1000 - 1)
            self.assertColumns(self.next_lines()[0], log)

    def test_long_lines_and_vanishing_clients_never_break_the_server(self):
        with self.connect() as s:  # 4 KB lines: one 500 each, then a line that fits
            for data in (b"HELO " + b"h" * 4090, b"MAIL FROM:<" + b"m" * 4000 + b"@x.example>"):
                s.sendall(data + b"\r\n")
                self.assertEqual(read_reply(s), b"500 Line too long\r\n")
            s.sendall(b"HELO " + b"h" * 990 + b"\r\n")
            self.assertTrue(read_reply(s).startswith(b"250 Hello " + b"h" * 260 + b" "))
        # Clients that reset before their reply, or after it in mid-session.
        for data, wait in ((b"HELP", False), (b"EHLO gone.example", False), (b"HELO mid", True)):
            with self.connect() as s:
                s.sendall(data + b"\r\n")
                if wait:
                    read_reply(s)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.assertIn("h" * 260, [c["helo"] for c in self.next_lines(4)])
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
