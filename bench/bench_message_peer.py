#!/usr/bin/env python3
"""Python's email package on the benchmark inputs, for bench_message.
  parse <list file> <repeat>   parse every listed message, decoding every part
  compose <attachment size> <count>
Prints: seconds bytes messages peak_rss_kb_above_start"""
import resource
import sys
import time
from email import policy
from email.message import EmailMessage
from email.parser import BytesParser


def rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main():
    start_rss = rss_kb()
    if sys.argv[1] == "parse":
        with open(sys.argv[2]) as f:
            paths = [l.strip() for l in f if l.strip()]
        repeat = int(sys.argv[3])
        datas = []
        for p in paths:
            with open(p, "rb") as f:
                datas.append(f.read())
        total = sum(len(d) for d in datas) * repeat
        parser = BytesParser(policy=policy.default)
        t = time.perf_counter()
        count = 0
        for _ in range(repeat):
            for d in datas:
                msg = parser.parsebytes(d)
                for part in msg.walk():
                    if not part.is_multipart():
                        part.get_payload(decode=True)
                count += 1
        elapsed = time.perf_counter() - t
    else:
        size, n = int(sys.argv[2]), int(sys.argv[3])
        blob = bytes((i * 7919) % 251 for i in range(size))
        t = time.perf_counter()
        msg = EmailMessage()
        msg["Subject"] = "big"
        msg["From"] = "a@example.com"
        msg["To"] = "b@example.com"
        msg.set_content("text\n")
        for i in range(n):
            msg.add_attachment(blob, maintype="application", subtype="octet-stream",
                               filename="file%d.bin" % i)
        out = msg.as_bytes()
        elapsed = time.perf_counter() - t
        total, count = len(out), 1
    print(elapsed, total, count, rss_kb() - start_rss)


if __name__ == "__main__":
    main()
