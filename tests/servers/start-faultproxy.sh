#!/usr/bin/env bash
# start-faultproxy.sh STATE_DIR NAME TARGET_HOST TARGET_PORT: the
# fault-injecting proxy of fault-proxy.py in front of TARGET on 127.0.0.1.
# Faults are set at run time through its control port (see fault-proxy.py).
# Writes NAME.env: PROXY_PORT, PROXY_CONTROL_PORT, PROXY_PID_FILE.
source "$(dirname "$0")/lib.sh"
state_init "${1:-}"
[ $# -eq 4 ] || die "usage: start-faultproxy.sh STATE_DIR NAME TARGET_HOST TARGET_PORT"
name=$2 host=$3 target=$4
log=$STATE/logs/$name.log
ok=
for attempt in 1 2 3; do
  stop_one "$name"
  port=$(free_port)
  cport=$(free_port)
  : >"$log"
  spawn "$name" "$log" "$QM_PY" "$QM_SERVERS_DIR/fault-proxy.py" "$port" "$cport" "$host" "$target"
  if wait_tcp 127.0.0.1 "$cport" 10 "$name" && wait_tcp 127.0.0.1 "$port" 10 "$name"; then ok=1; break; fi
done
[ -n "$ok" ] || { show_log "$log"; die "fault-proxy did not start"; }
env_write "$name" "PROXY_PORT=$port" "PROXY_CONTROL_PORT=$cport" "PROXY_PID_FILE=$STATE/pids/$name.pid"
