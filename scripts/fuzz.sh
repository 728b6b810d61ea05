#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one.
#   scripts/fuzz.sh --runs N       each target for N inputs (what CI does)
#   scripts/fuzz.sh --seconds S    each target for S seconds
# New inputs go to build-fuzz/corpus/<target>; the seeds in fuzz/corpus are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-runs=20000)
case "${1:-}" in
  --runs) limit=(-runs="$2") ;;
  --seconds) limit=(-max_total_time="$2") ;;
  "") ;;
  *) echo "usage: $0 [--runs N | --seconds S]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORBEL_FUZZ=ON -DQUORBEL_BUILD_TESTS=OFF -DQUORBEL_WERROR=ON
cmake --build build-fuzz -j"$(nproc)" --target \
  fuzz_snapshot_reader fuzz_credentials_decoder fuzz_usage_answer fuzz_date_parser fuzz_version_parser \
  fuzz_usage_view

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run() { # target seeds dictionary
  local work="build-fuzz/corpus/$1" log="build-fuzz/fuzz_$1.log"
  mkdir -p "$work"
  echo "== fuzz_$1"
  if "build-fuzz/fuzz/fuzz_$1" "${limit[@]}" -dict="fuzz/$3.dict" -max_len=4096 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/ "$work" "fuzz/corpus/$2" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$log" || true
  else
    tail -n 60 "$log"
    echo "fuzz_$1 FAILED (crash input saved beside $log)" >&2
    return 1
  fi
}
run snapshot_reader snapshot snapshot
run credentials_decoder credentials credentials
run usage_answer usage usage
run date_parser date date
run version_parser version version
run usage_view view view
echo "fuzz: all targets ran clean"
