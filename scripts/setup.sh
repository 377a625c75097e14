# Shared by the scripts: installs the toolchain, gives Wine a private, warmed-up
# prefix and builds with the 'windows' preset. Sourced, not run.
#
# Each phase prints one line and keeps its output to itself unless it fails; then the
# output is shown and the script stops with the phase's status.

# Wine stores file names through the Unix locale: under C/POSIX, which is what a fresh
# system has, a file with a non-ASCII name cannot even be created. C.UTF-8 exists on
# every Debian system, so the scripts never depend on the caller's locale.
export LC_ALL=C.UTF-8
unset LANGUAGE

say() {
  printf '==> %s\n' "$*"
}

# Everything a run makes (the Wine prefix, the wineserver's socket folder, phase output)
# lives under one folder, removed on every way out.
work_root="$(mktemp -d)"
export TMPDIR="$work_root/tmp"
mkdir -p "$TMPDIR"

cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  rm -rf "$work_root" "${other_volume:-}"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a command with its output kept aside; shows the output only when it fails.
quietly() {
  local output="$work_root/phase.log" status=0
  "$@" >"$output" 2>&1 </dev/null || status=$?
  if [ "$status" -ne 0 ]; then
    cat "$output" >&2
    echo "==> failed (exit $status): $*" >&2
  fi
  return "$status"
}

install_packages() {
  # g++ builds the native Linux tool, and clang with its runtime the fuzzers; nsis builds
  # the test installer; osslsigncode, openssl
  # and zip sign and pack releases; unzip lets the release's test read the archive; xvfb
  # gives the progress window's tests a display; nodejs runs the npm package's, and npm
  # packs it; e2fsprogs makes the ext4 image of the power-cut test. A script may ask for
  # more, as arguments.
  local packages="cmake make g++ clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine wine64 googletest nsis osslsigncode openssl zip unzip xvfb nodejs npm e2fsprogs $*"
  local missing=""
  for package in $packages; do
    # Node.js from elsewhere (NodeSource's nodejs) brings its own npm, and conflicts with
    # Debian's: npm counts as there when the command is.
    if [ "$package" = npm ] && command -v npm >/dev/null; then
      continue
    fi
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing="$missing $package"
  done
  if [ -z "$missing" ]; then
    say "packages: all installed"
    return 0
  fi
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "==> not root and no sudo: install$missing first" >&2; return 1; }
    sudo="sudo"
  fi
  say "installing packages:$missing (apt-get; several hundred MB to download the first time)"
  quietly $sudo apt-get update
  # shellcheck disable=SC2086
  quietly $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
}

# A prefix of our own, so parallel jobs never share a wineserver. The server and the
# prefix are started with stdio on /dev/null before anything captures output: a cold
# server would hold the capturing pipe open for seconds after each process, and a
# persistent one started from a captured run would hold it for ever.
start_wine() {
  say "preparing Wine: a private prefix (a few seconds)"
  export WINEDEBUG=-all
  # The debugger would print a register dump for every crashing child. The desktop
  # process, which Wine starts for the first window or console a program makes of its
  # own (the elevated start, an installer), finds no display and keeps that program,
  # and later its exit, waiting about ten seconds each.
  export WINEDLLOVERRIDES="winedbg.exe=d;explorer.exe=d"
  export WINEPREFIX="$work_root/prefix"
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  quietly wineboot -i
  # E: is another volume, as a second disk or a USB stick is: a folder on /dev/shm, a
  # file system of its own (the tests move new versions between it and C:).
  other_volume="$(mktemp -d -p /dev/shm relauncher-e.XXXXXX 2>/dev/null || mktemp -d)"
  ln -sfn "$other_volume" "$WINEPREFIX/dosdevices/e:"
}

build() {
  say "building: cmake --preset windows, cmake --build --preset windows"
  quietly cmake --preset windows
  quietly cmake --build --preset windows -j"$(nproc)"
}

# Everything a script needs before it runs a Windows program: packages, a warm
# prefix, a fresh build.
prepare() {
  install_packages
  start_wine
  build
}
