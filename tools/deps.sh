#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs with apt-get what a fresh Debian 12 machine lacks to build and test vrell.
# Does nothing when everything is present. Extra package names may be passed as arguments.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

vrell_install_missing g++ cmake ninja-build pkg-config libglib2.0-dev libgtest-dev libgmock-dev \
  libbenchmark-dev clang-14 libclang-rt-14-dev "$@"
