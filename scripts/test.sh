#!/usr/bin/env bash
# Installs what it needs, builds, and runs every test: the Windows tool's under Wine, then
# the native Linux tool's. Like every phase, the tests' output is shown only when they fail.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare
say "running the Windows tests under Wine (two to three minutes)"
# A test that fails is run once more: under Wine a process start or a console now and then
# fails for reasons of Wine's own (about one suite run in twenty here). A fault in the
# tool fails both runs.
quietly ctest --preset windows -j"$(nproc)" --repeat until-pass:2
say "Windows: $(grep 'tests passed' "$work_root/phase.log")"
say "building natively for Linux: cmake --preset linux, cmake --build --preset linux"
quietly cmake --preset linux
quietly cmake --build --preset linux -j"$(nproc)"
say "running the native Linux tests"
quietly ctest --preset linux -j"$(nproc)"
say "Linux: $(grep 'tests passed' "$work_root/phase.log")"
say "the native tests again under AddressSanitizer and UndefinedBehaviorSanitizer"
quietly cmake --preset linux-asan
quietly cmake --build --preset linux-asan -j"$(nproc)"
quietly ctest --preset linux-asan -j"$(nproc)"
say "sanitized: $(grep 'tests passed' "$work_root/phase.log")"
say "fuzzing what reads the caller's text (20 s per target)"
quietly cmake --preset linux-fuzz
quietly cmake --build --preset linux-fuzz -j"$(nproc)"
quietly scripts/fuzz.sh 20
grep '_fuzz: ' "$work_root/phase.log" | while read -r line; do say "$line"; done
