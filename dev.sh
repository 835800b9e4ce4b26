#!/bin/sh
# Set-up, build and checks in one place.
#   ./dev.sh demo    build the optimised tree, train and predict on the bundled digits (ten classes)
#   ./dev.sh check   build the optimised, sanitizer and 32-bit trees; run every test
#   ./dev.sh format  rewrite the C and C++ sources after .clang-format (the check
#                    is a test of the optimised tree)
set -eu
cd "$(dirname "$0")"

install_packages() {
  missing=""
  for p in $(cat .ci/packages); do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "installing:$missing"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y $missing
}

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$(nproc)"
}

case "${1:-}" in
  demo)
    install_packages
    build release
    mkdir -p build/demo
    build/bin/kaltro-svm train data/digits.txt build/demo/digits.model
    build/bin/kaltro-svm predict data/digits.txt build/demo/digits.model build/demo/digits.predict
    ;;
  check)
    install_packages
    for preset in release sanitize m32; do
      echo "== $preset"
      build "$preset"
      ctest --preset "$preset" -j "$(nproc)"
    done
    ;;
  format)
    cmake -P cmake/format.cmake
    ;;
  *)
    echo "usage: ./dev.sh demo | check | format" >&2
    exit 2
    ;;
esac
