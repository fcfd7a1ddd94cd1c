#!/usr/bin/env bash
# Installs with apt-get what a fresh Debian 12 machine lacks to build and test vrell.
# Does nothing when everything is present. Extra package names may be passed as arguments.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libglib2.0-dev libgtest-dev libgmock-dev libbenchmark-dev
          clang-14 libclang-rt-14-dev "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "deps: installing ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
