# Shared by the scripts: installs the toolchain, builds with the 'windows' preset and
# gives Wine a private, warmed-up prefix. Sourced, not run.

install_packages() {
  local packages="cmake make g++-mingw-w64-x86-64-posix wine wine64 googletest"
  local missing=""
  for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
}

build() {
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j"$(nproc)"
}

# A prefix of our own, so parallel jobs never share a wineserver. The server and the
# prefix are started with stdio on /dev/null before anything captures output: a cold
# server would hold the capturing pipe open for seconds after each process, and a
# persistent one started from a captured run would hold it for ever.
start_wine() {
  export WINEDEBUG=-all
  # The debugger would print a register dump for every crashing child.
  export WINEDLLOVERRIDES="winedbg.exe=d"
  wine_root="$(mktemp -d)"
  export WINEPREFIX="$wine_root/prefix"
  mkdir -p "$WINEPREFIX"
  trap stop_wine EXIT INT TERM
  wineserver -p </dev/null >/dev/null 2>&1
  wineboot -i </dev/null >/dev/null 2>&1
}

stop_wine() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$wine_root"
}

# Everything a script needs before it runs a Windows program: packages, a warm
# prefix, a fresh build.
prepare() {
  install_packages
  start_wine
  build
}
