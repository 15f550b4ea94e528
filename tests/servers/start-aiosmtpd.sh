#!/usr/bin/env bash
# start-aiosmtpd.sh STATE_DIR [--name NAME] [--config FILE]: the scripted
# SMTP server (scripted-smtpd.py on aiosmtpd) on 127.0.0.1, STARTTLS with
# the CA-signed localhost certificate. Its replies come from a JSON config
# (see scripted-smtpd.py) read again for every connection; without
# --config it is STATE_DIR/NAME/config.json, made empty ({} = defaults).
# Several instances may run side by side under different names.
# Writes NAME.env (default NAME: aiosmtpd): AIOSMTPD_PORT, AIOSMTPD_CONFIG,
# AIOSMTPD_RECORD_DIR (messages/NNNN.eml and sessions.jsonl),
# AIOSMTPD_SESSIONS, AIOSMTPD_USER/PASSWORD/XOAUTH2_TOKEN (the defaults a
# config may change), AIOSMTPD_PID_FILE, CA_CERT.
source "$(dirname "$0")/lib.sh"
state_init "${1:-}"
shift
name=aiosmtpd
config=
while [ $# -gt 0 ]; do
  case $1 in
    --name) name=$2; shift 2 ;;
    --config) config=$2; shift 2 ;;
    *) die "unknown option $1" ;;
  esac
done
"$QM_SERVERS_DIR/make-certs.sh" "$STATE"
dir=$STATE/$name
mkdir -p "$dir"
if [ -z "$config" ]; then
  config=$dir/config.json
  [ -s "$config" ] || echo '{}' >"$config"
fi
config=$(realpath "$config")
log=$STATE/logs/$name.log
ok=
for attempt in 1 2 3; do
  stop_one "$name"
  port=$(free_port)
  rm -f "$dir/ready"
  : >"$log"
  spawn "$name" "$log" "$QM_PY" "$QM_SERVERS_DIR/scripted-smtpd.py" --port "$port" \
    --config "$config" --record "$dir" --ready "$dir/ready" \
    --cert "$STATE/certs/localhost.crt" --key "$STATE/certs/localhost.key"
  for i in $(seq 100); do
    [ -e "$dir/ready" ] && { ok=1; break; }
    alive "$name" || break
    sleep 0.05
  done
  [ -n "$ok" ] && break
done
[ -n "$ok" ] || { show_log "$log"; die "scripted SMTP server ($name) did not start"; }
env_write "$name" \
  "AIOSMTPD_HOST=127.0.0.1" \
  "AIOSMTPD_PORT=$port" \
  "AIOSMTPD_CONFIG=$config" \
  "AIOSMTPD_RECORD_DIR=$dir" \
  "AIOSMTPD_SESSIONS=$dir/sessions.jsonl" \
  "AIOSMTPD_USER=qmuser" \
  "AIOSMTPD_PASSWORD=qmpass" \
  "AIOSMTPD_XOAUTH2_TOKEN=qmtoken" \
  "AIOSMTPD_PID_FILE=$STATE/pids/$name.pid" \
  "CA_CERT=$STATE/certs/ca.crt"
