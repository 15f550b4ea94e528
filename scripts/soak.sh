#!/usr/bin/env bash
# soak.sh N [BUILD_DIR]: sends N messages of mixed sizes (1 KB to 5 MB,
# attachments, non-ASCII text) through postfix to dovecot and fetches them
# back by POP3 with this library, comparing each after parsing and deleting
# it. QM_SOAK_SENDERS (default 2) sender processes send while the test
# fetches; at most 100 messages are on their way at once. Prints
# messages/s, lost, altered, peak memory and where the time went; exit
# status 0 when none was lost or altered. BUILD_DIR (default build/gcc)
# must hold a build of the integration tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
n=${1:?usage: soak.sh N [BUILD_DIR]}
build=${2:-$root/build/gcc}
[ -x "$build/tests/qm_test_integration" ] || cmake --build "$build" --target qm_test_integration
QM_SOAK_N=$n "$build/tests/qm_test_integration" --gtest_filter='Soak.*' --gtest_brief=1
