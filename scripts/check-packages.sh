#!/usr/bin/env bash
# Makes the operator's packages and checks what they carry: the .deb from the native build in
# build/ (built before this runs), the arm64 and armhf .debs from the cross builds in build-arm64/
# and build-armhf/ when they were made, and the .zip of the Windows build in build-win/ when a MinGW-w64
# compiler is there. Fails when a package is missing a file, does not work once unpacked, or draws
# an error or a warning from lintian.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Every name given must be in the listing on standard input.
expect_entries() {
  local listing
  listing=$(cat)
  for entry in "$@"; do
    grep -q -- "$entry\$" <<<"$listing" || fail "the package lacks $entry"
  done
}

echo "== manual pages"
for page in docs/brelwick.1 docs/unit-sim.1; do
  warnings=$(groff -ww -z -man "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns about $page: $warnings"
done

echo "== Debian package"
rm -rf build/packages
(cd build && cpack -G DEB >"$scratch/cpack.txt" 2>&1) || fail "cpack: $(cat "$scratch/cpack.txt")"
deb=$(ls build/packages/brelwick_*.deb)
dpkg-deb -c "$deb" | awk '{print $NF}' |
  expect_entries ./usr/bin/brelwick ./usr/bin/unit-sim ./usr/share/man/man1/brelwick.1.gz \
    ./usr/share/man/man1/unit-sim.1.gz ./usr/share/doc/brelwick/copyright \
    ./usr/share/doc/brelwick/changelog.gz ./usr/share/doc/brelwick/README.md.gz \
    ./usr/share/doc/brelwick/troubleshooting.md.gz ./usr/share/doc/brelwick/speed.md.gz
# What Debian asks of a package, as its own checker sees it: any error or warning fails, and an
# override goes in only with a line beside it that says why. Info and pedantic tags are shown.
command -v lintian >/dev/null || fail "no lintian to check the .deb with (Debian: lintian)"
lintian --display-info --pedantic --fail-on error,warning "$deb" >"$scratch/lintian.txt" 2>&1 ||
  fail "lintian: $(cat "$scratch/lintian.txt")"
grep -v '^running with root privileges' "$scratch/lintian.txt" || true
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "Section is not utils"
dpkg-deb -f "$deb" Maintainer | grep -q '<.*@.*>' || fail "the Maintainer has no address"
if command -v dpkg-shlibdeps >/dev/null; then
  dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends does not name libc6"
fi
dpkg -x "$deb" "$scratch/root"
bin="$scratch/root/usr/bin"
set +e
"$bin/brelwick" >"$scratch/usage.txt"
status=$?
set -e
[ "$status" -eq 1 ] && grep -q -- '-c com' "$scratch/usage.txt" ||
  fail "the packaged brelwick without switches: status $status, $(cat "$scratch/usage.txt")"
# The programs say the version the package carries.
version=$(dpkg-deb -f "$deb" Version)
for program in brelwick unit-sim; do
  said=$("$bin/$program" --version) || fail "the packaged $program --version failed"
  [ "$said" = "$program $version" ] || fail "the packaged $program --version says '$said'," \
    "the package is $version"
done
for page in brelwick unit-sim; do
  grep -q "^\.TH .* \"brelwick $version\" " "docs/$page.1" ||
    fail "docs/$page.1 does not name version $version in its .TH line"
  warnings=$(MANWIDTH=80 man --warnings -l "$scratch/root/usr/share/man/man1/$page.1.gz" 2>&1 \
    >"$scratch/page.txt")
  [ -z "$warnings" ] && grep -q 'EXIT STATUS' "$scratch/page.txt" ||
    fail "the packaged manual page of $page does not render cleanly: $warnings"
done
# A rehearsal with the packaged pair: the simulated unit must end up holding the image. The start
# of the program itself makes an image with every kind of byte (NUL, CR, LF, XON, XOFF).
head -c 5000 "$bin/brelwick" >"$scratch/fw.bin"
objcopy -I binary -O ihex "$scratch/fw.bin" "$scratch/fw.hex"
"$bin/unit-sim" --out "$scratch/flash.bin" -- \
  "$bin/brelwick" -q -c '{port}' -f "$scratch/fw.hex" >"$scratch/rehearsal.txt" 2>&1 ||
  fail "the packaged rehearsal failed: $(tail -5 "$scratch/rehearsal.txt")"
cmp -s "$scratch/fw.bin" "$scratch/flash.bin" || fail "the rehearsal's flash differs from the image"
echo "$deb: programs, versions, manual pages, lintian and a rehearsal checked"

# The ARM packages, from the cross builds in build-arm64/ and build-armhf/ when scripts/test-all.sh
# made them: the same files, lintian, the target's architecture and libraries, and a rehearsal
# with the packaged pair, both run under QEMU's user-mode emulation.
for arch in arm64 armhf; do
  echo "== Debian package for $arch"
  if [ ! -f "build-$arch/CMakeCache.txt" ]; then
    echo "SKIPPED: no cross build in build-$arch (scripts/test-all.sh makes it)"
    continue
  fi
  emulator=$(sed -n 's/^BRELWICK_QEMU:FILEPATH=//p' "build-$arch/CMakeCache.txt")
  triple=$(sed -n 's/^BRELWICK_CROSS_CXX:FILEPATH=.*\/\(.*\)-g++$/\1/p' "build-$arch/CMakeCache.txt")
  rm -rf "build-$arch/packages"
  (cd "build-$arch" && cpack -G DEB >"$scratch/cpack.txt" 2>&1) ||
    fail "cpack ($arch): $(cat "$scratch/cpack.txt")"
  deb=$(ls "build-$arch"/packages/brelwick_*_"$arch".deb) || fail "no brelwick_*_$arch.deb"
  dpkg-deb -c "$deb" | awk '{print $NF}' |
    expect_entries ./usr/bin/brelwick ./usr/bin/unit-sim ./usr/share/man/man1/brelwick.1.gz \
      ./usr/share/man/man1/unit-sim.1.gz ./usr/share/doc/brelwick/copyright \
      ./usr/share/doc/brelwick/changelog.gz
  lintian --display-info --pedantic --fail-on error,warning "$deb" >"$scratch/lintian.txt" 2>&1 ||
    fail "lintian ($arch): $(cat "$scratch/lintian.txt")"
  grep -v '^running with root privileges' "$scratch/lintian.txt" || true
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -q '^libc6 (' <<<"$depends" && ! grep -q -- '-cross\|:' <<<"$depends" ||
    fail "$deb depends on '$depends', not on the target's own libraries"
  rm -rf "$scratch/$arch"
  dpkg -x "$deb" "$scratch/$arch"
  bin="$scratch/$arch/usr/bin"
  if [ -z "$emulator" ]; then
    echo "$deb: files, lintian and Depends checked; not run (no qemu-user-static)"
    continue
  fi
  run=("$emulator" -L "/usr/$triple")
  said=$("${run[@]}" "$bin/brelwick" --version) || fail "the packaged $arch brelwick --version failed"
  [ "$said" = "brelwick $version" ] || fail "the packaged $arch brelwick says '$said'"
  "${run[@]}" "$bin/unit-sim" --out "$scratch/flash-$arch.bin" -- \
    "${run[@]}" "$bin/brelwick" -q -c '{port}' -f "$scratch/fw.hex" >"$scratch/rehearsal.txt" 2>&1 ||
    fail "the packaged $arch rehearsal failed: $(tail -5 "$scratch/rehearsal.txt")"
  cmp -s "$scratch/fw.bin" "$scratch/flash-$arch.bin" ||
    fail "the $arch rehearsal's flash differs from the image"
  echo "$deb: files, lintian, Depends, version and a rehearsal under $(basename "$emulator") checked"
done

echo "== Windows package"
if ! command -v x86_64-w64-mingw32-g++ >/dev/null &&
  ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "SKIPPED: no MinGW-w64 compiler (x86_64-w64-mingw32-g++; Debian: g++-mingw-w64-x86-64)"
  exit 0
fi
# Another step may have made build-win already, with its own choices: keep them.
if [ ! -f build-win/CMakeCache.txt ]; then
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DBRELWICK_TESTS=OFF >/dev/null
fi
cmake --build build-win -j "$jobs" >/dev/null
rm -rf build-win/packages
(cd build-win && cpack -G ZIP >"$scratch/cpack.txt" 2>&1) || fail "cpack: $(cat "$scratch/cpack.txt")"
zip=$(ls build-win/packages/brelwick-*-win64.zip)
unzip -Z1 "$zip" |
  expect_entries /bin/Brelwick.exe /README.md /brelwick.txt /LICENSE.txt \
    /docs/images/windows-explorer-run.png /docs/troubleshooting.md /docs/speed.md
unzip -q "$zip" -d "$scratch/win"
# Every link between the pages that the zip carries finds its file there.
for page in "$scratch"/win/*/README.md "$scratch"/win/*/docs/*.md; do
  for target in $(grep -o '](\([^)#]*\)' "$page" | sed 's/^](//' | grep -v '^https\?:'); do
    [ -e "$(dirname "$page")/$target" ] ||
      fail "the zip's $(basename "$page") links to $target, which the zip lacks"
  done
done
[ "$(head -c 2 "$scratch"/win/*/bin/Brelwick.exe)" = MZ ] || fail "Brelwick.exe is no Windows program"
grep -q 'Latency Timer' "$scratch"/win/*/brelwick.txt || fail "brelwick.txt is not the manual page"
cmp -s LICENSE "$scratch"/win/*/LICENSE.txt || fail "LICENSE.txt is not LICENSE"
echo "$zip: Brelwick.exe, README.md and the pages it links to, brelwick.txt and LICENSE.txt checked"
