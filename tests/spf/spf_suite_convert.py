#!/usr/bin/python3
"""Converts the SPF conformance suites (multi-document YAML) into a flat,
binary-safe text file that the conformance test reads without a YAML
library. Every text field is hex-encoded (UTF-8, as the suites' own driver
serves them), prefixed with 'x' so that empty texts stay visible.

Lines (tab-separated):
  F <file tag>
  S <scenario number>
  Z <name> <type> <fields...>   type: A, AAAA, MX, PTR, CNAME, TXT, SPF, TXTNONE, TIMEOUT
  T <id> <host> <mailfrom> <helo> <results comma-separated> <explanation or ->
"""
import os
import sys

import yaml


def hx(s):
    if isinstance(s, bytes):
        b = s
    else:
        b = str(s).encode("utf-8")
    return "x" + b.hex()


def strings(v):
    if isinstance(v, list):
        return [hx(x) for x in v]
    return [hx(v)]


def main():
    out = sys.stdout
    if len(sys.argv) > 2 and sys.argv[1] == "-o":
        out = open(sys.argv[2], "w")
        files = sys.argv[3:]
    else:
        files = sys.argv[1:]
    for path in files:
        tag = os.path.basename(path).replace("-tests.yml", "")
        out.write("F\t%s\n" % tag)
        with open(path, "rb") as f:
            docs = list(yaml.safe_load_all(f))
        for n, doc in enumerate(docs):
            if not doc:
                continue
            out.write("S\t%d\n" % n)
            for name, recs in (doc.get("zonedata") or {}).items():
                for r in recs or []:
                    if r == "TIMEOUT":
                        out.write("Z\t%s\tTIMEOUT\n" % hx(name))
                        continue
                    for typ, val in r.items():
                        if typ in ("TXT", "SPF") and val == "NONE":
                            out.write("Z\t%s\t%sNONE\n" % (hx(name), typ))
                        elif typ in ("TXT", "SPF"):
                            out.write("Z\t%s\t%s\t%s\n" % (hx(name), typ, ",".join(strings(val))))
                        elif typ == "MX":
                            out.write("Z\t%s\tMX\t%d\t%s\n" % (hx(name), int(val[0]), hx(val[1])))
                        else:
                            out.write("Z\t%s\t%s\t%s\n" % (hx(name), typ, hx(val)))
            for tid, t in (doc.get("tests") or {}).items():
                res = t["result"]
                if not isinstance(res, list):
                    res = [res]
                exp = t.get("explanation")
                out.write("T\t%s\t%s\t%s\t%s\t%s\t%s\n" % (
                    tid, t["host"], hx(t.get("mailfrom", "")), hx(t.get("helo", "")),
                    ",".join(res), "-" if exp is None else hx(exp)))
    if out is not sys.stdout:
        out.close()


if __name__ == "__main__":
    main()
