#!/usr/bin/env python3
"""Writes messages with Python's email package (policy.default, and SMTP
with CR LF) into a folder, one per combination, and prints their paths."""
import os
import sys
from email import policy
from email.headerregistry import Address
from email.message import EmailMessage

TEXTS = {
    "utf-8": ("Grüße, Привет, 日本語のテキスト", "Jörg Müller"),
    "iso-8859-1": ("Grüße à la façon de Köln", "Jörg Müller"),
    "koi8-r": ("Привет, мир! Съешь же ещё этих мягких булок", "Иван Петров"),
}
BINARY = bytes(range(256)) * 3


def build(n, charset, html, attach, image, cte):
    text, name = TEXTS[charset]
    msg = EmailMessage()
    msg["Subject"] = "%s #%d %s" % (text, n, "long " * (n % 3) * 12)
    msg["From"] = Address(name, "from", "example.com")
    msg["To"] = [Address("Doe, John", "john", "example.com"), Address("", "to2", "example.com"),
                 Address(name, "third", "example.org")]
    kwargs = {"charset": charset}
    if cte:
        kwargs["cte"] = cte
    msg.set_content(text + "\nsecond line\n", **kwargs)
    if html:
        msg.add_alternative("<p>%s</p>\n" % text, subtype="html", **kwargs)
    if image:
        target = msg.get_payload()[-1] if html else msg
        if html:
            target.add_related(b"\x89PNG fake image\x00\x01", maintype="image", subtype="png",
                               cid="<img%d@example.com>" % n)
        else:
            msg.add_attachment(b"\x89PNG fake image\x00\x01", maintype="image", subtype="png",
                               disposition="inline", filename="pic.png")
    if attach:
        msg.add_attachment(BINARY, maintype="application", subtype="octet-stream",
                           filename="%s %d.bin" % (name, n))
        msg.add_attachment("plain text attachment\n", filename="notes.txt")
    return msg


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    n = 0
    for charset in TEXTS:
        for html in (False, True):
            for attach in (False, True):
                for image in (False, True):
                    for cte in (None, "quoted-printable", "base64"):
                        msg = build(n, charset, html, attach, image, cte)
                        pol = policy.SMTP if n % 2 else policy.default
                        path = os.path.join(out, "py%03d.eml" % n)
                        with open(path, "wb") as f:
                            f.write(msg.as_bytes(policy=pol))
                        print(path)
                        n += 1


if __name__ == "__main__":
    main()
