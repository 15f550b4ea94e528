#!/usr/bin/env bash
# stop-all.sh STATE_DIR: stops every server started in STATE_DIR (each one's
# whole session, so worker processes go too). Leaves the folder in place.
source "$(dirname "$0")/lib.sh"
[ $# -ge 1 ] && [ -d "$1" ] || exit 0
STATE=$(cd "$1" && pwd)

# postfix first: its master ends its own children cleanly.
if [ -s "$STATE/postfix/conf/main.cf" ] && alive postfix; then
  postfix -c "$STATE/postfix/conf" stop >/dev/null 2>&1 || true
fi
shopt -s nullglob
for f in "$STATE"/pids/*.pid; do
  stop_one "$(basename "$f" .pid)" &
done
wait
