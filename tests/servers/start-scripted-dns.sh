#!/usr/bin/env bash
# start-scripted-dns.sh STATE_DIR: the scripted DNS server (scripted-dns.py
# on dnspython) on 127.0.0.1, UDP and TCP on one port (UDP on ::1 as well), for the replies real
# servers rarely send: spoofed replies ahead of the real one, silence,
# malformed answers, referral chains (the first label of the name picks the
# behaviour; see scripted-dns.py). Writes scripted-dns.env: SCRIPTED_DNS_HOST,
# SCRIPTED_DNS_PORT, SCRIPTED_DNS_PID_FILE.
source "$(dirname "$0")/lib.sh"
state_init "${1:-}"
shift
name=scripted-dns
dir=$STATE/$name
mkdir -p "$dir"
log=$STATE/logs/$name.log
ok=
for attempt in 1 2 3; do
  stop_one "$name"
  port=$(free_port --udp)
  rm -f "$dir/ready"
  : >"$log"
  spawn "$name" "$log" "$QM_PY" "$QM_SERVERS_DIR/scripted-dns.py" --port "$port" --ready "$dir/ready"
  for i in $(seq 100); do
    [ -e "$dir/ready" ] && { ok=1; break; }
    alive "$name" || break
    sleep 0.05
  done
  [ -n "$ok" ] && break
done
[ -n "$ok" ] || { show_log "$log"; die "scripted DNS server did not start"; }
env_write "$name" \
  "SCRIPTED_DNS_HOST=127.0.0.1" \
  "SCRIPTED_DNS_PORT=$port" \
  "SCRIPTED_DNS_PID_FILE=$STATE/pids/$name.pid"
