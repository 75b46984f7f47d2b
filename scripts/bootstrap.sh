#!/usr/bin/env bash
# Installs every package Amberline needs on a Debian machine. Idempotent: when all is
# there it prints nothing and changes nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ ccache pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libopencv-core-dev libopencv-imgproc-dev libstb-dev libyuv-dev ffmpeg
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine64 dpkg-dev
  clang-14 libclang-rt-14-dev
  libpipewire-0.3-dev libspa-0.2-dev pipewire pipewire-bin libspa-0.2-modules wireplumber dbus-daemon
  gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base pipewire-v4l2
  python3 python3-pytest python3-numpy
  wixl msitools lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
