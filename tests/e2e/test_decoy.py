"""The decoy in tempfail mode: sessions, connection lines, queue, shutdown."""
import os
import re
import select
import signal
import time
import unittest

from harness import (BANNER, DEFAULT_TIMEOUT, QUIET_DNS, SANITIZED, TEMPFAIL, Case, cpu_seconds,
                     recv_all, recv_until, socket_count, wait_for)

class DecoyTest(Case):
    def test_ehlo_gets_banner_then_tempfail_and_one_line(self):
        n = self.server(["-v", "5"], ini=QUIET_DNS + "DnsCache=0\n")  # without the answer cache
        banner, rest, how = n.session(b"EHLO host.example.org\r\n")
        self.assertRegex(banner, BANNER)
        self.assertEqual((rest, how), (TEMPFAIL, "fin"))
        line = n.wait_lines(1)[0]
        self.assertRegex(line["date"] + " " + line["time"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        # A loopback client: the reverse lookup (which fails) and the HELO class only.
        self.assertEqual(list(line.values())[2:], [
            "7F000001", "     0", "127.0.0.1", "127.0.0.1/32", "127.0.0.1/32",
            "1.0.0.127.in-addr.arpa.", "host.example.org", "None", "HL", "helo-ptr-mismatch", "--",
            "unknown", "1", "0", "0", "0", "no-auth", "no-from", "no-rcpt", "no-quit"])
        # Level 5 adds the connection events.
        self.assertRegex(n.stderr(), r"\[CONN\] \[accept\] 127\.0\.0\.1 Connection accepted")

    @unittest.skipIf(SANITIZED, "a sanitized binary takes no preloaded library")
    def test_failing_socket_calls_lose_no_line_and_no_socket(self):
        # Some watches, shutdowns and closes of connections fail (faults.cc);
        # every connection still gets its line and leaves no socket behind.
        shim = os.path.join(os.environ.get("NESTRAP_BUILD", "../../build"), "tests/e2e/libfaults.so")
        n = self.server(env={"LD_PRELOAD": shim,
                        "NESTRAP_FAULTS": "shutdown:2,close:3,epoll_add:5"})
        sockets = socket_count(n.proc.pid)
        for _ in range(40):
            try:
                n.session(b"EHLO host.example.org\r\n")
            except ConnectionResetError:
                pass
        self.assertEqual(len(n.wait_lines(40)), 40)
        wait_for(lambda: socket_count(n.proc.pid) == sockets, what="the sockets closed")
        self.assertEqual(n.stop(), 0, n.stderr())
        self.assertEqual(len(n.lines()), 40)
        for said in ("cannot watch the connection", "error during closesocket()"):
            self.assertIn(said, n.stderr())

    def test_first_line_and_host_columns(self):
        # The first-line rules are the connection line unit tests' matter;
        # here: a line cut by the column separator, one without its end.
        n = self.server(["-x"])
        for i, (data, helo) in enumerate([(b"HELO a|b\tc  d\r\n", "a b c  d"),
                                          (b"EHLO no.line.end", "no-helo")]):
            with self.subTest(data=data[:40]):
                self.assertEqual(n.session(data)[1], TEMPFAIL)
                line = n.wait_lines(i + 1)[i]
                self.assertEqual((line["helo"], line["host"], line["listen"]),
                                 (helo, "decoy.example.test", "127.0.0.1"))

    def test_signals_stop_in_order_after_the_sessions_in_progress(self):
        for sig, clients in ((signal.SIGINT, 0), (signal.SIGTERM, 3)):
            with self.subTest(sig.name):
                n = self.server(["-r", "3000"])
                held = [n.connect() for _ in range(clients)]
                for s in held:
                    recv_until(s, b"\r\n")
                n.proc.send_signal(sig)
                n.wait_stderr("initiating shutdown sequence...")
                try:  # sessions in progress run to their end, then every record is logged
                    self.assertEqual(n.proc.wait(timeout=60), 0)
                finally:
                    for s in held:
                        s.close()
                err = n.stderr()
                # The logger flushes only once every worker has gone.
                workers = [m.end() for m in
                           re.finditer(r"Worker thread \[\d{4}-[0-9A-F]{4,}\] exiting", err)]
                self.assertEqual(len(workers), 7)
                self.assertInOrder(err[max(workers):], ["flushing queue...", "All done, exiting"])
                self.assertEqual(err.count("%s: initiating shutdown sequence..." % sig.name), 1)
                self.assertNotIn("accept() failed", err)
                self.assertEqual(len(n.lines()), clients)

    def test_queue_full_hysteresis(self):
        # Sessions beyond the capacity wait in the queue; with the capacity
        # equal to the thread count, each worker holds one session.
        for cap in (2, 6):
            with self.subTest(cap=cap):
                self.hysteresis(cap)

    def hysteresis(self, cap):
        n = self.server(["-w", "2", "-q", "5", "-r", "60000"],
                        ini=QUIET_DNS + "[Process]\nMaxSessions=%d\n" % cap)
        fds0 = socket_count(n.proc.pid)
        held = []
        self.addCleanup(lambda: [c.close() for c in held])

        def hold():
            held.append(n.connect())
            return held[-1]

        def rejected():
            """The server resets the connection without sending anything."""
            try:
                with n.connect() as s:
                    return recv_all(s) == (b"", "reset")
            except ConnectionResetError:
                return True  # the reset overtook the end of the handshake

        busy = [hold() for _ in range(cap)]  # every session the capacity allows is held
        for s in busy:
            recv_until(s, b"\r\n")
        queued = [hold() for _ in range(5)]  # five records wait in the queue
        # Workers accept side by side: probe only once all five are taken
        # in, or a probe may overtake one of them and be queued instead.
        wait_for(lambda: socket_count(n.proc.pid) >= fds0 + cap + 5, what="queued connections accepted")
        for _ in range(3):                   # queue full: reset without reply
            self.assertTrue(rejected())
        self.assertEqual(n.stderr().count("queue full (5), rejecting requests"), 1)
        # End one session: a queued record takes its place, leaving 4 (not
        # below 4/5 of 5), so the next connection is still rejected silently.
        # Workers accept side by side, so connections that arrive together
        # may be queued in either order: whichever is greeted next counts.
        def next_served():
            ready = select.select(queued, [], [], DEFAULT_TIMEOUT)[0]
            self.assertTrue(ready, "no queued connection was served")
            recv_until(ready[0], b"\r\n")
            queued.remove(ready[0])

        busy[0].close()
        next_served()
        self.assertTrue(rejected())
        busy[1].close()
        next_served()                        # 3 remain queued
        s = hold()
        n.wait_stderr("queue back to normal (3)")
        for c in held[:-1]:
            c.close()
        self.assertRegex(recv_until(s, b"\r\n"), BANNER)
        s.sendall(b"HELO back.to.normal\r\n")
        self.assertEqual(recv_all(s)[0], TEMPFAIL)
        s.close()
        wait_for(lambda: "back.to.normal" in [c["helo"] for c in n.lines()])
        self.assertEqual(n.stderr().count("queue full"), 1)
        wait_for(lambda: socket_count(n.proc.pid) <= fds0, timeout=60, what="descriptors released")
        # With nothing to do, no thread may spin: measure one idle second
        # (a spinning thread takes all of it; clock ticks are 10 ms).
        t0, cpu0 = time.monotonic(), cpu_seconds(n.proc.pid)
        time.sleep(1.0)
        self.assertLess(cpu_seconds(n.proc.pid) - cpu0, 0.5 * (time.monotonic() - t0))
        self.assertEqual(n.stop(), 0)
