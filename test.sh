#!/usr/bin/env bash
# Installs what is missing, builds and runs every test; the exit status is the tests'.
#   ./test.sh        the plain build, in build/
#   ./test.sh asan   everything under AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
#   ./test.sh tsan   everything under ThreadSanitizer, in build-tsan/
#   ./test.sh fuzz   the libFuzzer targets (clang), in build-fuzz/: each runs TZ_FUZZ_SECONDS (30) from
#                    its seeds in fuzz/corpus/; what breaks one is kept in build-fuzz/findings/
# TZ_BUILD_DIR=DIR builds in DIR instead of the mode's folder.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh

mode=${1:-plain}
case "$mode" in
  plain) dir=build ;;
  asan) dir=build-asan ;;
  tsan) dir=build-tsan ;;
  fuzz) dir=build-fuzz ;;
  *)
    echo "usage: ./test.sh [asan|tsan|fuzz]" >&2
    exit 2
    ;;
esac
dir=${TZ_BUILD_DIR:-$dir}

if [ "$mode" = fuzz ]; then
  tz_install_missing "${TZ_BUILD_PACKAGES[@]}" "${TZ_FUZZ_PACKAGES[@]}"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTEZMARO_FUZZ=ON -DTEZMARO_BUILD_BENCH=OFF
  fi
  cmake --build "$dir" -j"$(nproc)" --target fuzzers
  seconds=${TZ_FUZZ_SECONDS:-30}
  passed=0 failed=0
  for target in raw_packet datagram_packet split_text text_to_int; do
    # New inputs go to the first folder, so the seeds in the repository stay as they are.
    mkdir -p "$dir/corpus/$target" "$dir/findings"
    log="$dir/fuzz_$target.log"
    if "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$dir/findings/$target-" "$dir/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
      passed=$((passed + 1))
      echo "fuzz_$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)"
    else
      failed=$((failed + 1))
      echo "fuzz_$target FAILED; the input is in $dir/findings/:"
      tail -40 "$log"
    fi
  done
  echo "fuzz: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

tz_install_missing "${TZ_BUILD_PACKAGES[@]}" "${TZ_TEST_PACKAGES[@]}"
case "$mode" in
  plain) tz_configure_and_build "$dir" ;;
  # Benchmarks are no tests, and their figures mean nothing under a sanitizer.
  asan) tz_configure_and_build "$dir" -DTEZMARO_SANITIZE=address -DTEZMARO_BUILD_BENCH=OFF ;;
  tsan) tz_configure_and_build "$dir" -DTEZMARO_SANITIZE=thread -DTEZMARO_BUILD_BENCH=OFF ;;
esac

# A sanitizer's first report fails the test it happens in, with the stack of every thread involved.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1"
ASAN_OPTIONS+=":check_initialization_order=1:strict_init_order=1:print_stacktrace=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# history_size=7: the longest memory of earlier accesses, so that both stacks of a report are known
# (a suppression can only match a stack that was restored). die_after_fork=0: QProcess starts its
# children vfork-like, sharing the parent's memory until exec, so the sanitizer's after-fork mark lands
# in the test process itself, which it would end at its next thread start.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:history_size=7:die_after_fork=0"
TSAN_OPTIONS+=":suppressions=$PWD/tests/tsan.supp"
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 600
