#!/usr/bin/env bash
# A power cut after an update, on a real ext4 file system: a new version unpacked beside
# the old one and never flushed (as unzip or tar leave it), swapped in by relauncher,
# then the disk image copied as it stands (the power cut) at once, 8 s and 15 s after
# relauncher ends (past ext4's 5 s commit of the renames, before its 30 s write-back of
# the data). Each copy, its journal replayed and mounted, holds one whole version.
# Needs root and loop devices; says so and passes where the machine has neither.
set -euo pipefail
build="$1"
if [ "$(id -u)" -ne 0 ] || ! losetup -f >/dev/null 2>&1 || ! command -v mkfs.ext4 >/dev/null; then
  echo "skipped: a power cut needs root, a loop device and mkfs.ext4"
  exit 0
fi
work="$(mktemp -d)"
cleanup() {
  umount "$work/cut" 2>/dev/null || true
  umount "$work/disk" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
truncate -s 128M "$work/disk.img"
mkfs.ext4 -q "$work/disk.img"
mkdir "$work/disk" "$work/cut"
mount -o loop "$work/disk.img" "$work/disk"

files=300
make_version() {  # folder, name
  mkdir -p "$1/lib"
  for i in $(seq 1 "$files"); do
    head -c $((4096 + i * 37)) /dev/zero | tr '\0' "${2:0:1}" > "$1/lib/file-$i"
  done
  echo "$2" > "$1/version.txt"
}
make_version "$work/disk/apps/Example" old
sync  # the old version is on the disk, as an installed application is
make_version "$work/disk/apps/Example-2" new  # unpacked just now, not flushed

"$build/relauncher" --log "$work/log" --wait-pid 999999 --replace "$work/disk/apps/Example" \
  --with "$work/disk/apps/Example-2"
grep -q " replace target=" "$work/log" || { cat "$work/log"; exit 1; }

# Which version a folder holds whole: every file whole and of one version.
version_of() {
  local folder="$1" name
  name="$(cat "$folder/version.txt" 2>/dev/null || echo none)"
  for i in $(seq 1 "$files"); do
    local expected=$((4096 + i * 37))
    local size
    size="$(stat -c %s "$folder/lib/file-$i" 2>/dev/null || echo missing)"
    if [ "$size" != "$expected" ] || [ "$(head -c 1 "$folder/lib/file-$i")" != "${name:0:1}" ] ||
       [ -n "$(tr -d "${name:0:1}" < "$folder/lib/file-$i")" ]; then
      echo "broken ($name: lib/file-$i is $size bytes)"
      return
    fi
  done
  echo "$name"
}

started=$(date +%s)
failed=0
for at in 0 8 15; do
  while [ $(( $(date +%s) - started )) -lt "$at" ]; do sleep 0.2; done
  cp --sparse=always "$work/disk.img" "$work/cut.img"
  e2fsck -fy "$work/cut.img" >/dev/null 2>&1 || [ $? -le 1 ]
  mount -o loop,ro "$work/cut.img" "$work/cut"
  held="$(version_of "$work/cut/apps/Example")"
  echo "cut ${at} s after the update: the target holds $held"
  case "$held" in old | new) ;; *) failed=1 ;; esac
  umount "$work/cut"
done
exit "$failed"
