#!/usr/bin/env bash
# Runs each libFuzzer target (the linux-fuzz preset) for a while, from its corpus in
# tests/fuzz/corpus, which is copied first so that new inputs never land in the sources.
#   scripts/fuzz.sh [seconds per target] [target...]   (default 20, every target)
# Targets: options, log_line, folder_rules, quoting, cmd_escaping, journal (built as <target>_fuzz).
# A crash stops the run with the fuzzer's report and the input that caused it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
shift || true
targets="${*:-options log_line folder_rules quoting cmd_escaping journal}"
build="build/linux-fuzz"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for target in $targets; do
  mkdir -p "$scratch/$target"
  cp tests/fuzz/corpus/"$target"/* "$scratch/$target/"
  if ! (cd "$scratch" && "$OLDPWD/$build/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
        "$scratch/$target" >"$scratch/$target.log" 2>&1); then
    cat "$scratch/$target.log" >&2
    echo "${target}_fuzz found a failing input (above)" >&2
    exit 1
  fi
  echo "${target}_fuzz: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$scratch/$target.log")"
done
