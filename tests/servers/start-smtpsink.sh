#!/usr/bin/env bash
# start-smtpsink.sh STATE_DIR [SMTP-SINK OPTIONS...]: postfix's smtp-sink on
# 127.0.0.1 for benchmarks; it accepts and discards every message. Extra
# options go to smtp-sink (default: -c, counters on stdout in its log).
# Writes smtpsink.env: SMTPSINK_PORT, SMTPSINK_PID_FILE, SMTPSINK_LOG.
source "$(dirname "$0")/lib.sh"
state_init "${1:-}"
shift
opts=("$@")
[ ${#opts[@]} -gt 0 ] || opts=(-c)
user=()
# As root it must be told whom to run as.
[ "$(id -u)" -ne 0 ] || user=(-u nobody)
log=$STATE/logs/smtpsink.log
ok=
for attempt in 1 2 3; do
  stop_one smtpsink
  port=$(free_port)
  : >"$log"
  spawn smtpsink "$log" smtp-sink "${user[@]}" "${opts[@]}" "127.0.0.1:$port" 1000
  if wait_banner 127.0.0.1 "$port" 220 10 smtpsink; then ok=1; break; fi
done
[ -n "$ok" ] || { show_log "$log"; die "smtp-sink did not start"; }
env_write smtpsink "SMTPSINK_HOST=127.0.0.1" "SMTPSINK_PORT=$port" \
  "SMTPSINK_PID_FILE=$STATE/pids/smtpsink.pid" "SMTPSINK_LOG=$log"
