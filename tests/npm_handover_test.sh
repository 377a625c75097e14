#!/usr/bin/env bash
# A real hand-over through the npm package, under Wine: a JavaScript caller run by Bun for
# Windows (the one Windows JavaScript runtime that runs under Wine 8, with a stand-in
# bcryptprimitives.dll) calls handOver and exits at once; relauncher must wait for it, run
# the installer and relaunch the application.
#   tests/npm_handover_test.sh <build folder> <source folder>
set -euo pipefail
build="$(cd "$1" && pwd)"
source="$(cd "$2" && pwd)"
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Bun, fetched once per build folder from the npm registry and checked against its
# published digest.
bun="$build/bun/package/bin/bun.exe"
if [ ! -f "$bun" ]; then
  mkdir -p "$build/bun"
  node - "$build/bun/bun.tgz" <<'FETCH'
// The download is checked against the digest the registry published for this version, so
// its bytes are what they must be whoever served them: the connection's certificate is
// not what vouches for them (a proxy may re-sign it with a certificate of its own).
const fs = require('fs');
const crypto = require('crypto');
const https = require('https');
const url = 'https://registry.npmjs.org/@oven/bun-windows-x64/-/bun-windows-x64-1.4.5.tgz';
const integrity = 'FNvply651vcE/GHgNWz6mZvhmkwBuu8Hw54oNzA+CQog+HW+542rXQmZqNHRkFxazD9L3xi+iTtvO3engAgJfw==';
// Node.js 18 tries only the first address, an IPv6 one where there is one.
https.get(url, { rejectUnauthorized: false, family: 4 }, (response) => {
  if (response.statusCode !== 200) {
    console.error(`${url}: ${response.statusCode}`);
    process.exit(1);
  }
  const chunks = [];
  response.on('data', (chunk) => chunks.push(chunk));
  response.on('end', () => {
    const bytes = Buffer.concat(chunks);
    if (crypto.createHash('sha512').update(bytes).digest('base64') !== integrity) {
      console.error(`${url}: not the published bytes`);
      process.exit(1);
    }
    fs.writeFileSync(process.argv[2], bytes);
  });
}).on('error', (error) => {
  console.error(`${url}: ${error.message}`);
  process.exit(1);
});
FETCH
  tar -xzf "$build/bun/bun.tgz" -C "$build/bun"
  rm "$build/bun/bun.tgz"
fi
cp "$build/bcryptprimitives.dll" "$(dirname "$bun")/"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
package="$scratch/caller/node_modules/relauncher"
mkdir -p "$package/bin" "$scratch/caller/work"
cp "$source/packages/npm/package.json" "$source/packages/npm/index.js" "$package/"
cp "$build/relauncher.exe" "$build/relauncherw.exe" "$package/bin/"
cp "$build/probe.exe" "$scratch/caller/work/setup.exe"
cp "$build/probe.exe" "$scratch/caller/work/app.exe"
cat >"$scratch/caller/caller.js" <<'CALLER'
const { handOver } = require('relauncher');
const path = require('path');
const work = path.join(__dirname, 'work');
handOver({ program: path.join(work, 'setup.exe'), args: ['/S', 'a b'], relaunch: path.join(work, 'app.exe'),
           relaunchArgs: ['--updated'], log: path.join(work, 'relauncher.log'), waitTimeout: 30 })
  .then(() => process.exit(0), (error) => { console.error(error.message); process.exit(3); });
CALLER

(cd "$scratch/caller" && wine "$bun" caller.js) || fail "the caller's handOver did not resolve"
work="$scratch/caller/work"
for _ in $(seq 100); do
  [ -f "$work/app.exe.started" ] && break
  sleep 0.1
done
[ -f "$work/app.exe.started" ] || fail "the application was not relaunched"
log="$(tr -d '\r' <"$work/relauncher.log")"
grep -q ' wait pid=[0-9]* ended after_ms=' <<<"$log" || fail "relauncher did not wait for the caller: $log"
grep -q 'command_line=.*setup\.exe" "/S" "a b"$' <<<"$log" || fail "the installer's arguments: $log"
grep -q 'relaunch pid=.*app\.exe" "--updated"$' <<<"$log" || fail "the relaunch: $log"
grep -q ' end code=0 ' <<<"$log" || fail "the exit code: $log"
echo "npm package: a real hand-over through handOver under Bun for Windows"
