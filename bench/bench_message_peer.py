#!/usr/bin/env python3
"""Python's email package on the benchmark inputs, for bench_message.
  parse <list file> <repeat> <runs>   parse every listed message, decoding every part
  compose <attachment size> <count> <runs>
The work is done <runs> times in this process: the first run is "cold", the
best of the others "warm" (the same as cold when runs is 1).
Prints: cold_seconds warm_seconds bytes messages peak_rss_kb_above_start"""
import resource
import sys
import time
from email import policy
from email.message import EmailMessage
from email.parser import BytesParser


def rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def parse_run(datas, repeat):
    parser = BytesParser(policy=policy.default)
    t = time.perf_counter()
    for _ in range(repeat):
        for d in datas:
            msg = parser.parsebytes(d)
            for part in msg.walk():
                if not part.is_multipart():
                    part.get_payload(decode=True)
    return time.perf_counter() - t


def compose_run(blob, n):
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
    return time.perf_counter() - t, len(out)


def main():
    start_rss = rss_kb()
    runs = int(sys.argv[4])
    times = []
    if sys.argv[1] == "parse":
        with open(sys.argv[2]) as f:
            paths = [l.strip() for l in f if l.strip()]
        repeat = int(sys.argv[3])
        datas = []
        for p in paths:
            with open(p, "rb") as f:
                datas.append(f.read())
        total = sum(len(d) for d in datas) * repeat
        count = len(datas) * repeat
        for _ in range(runs):
            times.append(parse_run(datas, repeat))
    else:
        size, n = int(sys.argv[2]), int(sys.argv[3])
        blob = bytes((i * 7919) % 251 for i in range(size))
        count = 1
        for _ in range(runs):
            elapsed, total = compose_run(blob, n)
            times.append(elapsed)
    warm = min(times[1:]) if len(times) > 1 else times[0]
    print(times[0], warm, total, count, rss_kb() - start_rss)


if __name__ == "__main__":
    main()
