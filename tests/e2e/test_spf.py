"""SPF verdicts of whole sessions: emulated dialogues from public test
addresses, the policies served by the test DNS server.

Runs in a network namespace of its own, like the analysis tests.
"""
import unittest

from harness import columns, recv_all, recv_until
from test_analysis import C_SPF, AnalysisCase, base_names, ptrname, setUpModule  # noqa: F401


class SpfColumn(AnalysisCase):
    def dialogue(self, n, source, lines):
        before = len(n.connection_lines())
        s = n.connect(source=source)
        with s:
            recv_until(s, b"\r\n")
            for line in lines:
                s.sendall(line + b"\r\n")
                recv_until(s, b"\r\n")
            recv_all(s)
        return n.wait_connection_lines(before + 1)[before]

    def test_verdicts_of_sender_and_helo(self):
        names = base_names()
        names.update({
            "pass.test": {"NS": ["ns.pass.test"], "TXT": [["v=spf1 ip4:192.0.2.0/24 -all"]]},
            "soft.test": {"NS": ["ns.soft.test"],
                          "TXT": [["v=spf1 ", "include:pass.test ~all"]]},
            "mail.pass.test": {"A": ["192.0.2.10"],
                               "TXT": [["v=spf1 a -all"]]},
            # Whoever holds a reverse zone can name any host in it.
            "ptr.test": {"NS": ["ns.ptr.test"], "TXT": [["v=spf1 ptr -all"]]},
            ptrname("192.0.2.20"): {"PTR": ["mx.ptr.test"]},
            ptrname("198.51.100.20"): {"PTR": ["mx.ptr.test"]},
            "mx.ptr.test": {"A": ["192.0.2.20"]},
        })
        n, dns = self.start(names, extra_args=["-s"])
        cases = [
            # (client, dialogue, verdict)
            ("192.0.2.10", [b"EHLO mail.pass.test", b"MAIL FROM:<someone@pass.test>", b"QUIT"],
             "Pass"),
            ("198.51.100.7", [b"EHLO mail.pass.test", b"MAIL FROM:<someone@pass.test>", b"QUIT"],
             "Fail"),
            ("198.51.100.7", [b"HELO x.soft.test", b"MAIL FROM:someone@soft.test", b"QUIT"],
             "SoftFail"),
            # No sender: the HELO name is the identity.
            ("192.0.2.10", [b"HELO mail.pass.test", b"QUIT"], "Pass"),
            ("203.0.113.5", [b"HELO mail.pass.test", b"QUIT"], "Fail"),
            # Neither sender nor HELO: nothing to check.
            ("203.0.113.5", [b"QUIT"], "PermError"),
            # The null sender reaches the evaluator empty: the HELO decides.
            ("192.0.2.10", [b"EHLO mail.pass.test", b"MAIL FROM:<>", b"QUIT"], "Pass"),
            # "ptr" trusts a reverse name only when it resolves back to the client.
            ("192.0.2.20", [b"HELO x", b"MAIL FROM:<a@ptr.test>", b"QUIT"], "Pass"),
            ("198.51.100.20", [b"HELO x", b"MAIL FROM:<a@ptr.test>", b"QUIT"], "Fail"),
        ]
        for client, lines, verdict in cases:
            with self.subTest(client=client, lines=lines):
                cols = columns(self.dialogue(n, client, lines))
                self.assertEqual(cols[C_SPF], verdict)


if __name__ == "__main__":
    unittest.main()
