#!/usr/bin/env bash
# Installs the Debian packages Velmora needs to build, test and run; installs only what is missing.
set -euo pipefail
PKGS=(
  cmake ninja-build g++ pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcjson-dev libspdlog-dev libhidapi-dev libudev-dev libssl-dev
  libavcodec-dev libavutil-dev libswscale-dev libx264-dev
  qt6-base-dev qt6-l10n-tools qt6-translations-l10n xvfb xauth fonts-wqy-microhei
  dpkg-dev file appstream desktop-file-utils lintian
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
