#!/usr/bin/env bash
# bench_sample_checkmail.sh BUILD_DIR [COUNT]: Check Mail of the sample
# over a dovecot mailbox of COUNT (500) messages, against Python's poplib
# sending the same commands (USER, PASS, STAT, TOP n 0 for each, QUIT).
# Goals: the sample's event loop never waits more than 100 ms, and the
# listing takes at most 1.5 times poplib's time. Needs root (dovecot).
# Build with -DQM_BUILD_BENCH=ON first.
set -euo pipefail
build=${1:?usage: bench_sample_checkmail.sh BUILD_DIR [COUNT]}
count=${2:-500}
root=$(cd "$(dirname "$0")/.." && pwd)
prog=$build/sample/sample_checkmail_gap
[ -x "$prog" ] || { echo "$prog is missing (configure with -DQM_BUILD_BENCH=ON)" >&2; exit 1; }

state=$(mktemp -d /tmp/qm-bench-XXXXXX)
trap '"$root/tests/servers/stop-all.sh" "$state"; rm -rf "$state"' EXIT
"$root/tests/servers/start-dovecot.sh" "$state" >/dev/null
"$root/tests/servers/fill-maildir.sh" "$state" --count "$count" --size 2000
get() { sed -n "s/^$1=//p" "$state/dovecot.env"; }
host=$(get POP3_HOST) port=$(get POP3_PORT) user=$(get POP3_USER) pass=$(get POP3_PASSWORD)

poplib_ms() {
  python3 - "$host" "$port" "$user" "$pass" <<'PY'
import poplib, sys, time
host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
start = time.perf_counter()
p = poplib.POP3(host, port)
p.user(user)
p.pass_(password)
n, _ = p.stat()
for i in range(1, n + 1):
    p.top(i, 0)
p.quit()
print(f"{(time.perf_counter() - start) * 1000:.1f}")
PY
}

best_py=""
best_qm=""
worst_gap=0
for run in 1 2 3 4 5; do
  py=$(poplib_ms)
  out=$("$prog" "$host" "$port" "$user" "$pass" 2>/dev/null)
  qm=$(sed -n 's/.*total_ms=\([0-9.]*\).*/\1/p' <<<"$out")
  gap=$(sed -n 's/.*longest_gap_ms=\([0-9.]*\).*/\1/p' <<<"$out")
  echo "run $run: poplib ${py} ms; sample: $out"
  best_py=$(python3 -c "print(min(float(x) for x in '$best_py $py'.split()))")
  best_qm=$(python3 -c "print(min(float(x) for x in '$best_qm $qm'.split()))")
  worst_gap=$(python3 -c "print(max($worst_gap, $gap))")
done
python3 - "$best_qm" "$best_py" "$worst_gap" "$count" <<'PY'
import sys
qm, py, gap, count = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
ratio = qm / py
print(f"{count} messages: sample {qm:.1f} ms, poplib {py:.1f} ms, ratio {ratio:.2f} (goal <= 1.5); "
      f"longest event-loop gap {gap:.1f} ms (goal <= 100)")
sys.exit(0 if ratio <= 1.5 and gap <= 100 else 1)
PY
