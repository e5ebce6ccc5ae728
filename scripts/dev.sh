#!/usr/bin/env bash
# The project's entry points.
#   scripts/dev.sh host [files...]  install what is missing, build, run the reference host
#   scripts/dev.sh test [preset]    install what is missing, build and run every test
#                                   (preset: release (default), debug, asan, tsan)
#   scripts/dev.sh bench            build and run the benchmarks (release)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
cmd=${1:-test}
shift || true

bash scripts/install-deps.sh

build() {
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" "$@"
}

case "$cmd" in
  host)
    build release --target basalt_host
    if [ $# -eq 0 ]; then
      set -- apps/host/samples/*
    fi
    ./build/release/apps/basalt_host "$@"
    ;;
  test)
    preset=${1:-release}
    build "$preset"
    ctest --preset "$preset" -j "$jobs"
    ;;
  bench)
    build release
    for b in build/release/bench/bench_*; do
      echo "== $b"
      "$b"
    done
    ;;
  *)
    echo "usage: $0 host [files...] | test [preset] | bench" >&2
    exit 2
    ;;
esac
