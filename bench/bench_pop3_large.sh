#!/usr/bin/env bash
# bench_pop3_large.sh BUILD_DIR [MB] [ROUNDS]: one message of MB (default
# 50) megabytes fetched from dovecot on loopback, ROUNDS (default 3) times
# each, side by side with curl (`curl pop3://.../1 -o FILE`):
#   quillmark-file     TqmPop3::Retrieve(n, stream) into a file
#   quillmark-message  TqmPop3::RetrieveMessage: one buffer, parsed in place
#   quillmark-lines    TqmPop3::Retrieve(n, &message): a string per line
#   parse-only         no network: curl's file read whole and parsed, the
#                      floor of the message path (buffer and parsed parts)
# The message is a text part with lines that start with dots and a base64
# attachment, stored with LF line ends. Clients run on CPU 0, dovecot on
# CPU 1. Printed per run: seconds, CPU seconds, peak memory; then the
# medians, their ratios to curl's, and the peak over the message's size.
# The file written by Quillmark must equal curl's byte for byte.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bench_pop3_large.sh BUILD_DIR [MB] [ROUNDS]}
mb=${2:-50}
rounds=${3:-3}
state=$(mktemp -d /tmp/qmb-XXXXXX)
trap '"$root/tests/servers/stop-all.sh" "$state" >/dev/null 2>&1; rm -rf "$state"' EXIT
"$root/tests/servers/start-dovecot.sh" "$state" >/dev/null || exit 1
env_get() { sed -n "s/^$1=//p" "$state/dovecot.env"; }
host=127.0.0.1 port=$(env_get POP3_PORT) user=$(env_get POP3_USER) pass=$(env_get POP3_PASSWORD)
msg=$state/large.eml
/usr/bin/python3 - "$msg" "$mb" <<'PY'
import base64, os, sys
path, mb = sys.argv[1], int(sys.argv[2])
text = "".join(f".line {i} starts with a dot\n..and this one with two\n.\nplain text line {i}\n" for i in range(20000))
raw = os.urandom(max(0, mb * 1024 * 1024 - len(text)) * 3 // 4)
b64 = base64.encodebytes(raw).decode()
with open(path, "w") as f:
    f.write("From: Big <big@example.org>\nTo: qmuser@example.org\nSubject: Large\nMIME-Version: 1.0\n"
            'Content-Type: multipart/mixed; boundary="b"\n\n--b\nContent-Type: text/plain; charset=us-ascii\n\n'
            + text + '--b\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n'
            'Content-Disposition: attachment; filename="data.bin"\n\n' + b64 + "--b--\n")
PY
"$root/tests/servers/fill-maildir.sh" "$state" "$msg" >/dev/null || exit 1
size=$(curl -s -u "$user:$pass" "pop3://$host:$port/" | awk '$1 == 1 { print $2 }')
taskset -a -p -c 1 "$(cat "$state/pids/dovecot.pid")" >/dev/null 2>&1

calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
declare -A walls cpus peaks
run() {  # run NAME CMD...
  local name=$1; shift
  local out wall usr sys kib
  out=$( { /usr/bin/time -f "TIME %e %U %S %M" taskset -c 0 "$@" >/dev/null; } 2>&1 | tee "$state/$name.err" |
         grep "^TIME") || { echo "$name failed:"; cat "$state/$name.err"; return; }
  read -r _ wall usr sys kib <<<"$out"
  local cpu; cpu=$(calc "$usr + $sys")
  walls[$name]+="$wall " cpus[$name]+="$cpu " peaks[$name]+="$kib "
  printf '%-18s %6.2f s  cpu %6.2f s  peak %7.1f MiB\n' "$name" "$wall" "$cpu" "$(calc "$kib / 1024")"
}

# A first session lets dovecot build its index and the cache fill.
curl -s -u "$user:$pass" "pop3://$host:$port/1" -o /dev/null
echo "message 1: $size bytes on the wire; $rounds rounds"
for r in $(seq 1 "$rounds"); do
  run curl curl -s -u "$user:$pass" "pop3://$host:$port/1" -o "$state/curl.eml"
  run quillmark-file "$build/bench/bench_pop3_large" file "$host" "$port" "$user" "$pass" 1 "$state/qm.eml"
  run quillmark-message "$build/bench/bench_pop3_large" message "$host" "$port" "$user" "$pass" 1
  run quillmark-lines "$build/bench/bench_pop3_large" lines "$host" "$port" "$user" "$pass" 1
  run parse-only "$build/bench/bench_pop3_large" parse - - - - 1 "$state/curl.eml"
done
cmp -s "$state/curl.eml" "$state/qm.eml" && echo "the files of curl and Quillmark are equal" ||
  echo "THE FILES DIFFER"
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
cw=$(echo "${walls[curl]}" | median) cp=$(echo "${peaks[curl]}" | median)
for name in curl quillmark-file quillmark-message quillmark-lines parse-only; do
  w=$(echo "${walls[$name]}" | median) c=$(echo "${cpus[$name]}" | median) p=$(echo "${peaks[$name]}" | median)
  printf '%-18s median %6.2f s (%.2fx curl)  cpu %6.2f s  peak %7.1f MiB (%.2fx curl, %.2fx the message)\n' \
    "$name" "$w" "$(calc "$w / $cw")" "$c" "$(calc "$p / 1024")" "$(calc "$p / $cp")" "$(calc "$p * 1024 / $size")"
done
