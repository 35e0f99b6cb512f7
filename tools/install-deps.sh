#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, and generates
# the en_US.UTF-8 locale that the log's digit grouping uses. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  dpkg-dev file
  libboost1.81-dev libfmt-dev librapidxml-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libssl-dev openssl locales util-linux gnuplot-nox libxml2-utils
  libexpat1-dev e2fsprogs lintian
  libconcurrentqueue-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -q
  as_root apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
  echo "generating locale en_US.UTF-8"
  if ! grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'en_US.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  fi
  as_root locale-gen en_US.UTF-8 >/dev/null
fi
