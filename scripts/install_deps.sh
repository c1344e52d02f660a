#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent: quiet and quick
# when everything is present. Runs apt-get as root (sudo when not root).
#   scripts/install_deps.sh            the Linux build's packages
#   scripts/install_deps.sh --windows  the Windows cross-build's instead
#                                      (scripts/build_windows.sh)
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

# The Windows cross-build: mingw-w64's posix-threads compiler (std::thread),
# cmake and ninja, Highway's, CLI11's and nlohmann/json's headers (used
# without a library; the last two for nelctl.exe), GoogleTest's sources (built
# for Windows with its tests), and Wine and Python to run those tests.
windows_packages() {
  PACKAGES=(
    g++-mingw-w64-x86-64-posix cmake ninja-build ccache libhwy-dev libcli11-dev nlohmann-json3-dev googletest
    wine64 python3
  )
}
if [[ ${1:-} == --windows ]]; then
  windows_packages
fi

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
