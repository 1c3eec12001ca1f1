#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in the build directory given as
# $1 (default build-fuzz) and runs each for ${FUZZ_SECONDS:-30} seconds.
# The seed corpus in tests/fuzz/corpus/<target>/ is only read: new inputs go
# to a scratch directory that is removed afterwards. Any finding fails the
# run; its input is kept in <build>/fuzz-findings/<target>/, and once the
# fault is fixed it belongs in the seed corpus as a regression input.
set -euo pipefail
cd "$(dirname "$0")/../.."

build="${1:-build-fuzz}"
seconds="${FUZZ_SECONDS:-30}"
targets=(fuzz_reply fuzz_pasv_pwd fuzz_quad fuzz_listutil fuzz_listing fuzz_address)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DZUB_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel 2 --target "${targets[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
  mkdir -p "$work/$target/new" "$work/$target/found"
  echo "== $target: ${seconds}s"
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/$target/found/" \
       "$work/$target/new" "tests/fuzz/corpus/$target" >"$work/$target/log" 2>&1; then
    grep -E '^(#[0-9]+.*DONE|Done [0-9]+ runs|stat::number_of_executed_units)' "$work/$target/log" || true
  else
    failed+=("$target")
    tail -n 60 "$work/$target/log"
    mkdir -p "$build/fuzz-findings/$target"
    cp -a "$work/$target/found/." "$build/fuzz-findings/$target/" 2>/dev/null || true
    echo "!! $target found a fault; inputs kept in $build/fuzz-findings/$target/"
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each, no findings"
