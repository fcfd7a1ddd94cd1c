#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# CI stage: the soak of bench/soak.sh for 2 minutes, the scanner's load with clients that
# vanish mid-request and clients that stay silent, on the Release build of the bench stage.
# Fails when a check fails: growth of resident size, descriptors or threads beyond the first
# minute's, an error reply other than the silent clients' time-outs, counters that do not add
# up with the clients' tallies, or a daemon that does not stop. The samples, the verdict and
# the plot stay in build/ci-soak. About two and a half minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."
bench/soak.sh --minutes 2 --build build/ci-bench --out build/ci-soak
