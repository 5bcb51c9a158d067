#!/usr/bin/env bash
# Builds the presets and runs every test: native unit tests (with
# sanitizers), the Windows programs end to end under Wine, the release build
# installed and packaged, then a short run of every fuzz target (64- and
# 32-bit). With --slow, also the tests of minutes (a member of 4.5 GiB).
set -euo pipefail
[ "${1:-}" = --slow ] && export GRELM_SLOW=1
cd "$(dirname "$0")/.."

scripts/install-deps.sh

status=0
for preset in host win32 release; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" || status=1
done
fuzz/run.sh "${FUZZ_SECONDS:-20}" || status=1
exit $status
