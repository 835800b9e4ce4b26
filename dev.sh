#!/bin/sh
# Set-up, build and checks in one place.
#   ./dev.sh demo    build kaltro-svm alone (in build-demo/), train and predict on the
#                    bundled digits (ten classes); needs only the packages in
#                    .ci/packages-demo
#   ./dev.sh check   build the optimised, sanitizer and 32-bit trees; run every test
#                    (packages in .ci/packages)
#   ./dev.sh format  rewrite the C and C++ sources after .clang-format (the check
#                    is a test of the optimised tree)
set -eu
cd "$(dirname "$0")"

# Installs the Debian packages listed in the file $1 that are missing.
install_packages() {
  missing=""
  for p in $(cat "$1"); do
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
    install_packages .ci/packages-demo
    build demo
    mkdir -p build-demo/demo
    build-demo/bin/kaltro-svm train data/digits.txt build-demo/demo/digits.model
    build-demo/bin/kaltro-svm predict data/digits.txt build-demo/demo/digits.model \
      build-demo/demo/digits.predict
    ;;
  check)
    install_packages .ci/packages
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
