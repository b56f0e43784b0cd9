#!/usr/bin/env bash
# Runs dorvix's fuzz targets with libFuzzer for a while (by hand; not part of CI).
#
# usage: tests/fuzz/run_fuzzers.sh [SECONDS] [TARGET...]
#
# Builds the targets with clang++ -fsanitize=fuzzer,address,undefined in build-fuzz/ (or
# $FUZZ_BUILD_DIR), copies each target's corpus from tests/fuzz/corpus/<target>/ to a scratch
# corpus, runs the target for SECONDS (60 by default; $FUZZ_JOBS targets at a time, 1 by
# default) and reports per target how long it ran, its executions, its coverage and any crash,
# leak or timeout files. Findings go to build-fuzz/findings/<target>/; reproduce one with
# build-fuzz/tests/fuzz/fuzz_<target> FILE, and once fixed add it to the corpus so the
# replay test (ctest -R FuzzCorpus) keeps it fixed.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(image_header fat_walk restore_plan image_ini)
fi

cxx=${FUZZ_CXX:-}
if [ -z "$cxx" ]; then
  for candidate in clang++-14 clang++; do
    if command -v "$candidate" >/dev/null; then
      cxx=$candidate
      break
    fi
  done
fi
if [ -z "$cxx" ]; then
  echo "clang++ is missing: install the Debian packages clang-14 and libclang-rt-14-dev" >&2
  exit 2
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    "$cxx" -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  echo "$cxx cannot link libFuzzer: install the Debian package libclang-rt-14-dev" >&2
  exit 2
fi

build=${FUZZ_BUILD_DIR:-$top/build-fuzz}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DDORVIX_FUZZ=ON -DIMAGING_TESTS=OFF -DDORVIX_WINDOWS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
  local target=$1
  local scratch=$build/corpus/$target findings=$build/findings/$target log=$build/findings/$target.log
  rm -rf "$scratch" "$findings"
  mkdir -p "$scratch" "$findings"
  cp "$top/tests/fuzz/corpus/$target/"* "$scratch/"
  local started=$SECONDS
  # -timeout: one input may take at most 10 s; -rss_limit_mb: 2 GiB per target.
  (cd "$findings" && "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 "$scratch" >"$log" 2>&1) || true
  local ran=$((SECONDS - started))
  local execs cov files
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  cov=$(grep -oE '(cov|ft): [0-9]+' "$log" | tail -2 | tr '\n' ' ' || true)
  files=$(ls "$findings" 2>/dev/null | tr '\n' ' ')
  printf '%-14s %5ss  %10s executions  %-22s findings: %s\n' "$target" "$ran" "${execs:-?}" "${cov:-}" \
    "${files:-none}" >"$build/findings/$target.summary"
}

jobs=${FUZZ_JOBS:-1}
running=0
for target in "${targets[@]}"; do
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

echo "target          time      executions  coverage               findings"
status=0
for target in "${targets[@]}"; do
  cat "$build/findings/$target.summary"
  if [ -n "$(ls "$build/findings/$target" 2>/dev/null)" ]; then
    status=1
  fi
done
exit $status
