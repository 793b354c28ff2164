#!/usr/bin/env bash
# Installs what the builds need on a fresh Debian machine (run as root); a no-op when present.
set -euo pipefail
# The windows build: clang + lld (+ llvm's dlltool and pdbutil) against mingw-w64's headers and
# import libraries; windres and objdump from binutils; python3 runs the image and INF checks;
# openssl and osslsigncode make and verify the test signature. quadhdmi.exe links the posix
# flavour of mingw-w64's C++ library (the one with threads) and runs under wine64 (about a minute
# to install) in the windows build's tests.
pkgs=(cmake g++ ninja-build libgtest-dev libpng-dev libcli11-dev clang-format
      g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
      clang lld llvm python3 openssl osslsigncode libclang-rt-14-dev wine64)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
