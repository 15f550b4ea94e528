#!/usr/bin/env bash
# bench_imap_peer.sh BUILD_DIR [COUNT] [SIZE]: one session that reads the
# headers (ENVELOPE, FLAGS) and then the whole of COUNT (default 1000)
# messages of about SIZE (default 4096) bytes from dovecot on loopback:
# Quillmark (bench_imap), Python's imaplib (same two FETCHes, each message
# parsed with the email package) and curl (one URL per message over one
# connection; curl has no ENVELOPE, so it reads the bodies only). Each runs
# pinned to one CPU; printed: messages/s, CPU seconds and peak memory.
# Then one message of LARGE_MIB (default 64) MiB: Quillmark written to a
# stream as it arrives, Quillmark held whole, imaplib: peak memory.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bench_imap_peer.sh BUILD_DIR [COUNT] [SIZE]}
count=${2:-1000}
size=${3:-4096}
state=$(mktemp -d /tmp/qmb-XXXXXX)
trap '"$root/tests/servers/stop-all.sh" "$state" >/dev/null 2>&1; rm -rf "$state"' EXIT
"$root/tests/servers/start-dovecot-imap.sh" "$state" >/dev/null
env_get() { sed -n "s/^$1=//p" "$state/dovecot-imap.env"; }
host=127.0.0.1 port=$(env_get IMAP_PORT) user=$(env_get IMAP_USER) pass=$(env_get IMAP_PASSWORD)
maildir=$(env_get IMAP_MAILDIR)
/usr/bin/python3 - "$maildir" "$count" "$size" <<'PY'
import os, sys
maildir, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(count):
    head = f"From: Sender {i} <s{i}@example.org>\nTo: r@example.org\nSubject: Message {i}\nMessage-ID: <{i}@bench>\n\n"
    body = "".join(f"line {n} of message {i} with some words to fill it\n" for n in range(size // 48))
    name = f"{1700000000 + i}.M{i}P1.bench"
    with open(os.path.join(maildir, "new", name), "w") as f:
        f.write(head + body)
PY
chown -R qmmail:qmmail "$maildir"

run() {  # run NAME CMD...: prints NAME, messages/s, CPU s, peak MiB
  local name=$1; shift
  local out
  out=$( { /usr/bin/time -f "TIME %e %U %S %M" taskset -c 0 "$@" >/dev/null; } 2>&1 | tee "$state/$name.err" | grep "^TIME") || { echo "$name failed:"; cat "$state/$name.err"; return; }
  local wall usr sys kib
  read -r _ wall usr sys kib <<<"$out"
  /usr/bin/python3 -c "import sys; n,w,u,s,k,name=sys.argv[1:]; print(f'{name:<10} {int(n)/float(w):8.0f} msg/s  cpu {float(u)+float(s):6.2f} s  peak {int(k)/1024:6.1f} MiB')" \
    "$count" "$wall" "$usr" "$sys" "$kib" "$name"
}

# A first session lets dovecot build its index, which no run should pay for.
"$build/bench/bench_imap" "$host" "$port" "$user" "$pass" >/dev/null
run quillmark "$build/bench/bench_imap" "$host" "$port" "$user" "$pass"
run imaplib /usr/bin/python3 - "$host" "$port" "$user" "$pass" <<'PY'
import email, imaplib, sys
host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
m = imaplib.IMAP4(host, port)
m.login(user, password)
m.select("INBOX", readonly=True)
typ, data = m.uid("FETCH", "1:*", "(FLAGS ENVELOPE)")
typ, data = m.uid("FETCH", "1:*", "(BODY.PEEK[])")
for item in data:
    if isinstance(item, tuple):
        email.message_from_bytes(item[1])
m.logout()
PY
urls=()
for i in $(seq 1 "$count"); do urls+=("imap://$host:$port/INBOX;UID=$i"); done
run curl curl -s -u "$user:$pass" "${urls[@]}"

large=${LARGE_MIB:-64}
mkdir -p "$maildir/.Large/"{cur,new,tmp}
/usr/bin/python3 - "$maildir/.Large/new/1800000000.M1P1.bench" "$large" <<'PY'
import sys
path, mib = sys.argv[1], int(sys.argv[2])
line = "a line of a large message, long enough to fill it in good time.\n"
with open(path, "w") as f:
    f.write("From: big@example.org\nSubject: large\n\n")
    for _ in range(mib * 1024 * 1024 // len(line)):
        f.write(line)
PY
chown -R qmmail:qmmail "$maildir"
count=1
"$build/bench/bench_imap" "$host" "$port" "$user" "$pass" stream >/dev/null
run qm-stream "$build/bench/bench_imap" "$host" "$port" "$user" "$pass" stream
run qm-memory "$build/bench/bench_imap" "$host" "$port" "$user" "$pass" memory
run imaplib /usr/bin/python3 - "$host" "$port" "$user" "$pass" <<'PY'
import imaplib, sys
host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
m = imaplib.IMAP4(host, port)
m.login(user, password)
m.select("Large", readonly=True)
typ, data = m.uid("FETCH", "1", "(BODY.PEEK[])")
m.logout()
PY
