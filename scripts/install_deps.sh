#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent: quiet and quick
# when everything is present. Runs apt-get as root (sudo when not root).
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build ccache pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libhwy-dev libsamplerate0-dev
  python3 python3-numpy python3-scipy python3-pytest python3-venv python3-setuptools python3-wheel python3-pip
  libedf-dev chromium fonts-dejavu-core
  clang libclang-rt-14-dev
  clang-format clang-tidy
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
