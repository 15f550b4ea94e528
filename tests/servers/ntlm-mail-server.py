#!/usr/bin/python3
"""A POP3 or SMTP server that accepts NTLM logins through GSS-API.

usage: ntlm-mail-server.py --protocol pop3|smtp --port N --config FILE
                           --record DIR [--ready FILE]

The NTLM acceptor is gss-ntlmssp driven by python3-gssapi; its users come
from the file named by NTLM_USER_FILE in this process's environment
("DOMAIN:user:password" lines). Every token is checked to be an NTLMSSP
message of the type the exchange expects before GSS-API sees it.

The config file (JSON) is read again for every connection. Keys (all
optional):
  mechanisms     the SASL mechanisms announced: POP3 lists them after "AUTH",
                 SMTP in its "AUTH" EHLO line (default ["NTLM"])
  negotiate_reply a reply sent in place of the challenge after the client's
                 first NTLM token (e.g. "+OK" or "235 2.7.0 ok")
  user, password credentials of the other mechanisms (CRAM-MD5, APOP,
                 USER/PASS, LOGIN; default qmuser / qmpass)
  xoauth2_token  the token XOAUTH2 accepts (default qmtoken)
  auth_list_reply POP3: the reply to "AUTH" (default "+OK" and the list)
  messages       POP3: the mailbox, a list of message texts (LF line ends)
The other mechanisms exist so that a test sees which one a client picks
when NTLM is announced beside them; NTLM is what this server is for.

Recording: every connection appends one JSON line to DIR/sessions.jsonl:
{"commands": [...], "replies": [...], "auth": {"mechanism", "user",
"success"} or null, "ntlm": {"client_types": [...], "server_types": [...],
"initiator": name or null, "error": text or null} or null, "quit": bool,
"messages": [{"mail_from", "rcpt_tos", "data"}]}.
"""
import argparse
import base64
import binascii
import hashlib
import hmac
import json
import os
import secrets
import socket
import socketserver
import struct
import threading

import gssapi

ap = argparse.ArgumentParser()
ap.add_argument("--protocol", choices=["pop3", "smtp"], required=True)
ap.add_argument("--port", type=int, required=True)
ap.add_argument("--config", required=True)
ap.add_argument("--record", required=True)
ap.add_argument("--ready")
opts = ap.parse_args()

NTLM = gssapi.OID.from_int_seq("1.3.6.1.4.1.311.2.2.10")
HOST = "ntlm.qm.test"
record_lock = threading.Lock()
MAX_LINE = 65536


def load_config():
    try:
        with open(opts.config) as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def ntlm_type(token):
    """The NTLMSSP message type of a token, or None when it is not one."""
    if len(token) < 12 or token[:8] != b"NTLMSSP\0":
        return None
    return struct.unpack("<I", token[8:12])[0]


class Session(socketserver.StreamRequestHandler):
    def setup(self):
        super().setup()
        self.cfg = load_config()
        self.rec = {"commands": [], "replies": [], "auth": None, "ntlm": None, "quit": False, "messages": []}
        self.authenticated = False

    def finish(self):
        with record_lock, open(os.path.join(opts.record, "sessions.jsonl"), "a") as f:
            f.write(json.dumps(self.rec) + "\n")
        super().finish()

    def send(self, line):
        self.rec["replies"].append(line)
        self.wfile.write(line.encode() + b"\r\n")
        self.wfile.flush()

    def read_line(self):
        data = self.rfile.readline(MAX_LINE)
        if not data:
            return None
        line = data.decode("utf-8", "replace").rstrip("\r\n")
        self.rec["commands"].append(line)
        return line

    def mechanisms(self):
        return self.cfg.get("mechanisms", ["NTLM"])

    def offered(self, mech):
        return mech.upper() in [m.upper() for m in self.mechanisms()]

    # ---- NTLM, the same for both protocols ----
    def ntlm(self, cont, ok, fail):
        """Runs the acceptor; cont(text) makes a continuation reply. Returns
        the initiator name, or None after a refusal was sent."""
        info = {"client_types": [], "server_types": [], "initiator": None, "error": None}
        self.rec["ntlm"] = info
        ctx = gssapi.SecurityContext(creds=gssapi.Credentials(usage="accept", mechs=[NTLM]), usage="accept")
        self.send(cont(""))
        expected = [1, 3]
        while True:
            line = self.read_line()
            if line is None:
                return None
            if line == "*":
                info["error"] = "cancelled"
                self.send(fail)
                return None
            try:
                token = base64.b64decode(line, validate=True)
            except binascii.Error:
                info["error"] = "not base64"
                self.send(fail)
                return None
            kind = ntlm_type(token)
            info["client_types"].append(kind)
            if not expected or kind != expected.pop(0):
                info["error"] = "not the NTLMSSP message expected"
                self.send(fail)
                return None
            if kind == 1 and "negotiate_reply" in self.cfg:
                self.send(self.cfg["negotiate_reply"])
                return None
            try:
                reply = ctx.step(token)
            except gssapi.exceptions.GSSError as e:
                info["error"] = str(e)
                self.send(fail)
                return None
            if reply:
                info["server_types"].append(ntlm_type(reply))
            if ctx.complete:
                # gss-ntlmssp counts the name's terminating NUL.
                info["initiator"] = str(ctx.initiator_name).rstrip("\0")
                self.send(ok)
                return info["initiator"]
            self.send(cont(base64.b64encode(reply).decode()))

    def cram_md5(self, cont):
        challenge = f"<{secrets.randbelow(10**9)}.{os.getpid()}@{HOST}>".encode()
        self.send(cont(base64.b64encode(challenge).decode()))
        line = self.read_line()
        try:
            user, _, digest = base64.b64decode(line or "").decode().rpartition(" ")
        except (binascii.Error, UnicodeDecodeError):
            return None, False
        want = hmac.new(self.cfg.get("password", "qmpass").encode(), challenge, hashlib.md5).hexdigest()
        return user, user == self.cfg.get("user", "qmuser") and hmac.compare_digest(digest, want)

    def xoauth2(self, blob):
        try:
            data = base64.b64decode(blob or "").decode()
        except (binascii.Error, UnicodeDecodeError):
            return None, False
        fields = dict(p.split("=", 1) for p in data.split("\x01") if "=" in p)
        user = fields.get("user")
        return user, fields.get("auth") == "Bearer " + self.cfg.get("xoauth2_token", "qmtoken")

    def note_auth(self, mech, user, success):
        self.rec["auth"] = {"mechanism": mech, "user": user, "success": success}
        self.authenticated = success

    def handle(self):
        try:
            (self.pop3 if opts.protocol == "pop3" else self.smtp)()
        except (ConnectionError, BrokenPipeError):
            pass

    # ---- POP3 ----
    def pop3(self):
        stamp = f"<{secrets.randbelow(10**9)}.{os.getpid()}@{HOST}>"
        self.send(f"+OK NTLM test server ready {stamp}")
        messages = [m.replace("\n", "\r\n").encode() for m in self.cfg.get("messages", [
            "From: a@qm.test\nSubject: First\n\nHello\n", "From: b@qm.test\nSubject: Second\n\nWorld\n"])]
        cont = lambda text: ("+ " + text) if text else "+ "
        while True:
            line = self.read_line()
            if line is None:
                return
            words = line.split()
            verb = words[0].upper() if words else ""
            if verb == "QUIT":
                self.rec["quit"] = True
                self.send("+OK bye")
                return
            if verb == "CAPA":
                self.send("+OK")
                for c in ["USER", "SASL " + " ".join(self.mechanisms()), "TOP"]:
                    self.send(c)
                self.send(".")
            elif verb == "AUTH" and len(words) == 1:
                if "auth_list_reply" in self.cfg:
                    self.send(self.cfg["auth_list_reply"])
                else:
                    self.send("+OK")
                    for m in self.mechanisms():
                        self.send(m)
                    self.send(".")
            elif verb == "AUTH" and not self.authenticated and self.offered(words[1]):
                mech = words[1].upper()
                if mech == "NTLM":
                    user = self.ntlm(cont, "+OK NTLM authentication successful", "-ERR [AUTH] NTLM authentication failed")
                    self.note_auth(mech, user, user is not None)
                    continue
                if mech == "CRAM-MD5":
                    user, ok = self.cram_md5(cont)
                elif mech == "XOAUTH2":
                    self.send("+ ")
                    user, ok = self.xoauth2(self.read_line())
                else:
                    self.send("-ERR unsupported mechanism")
                    continue
                self.note_auth(mech, user, ok)
                self.send("+OK logged in" if ok else "-ERR [AUTH] authentication failed")
            elif verb == "AUTH":
                self.send("-ERR unsupported mechanism")
            elif verb == "APOP" and len(words) == 3 and not self.authenticated:
                want = hashlib.md5((stamp + self.cfg.get("password", "qmpass")).encode()).hexdigest()
                ok = words[1] == self.cfg.get("user", "qmuser") and words[2] == want
                self.note_auth("APOP", words[1], ok)
                self.send("+OK logged in" if ok else "-ERR [AUTH] authentication failed")
            elif verb == "USER" and not self.authenticated:
                self.user = line[5:]
                self.send("+OK")
            elif verb == "PASS" and not self.authenticated:
                ok = getattr(self, "user", None) == self.cfg.get("user", "qmuser") and line[5:] == self.cfg.get(
                    "password", "qmpass")
                self.note_auth("USER", getattr(self, "user", None), ok)
                self.send("+OK logged in" if ok else "-ERR [AUTH] authentication failed")
            elif not self.authenticated:
                self.send("-ERR not logged in")
            elif verb == "NOOP":
                self.send("+OK")
            elif verb == "STAT":
                self.send(f"+OK {len(messages)} {sum(len(m) for m in messages)}")
            elif verb in ("LIST", "TOP", "RETR") and len(words) >= 2 and words[1].isdigit() and \
                    1 <= int(words[1]) <= len(messages):
                n = int(words[1])
                data = messages[n - 1]
                if verb == "LIST":
                    self.send(f"+OK {n} {len(data)}")
                    continue
                if verb == "TOP":
                    data = data.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
                self.send("+OK")
                for raw in data.decode().split("\r\n")[:-1]:
                    self.send("." + raw if raw.startswith(".") else raw)
                self.send(".")
            else:
                self.send("-ERR unknown command")

    # ---- SMTP ----
    def smtp(self):
        self.send(f"220 {HOST} ESMTP NTLM test server")
        cont = lambda text: "334 " + (text or "NTLM supported")
        envelope = None
        while True:
            line = self.read_line()
            if line is None:
                return
            words = line.split()
            verb = words[0].upper() if words else ""
            if verb == "QUIT":
                self.rec["quit"] = True
                self.send("221 2.0.0 Bye")
                return
            if verb == "EHLO":
                ext = ["PIPELINING", "SIZE 10485760", "AUTH " + " ".join(self.mechanisms())]
                lines = [HOST] + ext
                for i, e in enumerate(lines):
                    self.send(("250 " if i == len(lines) - 1 else "250-") + e)
            elif verb == "HELO":
                self.send(f"250 {HOST}")
            elif verb == "NOOP":
                self.send("250 2.0.0 Ok")
            elif verb == "RSET":
                envelope = None
                self.send("250 2.0.0 Ok")
            elif verb == "AUTH" and len(words) >= 2 and not self.authenticated and self.offered(words[1]):
                mech = words[1].upper()
                if mech == "NTLM":
                    user = self.ntlm(cont, "235 2.7.0 Authentication successful",
                                     "535 5.7.8 Error: authentication failed")
                    self.note_auth(mech, user, user is not None)
                    continue
                if mech == "CRAM-MD5":
                    user, ok = self.cram_md5(lambda t: "334 " + t)
                elif mech == "XOAUTH2":
                    user, ok = self.xoauth2(words[2] if len(words) > 2 else None)
                    if not ok:
                        self.send("334 " + base64.b64encode(b'{"status":"401"}').decode())
                        self.read_line()
                elif mech == "LOGIN":
                    self.send("334 VXNlcm5hbWU6")
                    u = base64.b64decode(self.read_line() or "").decode("utf-8", "replace")
                    self.send("334 UGFzc3dvcmQ6")
                    p = base64.b64decode(self.read_line() or "").decode("utf-8", "replace")
                    user, ok = u, u == self.cfg.get("user", "qmuser") and p == self.cfg.get("password", "qmpass")
                else:
                    self.send("504 5.5.4 Unrecognized authentication type")
                    continue
                self.note_auth(mech, user, ok)
                self.send("235 2.7.0 Authentication successful" if ok else "535 5.7.8 Error: authentication failed")
            elif verb == "AUTH":
                self.send("504 5.5.4 Unrecognized authentication type")
            elif not self.authenticated:
                self.send("530 5.7.0 Authentication required")
            elif verb == "MAIL":
                envelope = {"mail_from": line[10:].strip(), "rcpt_tos": [], "data": ""}
                self.send("250 2.1.0 Ok")
            elif verb == "RCPT" and envelope is not None:
                envelope["rcpt_tos"].append(line[8:].strip())
                self.send("250 2.1.5 Ok")
            elif verb == "DATA" and envelope and envelope["rcpt_tos"]:
                self.send("354 End data with <CR><LF>.<CR><LF>")
                body = []
                while True:
                    raw = self.rfile.readline(MAX_LINE)
                    if not raw or raw.rstrip(b"\r\n") == b".":
                        break
                    body.append(raw[1:] if raw.startswith(b"..") else raw)
                envelope["data"] = b"".join(body).decode("utf-8", "replace")
                self.rec["messages"].append(envelope)
                envelope = None
                self.send("250 2.0.0 Ok: queued")
            else:
                self.send("503 5.5.1 Error: bad sequence of commands")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


os.makedirs(opts.record, exist_ok=True)
server = Server(("127.0.0.1", opts.port), Session)
if opts.ready:
    with open(opts.ready, "w") as f:
        f.write("ready\n")
server.serve_forever()
