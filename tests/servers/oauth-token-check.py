#!/usr/bin/python3
"""Token introspection for dovecot's oauth2 passdb, on 127.0.0.1.

usage: oauth-token-check.py PORT TOKENS_JSON
TOKENS_JSON maps each valid token to its user name; it is read on every
request, so a test can add or revoke tokens while the server runs.
"""
import json
import sys
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer

port, tokens_file = int(sys.argv[1]), sys.argv[2]


def lookup(token):
    with open(tokens_file) as f:
        user = json.load(f).get(token)
    return {"active": "true", "username": user} if user else {"active": "false"}


class Handler(BaseHTTPRequestHandler):
    def reply(self, body):
        data = json.dumps(body).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        form = urllib.parse.parse_qs(self.rfile.read(length).decode())
        self.reply(lookup(form.get("token", [""])[0]))

    def do_GET(self):
        query = urllib.parse.urlparse(self.path).query
        form = urllib.parse.parse_qs(query)
        token = form.get("access_token", [""])[0]
        auth = self.headers.get("Authorization", "")
        if not token and auth.lower().startswith("bearer "):
            token = auth[7:]
        self.reply(lookup(token))

    def log_message(self, fmt, *args):
        sys.stderr.write("introspect: " + fmt % args + "\n")


HTTPServer(("127.0.0.1", port), Handler).serve_forever()
