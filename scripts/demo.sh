#!/usr/bin/env bash
# The main job: install what is missing, build, start dovecot (POP3) and
# postfix (SMTP) on loopback with a demo account whose mailbox holds a few
# messages (sample/demo-mail), and start the sample mail client with its
# fields filled for that account.
#
# With a display the window stays up until you close it; the servers stop
# then. Without one (no DISPLAY) the sample runs under Xvfb, performs Check
# Mail, writes a screenshot (QM_DEMO_SCREENSHOT, default
# build/demo-screenshot.png) and says where.
#
#   scripts/demo.sh [--yes] [--keep-servers] [SAMPLE OPTIONS...]
#
# --yes           install the missing packages without asking
# --keep-servers  leave dovecot and postfix running afterwards (the demo
#                 account then still works, e.g. with qm); the script says
#                 how to stop them
#
# It installs only scripts/packages/demo.txt (the build, Qt 6, Xvfb,
# dovecot, postfix), starts no system service and leaves none enabled
# that was not enabled before (see scripts/install-packages.sh). The
# build goes to build/release; qm is build/release/tools/qm.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

yes=()
keep=false
sample_args=()
for arg in "$@"; do
  case "$arg" in
    --yes|-y) yes=(--yes) ;;
    --keep-servers) keep=true ;;
    *) sample_args+=("$arg") ;;
  esac
done

if [ "$(id -u)" -ne 0 ]; then
  # dovecot and postfix run as their own system users: that needs root.
  command -v sudo >/dev/null || { echo "demo.sh: run it as root" >&2; exit 1; }
  # The window still goes to your display.
  export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
  exec sudo --preserve-env=DISPLAY,XAUTHORITY,QM_DEMO_SCREENSHOT "$root/scripts/demo.sh" "$@"
fi

"$root/scripts/install-packages.sh" "${yes[@]}" demo
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF
cmake --build build/release
sample=build/release/sample/qmsample
if [ ! -x "$sample" ]; then
  echo "demo.sh: $sample was not built (is qt6-base-dev installed?)" >&2
  exit 1
fi

# A short private folder: dovecot's socket paths live below it.
state=$(mktemp -d /tmp/qm-demo-XXXXXX)
cleanup() {
  if $keep; then
    cat <<END
The servers keep running (state in $state). Stop them with:
  $root/tests/servers/stop-all.sh $state && rm -rf $state
END
    return
  fi
  "$root/tests/servers/stop-all.sh" "$state" || true
  rm -rf "$state"
}
trap cleanup EXIT
echo "Starting dovecot and postfix on 127.0.0.1 (state in $state)..."
"$root/tests/servers/start-postfix.sh" "$state" >/dev/null
"$root/tests/servers/fill-maildir.sh" "$state" "$root"/sample/demo-mail/*.eml

setting() { sed -n "s/^$2=//p" "$state/$1.env" | head -n 1; }
# The account's address is also its login (the servers take the local part).
export QM_SAMPLE_POP3_SERVER=$(setting dovecot POP3_HOST)
export QM_SAMPLE_POP3_PORT=$(setting dovecot POP3_PORT)
export QM_SAMPLE_SMTP_SERVER=$(setting postfix SMTP_HOST)
export QM_SAMPLE_SMTP_PORT=$(setting postfix SMTP_PORT)
export QM_SAMPLE_USER=$(setting postfix SMTP_RCPT)
export QM_SAMPLE_PASSWORD=$(setting dovecot POP3_PASSWORD)
export QM_SAMPLE_POP3_SECURITY=none QM_SAMPLE_SMTP_SECURITY=none

cat <<END
Demo account: $QM_SAMPLE_USER (password $QM_SAMPLE_PASSWORD)
  POP3 $QM_SAMPLE_POP3_SERVER:$QM_SAMPLE_POP3_PORT, SMTP $QM_SAMPLE_SMTP_SERVER:$QM_SAMPLE_SMTP_PORT
  Mail sent to $QM_SAMPLE_USER lands in the same mailbox.
  The command-line tool is $root/build/release/tools/qm, e.g.
    QM_PASSWORD=$QM_SAMPLE_PASSWORD $root/build/release/tools/qm fetch -s $QM_SAMPLE_POP3_SERVER \\
      -p $QM_SAMPLE_POP3_PORT --security none -u $QM_SAMPLE_USER --list
END

if [ -n "${DISPLAY:-}" ]; then
  echo "Starting the sample; close its window to stop the servers."
  "$sample" "${sample_args[@]}"
else
  shot=${QM_DEMO_SCREENSHOT:-$root/build/demo-screenshot.png}
  mkdir -p "$(dirname "$shot")"
  echo "No display: running the sample under Xvfb and performing Check Mail..."
  status=0
  xvfb-run -a -s "-screen 0 1024x800x24" "$sample" --check-mail --screenshot "$shot" "${sample_args[@]}" || status=$?
  [ -s "$shot" ] && echo "Screenshot of the sample after Check Mail: $shot"
  exit "$status"
fi
