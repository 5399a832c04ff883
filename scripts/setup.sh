#!/usr/bin/env bash
# Installs what building, running and testing Vintrelle needs on Debian 12.
# Idempotent: installs only missing packages (in one apt-get call) and fetches
# only missing npm assets. Runs as root, or through sudo.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
else
  SUDO=""
fi

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git
  # core libraries
  libsqlite3-dev libicu-dev
  libvips-dev libvips-tools libheif-dev libjpeg-dev
  libexiv2-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libopencv-dev libopencv-core-dev libopencv-imgproc-dev libopencv-dnn-dev
  libgeonames-dev libgeonames-common
  nlohmann-json3-dev
  # tests and benchmarks (locales: date and number texts are tested under other locales)
  locales
  libgtest-dev libgmock-dev libbenchmark-dev
  libimage-exiftool-perl xvfb imagemagick time
  # the desktop smoke test: a window manager and synthetic input on Xvfb
  openbox xdotool sqlite3
  dbus-daemon
  # application (GLib's GIO tells before the desktop unmounts a drive; XCB sets the window's own colour)
  libglib2.0-dev qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-multimedia-dev libqt6svg6 libqt6opengl6-dev
  qt6-qpa-plugins libxcb1-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
  fonts-inter xdg-utils
)
# npm comes with the machine's Node.js; Debian's own npm conflicts with it.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all Debian packages present"
fi

# Locales the tests format dates and numbers in.
wanted_locales=(en_US.UTF-8 de_DE.UTF-8 fr_FR.UTF-8 th_TH.UTF-8)
need_gen=0
for l in "${wanted_locales[@]}"; do
  short="$(echo "$l" | sed 's/UTF-8/utf8/')"
  if ! locale -a 2>/dev/null | grep -qx "$short"; then
    need_gen=1
    $SUDO sed -i "s/^# *\($l UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$l UTF-8" /etc/locale.gen || echo "$l UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
  fi
done
[ "$need_gen" -eq 0 ] || $SUDO locale-gen >/dev/null

# Pinned npm assets (model weights, map data): see scripts/npm-assets.sh.
bash "$here/npm-assets.sh"
