#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages/*.txt that are not
# installed yet. Package scripts never start their system services: the
# tests run every server from a config of their own.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

mapfile -t wanted < <(sed 's/#.*//' "$here"/packages/*.txt | tr -s ' \t' '\n' | grep -v '^$' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

policy=/usr/sbin/policy-rc.d
saved=""
if [ -e "$policy" ]; then
  saved=$(mktemp)
  $sudo cp -p "$policy" "$saved"
fi
restore() {
  if [ -n "$saved" ]; then $sudo mv "$saved" "$policy"; else $sudo rm -f "$policy"; fi
}
trap restore EXIT
printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
$sudo chmod 755 "$policy"

echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections 2>/dev/null || true
echo "Installing: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
