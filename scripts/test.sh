#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The one command CI runs:
#   1. the test suite (the self-check included) in a Release build with the system compiler
#      (GCC), so that a warning only optimisation shows fails it as well;
#   2. the same suite built with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
#      where any report fails the run;
#   3. every fuzz target for a short, fixed number of inputs.
# `scripts/test.sh --quick` runs the first stage only. Every stage treats warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs="$(nproc)"

echo "== tests"
# The unit directory is reset to its default, which the install and package tests check, in case
# an older configuration left another value in the cache.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUORBEL_BUILD_TESTS=ON -DQUORBEL_WERROR=ON \
  -DQUORBEL_USER_UNIT_DIR=
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
count() { ctest --test-dir "$1" -N | sed -n 's/^Total Tests: //p'; }
passed=$(count build)
if [ "${1:-}" = "--quick" ]; then
  echo "tests: $passed passed, 0 failed"
  exit 0
fi

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
CXX=clang++-14 cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORBEL_BUILD_TESTS=ON -DQUORBEL_SANITIZE=ON -DQUORBEL_WERROR=ON -DQUORBEL_USER_UNIT_DIR=
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

echo "== fuzz targets, short runs"
scripts/fuzz.sh --runs 20000

# Every stage above stops the script on its first failure, so reaching here means all passed.
echo "tests: $((passed + $(count build-sanitize))) passed, 0 failed"
