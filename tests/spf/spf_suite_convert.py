#!/usr/bin/python3
"""Converts the SPF conformance suites (multi-document YAML) into the case
format of cases.txt (see its header), so that one driver runs both without
a YAML library. Texts that are not plain printable words are quoted with
\\xNN escapes (UTF-8, as the suites' own driver serves them).
"""
import os
import sys

import yaml


def q(s):
    b = s if isinstance(s, bytes) else str(s).encode("utf-8")
    if b and all(0x21 <= c <= 0x7E and c not in b'"\\' for c in b):
        return b.decode()
    return '"' + "".join(chr(c) if 0x20 <= c <= 0x7E and c not in b'"\\' else "\\x%02x" % c
                         for c in b) + '"'


def convert(path, out):
    tag = os.path.basename(path).replace("-tests.yml", "")
    out.append("suite %s" % tag)
    with open(path, "rb") as f:
        docs = [d for d in yaml.safe_load_all(f) if d]
    for n, doc in enumerate(docs):
        out.append("== %s scenario %d" % (tag, n))
        for name, recs in (doc.get("zonedata") or {}).items():
            for r in recs or []:
                if r == "TIMEOUT":
                    out.append("%s TIMEOUT" % q(name))
                    continue
                for typ, val in r.items():
                    if typ in ("TXT", "SPF") and val == "NONE":
                        out.append("%s %sNONE" % (q(name), typ))
                    elif typ in ("TXT", "SPF"):
                        vals = val if isinstance(val, list) else [val]
                        out.append(" ".join([q(name), typ] + [q(v) for v in vals]))
                    elif typ == "MX":
                        out.append("%s MX %d %s" % (q(name), int(val[0]), q(val[1])))
                    else:
                        out.append("%s %s %s" % (q(name), typ, q(val)))
        for tid, t in (doc.get("tests") or {}).items():
            res = t["result"] if isinstance(t["result"], list) else [t["result"]]
            line = ["check", tid, t["host"], q(t.get("mailfrom", "")), q(t.get("helo", "")), ",".join(res)]
            if t.get("explanation") is not None:
                line.append(q(t["explanation"]))
            out.append(" ".join(line))


def main():
    args = sys.argv[1:]
    target = args[1] if args[:1] == ["-o"] else None
    out = []
    for path in args[2:] if target else args:
        convert(path, out)
    text = "\n".join(out) + "\n"
    if target:
        with open(target, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
