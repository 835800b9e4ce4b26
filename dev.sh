#!/bin/sh
# Set-up, build and checks in one place.
#   ./dev.sh demo    build kaltro-svm alone (in build-demo/), train and predict on the
#                    bundled digits (ten classes); needs only the packages in
#                    .ci/packages-demo
#   ./dev.sh check   build the optimised, sanitizer and 32-bit trees; run every test;
#                    fuzz every target for 20 seconds (packages in .ci/packages)
#   ./dev.sh fuzz [SECONDS]  build the fuzz targets (clang, build-fuzz/) and run each
#                    for SECONDS (default 60); fails on any finding
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

# Runs every fuzz target of build-fuzz/ for $1 seconds, one after the other,
# from its seeds, the inputs that failed before and the corpus grown by
# earlier runs (build-fuzz/corpus/NAME).  A finding lands in
# build-fuzz/findings/NAME/; once mended it belongs in
# tests/fuzz/regressions/NAME/, which the ordinary tests replay.
fuzz() {
  failed=""
  for name in $(cat build-fuzz/fuzz-targets); do
    corpus=build-fuzz/corpus/$name
    findings=build-fuzz/findings/$name
    log=build-fuzz/logs/$name.log
    mkdir -p "$corpus" "$findings" build-fuzz/logs
    set -- "$corpus" tests/fuzz/corpus/$name
    [ -d tests/fuzz/regressions/$name ] && set -- "$@" tests/fuzz/regressions/$name
    [ -f tests/fuzz/$name.dict ] && set -- -dict=tests/fuzz/$name.dict "$@"
    echo "== fuzz $name: ${seconds}s"
    # Standard output (the solver's progress) is closed.
    if UBSAN_OPTIONS=print_stacktrace=1 \
      build-fuzz/bin/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/" "$@" >"$log" 2>&1; then
      grep -E '^#[0-9]+[[:space:]]+DONE|^Done ' "$log" || true
    else
      tail -n 40 "$log"
      failed="$failed $name"
    fi
  done
  if [ -n "$failed" ]; then
    echo "fuzz findings in:$failed (inputs in build-fuzz/findings/, logs in build-fuzz/logs/)" >&2
    return 1
  fi
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
    echo "== fuzz"
    build fuzz
    seconds=20
    fuzz
    ;;
  fuzz)
    install_packages .ci/packages
    build fuzz
    seconds=${2:-60}
    fuzz
    ;;
  format)
    cmake -P cmake/format.cmake
    ;;
  *)
    echo "usage: ./dev.sh demo | check | fuzz [SECONDS] | format" >&2
    exit 2
    ;;
esac
