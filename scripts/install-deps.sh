#!/usr/bin/env bash
# Installs the Debian packages the launcher needs to build, test and run; only what is missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config clang-format clang-tidy binutils
  qt6-base-dev libqt6svg6 libgl-dev libcurl4-openssl-dev nlohmann-json3-dev libminizip-dev zlib1g-dev
  libutf8proc-dev libgtest-dev libgmock-dev libcpp-httplib-dev libcli11-dev libsodium-dev minisign
  xvfb xauth desktop-file-utils unzip curl nginx-light
  dpkg-dev file clang-14 clang-tools-14 libclang-rt-14-dev
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
