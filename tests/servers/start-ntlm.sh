#!/usr/bin/env bash
# start-ntlm.sh STATE_DIR: a POP3 and an SMTP server (ntlm-mail-server.py)
# on 127.0.0.1 that announce NTLM and accept it through GSS-API with
# gss-ntlmssp as the acceptor. The one NTLM user lives in a user file made
# here ("DOMAIN:user:password"), which the servers get as NTLM_USER_FILE; a
# client test may point its own NTLM_USER_FILE at it too (the initiator's
# default credentials). Each server reads its JSON config again for every
# connection (see ntlm-mail-server.py); the configs start empty ({}).
# Writes ntlm.env: NTLM_HOST, NTLM_POP3_PORT, NTLM_SMTP_PORT, NTLM_DOMAIN,
# NTLM_USER, NTLM_PASSWORD, NTLM_USER_FILE, NTLM_POP3_CONFIG,
# NTLM_SMTP_CONFIG, NTLM_POP3_SESSIONS, NTLM_SMTP_SESSIONS (one JSON line
# per connection), NTLM_POP3_PID_FILE, NTLM_SMTP_PID_FILE.
source "$(dirname "$0")/lib.sh"
state_init "${1:-}"
dir=$STATE/ntlm
mkdir -p "$dir"
domain=QMTEST
user=qmntlm
if [ ! -s "$dir/users" ]; then
  echo "$domain:$user:$(gen_password)" >"$dir/users.tmp"
  mv "$dir/users.tmp" "$dir/users"
fi
password=$(cut -d: -f3- "$dir/users")
declare -A ports
for proto in pop3 smtp; do
  name=ntlm-$proto
  config=$dir/$proto.json
  [ -s "$config" ] || echo '{}' >"$config"
  log=$STATE/logs/$name.log
  ok=
  for attempt in 1 2 3; do
    stop_one "$name"
    port=$(free_port)
    rm -f "$dir/$proto.ready"
    : >"$log"
    NTLM_USER_FILE=$dir/users spawn "$name" "$log" "$QM_PY" "$QM_SERVERS_DIR/ntlm-mail-server.py" \
      --protocol "$proto" --port "$port" --config "$config" --record "$dir/$proto" --ready "$dir/$proto.ready"
    for i in $(seq 100); do
      [ -e "$dir/$proto.ready" ] && { ok=1; break; }
      alive "$name" || break
      sleep 0.05
    done
    [ -n "$ok" ] && break
  done
  [ -n "$ok" ] || { show_log "$log"; die "NTLM $proto server did not start"; }
  ports[$proto]=$port
done
env_write ntlm \
  "NTLM_HOST=127.0.0.1" \
  "NTLM_POP3_PORT=${ports[pop3]}" \
  "NTLM_SMTP_PORT=${ports[smtp]}" \
  "NTLM_DOMAIN=$domain" \
  "NTLM_USER=$user" \
  "NTLM_PASSWORD=$password" \
  "NTLM_USER_FILE=$dir/users" \
  "NTLM_POP3_CONFIG=$dir/pop3.json" \
  "NTLM_SMTP_CONFIG=$dir/smtp.json" \
  "NTLM_POP3_SESSIONS=$dir/pop3/sessions.jsonl" \
  "NTLM_SMTP_SESSIONS=$dir/smtp/sessions.jsonl" \
  "NTLM_POP3_PID_FILE=$STATE/pids/ntlm-pop3.pid" \
  "NTLM_SMTP_PID_FILE=$STATE/pids/ntlm-smtp.pid"
