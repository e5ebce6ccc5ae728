#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, then builds and runs a consumer
# through find_package(basalt) and through pkg-config.
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
# The library finds its dictionaries in "dict" beside its own file.
lib=$(ls "$work"/prefix/lib*/libbasalt.so | head -n1)
test -f "$(dirname "$lib")/dict/bsl_en_US.dict" || { echo "dictionary not installed beside $lib" >&2; exit 1; }
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/build/consumer"
libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n1)
export PKG_CONFIG_PATH=$libdir
flags=$(pkg-config --cflags --libs basalt)
# The .pc file names the real prefix it was configured with; point it at the scratch one.
flags=${flags//$(pkg-config --variable=prefix basalt)/$work/prefix}
g++ "$src/main.cpp" -o "$work/consumer-pc" $flags
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/consumer-pc"
