#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds a tiny C program against
# the installed library twice: through its CMake package and through
# pkg-config. Both must run on the sample tile.
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libKorvana_LiDAR.*' | head -n 1)")
export LD_LIBRARY_PATH=$libdir
expected="file type 8, 4000 points"

cmake -S "$source/examples/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/las_summary" "$source/examples/sample.las" | grep -q "$expected" ||
  { echo "the CMake-built consumer did not read the sample"; exit 1; }

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags Korvana_LiDAR) \
  "$source/examples/consumer/main.c" -o "$work/pc-consumer" $(pkg-config --libs --static Korvana_LiDAR)
"$work/pc-consumer" "$source/examples/sample.las" | grep -q "$expected" ||
  { echo "the pkg-config-built consumer did not read the sample"; exit 1; }
echo "installed package works through CMake and pkg-config"
