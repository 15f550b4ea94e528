#!/usr/bin/env bash
# Installs what is missing, builds with g++ and with clang (ASan+UBSan and
# the fuzz targets), and runs every test. Exit status 0 means all passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
fuzz_seconds=${QM_FUZZ_SECONDS:-15}

"$root/scripts/install-packages.sh"
"$root/scripts/check-layers.sh"

# Compiles go through ccache: paths are taken relative to the checkout and
# the build folder is not hashed, so a fresh clone anywhere reuses what an
# earlier build of the same sources compiled.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

echo "== g++ build (warnings are errors), unit and integration tests"
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR=ON -DQM_BUILD_BENCH=ON "${launcher[@]}"
cmake --build build/gcc
# The API reference: fails on an undocumented public member of any
# library folder and on any other Doxygen warning.
cmake --build build/gcc --target docs
ctest --test-dir build/gcc --output-on-failure -L unit -j2
ctest --test-dir build/gcc --output-on-failure -L integration --no-tests=ignore
# The soak through postfix and dovecot (scripts/soak.sh N): sending and
# fetching overlap, so 2000 messages take about 2-3 minutes here.
"$root/scripts/soak.sh" "${QM_SOAK_N:-2000}" build/gcc
ctest --test-dir build/gcc --output-on-failure -L gui --no-tests=ignore

echo "== clang build with ASan+UBSan: unit tests and a short run of every fuzz target"
cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
  -DQM_WERROR=ON -DQM_BUILD_FUZZ=ON -DQM_BUILD_SAMPLE=OFF "${launcher[@]}"
cmake --build build/clang
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/clang --output-on-failure -L unit -j2

shopt -s nullglob
for src in tests/fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  corpus=$(mktemp -d)
  seeds=()
  [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
  echo "-- $name for ${fuzz_seconds}s"
  "build/clang/tests/fuzz/$name" -max_total_time="$fuzz_seconds" -print_final_stats=0 \
    "$corpus" "${seeds[@]}" 2>&1 | tail -n 2
  rm -rf "$corpus"
done
echo "== all tests passed"
