#!/usr/bin/env bash
# Installs, only when missing, every Debian package that building and testing need; with
# --bench also what the side-by-side benchmark measures against (ser2net); with --run only
# what building the Linux program needs (`make run`).
set -euo pipefail

# The compiler and build tools, and the terminal toolkit the Linux program links (its
# headers include the mouse library's).
run_packages=(
  build-essential cmake ninja-build pkg-config
  libfinal-dev libgpm-dev
)
if [ "${1:-}" = "--run" ]; then
  packages=("${run_packages[@]}")
else
  packages=(
    "${run_packages[@]}"
    googletest libgtest-dev libgmock-dev
    clang-format clang-14 libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine64 wine
    xvfb xdotool x11-utils
    socat tmux python3
    x11-apps netpbm
    dpkg-dev file man-db groff-base
    nsis
  )
fi
if [ "${1:-}" = "--bench" ]; then packages+=(ser2net); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
