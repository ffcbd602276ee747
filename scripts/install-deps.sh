#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Does nothing when every package is already installed.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  clang libc++-dev libc++abi-dev libclang-rt-14-dev clang-format
  libgtk-4-dev libwebkitgtk-6.0-dev libglib2.0-dev
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  libplist-dev nlohmann-json3-dev libfmt-dev libcpp-httplib-dev libsodium-dev minisign
  libgtest-dev libgmock-dev
  7zip p7zip-full genisoimage
  xvfb xauth dbus dbus-x11 at-spi2-core desktop-file-utils x11-utils
  tinyproxy-bin jq
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
