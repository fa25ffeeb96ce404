#!/usr/bin/env bash
# Installs the Debian packages the build and the test suites need, if they are missing.
# Safe to run again: it only calls apt-get when something is absent. Runs as root
# (or through sudo when available).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "install-deps: not root and no sudo; install the packages listed here by hand" >&2
    exit 1
  fi
fi

native=(
  cmake g++ make ninja-build pkg-config binutils file
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev
  libcli11-dev nlohmann-json3-dev
  python3 python3-serial
  unzip locales
)
cross=(
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386
)

missing=()
for p in "${native[@]}" "${cross[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# A locale with a decimal comma, so the tests can show that values on the line do not depend on
# the host process's locale.
ensure_locale() {
  if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "install-deps: could not build de_DE.UTF-8"
  fi
}

if [ ${#missing[@]} -eq 0 ]; then
  ensure_locale
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
ensure_locale
echo "install-deps: done"
