#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demonstration need, when missing.
# Safe to run again: it does nothing when everything is there.
set -euo pipefail

PACKAGES=(
  # toolchain and test framework
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config libgtest-dev libgmock-dev clang-format
  # the Debian package: dpkg-shlibdeps (dpkg-dev) and file, which cpack uses to find dependencies
  dpkg-dev file
  # libraries the bridge uses
  nlohmann-json3-dev rapidjson-dev libutf8proc-dev libplist-dev libspng-dev
  # the Linux desktop backend: X11, XTest, XInput2, D-Bus
  libx11-dev libxtst-dev libxi-dev libxcb1-dev libxcb-xtest0-dev libxcb-xinput-dev libsystemd-dev
  libgdk-pixbuf-2.0-dev librsvg2-common hicolor-icon-theme  # application icons, SVG included
  # a private desktop session for desktop tests, benchmarks and the demonstration
  xvfb dbus dbus-x11 at-spi2-core openbox libgtk-3-dev gtk-3-examples xterm xdotool
  python3-pyatspi x11-utils imagemagick
  # the toolkit matrix of the desktop tests: GTK 4, Qt 5, two browsers and a word processor
  # (libreoffice-gtk3 gives LibreOffice its accessibility on the bus)
  gnome-calculator featherpad firefox-esr chromium libreoffice-writer libreoffice-gtk3
  # a German locale with Qt's and featherpad's translations: Qt translates what its actions do,
  # and the tests check that the names the bridge maps stay the same
  locales qttranslations5-l10n featherpad-l10n
  # the window managers the desktop tests run under besides openbox, and a dialog to drive
  xfwm4 mutter i3-wm zenity
  # the MCP SDK client of the MCP tests and demonstration runs on nodejs (npm installs it, pinned)
  nodejs
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

# npm comes with some builds of nodejs and conflicts with Debian's own package there: it is asked
# for only where the command is missing.
if ! command -v npm >/dev/null; then
  missing+=(npm)
fi

if [[ $(id -u) -ne 0 ]]; then
  SUDO=sudo
else
  SUDO=
fi

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

if ! locale -a | grep -x 'de_DE.utf8' >/dev/null; then
  echo "Generating the de_DE.UTF-8 locale"
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
