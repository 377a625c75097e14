#!/usr/bin/env bash
# Installs what it needs, builds, and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare
say "running the tests"
# A test that fails is run once more: under Wine a process start or a console now and then
# fails for reasons of Wine's own (about one suite run in twenty here). A fault in the
# tool fails both runs.
ctest --preset windows -j"$(nproc)" --repeat until-pass:2
