"""The decoy in tempfail mode: sessions, connection lines, queue, shutdown."""
import re
import signal
import smtplib
import socket
import time
import unittest

from harness import Nestrap, columns, fd_count, recv_all, recv_until, wait_for

QUIET_DNS = "[DNSinfo]\nNameServer=127.0.0.1:9\n"
BANNER = re.compile(rb"^220 decoy\.example\.test ESMTP Sendmail 8\.2\.0/8\.2\.0; "
                    rb"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d "
                    rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} "
                    rb"\d\d:\d\d:\d\d GMT\r\n")
TEMPFAIL = b"421 4.2.1 Service temporarily unavailable, closing transmission channel.\r\n"

# The main thread's steps and the logger's steps each come in order; the two
# threads run concurrently, so the chains interleave differently from run to run.
MAIN_ORDER = ["initiating shutdown sequence...", "Closing server socket...",
              "Starting clean shutdown...", "active threads to terminate...",
              "Releasing data queues...", "Releasing allocated memory...", "All done, exiting"]
LOGGER_ORDER = ["initiating shutdown sequence...", "preparing shutdown...", "flushing queue...",
                "Releasing data queues..."]


class DecoyTest(unittest.TestCase):
    def server(self, args=(), **kw):
        kw.setdefault("ini", QUIET_DNS)
        n = Nestrap(args=list(args), **kw)
        self.addCleanup(n.close)
        return n.start()

    def session(self, n, data, timeout=30):
        s = n.connect()
        with s:
            banner = recv_until(s, b"\r\n", timeout)
            if data is not None:
                s.sendall(data)
            rest, how = recv_all(s, timeout)
        return banner, rest, how

    @staticmethod
    def rejected(n):
        """True when the server reset the connection without sending anything."""
        try:
            s = n.connect()
        except ConnectionResetError:
            return True          # the reset overtook the end of the handshake
        with s:
            return recv_all(s) == (b"", "reset")

    def assertShutdownLines(self, err, sig_name):
        self.assertIn("%s: initiating shutdown sequence..." % sig_name, err)
        for chain in (MAIN_ORDER, LOGGER_ORDER):
            positions = [err.find(t) for t in chain]
            self.assertNotIn(-1, positions, err)
            self.assertEqual(positions, sorted(positions), err)
        # The logger flushes only once every worker has gone.
        last_worker = max(m.start() for m in re.finditer(r"Worker thread \S+ exiting", err))
        self.assertLess(last_worker, err.find("flushing queue..."), err)
        self.assertNotIn("accept() failed", err)
        self.assertEqual(len(re.findall(r"Worker thread \[\d{4}-[0-9A-F]{4,}\] exiting", err)), 7)

    def test_ehlo_gets_banner_then_tempfail_and_one_line(self):
        n = self.server(["-v", "5"])
        banner, rest, how = self.session(n, b"EHLO host.example.org\r\n")
        self.assertRegex(banner, BANNER)
        self.assertEqual(rest, TEMPFAIL)
        self.assertEqual(how, "fin")
        cols = columns(n.wait_connection_lines(1)[0])
        self.assertEqual(len(cols), 22)
        self.assertRegex(cols[0], r"^\d{4}-\d\d-\d\d$")
        self.assertRegex(cols[1], r"^\d\d:\d\d:\d\d$")
        self.assertEqual(cols[2:8], ["7F000001", "     0", "127.0.0.1", "127.0.0.1/32",
                                     "127.0.0.1/32", "1.0.0.127.in-addr.arpa."])
        self.assertEqual(cols[8], "host.example.org")
        self.assertEqual(cols[9], "None")
        self.assertEqual(cols[12:], ["--", "unknown", "1", "0", "0", "0", "no-auth", "no-from",
                                     "no-rcpt", "no-quit"])
        err = n.stderr()
        steps = ["Session started", "Sending banner message", "Waiting for client input",
                 "127.0.0.1 EHLO host.example.org", "Sending tempfail message",
                 "Closing socket...", "Socket closed.", "Session terminated.",
                 "Logging connection data"]
        positions = [err.find(t) for t in steps]
        self.assertNotIn(-1, positions, err)
        self.assertEqual(positions, sorted(positions))
        self.assertRegex(err, r"\[CONN\] \[accept\] 127\.0\.0\.1 Connection accepted")
        self.assertRegex(err, r"\[CONN\] \[\d{4}-[0-9A-F]{4,}\] 0 active, 0 queued requests")

    def test_first_line_rules(self):
        n = self.server(["-x"])
        cases = [
            # (first input, expected helo column)
            (b"HELO a|b\tc  d\r\n", "a b c  d"),
            (b"EHLO    spaced.example  \n", "spaced.example  "),
            (b"QUIT\r\n", "no-helo"),
            (b"EHLO no.line.end", "no-helo"),
            (b"HELO " + b"x" * 300 + b"\r\n", "x" * 260),
        ]
        for i, (data, helo) in enumerate(cases):
            with self.subTest(data=data[:40]):
                banner, rest, how = self.session(n, data)
                self.assertEqual(rest, TEMPFAIL)
                cols = columns(n.wait_connection_lines(i + 1)[i])
                self.assertEqual(len(cols), 24)  # -x adds host name and listen address
                self.assertEqual(cols[8], helo)
                self.assertEqual(cols[22:], ["decoy.example.test", "127.0.0.1"])

    def test_silent_client_is_reset_without_reply(self):
        n = self.server(["-r", "1000"])
        started = time.monotonic()
        banner, rest, how = self.session(n, None)
        self.assertRegex(banner, BANNER)
        self.assertEqual((rest, how), (b"", "reset"))
        self.assertGreaterEqual(time.monotonic() - started, 0.9)
        cols = columns(n.wait_connection_lines(1)[0])
        self.assertEqual(cols[8], "no-helo")
        self.assertEqual(cols[14], "1")
        self.assertEqual(cols[21], "no-quit")

    def test_hostile_first_inputs_do_not_disturb_service(self):
        n = self.server(["-r", "2000"])
        # 100 KB of junk without a line end, a reset, a half-close.
        s = n.connect()
        recv_until(s, b"\r\n")
        try:
            s.sendall(bytes(range(256)) * 400)
        except OSError:
            pass
        s.close()
        s = n.connect()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.close()
        s = n.connect()
        recv_until(s, b"\r\n")
        s.shutdown(socket.SHUT_WR)
        recv_all(s)
        s.close()
        banner, rest, how = self.session(n, b"HELO still.alive\r\n")
        self.assertEqual(rest, TEMPFAIL)
        lines = n.wait_connection_lines(4)
        self.assertTrue(all(len(columns(l)) == 22 for l in lines))
        self.assertIn("still.alive", [columns(l)[8] for l in lines])

    def test_smtplib_sees_temporary_failure(self):
        n = self.server()
        client = smtplib.SMTP("127.0.0.1", n.port, local_hostname="client.example.net", timeout=30)
        code, _ = client.ehlo()
        self.assertEqual(code, 421)
        with self.assertRaises(smtplib.SMTPServerDisconnected):
            client.sendmail("a@example.net", ["b@example.org"], "Subject: x\r\n\r\nbody\r\n")
        cols = columns(n.wait_connection_lines(1)[0])
        self.assertEqual(cols[8], "client.example.net")

    def test_sigint_while_idle(self):
        n = self.server()
        self.assertEqual(n.stop(signal.SIGINT), 0)
        err = n.stderr()
        self.assertShutdownLines(err, "SIGINT")
        self.assertEqual(err.count("Closing server socket..."), 1)

    def test_sigterm_during_sessions_logs_every_served_connection(self):
        n = self.server(["-r", "3000"])
        clients = []
        for _ in range(3):
            s = n.connect()
            recv_until(s, b"\r\n")
            clients.append(s)
        n.proc.send_signal(signal.SIGTERM)
        n.wait_stderr("initiating shutdown sequence...")
        # Sessions in progress run to their end, then every record is logged.
        try:
            self.assertEqual(n.proc.wait(timeout=60), 0)
        finally:
            for s in clients:
                s.close()
        self.assertShutdownLines(n.stderr(), "SIGTERM")
        self.assertEqual(len(n.connection_lines()), 3)

    def test_queue_full_hysteresis(self):
        # Sessions beyond the capacity wait in the queue; with the capacity
        # equal to the thread count, each worker holds one session.
        for cap in (2, 6):
            with self.subTest(cap=cap):
                self.hysteresis(cap)

    def hysteresis(self, cap):
        n = self.server(["-w", "2", "-q", "5", "-r", "60000"],
                        ini=QUIET_DNS + "[Process]\nMaxSessions=%d\n" % cap)
        fds0 = fd_count(n.proc.pid)
        held = []
        self.addCleanup(lambda: [c.close() for c in held])

        def hold():
            s = n.connect()
            held.append(s)
            return s

        busy = []
        for _ in range(cap):                 # every session the capacity allows is held
            busy.append(hold())
            recv_until(busy[-1], b"\r\n")
        queued = [hold() for _ in range(5)]  # five records wait in the queue
        for _ in range(3):                   # queue full: reset without reply
            self.assertTrue(self.rejected(n))
        err = n.stderr()
        self.assertEqual(err.count("queue full (5), rejecting requests"), 1, err)
        # End one session: a queued record takes its place, leaving 4 (not
        # below 4/5 of 5), so the next connection is still rejected silently.
        busy[0].close()
        recv_until(queued[0], b"\r\n")
        self.assertTrue(self.rejected(n))
        busy[1].close()
        recv_until(queued[1], b"\r\n")       # 3 remain queued
        s = hold()
        n.wait_stderr("queue back to normal (3)")
        for c in held[:-1]:
            c.close()
        self.assertRegex(recv_until(s, b"\r\n"), BANNER)
        s.sendall(b"HELO back.to.normal\r\n")
        self.assertEqual(recv_all(s)[0], TEMPFAIL)
        s.close()
        wait_for(lambda: "back.to.normal" in "".join(n.connection_lines()))
        self.assertEqual(n.stderr().count("queue full"), 1)
        wait_for(lambda: fd_count(n.proc.pid) <= fds0, timeout=60, what="descriptors released")
        self.assertEqual(n.stop(), 0)


if __name__ == "__main__":
    unittest.main()
