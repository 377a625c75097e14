#!/usr/bin/env bash
# A real hand-over through the npm package on Linux: a Node.js caller calls handOver and
# exits as soon as the promise resolves; relauncher must wait for it, run the installer
# to its end and relaunch the application.
#   tests/linux/npm_handover_test.sh <build folder> <source folder>
set -euo pipefail
build="$(cd "$1" && pwd)"
source="$(cd "$2" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAILED: $*" >&2
  [ -f "$scratch/relauncher.log" ] && cat "$scratch/relauncher.log" >&2
  exit 1
}

mkdir -p "$scratch/package/bin"
cp "$source"/packages/npm/{package.json,index.js} "$scratch/package/"
cp "$build/relauncher" "$scratch/package/bin/relauncher-linux-x64"
cp "$build/probe" "$scratch/setup"
cp "$build/probe" "$scratch/app"
export PROBE_setup_SLEEP_MS=500

cat >"$scratch/caller.js" <<'CALLER'
const { handOver } = require(process.argv[2]);
const [, , , setup, app, log] = process.argv;
handOver({ program: setup, relaunch: app, log, waitTimeout: 30 }).then((started) => {
  console.log(`relauncher pid=${started.pid}`);
  process.exit(0);
}, (error) => {
  console.error(error.message);
  process.exit(1);
});
CALLER
node "$scratch/caller.js" "$scratch/package" "$scratch/setup" "$scratch/app" "$scratch/relauncher.log" ||
  fail "handOver did not resolve"
for _ in $(seq 100); do
  [ -f "$scratch/app.started" ] && break
  sleep 0.1
done
[ -f "$scratch/app.started" ] || fail "the application was not relaunched"
[ -f "$scratch/setup.ended" ] || fail "the installer did not run to its end"
ended="$(sed -n 's/^end=//p' "$scratch/setup.ended")"
started="$(sed -n 's/^start=//p' "$scratch/app.started")"
[ "$started" -ge "$ended" ] || fail "the application came back before the installer had ended"
grep -q " wait pid=[0-9]* ended after_ms=" "$scratch/relauncher.log" || fail "the caller was not waited for"
echo "npm hand-over on Linux: passed"
