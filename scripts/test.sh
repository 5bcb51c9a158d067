#!/usr/bin/env bash
# Builds both presets and runs every test: native unit tests (with
# sanitizers), then the Windows programs end to end under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

status=0
for preset in host win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" || status=1
done
exit $status
