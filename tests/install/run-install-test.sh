#!/usr/bin/env bash
# Installs the build BUILD_DIR into a temporary prefix, then builds and runs
# a consumer program against it twice: with find_package(Quillmark) and with
# pkg-config. Exit status 0 when both work.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR CMAKE_GENERATOR" >&2; exit 2; }
build=$1
generator=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/qm-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null

echo "-- find_package(Quillmark)"
cmake -S "$here/consumer" -B "$work/cmake-build" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" | tee "$work/cmake.out"
grep -q '^Subject: Installed' "$work/cmake.out"

echo "-- pkg-config quillmark"
libdir=$(find "$prefix" -name quillmark.pc -printf '%h\n' | head -n 1)
[ -n "$libdir" ] || { echo "quillmark.pc was not installed" >&2; exit 1; }
export PKG_CONFIG_PATH=$libdir
[ "$(pkg-config --modversion quillmark)" = "$(sed -n 's/^#define QM_VERSION_STRING "\(.*\)"/\1/p' "$prefix"/include/quillmark/core/qmVersion.h)" ]
# shellcheck disable=SC2046
c++ -o "$work/pc-consumer" "$here/consumer/main.cpp" $(pkg-config --cflags --libs quillmark)
"$work/pc-consumer" | grep -q '^Subject: Installed'
echo "install test passed"
