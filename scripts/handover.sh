#!/usr/bin/env bash
# Installs what it needs, builds, and performs a real hand-over under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare
say "running the hand-over"
wine build/windows/handover.exe
