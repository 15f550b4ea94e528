#!/usr/bin/env python3
"""Reads messages with Python's email package (policy.default) and prints
what the tests compare, one record per line, texts as "x" and the hex of their UTF-8:

  message <path>
  subject <text>             ("?" in place of the value when Python fails)
  from <name> <addr> ...     (one name/address pair per mailbox)
  to <name> <addr> ...
  part <content type> <file name> <payload> <charset>

The payload of a text part is its decoded text, of others the bytes.
"""
import email
import sys
from email import policy


def h(value):
    """Hex with an "x" in front, so that an empty value is a word too."""
    if isinstance(value, (bytes, bytearray)):
        return "x" + bytes(value).hex()
    return "x" + value.encode("utf-8", "surrogateescape").hex()


def addresses(msg, name):
    try:
        header = msg[name]
        if header is None:
            return []
        result = []
        for a in header.addresses:
            result += [h(a.display_name), h(a.addr_spec)]
        return result
    except Exception:
        return ["x3f"]


def leaves(part):
    """Prints the leaf parts depth-first. An embedded message (message/rfc822
    and the like) is one leaf, as a file attachment; its payload is printed
    as "embedded" since Python holds it parsed, not as its bytes."""
    if part.is_multipart() and part.get_content_maintype() != "message":
        for sub in part.get_payload():
            leaves(sub)
        return
    try:
        name = part.get_filename() or ""
    except Exception:
        name = ""
    charset = part.get_content_charset() or ""
    if part.is_multipart():
        print("part", h(part.get_content_type()), h(name), "embedded", h(charset))
        return
    payload = part.get_payload(decode=True) or b""
    if part.get_content_maintype() == "text":
        try:
            payload = part.get_content()
        except Exception:
            pass
    print("part", h(part.get_content_type()), h(name), h(payload), h(charset))


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            data = f.read()
        print("message", h(path))
        try:
            msg = email.message_from_bytes(data, policy=policy.default)
        except Exception:
            print("error")
            continue
        try:
            subject = msg["subject"]
            subject = "" if subject is None else str(subject)
        except Exception:
            subject = "?"
        print("subject", h(subject))
        print(" ".join(["from"] + addresses(msg, "from")))
        print(" ".join(["to"] + addresses(msg, "to")))
        try:
            leaves(msg)
        except Exception:
            print("error")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
