#!/usr/bin/env bash
# Installs what it needs, builds, and runs every test under Wine. Like every phase, the
# tests' output is shown only when they fail.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare
say "running the tests (two to three minutes)"
# A test that fails is run once more: under Wine a process start or a console now and then
# fails for reasons of Wine's own (about one suite run in twenty here). A fault in the
# tool fails both runs.
quietly ctest --preset windows -j"$(nproc)" --repeat until-pass:2
say "$(grep 'tests passed' "$work_root/phase.log")"
