#!/usr/bin/env bash
# Installs the Debian packages needed to build and test libLumoUsb:
#   cmake, ninja-build, g++, clang-format (tools/check-format.sh), libgtest-dev, googletest (sources in
#   /usr/src/googletest), libbenchmark-dev, pkgconf, libusb-1.0-0-dev (the
#   libusb backend) with umockdev and libumockdev-dev (its tests), libpng-dev (PNG files
#   from the lumo tool), python3-numpy and python3-pytest (the Python package's tests)
# with --gst, the GStreamer development packages, tools and base/good
# plugins, GStreamer's Python bindings, python3-opencv, Xvfb and ImageMagick
# (the GStreamer plugin lumosrc, lumo view and their tests; tools/test.sh asks for them, the main job
# does not need them)
# with --cross, the mingw-w64 compilers for 64-bit and 32-bit Windows
# (g++-mingw-w64-x86-64, g++-mingw-w64-i686), with --fuzz, clang with its
# libFuzzer runtime, with --m32, the 32-bit compiler libraries
# (g++-multilib), with --wine, Wine to run the cross-built tests, 64-bit
# and 32-bit (wine32:i386, which needs the i386 architecture in dpkg), and
# with --wine64, the 64-bit Wine alone.
#
# Only missing packages are installed, and the package index is refreshed
# once, only when something is missing: on a machine that has everything the
# script returns at once.
set -euo pipefail

cross=0
fuzz=0
m32=0
wine=0
wine64=0
gst=0
for arg in "$@"; do
  case "$arg" in
    --cross) cross=1 ;;
    --fuzz) fuzz=1 ;;
    --m32) m32=1 ;;
    --wine) wine=1 ;;
    --wine64) wine64=1 ;;
    --gst) gst=1 ;;
    -h | --help)
      echo "usage: $0 [--cross] [--fuzz] [--m32] [--wine] [--wine64] [--gst]"
      exit 0
      ;;
    *)
      echo "install-deps.sh: unknown argument '$arg'" >&2
      echo "usage: $0 [--cross] [--fuzz] [--m32] [--wine] [--wine64] [--gst]" >&2
      exit 2
      ;;
  esac
done

packages=(cmake ninja-build g++ clang-format libgtest-dev googletest libbenchmark-dev pkgconf libusb-1.0-0-dev umockdev libumockdev-dev libpng-dev python3-numpy python3-pytest)
if [[ $gst -eq 1 ]]; then
  packages+=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good python3-gst-1.0 gir1.2-gstreamer-1.0
    python3-opencv xvfb xauth imagemagick)
fi
if [[ $cross -eq 1 ]]; then
  packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686)
fi
if [[ $fuzz -eq 1 ]]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [[ $m32 -eq 1 ]]; then
  packages+=(g++-multilib)
fi
if [[ $wine -eq 1 ]]; then
  packages+=(wine wine64 wine32:i386)
elif [[ $wine64 -eq 1 ]]; then
  packages+=(wine wine64)
fi

installed() {
  [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" == "install ok installed" ]]
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
# The test build compiles GoogleTest from these sources when cross-compiling;
# reinstall the package if they were removed by hand.
if [[ ! -f /usr/src/googletest/CMakeLists.txt ]] && installed googletest; then
  missing+=(googletest)
  reinstall=(--reinstall)
else
  reinstall=()
fi

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "install-deps.sh: missing packages (${missing[*]}) and not root" >&2
  exit 1
fi

echo "install-deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# 32-bit Wine comes from the i386 architecture. A Wine prefix made before it
# was installed does not run 32-bit programs: make prefixes afterwards.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
# The package index is refreshed up to three times, a pause apart: a mirror
# mid-sync fails an index (seen: the i386 one of the security mirror, "File
# has unexpected size ... Mirror sync in progress?") while the others are
# fresh. When it still fails, the install goes on with the indexes that
# came: it alone says whether the packages can be had.
pause=${LUMO_APT_RETRY_PAUSE:-15}
apt_update() {
  local attempt
  for attempt in 1 2 3; do
    if "${sudo[@]}" apt-get update -q; then
      return 0
    fi
    echo "install-deps.sh: apt-get update failed (attempt $attempt of 3)" >&2
    [[ $attempt -lt 3 ]] && sleep "$pause"
  done
  echo "install-deps.sh: some package indexes could not be refreshed; installing from those that came" >&2
  return 0
}

apt_install() {
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    --no-install-recommends "${reinstall[@]}" "$@" </dev/null
}

apt_update
if apt_install "${missing[@]}"; then
  exit 0
fi
# A download may fail on its own (a mirror hiccup): once more, after a
# fresh look at the indexes.
echo "install-deps.sh: the install failed; refreshing the indexes and trying once more" >&2
sleep "$pause"
apt_update
if apt_install "${missing[@]}"; then
  exit 0
fi
# Still failing: name the packages that cannot be installed.
unavailable=()
for package in "${missing[@]}"; do
  if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -s -q \
    --no-install-recommends "$package" </dev/null >/dev/null 2>&1; then
    unavailable+=("$package")
  fi
done
if [[ ${#unavailable[@]} -gt 0 ]]; then
  echo "install-deps.sh: cannot be installed: ${unavailable[*]}" >&2
else
  echo "install-deps.sh: installing ${missing[*]} failed twice, although each can be installed alone" >&2
fi
exit 1
