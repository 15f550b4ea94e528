#!/usr/bin/env bash
# The main job: install what is missing, build, and start the sample mail
# client against local servers. The sample application is not built yet;
# until it is, this builds and installs-checks the library and says so.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-packages.sh"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF
cmake --build build/release
if [ -x build/release/sample/qmsample ]; then
  exec build/release/sample/qmsample "$@"
fi
echo
echo "The library is built: build/release/libquillmark.a"
echo "The sample mail client (sample/) does not exist yet, so there is nothing to start."
