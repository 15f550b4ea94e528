#!/usr/bin/env bash
# fill-maildir.sh STATE_DIR --count N [--size BYTES] | FILE...
# Puts messages into the maildir dovecot serves (POP3_MAILDIR of
# dovecot.env): N generated messages (message i has the subject
# "Test message i" and a body of about BYTES bytes, default 2000), or the
# given message files byte for byte (LF line ends become CR LF in POP3).
# Run it between POP3 sessions; dovecot picks new mail up at the next login.
source "$(dirname "$0")/lib.sh"
state_init "${1:-}"
shift
[ -s "$STATE/dovecot.env" ] || die "start-dovecot.sh has not run in $STATE"
maildir=$(env_get dovecot POP3_MAILDIR)
owner=$(env_get dovecot MAIL_USER)
[ $# -gt 0 ] || die "usage: fill-maildir.sh STATE_DIR --count N [--size BYTES] | FILE..."

"$QM_PY" - "$maildir" "$@" <<'EOF'
import os, socket, sys, time

maildir, args = sys.argv[1], sys.argv[2:]
host = socket.gethostname()
stamp = int(time.time())
seq = 0


def put(data):
    global seq
    seq += 1
    # Names sort in delivery order, also across runs of this helper.
    name = f"{stamp}.M{time.time_ns():020d}P{os.getpid()}Q{seq}.{host}"
    tmp = os.path.join(maildir, "tmp", name)
    with open(tmp, "wb") as f:
        f.write(data)
    # Keep the order of delivery as the order of the POP3 listing.
    t = stamp + seq
    os.utime(tmp, (t, t))
    os.rename(tmp, os.path.join(maildir, "new", name))


if args[0] == "--count":
    count = int(args[1])
    size = int(args[3]) if len(args) > 3 and args[2] == "--size" else 2000
    line = "The quick brown fox jumps over the lazy dog 0123456789.\n"
    for i in range(1, count + 1):
        body = (line * (size // len(line) + 1))[:size]
        head = (
            f"From: Sender <sender@qm.test>\n"
            f"To: qmuser@qm.test\n"
            f"Subject: Test message {i}\n"
            f"Date: Mon, 07 Dec 2026 10:00:00 +0000\n"
            f"Message-ID: <fill.{stamp}.{i}@qm.test>\n"
            f"MIME-Version: 1.0\n"
            f"Content-Type: text/plain; charset=us-ascii\n\n"
        )
        put((head + f"Message number {i}.\n" + body).encode())
else:
    for path in args:
        with open(path, "rb") as f:
            put(f.read())
EOF
chown -R "$owner:$owner" "$maildir"
