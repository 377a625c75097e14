#!/usr/bin/env bash
# Takes the README's picture of the progress window (docs/progress-window.png): a real
# hand-over with --progress under Xvfb, in Wine's virtual desktop, cut to the window.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare
# imagemagick takes the picture. (Wine draws the caption buttons without their font.)
command -v import >/dev/null ||
  quietly env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends imagemagick
say "taking the picture"
build=build/windows
shot="$work_root/screen.png"
mkdir -p docs "$work_root/demo"
cp "$build/probe.exe" "$work_root/demo/setup.exe"
cp "$build/relauncher.exe" "$work_root/demo/relauncher.exe"
export PROBE_setup_SLEEP_MS=6000
scripts/with_display.sh bash -c '
  wine "$1/relauncher.exe" --wait-pid 1 --progress "Installing the Example update..." -- "$1/setup.exe" &
  sleep 4
  import -window root "$2"
  wait' _ "$work_root/demo" "$shot"
# The window is centred on the 1024x768 screen: cut a margin around it.
convert "$shot" -crop 480x160+272+304 +repage docs/progress-window.png
say "wrote docs/progress-window.png"
