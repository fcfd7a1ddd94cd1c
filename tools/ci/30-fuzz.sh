#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# CI stage: every fuzzer for about a minute from its seeds, on a throw-away corpus, so that the
# harnesses cannot rot and a crash, leak or sanitizer report fails the build.
set -euo pipefail
cd "$(dirname "$0")/../.."

corpus=$(mktemp -d "${TMPDIR:-/tmp}/vrell-fuzz-corpus.XXXXXX")
trap 'rm -rf "$corpus"' EXIT
FUZZ_CORPUS_DIR=$corpus fuzz/run.sh "${FUZZ_SECONDS:-60}"
