#!/usr/bin/env bash
# Installs what it needs and builds the release:
#   dist/relauncher-<version>-windows-x64.zip  relauncher.exe, relauncherw.exe, README.md
#                                              (with the picture and the npm README it links
#                                              to), CHANGELOG.md, VERSION (the version and
#                                              commit) and SHA256SUMS (of the two executables)
#   dist/relauncher-<version>-linux-x64.tar.gz relauncher (static: no shared library at all),
#                                              README.md, CHANGELOG.md and VERSION
#   dist/relauncher-<version>.tgz               the npm package, with the three executables
#   dist/SHA256SUMS                            of the archives and the package
# The executables are built twice, from two copies of the sources in two folders, and must
# be byte-identical; the archive is reproducible too (fixed times, order and modes). With a
# certificate (see scripts/sign.sh) both executables are signed before they are packed.
set -euo pipefail
# A certificate named relative to where the script was started, before it changes folder.
if [ -n "${RELAUNCHER_SIGN_PKCS12:-}" ]; then
  RELAUNCHER_SIGN_PKCS12="$(realpath "$RELAUNCHER_SIGN_PKCS12")"
  export RELAUNCHER_SIGN_PKCS12
fi
cd "$(dirname "$0")/.."
. scripts/setup.sh
install_packages

# The tool alone, as the 'windows' preset builds it, but with no tests.
build_release() {
  quietly cmake -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF
  quietly cmake --build "$2" --target relauncher relauncherw -j"$(nproc)"
}

# The Linux tool, linked statically and stripped, so that it runs on any distribution
# and in an empty root.
build_linux_release() {
  quietly cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
    -DCMAKE_EXE_LINKER_FLAGS="-static -s"
  quietly cmake --build "$2" --target relauncher -j"$(nproc)"
}

# An earlier release's files go first: a run that fails must not leave them looking new.
rm -f dist/relauncher-* dist/SHA256SUMS

say "building the release twice, from two copies of the sources"
for copy in one two; do
  mkdir -p "$work_root/$copy/src"
  git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work_root/$copy/src"
  build_release "$work_root/$copy/src" "$work_root/$copy/build"
  build_linux_release "$work_root/$copy/src" "$work_root/$copy/linux"
done
executables="relauncher.exe relauncherw.exe"
for exe in $executables; do
  cmp "$work_root/one/build/$exe" "$work_root/two/build/$exe" ||
    { echo "==> the two builds of $exe differ: the release is not reproducible" >&2; exit 1; }
done
cmp "$work_root/one/linux/relauncher" "$work_root/two/linux/relauncher" ||
  { echo "==> the two builds of the Linux relauncher differ: the release is not reproducible" >&2; exit 1; }
if readelf -lW "$work_root/one/linux/relauncher" | grep -q INTERP ||
  readelf -d "$work_root/one/linux/relauncher" | grep -q NEEDED; then
  echo "==> the Linux relauncher is not fully static" >&2
  exit 1
fi
say "reproducible: both builds are byte-identical"

# The version comes from the project, through the header the build generates from it.
version="$(sed -n 's/^#define RELAUNCHER_VERSION_TEXT "\(.*\)"$/\1/p' "$work_root/one/build/generated/version.h")"
stage="$work_root/stage"
mkdir -p "$stage"
for exe in $executables; do
  cp "$work_root/one/build/$exe" "$stage/"
done
# The README with the pages and the picture it links to, at the same places, so that no
# link is dead; both archives carry them.
pages="$(cd docs && LC_ALL=C ls -- *.md | sed 's|^|docs/|' | tr '\n' ' ')"
documents="README.md CHANGELOG.md $pages docs/progress-window.png packages/npm/README.md"
mkdir -p "$stage/docs" "$stage/packages/npm"
cp README.md CHANGELOG.md "$stage/"
# shellcheck disable=SC2086
cp $pages docs/progress-window.png "$stage/docs/"
cp packages/npm/README.md "$stage/packages/npm/"
# What the archive was built from, so that it can be rebuilt and checked.
printf 'relauncher %s\ncommit %s\n' "$version" "$(git rev-parse HEAD 2>/dev/null || echo unknown)" >"$stage/VERSION"
if [ -n "${RELAUNCHER_SIGN_PKCS12:-}" ]; then
  say "signing with $RELAUNCHER_SIGN_PKCS12"
  # shellcheck disable=SC2086
  (cd "$stage" && "$OLDPWD/scripts/sign.sh" $executables)
else
  say "not signing: RELAUNCHER_SIGN_PKCS12 is not set"
fi
# shellcheck disable=SC2086
(cd "$stage" && sha256sum $executables >SHA256SUMS)

# Fixed times (the commit's), modes and order, and no extra fields, so that the same
# files always give the same archive. Zip stores local times: the zone is fixed too.
stamp="$(git log -1 --format=%ct 2>/dev/null || echo 315532800)"
archive="relauncher-$version-windows-x64.zip"
files="relauncher.exe relauncherw.exe VERSION SHA256SUMS $documents"
mkdir -p dist
# shellcheck disable=SC2086
(cd "$stage" && chmod 644 $files && TZ=UTC touch -d "@$stamp" $files &&
  TZ=UTC zip -X -D -q "$OLDPWD/dist/$archive" $files)
(cd dist && sha256sum "$archive" >SHA256SUMS)

# The Linux archive, as reproducible: fixed times, owner, modes and order, and gzip
# without the name and time of its input.
linux_stage="$work_root/linux-stage"
linux_archive="relauncher-$version-linux-x64.tar.gz"
mkdir -p "$linux_stage/docs" "$linux_stage/packages/npm"
cp "$work_root/one/linux/relauncher" "$stage/VERSION" "$linux_stage/"
# shellcheck disable=SC2086
(cd "$stage" && cp --parents $documents "$linux_stage/")
# shellcheck disable=SC2086
(cd "$linux_stage" && chmod 644 VERSION $documents && chmod 755 relauncher &&
  tar --sort=name --mtime="@$stamp" --owner=0 --group=0 --numeric-owner --format=gnu \
    --transform "s|^|relauncher-$version-linux-x64/|" \
    -cf - relauncher VERSION $documents | gzip -n -9 >"$OLDPWD/dist/$linux_archive")

# The npm package: its sources and the two (signed, when signing) executables, packed by
# npm, which gives every file a fixed time and order. The source folder holds no
# executables; they are copied in here only.
package="$work_root/npm"
mkdir -p "$package/bin"
cp packages/npm/package.json packages/npm/index.js packages/npm/index.d.ts packages/npm/README.md \
  packages/npm/check-binaries.js "$package/"
for exe in $executables; do
  cp "$stage/$exe" "$package/bin/"
done
cp "$work_root/one/linux/relauncher" "$package/bin/relauncher-linux-x64"
quietly npm pack --pack-destination "$PWD/dist" "$package"
(cd dist && sha256sum "$archive" "$linux_archive" "relauncher-$version.tgz" >SHA256SUMS)
say "done: dist/$archive, dist/$linux_archive, dist/relauncher-$version.tgz and dist/SHA256SUMS"
