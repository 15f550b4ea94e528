#!/usr/bin/python3
"""python3-dkim (dkimpy) as a DKIM peer for the interoperability tests.

Reads one JSON request per line on stdin and writes one JSON reply per line:
  {"op": "sign", "msg": b64, "key": path, "selector": s, "domain": d,
   "canon": "relaxed/simple", "algo": "rsa-sha256", "length": bool,
   "identity": str or null, "headers": [names] or null}
      -> {"sig": the DKIM-Signature field, CR LF line breaks}
  {"op": "verify", "msg": b64} -> {"ok": bool, "error": text}
Key records are looked up in DNS at 127.0.0.1 on the port given as the
first argument (dnsmasq started by the test).
"""
import base64
import json
import sys

import dkim
import dns.resolver

resolver = dns.resolver.Resolver(configure=False)
resolver.nameservers = ["127.0.0.1"]
resolver.port = int(sys.argv[1])


def dnsfunc(name, timeout=5):
    answer = resolver.resolve(name.decode("ascii").rstrip("."), "TXT", lifetime=timeout)
    return b"".join(b"".join(r.strings) for r in answer)


for line in sys.stdin:
    req = json.loads(line)
    msg = base64.b64decode(req["msg"])
    try:
        if req["op"] == "sign":
            with open(req["key"], "rb") as f:
                key = f.read()
            h, _, b = req["canon"].partition("/")
            sig = dkim.sign(msg, req["selector"].encode(), req["domain"].encode(), key,
                            identity=req["identity"].encode() if req.get("identity") else None,
                            canonicalize=(h.encode(), (b or "simple").encode()),
                            signature_algorithm=req["algo"].encode(),
                            include_headers=[x.encode() for x in req["headers"]]
                            if req.get("headers") else None,
                            length=bool(req.get("length")))
            reply = {"sig": sig.decode()}
        else:
            d = dkim.DKIM(msg)
            ok = d.verify(dnsfunc=dnsfunc)
            reply = {"ok": bool(ok), "error": "" if ok else str(getattr(d, "logger", ""))}
    except Exception as e:  # reported to the test, which fails on it
        reply = {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}
    print(json.dumps(reply), flush=True)
