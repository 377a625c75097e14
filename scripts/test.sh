#!/usr/bin/env bash
# Installs what it needs, builds, and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare
say "running the tests"
ctest --preset windows -j"$(nproc)"
