#!/usr/bin/env bash
# Installs what it needs, builds, and runs the hand-over benchmark under Wine.
#   scripts/bench.sh [rounds]   (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/setup.sh
prepare
say "running the benchmark (about 3 minutes)"
wine build/windows/bench.exe "${1:-15}"

# The folder wait's cost, read from Linux: Wine keeps no current CPU times for another
# process. relauncher's user and system time (clock ticks, /proc/<pid>/stat fields 14
# and 15) is sampled every 100 ms while bench.exe runs the wait and prints its phases.
say "measuring the folder wait's CPU (about 20 s)"
phases="$work_root/phases" samples="$work_root/samples"
wine build/windows/bench.exe folder-wait-phases >"$phases" &
bench_pid=$!
: >"$samples"
while kill -0 "$bench_pid" 2>/dev/null; do
  for pid in $(pgrep -f 'relauncher.exe --wait-pid 1 --wait-folder' || true); do
    ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || true)
    [ -n "$ticks" ] && echo "$(date +%s%3N) $ticks" >>"$samples"
  done
  sleep 0.1
done
wait "$bench_pid"
echo
echo "The folder wait's cost: relauncher --wait-folder with 200 processes running from the folder"
echo
echo "| phase | wall ms | relauncher CPU ms | share of a core |"
echo "|---|---:|---:|---:|"
tick_ms=$((1000 / $(getconf CLK_TCK)))
grep '^phase' "$phases" | tr -d '\r' | while read -r _ name from to; do
  awk -v from="$from" -v to="$to" -v name="$name" -v tick="$tick_ms" '
    $1 >= from && $1 <= to { if (first == "") first = $2; last = $2; t0 = (t0 == "" ? $1 : t0); t1 = $1 }
    END {
      wall = t1 - t0; cpu = (last - first) * tick
      printf "| %s | %d | %d | %.1f %% |\n", name, wall, cpu, (wall > 0 ? 100 * cpu / wall : 0)
    }' "$samples"
done

# The Linux tool, natively, against its own limit.
say "building natively for Linux and measuring its hand-over (about 30 s)"
quietly cmake --preset linux
quietly cmake --build --preset linux --target bench_linux -j"$(nproc)"
echo
build/linux/bench_linux "${1:-30}"

# The Linux release binary's size, built as scripts/release.sh builds it.
quietly cmake -S . -B build/linux-static -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
  -DCMAKE_EXE_LINKER_FLAGS="-static -s"
quietly cmake --build build/linux-static --target relauncher -j"$(nproc)"
echo
echo "The Linux release binary (static, stripped): $(stat -c %s build/linux-static/relauncher) bytes"
