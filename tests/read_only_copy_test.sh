#!/usr/bin/env bash
# A new version holding read-only files, copied beside the target and put in place by an
# ordinary user, over an old version holding one too. Wine lets root write through the
# missing write bit that stands for read-only, so relauncher.exe runs here as "nobody",
# in a Wine prefix of that user's own.
#   tests/read_only_copy_test.sh <build folder>
set -euo pipefail
build="$(cd "$1" && pwd)"
scratch="$(mktemp -d -p /tmp relauncher-read-only.XXXXXX)"
as_user() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env HOME="$scratch" TMPDIR="$scratch/tmp" WINEPREFIX="$scratch/prefix" WINEDEBUG=-all \
    WINEDLLOVERRIDES="winedbg.exe=d;explorer.exe=d" "$@"
}
# A root folder only its owner may enter (a chroot made in a mktemp folder, as a check of
# a fresh system makes one) would stop every program of another user: let others through
# it for the test's duration. A real system's root lets them through already.
root_mode="$(stat -c %a /)"
cleanup() {
  as_user wineserver -k 2>/dev/null || true
  as_user wineserver -w 2>/dev/null || true
  rm -rf "$scratch"
  chmod "$root_mode" /
}
trap cleanup EXIT
chmod o+x /
chmod 755 "$scratch"
mkdir -p "$scratch/tmp" "$scratch/apps/Example" "$scratch/download/Example-2/data"
cp "$build/relauncher.exe" "$scratch/"
echo old >"$scratch/apps/Example/version.txt"
echo old >"$scratch/apps/Example/locked.txt"
echo new >"$scratch/download/Example-2/version.txt"
echo read-only >"$scratch/download/Example-2/data/readme.txt"
echo read-only >"$scratch/download/Example-2/license.txt"
chmod 444 "$scratch/apps/Example/locked.txt" "$scratch/download/Example-2/data/readme.txt" \
  "$scratch/download/Example-2/license.txt"
chown -R nobody:nogroup "$scratch"
as_user wineboot -i </dev/null >/dev/null 2>&1

code=0
as_user wine "$scratch/relauncher.exe" --log "Z:$scratch/update.log" --wait-pid 1 \
  --replace "Z:$scratch/apps/Example" --with "Z:$scratch/download/Example-2" \
  </dev/null >/dev/null 2>&1 || code=$?

status=0
fail() {
  echo "FAILED: $*"
  status=1
}
[ "$code" -eq 0 ] || fail "relauncher.exe exited $code"
grep -q ' how=copied ' "$scratch/update.log" || fail "no copy logged"
[ "$(cat "$scratch/apps/Example/version.txt" 2>/dev/null)" = new ] || fail "the new version is not in place"
for file in data/readme.txt license.txt; do
  [ "$(cat "$scratch/apps/Example/$file" 2>/dev/null)" = read-only ] || fail "$file was not copied"
  # Read-only stands for a missing write bit: the attribute was kept.
  [ -n "$(find "$scratch/apps/Example/$file" -perm /222)" ] && fail "$file lost its read-only attribute"
done
[ "$(cat "$scratch/download/Example-2/version.txt")" = new ] || fail "--with was not left as it was"
leftovers="$(cd "$scratch/apps" && ls -d Example.relauncher-* 2>/dev/null || true)"
[ -z "$leftovers" ] || fail "left beside the target (the backup's read-only file): $leftovers"
[ "$status" -eq 0 ] || cat "$scratch/update.log"
exit "$status"
