#!/usr/bin/env bash
# Installs the Debian packages that building and testing QuorbelHelper need. Idempotent: it only
# calls apt-get when something is missing, and runs `apt-get update` first in that case.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  nlohmann-json3-dev libcurl4-openssl-dev ca-certificates
  libgtest-dev libssl-dev openssl systemd
  libsystemd-dev dbus libsqlite3-dev libcairo2-dev libncurses-dev
  clang-14 libclang-rt-14-dev
  dpkg-dev file groff-base python3
  prometheus
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
