#!/usr/bin/env bash
# Installs the default build into a scratch prefix and builds a small program against it,
# once with find_package and once with pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

cmake --install build/default --prefix "$prefix" >/dev/null

cmake -S tests/install -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/cmake/consumer"
"$work/cmake/consumer_case"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
g++ -std=c++20 tests/install/consumer.cpp $(pkg-config --cflags --libs vorasel) -o "$work/pc"
LD_LIBRARY_PATH="$prefix/lib" "$work/pc"
echo "install check passed"
