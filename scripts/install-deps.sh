#!/usr/bin/env bash
# Installs the Debian packages basalt needs to build, test and benchmark, when
# any is missing. Safe to run repeatedly; does nothing when all are present.
set -euo pipefail

packages=(
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config make
  libboost-dev libboost-thread-dev libboost-system-dev libboost-date-time-dev libboost-filesystem-dev
  libicu-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev libmimalloc-dev libtbb-dev rapidjson-dev nlohmann-json3-dev
  locales gzip unicode-data rsyslog
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages need root: apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Tests read numbers under a decimal-comma locale; generate it once.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  if [ "$(id -u)" -eq 0 ]; then
    sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
  fi
fi
