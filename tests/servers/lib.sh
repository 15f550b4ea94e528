# Shared helpers for the start-*.sh scripts (sourced, not run).
#
# Every server runs in a session of its own (setsid) whose leader's pid is
# kept in STATE_DIR/pids/<name>.pid; stop-all.sh ends each session, so
# nothing started here outlives the test run.

set -euo pipefail

QM_SERVERS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The system interpreter: python3-aiosmtpd is a Debian package.
QM_PY=/usr/bin/python3

die() { echo "$(basename "$0"): $*" >&2; exit 1; }

# state_init STATE_DIR: makes the folder and its pids/ and logs/ children.
state_init() {
  [ $# -ge 1 ] && [ -n "$1" ] || die "usage: $(basename "$0") STATE_DIR [options]"
  mkdir -p "$1"
  STATE=$(cd "$1" && pwd)
  # Unprivileged server users (the mail user, postfix) must reach their
  # files below it.
  chmod 711 "$STATE"
  mkdir -p "$STATE/pids" "$STATE/logs"
}

# free_port: prints a loopback TCP port that is free right now, outside the
# kernel's ephemeral range so outgoing connections never take it; with
# --udp it must be free for UDP too. Callers retry when a server still
# loses the race.
free_port() {
  "$QM_PY" - "$@" <<'EOF'
import random, socket, sys
udp = "--udp" in sys.argv
with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
    lo, hi = map(int, f.read().split())
ranges = [(r0, r1) for r0, r1 in ((20000, lo - 1), (hi + 1, 65535)) if r1 - r0 > 500] or [(10000, 65535)]
for _ in range(500):
    r0, r1 = random.choice(ranges)
    port = random.randint(r0, r1)
    socks = []
    try:
        kinds = [socket.SOCK_STREAM] + ([socket.SOCK_DGRAM] if udp else [])
        for fam, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
            for kind in kinds:
                s = socket.socket(fam, kind)
                socks.append(s)
                if kind == socket.SOCK_STREAM:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                try:
                    s.bind((host, port))
                except OSError as e:
                    if fam == socket.AF_INET6 and e.errno in (97, 99):  # no IPv6 here
                        continue
                    raise
    except OSError:
        continue
    finally:
        for s in socks:
            s.close()
    print(port)
    sys.exit(0)
sys.exit("no free port found")
EOF
}

# spawn NAME LOG CMD...: starts CMD in a new session, output to LOG, and
# records the session leader's pid.
spawn() {
  local name=$1 log=$2
  shift 2
  setsid "$@" </dev/null >>"$log" 2>&1 &
  echo $! >"$STATE/pids/$name.pid"
}

# alive NAME: true while the recorded process runs.
alive() {
  local pid
  pid=$(cat "$STATE/pids/$1.pid" 2>/dev/null) || return 1
  kill -0 "$pid" 2>/dev/null
}

# stop_one NAME: ends the session recorded for NAME (TERM, then KILL).
# Only processes in that session are signalled, so a pid reused by an
# unrelated process after the server died is left alone.
stop_one() {
  local name=$1 pid members i
  pid=$(cat "$STATE/pids/$name.pid" 2>/dev/null) || return 0
  if [ -n "$pid" ]; then
    session_pids() { ps -e -o pid=,sid= | awk -v s="$pid" '$2 == s { print $1 }'; }
    members=$(session_pids)
    if [ -n "$members" ]; then
      kill -TERM $members 2>/dev/null || true
      for i in $(seq 50); do
        members=$(session_pids)
        [ -z "$members" ] && break
        sleep 0.1
      done
      [ -z "$members" ] || kill -KILL $members 2>/dev/null || true
    fi
  fi
  rm -f "$STATE/pids/$name.pid"
}

# wait_tcp HOST PORT [SECONDS] [NAME]: waits until a TCP connect succeeds;
# fails early when the process recorded for NAME has ended.
wait_tcp() {
  local host=$1 port=$2 secs=${3:-15} name=${4:-} i
  for i in $(seq $((secs * 20))); do
    if "$QM_PY" -c "import socket,sys; socket.create_connection((sys.argv[1], int(sys.argv[2])), 1).close()" \
        "$host" "$port" 2>/dev/null; then
      return 0
    fi
    if [ -n "$name" ] && ! alive "$name"; then
      return 1
    fi
    sleep 0.05
  done
  return 1
}

# wait_banner HOST PORT PREFIX [SECONDS] [NAME]: waits until the server's
# first line starts with PREFIX (a listening socket alone is not a ready
# server); fails early when the process recorded for NAME has ended.
wait_banner() {
  local host=$1 port=$2 prefix=$3 secs=${4:-15} name=${5:-} i
  for i in $(seq $((secs * 5))); do
    if [ -n "$name" ] && ! alive "$name"; then
      return 1
    fi
    if "$QM_PY" - "$host" "$port" "$prefix" <<'EOF' 2>/dev/null
import socket, sys
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), 2)
s.settimeout(2)
data = b""
while b"\n" not in data:
    chunk = s.recv(4096)
    if not chunk:
        break
    data += chunk
s.close()
sys.exit(0 if data.startswith(sys.argv[3].encode()) else 1)
EOF
    then
      return 0
    fi
    sleep 0.2
  done
  return 1
}

# env_write NAME KEY=VALUE...: writes STATE_DIR/NAME.env atomically.
env_write() {
  local name=$1
  shift
  printf '%s\n' "$@" >"$STATE/$name.env.tmp"
  mv "$STATE/$name.env.tmp" "$STATE/$name.env"
}

# env_get NAME KEY: reads a value from STATE_DIR/NAME.env.
env_get() {
  sed -n "s/^$2=//p" "$STATE/$1.env" | head -n 1
}

# ensure_user NAME [--password]: makes a local system user (idempotent,
# safe against concurrent runs). With --password it prints the user's
# password: generated and set once, then kept in a root-only file so that
# runs side by side agree on it.
ensure_user() {
  local user=$1 want_pass=${2:-}
  [ "$(id -u)" -eq 0 ] || die "creating the system user $user needs root"
  local keep=/var/lib/quillmark-tests
  (
    flock 9
    if ! getent passwd "$user" >/dev/null; then
      useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin "$user" >&2
    fi
    if [ -n "$want_pass" ]; then
      mkdir -p "$keep"
      chmod 700 "$keep"
      if [ ! -s "$keep/$user.pass" ]; then
        gen_password >"$keep/$user.pass.tmp"
        echo "$user:$(cat "$keep/$user.pass.tmp")" | chpasswd
        mv "$keep/$user.pass.tmp" "$keep/$user.pass"
      fi
      cat "$keep/$user.pass"
    fi
  ) 9>/tmp/.qm-servers-users.lock
}

# gen_password: a random password of letters and digits.
gen_password() {
  "$QM_PY" -c "import secrets, string; print(''.join(secrets.choice(string.ascii_letters + string.digits) for _ in range(16)))"
}

# show_log FILE: prints a server's log to stderr for a failed start.
show_log() {
  if [ -s "$1" ]; then
    echo "---- $1 ----" >&2
    tail -n 60 "$1" >&2
  fi
}
