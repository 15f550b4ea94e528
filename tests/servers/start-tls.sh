#!/usr/bin/env bash
# start-tls.sh STATE_DIR [INSTANCE...]: openssl s_server instances on
# 127.0.0.1 in -rev mode (each line the client sends comes back reversed).
# Instances (default: all):
#   localhost   CA-signed certificate for localhost, TLS 1.2 and 1.3
#   expired     CA-signed for localhost, expired
#   otherhost   CA-signed for other.example.test
#   selfsigned  self-signed for localhost
#   tls12       localhost certificate, TLS 1.2 only
#   tls13       localhost certificate, TLS 1.3 only
#   verify      localhost certificate, asks for a client certificate but
#               goes on without one (-verify)
#   require     localhost certificate, requires a client certificate (-Verify)
# Writes tls.env: TLS_<INSTANCE>_PORT and TLS_<INSTANCE>_PID_FILE per
# instance, plus everything in certs.env.
source "$(dirname "$0")/lib.sh"
state_init "${1:-}"
shift
"$QM_SERVERS_DIR/make-certs.sh" "$STATE"

instances=("$@")
[ ${#instances[@]} -gt 0 ] || instances=(localhost expired otherhost selfsigned tls12 tls13 verify require)
c=$STATE/certs
env_lines=()
for inst in "${instances[@]}"; do
  cert=localhost
  extra=()
  case $inst in
    localhost) ;;
    expired | otherhost | selfsigned) cert=$inst ;;
    tls12) extra=(-tls1_2) ;;
    tls13) extra=(-tls1_3) ;;
    verify) extra=(-verify 1) ;;
    require) extra=(-Verify 1 -verify_return_error) ;;
    *) die "unknown instance $inst" ;;
  esac
  name=tls-$inst
  log=$STATE/logs/$name.log
  ok=
  for attempt in 1 2 3; do
    stop_one "$name"
    port=$(free_port)
    : >"$log"
    spawn "$name" "$log" openssl s_server -accept "127.0.0.1:$port" -rev \
      -cert "$c/$cert.crt" -key "$c/$cert.key" -CAfile "$c/ca.crt" "${extra[@]}"
    if wait_tcp 127.0.0.1 "$port" 10 "$name"; then ok=1; break; fi
  done
  if [ -z "$ok" ]; then
    show_log "$log"
    die "openssl s_server ($inst) did not start"
  fi
  key=TLS_$(echo "$inst" | tr a-z A-Z)
  env_lines+=("${key}_PORT=$port" "${key}_PID_FILE=$STATE/pids/$name.pid")
done

mapfile -t certs <"$STATE/certs.env"
# Instances started by earlier calls stay listed.
if [ -s "$STATE/tls.env" ]; then
  mapfile -t old < <(grep -E '^TLS_' "$STATE/tls.env")
  for line in "${old[@]}"; do
    k=${line%%=*}
    printf '%s\n' "${env_lines[@]}" | grep -q "^$k=" || env_lines+=("$line")
  done
fi
env_write tls "TLS_HOST=127.0.0.1" "${env_lines[@]}" "${certs[@]}"
