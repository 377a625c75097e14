#!/usr/bin/env bash
# The hand-over survives its caller's console: a caller of the tests' own starts
# relauncher.exe on its console (a pseudo-terminal, which Wine makes the console of every
# console program started from it), then sends Ctrl+C or Ctrl+Break during the wait or
# while the program runs, or leaves a process on the console that sends Ctrl+C later.
# Each time the program
# must run to its end, the exit code be the program's and the relaunch happen (or the
# trial end as the new version's own run says), and relauncher must have left the console.
#   tests/console_test.sh <build folder>
set -euo pipefail
build="$(cd "$1" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export WINEDEBUG=-all SHELL=/bin/bash
status=0
fail() {
  echo "FAILED: $row: $*"
  status=1
}

# The row's log, once relauncher has ended (a minute at most).
finished_log() {
  for _ in $(seq 600); do
    grep -q ' end code=' "$1" 2>/dev/null && break
    sleep 0.1
  done
  cat "$1" 2>/dev/null || true
}

# row | caller's mode | what relauncher runs
# (The terminal closing right after the caller quits cannot be shown under Wine: the
# hang-up is a SIGHUP to the terminal's process group, in which Wine keeps every process
# the caller started on its console, whatever console it has left since.)
rows="wait ctrl-c program
program ctrl-c-at program
running ctrl-c-in program
trial ctrl-c-at trial
break break program"
while read -r row mode runs; do
  dir="$scratch/$row"
  mkdir -p "$dir/apps"
  cp "$build/relauncher.exe" "$build/console_caller.exe" "$dir/"
  cp "$build/probe.exe" "$dir/setup.exe"
  log="Z:$dir/update.log" results="$dir/results"
  waited='{pid}'
  [ "$mode" = ctrl-c-in ] && waited=1  # the program starts while the caller is still there
  if [ "$runs" = program ]; then
    cp "$build/probe.exe" "$dir/apps/app.exe"
    marker="Z:$dir/setup.exe.started"
    tool=(--log "$log" --wait-pid "$waited" --relaunch-on-failure --relaunch "Z:$dir/apps/app.exe" -- "Z:$dir/setup.exe")
  else
    mkdir -p "$dir/apps/Example" "$dir/apps/Example-2"
    cp "$build/probe.exe" "$dir/apps/Example/app.exe"
    cp "$build/probe.exe" "$dir/apps/Example-2/app.exe"
    marker="Z:$dir/apps/Example/app.exe.started"
    tool=(--log "$log" --wait-pid '{pid}' --replace "Z:$dir/apps/Example" --with "Z:$dir/apps/Example-2"
      --relaunch "Z:$dir/apps/Example/app.exe" --trial 3)
  fi
  command="$(printf '%q ' wine "$dir/console_caller.exe" "$mode" "Z:$results" "$marker" "Z:$dir/relauncher.exe" "${tool[@]}")"
  command+="; sleep 15"  # the terminal outlives the caller
  # A console program of a few seconds; the new version still runs when its trial ends.
  PROBE_setup_SLEEP_MS=4000 PROBE_setup_EXIT=7 PROBE_app_SLEEP_MS=5000 \
    script -qec "$command" /dev/null </dev/null >/dev/null 2>&1 &
  logged="$(finished_log "$dir/update.log")"
  kill $! 2>/dev/null || true  # the terminal closes once relauncher has ended
  wait
  if [ "$mode" = break ] && grep -q '^sent=6$' "$results" 2>/dev/null; then
    echo "skipped: $row: Wine refuses Ctrl+Break to a process group (error 6)"
    continue
  fi
  grep -q '^listed=0$' "$results" 2>/dev/null || fail "still on the caller's console 1.5 s after its start ($(cat "$results" 2>/dev/null))"
  grep -q '^sent=0$' "$results" || fail "the event was not sent ($(cat "$results"))"
  grep -q " job left: the caller's console" <<<"$logged" || fail "no 'job left: the caller's console'"
  if [ "$runs" = program ]; then
    [ -e "$dir/setup.exe.ended" ] || fail "the program did not run to its end"
    grep -q ' end code=7 ' <<<"$logged" || fail "the exit code is not the program's"
    [ -e "$dir/apps/app.exe.started" ] || fail "no relaunch"
  else
    grep -q ' trial passed ' <<<"$logged" || fail "the trial did not pass"
    grep -q ' end code=0 ' <<<"$logged" || fail "the exit code is not 0"
  fi
  [ "$status" -eq 0 ] || printf '%s\n' "$logged"
done <<<"$rows"
exit "$status"
