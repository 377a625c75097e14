#!/usr/bin/env bash
# Runs each libFuzzer target (the linux-fuzz preset) for a while, from its corpus in
# tests/fuzz/corpus, which is copied first so that new inputs never land in the sources.
#   scripts/fuzz.sh [seconds per target]   (default 20)
# A crash stops the run with the fuzzer's report and the input that caused it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
build="build/linux-fuzz"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for target in options log_line folder_rules quoting cmd_escaping; do
  mkdir -p "$scratch/$target"
  cp tests/fuzz/corpus/"$target"/* "$scratch/$target/"
  if ! (cd "$scratch" && "$OLDPWD/$build/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        "$scratch/$target" >"$scratch/$target.log" 2>&1); then
    cat "$scratch/$target.log" >&2
    echo "fuzz_$target found a failing input (above)" >&2
    exit 1
  fi
  echo "fuzz_$target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$scratch/$target.log")"
done
