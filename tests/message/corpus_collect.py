#!/usr/bin/env python3
"""Collects real messages from the test data and documentation of Debian
packages (listed in scripts/packages/msg.txt) into a folder, one file per
message, and prints the paths. Besides the message files the packages ship,
the messages that Python's email test suite holds inline as string literals
are taken too. Exits non-zero when a source package is missing."""
import ast
import glob
import hashlib
import os
import re
import sys
import textwrap

FILES = {
    "libpython3.11-testsuite": ["/usr/lib/python3.11/test/test_email/data/msg_*.txt"],
    "golang-github-jhillyerd-enmime-dev": [
        "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/*/*.raw"],
    "spamassassin": ["/usr/share/doc/spamassassin/examples/sample-*.txt"],
    "gir1.2-gmime-3.0": ["/usr/share/doc/gir1.2-gmime-3.0/examples/example.eml"],
}
INLINE = "/usr/lib/python3.11/test/test_email/*.py"
HEADER_LINE = re.compile(rb"^[A-Za-z][A-Za-z0-9-]*:[ \t]")


def looks_like_message(data):
    head, sep, _ = data.partition(b"\n\n")
    lines = [l for l in head.split(b"\n") if l and l[:1] not in (b" ", b"\t")]
    return bool(sep) and len(lines) >= 2 and all(HEADER_LINE.match(l) for l in lines)


def inline_messages():
    for path in sorted(glob.glob(INLINE)):
        with open(path, "rb") as f:
            tree = ast.parse(f.read())
        for node in ast.walk(tree):
            if not isinstance(node, ast.Constant):
                continue
            value = node.value
            if isinstance(value, str):
                value = textwrap.dedent(value).lstrip("\n")
                try:
                    value = value.encode("utf-8", "surrogateescape")
                except UnicodeEncodeError:
                    continue
            elif isinstance(value, bytes):
                value = value.lstrip(b"\n")
            else:
                continue
            if looks_like_message(value.replace(b"\r\n", b"\n")):
                yield value


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    seen = set()
    paths = []

    def add(data, name):
        digest = hashlib.sha1(data).hexdigest()
        if digest in seen:
            return
        seen.add(digest)
        path = os.path.join(out, "%04d-%s" % (len(paths), name))
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)

    missing = False
    for package, patterns in FILES.items():
        found = [p for pattern in patterns for p in sorted(glob.glob(pattern))]
        if not found:
            print("missing package " + package, file=sys.stderr)
            missing = True
        for p in found:
            with open(p, "rb") as f:
                add(f.read(), os.path.basename(p))
    if not glob.glob(INLINE):
        missing = True
    for n, data in enumerate(inline_messages()):
        add(data, "inline-%d.eml" % n)
    print("\n".join(paths))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
