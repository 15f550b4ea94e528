#!/usr/bin/python3
"""An SMTP server on aiosmtpd whose replies a test scripts through a JSON file.

usage: scripted-smtpd.py --port N --config FILE --record DIR [--cert F --key F]

The config file is read again for every connection, so a test may rewrite
it between sessions. Keys (all optional):
  greeting        reply line(s) sent on connect, default "220 <host> ESMTP"
  ehlo            extension lines after the host name, in order; the last
                  one ends the reply ("SIZE 1000" last vs. in a continuation
                  line, "AUTH=LOGIN", "AUTH LOGIN CRAM-MD5", ...). STARTTLS
                  is dropped from the list once TLS is on. Default:
                  PIPELINING, SIZE 10485760, 8BITMIME, [STARTTLS],
                  AUTH PLAIN LOGIN CRAM-MD5 XOAUTH2
  ehlo_reply      a reply that replaces the whole EHLO answer (e.g. "502 ...")
  ehlo_before_tls as ehlo_reply, but only while TLS is off (e.g. "530 ..."
                  or other extensions than those offered inside TLS)
  require_tls     true: "530 5.7.0 Must issue a STARTTLS command first" to
                  everything but EHLO, HELO, NOOP, RSET, QUIT, STARTTLS
  auth            mechanisms that really work (default: PLAIN LOGIN
                  CRAM-MD5 XOAUTH2), independent of what EHLO says
  user, password  credentials (default qmuser / qmpass)
  xoauth2_token   the token XOAUTH2 accepts (default qmtoken); any other
                  token gets the 334 error challenge, then 535
  mail_reply      reply to MAIL FROM (default 250 2.1.0 Ok)
  reject_rcpt     addresses answered with 550 5.1.1
  rcpt_reply      reply to the other RCPT TO (default 250 2.1.5 Ok)
  data_reply      reply to DATA (default 354 End data with <CR><LF>.<CR><LF>)
  data_end_reply  reply to the end of the data (default 250 2.0.0 Ok: queued),
                  e.g. "354 odd" or "554 5.7.1 rejected"
A reply may be a string or a list of lines (a multi-line reply).

Recording: every message goes to DIR/messages/NNNN.eml byte for byte (dot
stuffing removed), and every session appends one JSON line to
DIR/sessions.jsonl: {"commands": [...], "replies": [...], "tls": bool,
"auth": {"mechanism", "user", "success"} or null, "messages": [{"mail_from",
"rcpt_tos", "file"}]}. Command lines are recorded as received (AUTH data
included: the credentials are test values).
"""
import argparse
import asyncio
import base64
import hashlib
import hmac
import json
import os
import secrets
import socket
import ssl

from aiosmtpd.smtp import SMTP, syntax

ap = argparse.ArgumentParser()
ap.add_argument("--port", type=int, required=True)
ap.add_argument("--config", required=True)
ap.add_argument("--record", required=True)
ap.add_argument("--cert")
ap.add_argument("--key")
ap.add_argument("--ready")
opts = ap.parse_args()

os.makedirs(os.path.join(opts.record, "messages"), exist_ok=True)
tls_context = None
if opts.cert:
    tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls_context.load_cert_chain(opts.cert, opts.key)
message_count = 0
HOST = "scripted.qm.test"


def load_config():
    try:
        with open(opts.config) as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def lines_of(reply):
    return reply if isinstance(reply, list) else [reply]


class Handler:
    async def handle_DATA(self, server, session, envelope):
        global message_count
        message_count += 1
        name = os.path.join(opts.record, "messages", f"{message_count:04d}.eml")
        with open(name, "wb") as f:
            f.write(envelope.original_content or b"")
        server.record["messages"].append(
            {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos, "file": name})
        server.in_data = False
        return server.cfg.get("data_end_reply", "250 2.0.0 Ok: queued")


ALLOWED_BEFORE_TLS = {"EHLO", "HELO", "NOOP", "RSET", "QUIT", "STARTTLS"}


class ScriptedSMTP(SMTP):
    def __init__(self, cfg):
        super().__init__(Handler(), hostname=HOST, tls_context=tls_context,
                         require_starttls=False, auth_require_tls=False,
                         decode_data=False, enable_SMTPUTF8=True, data_size_limit=None)
        self.cfg = cfg
        self.greeted = False
        self.in_data = False
        self.record = {"commands": [], "replies": [], "tls": False, "auth": None, "messages": []}

    def connection_made(self, transport):
        first = self.transport is None
        super().connection_made(transport)
        if first:
            # readline() goes through readuntil(): one hook sees every line.
            reader = self._reader
            read_until = reader.readuntil

            async def readuntil(*a, **k):
                line = await read_until(*a, **k)
                self.note(line)
                return line

            reader.readuntil = readuntil
        else:
            self.record["tls"] = True

    def note(self, line):
        if not self.in_data:
            self.record["commands"].append(line.decode("utf-8", "replace").rstrip("\r\n"))

    def connection_lost(self, error):
        if self.record["commands"] or self.record["messages"]:
            with open(os.path.join(opts.record, "sessions.jsonl"), "a") as f:
                f.write(json.dumps(self.record) + "\n")
        super().connection_lost(error)

    async def push(self, status):
        text = status.decode() if isinstance(status, bytes) else status
        if not self.greeted:
            # The base class greets with a fixed 220.
            self.greeted = True
            for line in lines_of(self.cfg.get("greeting", f"220 {HOST} ESMTP")):
                await self.send_line(line)
            return
        await self.send_line(text)

    async def send_line(self, line):
        self.record["replies"].append(line)
        await super().push(line)

    async def reply(self, key, default):
        for line in lines_of(self.cfg.get(key, default)):
            await self.push(line)

    async def tls_refused(self, command):
        if self.cfg.get("require_tls") and not self._tls_protocol and command not in ALLOWED_BEFORE_TLS:
            await self.push("530 5.7.0 Must issue a STARTTLS command first")
            return True
        return False

    @syntax("EHLO hostname")
    async def smtp_EHLO(self, hostname):
        if not hostname:
            return await self.push("501 Syntax: EHLO hostname")
        if "ehlo_reply" in self.cfg:
            return await self.reply("ehlo_reply", "")
        if "ehlo_before_tls" in self.cfg and not self._tls_protocol:
            return await self.reply("ehlo_before_tls", "")
        self._set_rset_state()
        self.session.extended_smtp = True
        self.session.host_name = hostname
        default = ["PIPELINING", "SIZE 10485760", "8BITMIME"]
        if tls_context:
            default.append("STARTTLS")
        default.append("AUTH PLAIN LOGIN CRAM-MD5 XOAUTH2")
        ext = [e for e in self.cfg.get("ehlo", default) if not (self._tls_protocol and e == "STARTTLS")]
        lines = [HOST] + ext
        for i, e in enumerate(lines):
            await self.push(("250 " if i == len(lines) - 1 else "250-") + e)

    async def smtp_AUTH(self, arg):
        if await self.tls_refused("AUTH"):
            return
        if self.session.authenticated:
            return await self.push("503 5.5.1 Already authenticated")
        args = (arg or "").split()
        if not args or len(args) > 2:
            return await self.push("501 5.5.4 Syntax: AUTH mechanism [initial-response]")
        mech = args[0].upper()
        initial = args[1] if len(args) > 1 else None
        if mech not in [m.upper() for m in self.cfg.get("auth", ["PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2"])]:
            return await self.push("504 5.5.4 Unrecognized authentication type")
        user_ok = self.cfg.get("user", "qmuser")
        pass_ok = self.cfg.get("password", "qmpass")
        user, success = None, False

        def decode(blob):
            return base64.b64decode(blob, validate=True) if blob not in (None, "=") else b""

        try:
            if mech == "PLAIN":
                data = decode(initial) if initial is not None else await self.challenge_auth("")
                if data is None or not isinstance(data, bytes):
                    return
                parts = data.split(b"\0")
                if len(parts) == 3:
                    user = parts[1].decode()
                    success = user == user_ok and parts[2].decode() == pass_ok
            elif mech == "LOGIN":
                u = decode(initial) if initial is not None else await self.challenge_auth("Username:")
                if not isinstance(u, bytes):
                    return
                p = await self.challenge_auth("Password:")
                if not isinstance(p, bytes):
                    return
                user = u.decode()
                success = user == user_ok and p.decode() == pass_ok
            elif mech == "CRAM-MD5":
                challenge = f"<{secrets.randbelow(10**9)}.{os.getpid()}@{HOST}>".encode()
                resp = await self.challenge_auth(challenge)
                if not isinstance(resp, bytes):
                    return
                user, _, digest = resp.decode().rpartition(" ")
                want = hmac.new(pass_ok.encode(), challenge, hashlib.md5).hexdigest()
                success = user == user_ok and hmac.compare_digest(digest, want)
            elif mech == "XOAUTH2":
                data = decode(initial) if initial is not None else await self.challenge_auth("")
                if not isinstance(data, bytes):
                    return
                fields = dict(p.split("=", 1) for p in data.decode().split("\x01") if "=" in p)
                user = fields.get("user")
                token = fields.get("auth", "")
                success = user == user_ok and token == "Bearer " + self.cfg.get("xoauth2_token", "qmtoken")
                if not success:
                    err = json.dumps({"status": "401", "schemes": "bearer", "scope": "https://mail.qm.test/"})
                    await self.push("334 " + base64.b64encode(err.encode()).decode())
                    await self._reader.readline()
            else:
                return await self.push("504 5.5.4 Unrecognized authentication type")
        except (ValueError, UnicodeDecodeError):
            return await self.push("501 5.5.2 Cannot decode response")
        self.record["auth"] = {"mechanism": mech, "user": user, "success": success}
        if success:
            self.session.authenticated = True
            await self.push("235 2.7.0 Authentication successful")
        else:
            await self.push("535 5.7.8 Error: authentication failed")

    async def smtp_MAIL(self, arg):
        if await self.tls_refused("MAIL"):
            return
        if "mail_reply" in self.cfg and self.session.host_name:
            address, _ = self._getaddr(self._strip_command_keyword("FROM:", arg or "") or "")
            self.envelope.mail_from = address
            return await self.reply("mail_reply", "")
        await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        if await self.tls_refused("RCPT"):
            return
        address, _ = self._getaddr(self._strip_command_keyword("TO:", arg or "") or "")
        if address and address.lower() in [a.lower() for a in self.cfg.get("reject_rcpt", [])]:
            return await self.push(f"550 5.1.1 <{address}>: Recipient address rejected: User unknown")
        if "rcpt_reply" in self.cfg and self.envelope.mail_from is not None:
            self.envelope.rcpt_tos.append(address)
            return await self.reply("rcpt_reply", "")
        await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        if await self.tls_refused("DATA"):
            return
        if "data_reply" in self.cfg:
            return await self.reply("data_reply", "")
        self.in_data = bool(self.envelope.rcpt_tos) and self.envelope.mail_from is not None
        await super().smtp_DATA(arg)
        self.in_data = False

    async def smtp_NOOP(self, arg):
        await self.push("250 2.0.0 Ok")


async def main():
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: ScriptedSMTP(load_config()), "127.0.0.1", opts.port,
                                      family=socket.AF_INET, reuse_address=True)
    if opts.ready:
        with open(opts.ready, "w") as f:
            f.write("ready\n")
    async with server:
        await server.serve_forever()


asyncio.run(main())
