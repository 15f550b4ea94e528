#!/usr/bin/python3
"""python3-dkim side of bench_dkim: signs and verifies the messages that
bench_dkim wrote (DIR/m<i> plain, DIR/s<i> signed by us), the key record
handed over without DNS. Prints: sign msgs/s, CPU s per 1000, verify
msgs/s, CPU s per 1000."""
import sys
import time

import dkim

folder, count, keyfile, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
plain = [open("%s/m%d" % (folder, i), "rb").read() for i in range(count)]
signed = [open("%s/s%d" % (folder, i), "rb").read() for i in range(count)]
key = open(keyfile, "rb").read()
record = open(folder + "/record", "rb").read()


def dnsfunc(name, timeout=5):
    return record


def measure(step, messages):
    for m in messages:
        step(m)
    start, cpu, done = time.monotonic(), time.process_time(), 0
    while True:
        for m in messages:
            step(m)
        done += len(messages)
        elapsed = time.monotonic() - start
        if elapsed >= seconds:
            return done / elapsed, (time.process_time() - cpu) * 1000 / done


def sign(m):
    dkim.sign(m, b"sel2048", b"qm.test", key, canonicalize=(b"relaxed", b"relaxed"))


def verify(m):
    if not dkim.verify(m, dnsfunc=dnsfunc):
        raise SystemExit("python3-dkim did not verify a message")


s = measure(sign, plain)
v = measure(verify, signed)
print("%f %f %f %f" % (s[0], s[1], v[0], v[1]))
