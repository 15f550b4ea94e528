#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages/*.txt that are not
# installed yet: of every list, or only of the lists named (e.g. "demo").
#
#   scripts/install-packages.sh [--yes] [LIST...]
#
# It says what it will install (the packages asked for and how many apt
# pulls in with them) and asks first, unless --yes is given or the
# environment variable CI is set. Package scripts never start their system
# services (the servers run from configs of their own), and a service a
# package enables to start at boot is disabled again: the units enabled
# here are recorded in /var/lib/quillmark/disabled-services.txt, disabled,
# and named on the way out.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

assume_yes=false
[ -n "${CI:-}" ] && assume_yes=true
lists=()
for arg in "$@"; do
  case "$arg" in
    --yes|-y) assume_yes=true ;;
    -*) echo "install-packages.sh: unknown option $arg" >&2; exit 2 ;;
    *) [ -f "$here/packages/$arg.txt" ] || { echo "install-packages.sh: no list $arg" >&2; exit 2; }
       lists+=("$here/packages/$arg.txt") ;;
  esac
done
[ ${#lists[@]} -gt 0 ] || lists=("$here"/packages/*.txt)

mapfile -t wanted < <(sed 's/#.*//' "${lists[@]}" | tr -s ' \t' '\n' | grep -v '^$' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

apt update -q
total=$(apt install -s -q "${missing[@]}" | grep -c '^Inst ' || true)
echo "To install: ${missing[*]}"
echo "With what they depend on, apt installs $total packages."
if ! $assume_yes; then
  if ! { exec 3<>/dev/tty; } 2>/dev/null; then
    echo "install-packages.sh: no terminal to ask on; give --yes to install" >&2
    exit 1
  fi
  printf 'Install them? [y/N] ' >&3
  read -r answer <&3 || answer=""
  exec 3>&-
  case "$answer" in [yY]*) ;; *) echo "Nothing installed." >&2; exit 1 ;; esac
fi

# Units enabled at boot, as the links under /etc/systemd say (this also
# works in a chroot, where systemctl cannot ask a running systemd).
enabled_units() {
  find /etc/systemd/system -path '*.wants/*' -o -path '*.requires/*' 2>/dev/null |
    sed 's|.*/||' | sort -u
}
before=$(mktemp)
enabled_units >"$before"

policy=/usr/sbin/policy-rc.d
saved=""
if [ -e "$policy" ]; then
  saved=$(mktemp)
  $sudo cp -p "$policy" "$saved"
fi
restore() {
  if [ -n "$saved" ]; then $sudo mv "$saved" "$policy"; else $sudo rm -f "$policy"; fi
  rm -f "$before"
}
trap restore EXIT
printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
$sudo chmod 755 "$policy"

echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections 2>/dev/null || true
apt install -y -q "${missing[@]}"

mapfile -t added < <(enabled_units | comm -13 "$before" -)
if [ ${#added[@]} -gt 0 ]; then
  record=/var/lib/quillmark/disabled-services.txt
  $sudo mkdir -p "$(dirname "$record")"
  printf '%s\n' "${added[@]}" | $sudo tee -a "$record" >/dev/null
  for unit in "${added[@]}"; do
    # systemctl works on the links itself when systemd is not running.
    $sudo systemctl disable --quiet "$unit" 2>/dev/null ||
      $sudo deb-systemd-helper disable "$unit" 2>/dev/null || true
  done
  echo "The packages enabled ${added[*]} to start at boot; disabled again (recorded in $record)."
  mapfile -t left < <(enabled_units | comm -13 "$before" -)
  if [ ${#left[@]} -gt 0 ]; then
    echo "install-packages.sh: still enabled: ${left[*]}" >&2
    exit 1
  fi
fi
