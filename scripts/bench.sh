#!/usr/bin/env bash
# Installs what it needs, builds, and runs the hand-over benchmark under Wine.
#   scripts/bench.sh [rounds]   (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare
say "running the benchmark (about 3 minutes)"
wine build/windows/bench.exe "${1:-15}"
