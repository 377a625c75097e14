#!/usr/bin/env bash
# Installs what it needs, builds, and performs a real hand-over under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare >/dev/null
wine build/windows/handover.exe
