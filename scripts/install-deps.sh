#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent: does nothing when
# everything is present. Runs as root on a fresh Debian 12 machine.
set -euo pipefail

# Either kind of machine gets everything: the i386 pieces (multilib, wine32)
# install on a kernel without 32-bit support too, and qemu-user-static runs the
# i386 host tests there. Where 32-bit programs run, the 64-bit pieces are still
# needed for the x64 images and the x86-64 host builds.
packages=(
  cmake make g++ g++-multilib
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  googletest libbenchmark-dev
  python3 python3-pefile
  clang-tidy cppcheck clang-format valgrind
  qemu-user-static
  wine wine64 wine32:i386
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
