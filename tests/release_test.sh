#!/usr/bin/env bash
# The pages' JavaScript and shell examples parse. The release scripts, run for real on a
# repository of their own (a copy of this one):
# two releases give the same bytes; builds that differ stop the release; signing never
# puts the password on a command line, takes a certificate named relative to where it
# was started, and a failed signing leaves no archive behind; the archive names its
# commit and carries the changelog; the Linux binary hands over in an empty root. osslsigncode and the compiler are stand-ins on PATH
# where a run needs them to behave otherwise.
#   tests/release_test.sh <source folder>
set -euo pipefail
here="$(cd "$1" && pwd)"
scratch="$(mktemp -d)"
trap 'umount -l "$scratch/root/proc" 2>/dev/null || true; rm -rf "$scratch"' EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Every JavaScript and shell example of the pages a newcomer follows at least parses.
mkdir -p "$scratch/examples"
for page in README.md docs/linux.md docs/updaters.md packages/npm/README.md; do
  awk -v out="$scratch/examples/$(echo "$page" | tr / _)" '
    /^```(js|javascript)$/ { n++; file = out "." n ".js"; next }
    /^```(sh|bash)$/ { n++; file = out "." n ".sh"; next }
    /^```/ { file = ""; next }
    file != "" { print > file }' "$here/$page"
done
for example in "$scratch"/examples/*; do
  # An example that uses require() is CommonJS, as a .js file without "type": "module" is:
  # checked as such, since Node would otherwise take a top-level await for a module's.
  if [ "${example%.js}" != "$example" ] && grep -q 'require(' "$example"; then
    mv "$example" "${example%.js}.cjs"
    example="${example%.js}.cjs"
  fi
  case "$example" in
    *.js | *.cjs) node --check "$example" 2>"$scratch/parse" || { cat "$example" "$scratch/parse"; fail "a JavaScript example does not parse: $example"; } ;;
    *.sh) bash -n "$example" 2>"$scratch/parse" || { cat "$example" "$scratch/parse"; fail "a shell example does not parse: $example"; } ;;
  esac
done

repo="$scratch/repo"
mkdir -p "$repo" "$scratch/bin" "$scratch/first"
(cd "$here" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$repo"
(cd "$repo" && git init -q && git add -A &&
  git -c user.name=test -c user.email=test@example.invalid commit -qm release)
commit="$(cd "$repo" && git rev-parse HEAD)"

# Signs by copying, and records every argument it is given.
cat >"$scratch/bin/osslsigncode" <<'STAND_IN'
#!/usr/bin/env bash
printf '%s\n' "$@" >>"$RELEASE_TEST_ARGS"
[ -z "${RELEASE_TEST_SIGNING_FAILS:-}" ] || exit 1
while [ $# -gt 0 ]; do
  case "$1" in
    -in) in="$2"; shift ;;
    -out) out="$2"; shift ;;
    -pkcs12) [ -f "$2" ] || { echo "no certificate at $2" >&2; exit 1; }; shift ;;
  esac
  shift
done
cp "$in" "$out"
STAND_IN
chmod +x "$scratch/bin/osslsigncode"
export RELEASE_TEST_ARGS="$scratch/args"
password="not-on-any-command-line-4711"
echo "certificate" >"$scratch/cert.p12"

release() {
  (cd "$scratch" && PATH="$scratch/bin:$PATH" RELAUNCHER_SIGN_PKCS12=cert.p12 RELAUNCHER_SIGN_PASSWORD="$password" \
    "$repo/scripts/release.sh") >"$scratch/output" 2>&1
}

release || { cat "$scratch/output"; fail "the release"; }
cp "$repo"/dist/* "$scratch/first/"
grep -q -- "$password" "$scratch/args" && fail "the password was on osslsigncode's command line"
grep -q -- "-readpass" "$scratch/args" || fail "the password did not go through a file"
release || { cat "$scratch/output"; fail "the second release"; }
for file in "$scratch"/first/*; do
  cmp "$file" "$repo/dist/$(basename "$file")" || fail "$(basename "$file") differs between two releases"
done
zip="$(ls "$repo"/dist/*.zip)"
# (Read whole before grep: with pipefail, grep -q stopping early would fail the pipe.)
version_file="$(unzip -p "$zip" VERSION)"
listing="$(unzip -l "$zip")"
grep -qx "commit $commit" <<<"$version_file" || fail "the archive does not name its commit"
grep -q ' CHANGELOG.md$' <<<"$listing" || fail "the archive lacks the changelog"
# Every file that a page of an archive links to is in that archive: the README and the
# pages under docs/, each link read from the page's own folder. `names` lists the
# archive's files, one per line; `show` prints one of them.
check_links() {
  local archive="$1" names="$2" show="$3" page links link target
  grep -qx 'README.md' <<<"$names" || fail "$archive lacks the README"
  grep -qx 'docs/options.md' <<<"$names" || fail "$archive lacks the docs pages"
  for page in $(grep '\.md$' <<<"$names"); do
    # (A page with no link of its own makes grep fail; that is no failure here.)
    links="$($show "$page" | { grep -o '](\([^)#:]*\))' || true; } | sed 's/^](\(.*\))$/\1/' | sort -u)"
    [ "$page" != README.md ] || [ -n "$links" ] || fail "no links found in the README"
    for link in $links; do
      target="$(realpath -m --relative-to=/ "/$(dirname "$page")/$link")"
      grep -qx "$target" <<<"$names" || fail "$archive: $page links to $link, which it lacks"
    done
  done
}
zip_names="$(unzip -Z1 "$zip")"
show_zip() { unzip -p "$zip" "$1"; }
check_links "$(basename "$zip")" "$zip_names" show_zip

# The Linux archive: listed in SHA256SUMS, in the npm package too, and its relauncher does
# a whole hand-over in an empty root that holds only it, a static program to run and to
# relaunch, and /proc (no /dev/null, no shared library, no shell).
tarball="$(ls "$repo"/dist/relauncher-*-linux-x64.tar.gz)"
# Everything in a folder of its own, named after the archive.
tar_folder="$(basename "$tarball" .tar.gz)"
tar_listing="$(tar -tzf "$tarball")"
if grep -v "^$tar_folder/" <<<"$tar_listing"; then
  fail "the Linux archive holds files outside $tar_folder/"
fi
tar_names="$(sed "s|^$tar_folder/||" <<<"$tar_listing" | grep -v '/$')"
show_tar() { tar -xzOf "$tarball" "$tar_folder/$1"; }
check_links "$(basename "$tarball")" "$tar_names" show_tar
grep -q " $(basename "$tarball")\$" "$repo/dist/SHA256SUMS" || fail "SHA256SUMS lacks the Linux archive"
package_listing="$(tar -tzf "$(ls "$repo"/dist/relauncher-[0-9]*[0-9].tgz)")"
grep -qx 'package/bin/relauncher-linux-x64' <<<"$package_listing" ||
  fail "the npm package lacks the Linux relauncher"
root="$scratch/root"
mkdir -p "$root/proc"
tar -xzf "$tarball" -C "$root" --strip-components=1 "$tar_folder/relauncher"
g++ -static -O2 -o "$root/setup" "$here/tests/linux/probe.cpp"
cp "$root/setup" "$root/app"
sleep 1 &
caller=$!
# /proc bound into the root: root binds it for the run and unbinds it after (in a chroot,
# where no namespace can be made private, as well); anyone else, in a mount namespace of
# a mapped user of its own.
hand_over="/relauncher --log /log --wait-pid $caller --wait-tree --relaunch /app -- /setup"
handed_over=0
if [ "$(id -u)" -eq 0 ]; then
  mount --bind /proc "$root/proc"
  # shellcheck disable=SC2086
  chroot "$root" $hand_over || handed_over=$?
else
  unshare --map-root-user --mount --fork sh -c \
    "mount --rbind /proc '$root/proc' && exec chroot '$root' $hand_over" || handed_over=$?
fi
# The relaunched application reads /proc as it starts: /proc stays until it has ended.
for _ in $(seq 50); do [ -f "$root/app.ended" ] && break; sleep 0.1; done
[ "$(id -u)" -ne 0 ] || umount -l "$root/proc"
[ "$handed_over" -eq 0 ] || { cat "$root/log"; fail "the release binary's hand-over in an empty root"; }
[ -f "$root/setup.ended" ] && [ -f "$root/app.started" ] || { cat "$root/log"; fail "no whole hand-over in an empty root"; }
grep -q " wait pid=$caller ended after_ms=" "$root/log" || { cat "$root/log"; fail "the caller was not waited for in an empty root"; }

RELEASE_TEST_SIGNING_FAILS=1 release && fail "a failed signing did not stop the release"
ls "$repo"/dist/*.zip >/dev/null 2>&1 && fail "a failed signing left an archive behind"

# The second copy's executable is linked differently.
cat >"$scratch/bin/x86_64-w64-mingw32-g++-posix" <<'STAND_IN'
#!/usr/bin/env bash
case "$PWD:$*" in
  */two/build*"-o relauncher.exe"*) exec /usr/bin/x86_64-w64-mingw32-g++-posix "$@" -Wl,--major-image-version,9 ;;
esac
exec /usr/bin/x86_64-w64-mingw32-g++-posix "$@"
STAND_IN
chmod +x "$scratch/bin/x86_64-w64-mingw32-g++-posix"
release && fail "builds that differ did not stop the release"
grep -q "the two builds of relauncher.exe differ" "$scratch/output" || { cat "$scratch/output"; fail "no word of the difference"; }
echo "release scripts: all checks passed"
