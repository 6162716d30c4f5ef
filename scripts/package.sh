#!/usr/bin/env bash
# Makes the Debian package of qor-native and checks what it declares and holds.
#
#   scripts/package.sh [BUILD_DIR]
#
# With BUILD_DIR, packages that Ninja build (configured with -DCMAKE_INSTALL_PREFIX=/usr, as
# scripts/test.sh does); without, configures a release build in build/package. Builds only the
# installed executables, runs `cpack -G DEB`, then checks the package's fields, its files, and that
# the packaged executables print the package's version. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/package}
if (($# == 0)); then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if [[ $prefix != /usr ]]; then
  echo "package.sh: $build installs to '$prefix'; a Debian package needs -DCMAKE_INSTALL_PREFIX=/usr" >&2
  exit 1
fi

# The executables the package carries: qor-native, and every other one the project installs.
executables=(qor-native)
if ninja -C "$build" -t targets all | grep -q '^qor-mcp:'; then
  executables+=(qor-mcp)
fi
cmake --build "$build" --target "${executables[@]}"
rm -f "$build"/qor-native_*.deb
if ! log=$(cd "$build" && cpack -G DEB 2>&1); then
  echo "$log" >&2
  echo "package.sh: cpack failed" >&2
  exit 1
fi
deb=$(ls "$build"/qor-native_*.deb)

failures=0
fail() {
  echo "package.sh: $*" >&2
  failures=$((failures + 1))
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == qor-native ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', not $version"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture is '$(field Architecture)'"
[[ $(field Maintainer) == *@* ]] || fail "Maintainer '$(field Maintainer)' has no address"
[[ -n $(field Section) ]] || fail "no Section"
[[ $(field Description) == *$'\n'* ]] || fail "Description has no long text"
# dpkg-shlibdeps found the libraries the executables link, not a hand-written list.
depends=$(field Depends | tr ',' '\n' | awk '{print $1}')
for library in libc6 libstdc++6 libspng0 libxcb1; do
  grep -qx -- "$library" <<<"$depends" || fail "Depends lacks $library: $(field Depends)"
done

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
expected=(./usr/share/doc/qor-native/README.md ./usr/share/doc/qor-native/protocol.md
  ./usr/share/doc/qor-native/linux-backend.md)
for executable in "${executables[@]}"; do
  expected+=("./usr/bin/$executable")
done
for path in "${expected[@]}"; do
  grep -qx -- "$path" <<<"$contents" || fail "missing $path"
done
if grep -v -e '^\./usr/bin/' -e '^\./usr/share/doc/qor-native/' -e '/$' <<<"$contents"; then
  fail "files outside /usr/bin and the documentation folder (listed above)"
fi

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb --extract "$deb" "$unpacked"
for executable in "${executables[@]}"; do
  printed=$("$unpacked/usr/bin/$executable" --version)
  [[ $printed == "$executable $version" ]] || fail "$executable --version printed '$printed'"
done
# --help points at the protocol reference where the package puts it.
"$unpacked/usr/bin/qor-native" --help | grep -q /usr/share/doc/qor-native/protocol.md ||
  fail "qor-native --help does not name /usr/share/doc/qor-native/protocol.md"

if ((failures > 0)); then
  exit 1
fi
echo "$deb"
