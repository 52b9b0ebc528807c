#!/usr/bin/env bash
# Builds every fuzz target with clang and libFuzzer (AddressSanitizer + UBSan) and runs each
# for SECONDS (default 60) over its corpus in fuzz/corpus/<target>/. Inputs that add
# coverage are merged back into that corpus (-merge=1); a crash, a sanitizer report or a
# broken invariant leaves its input in build/fuzz/artifacts/ and makes the script fail.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#   FUZZ_JOBS=N   run N targets at once (default 1)
#
# The regular tests replay the corpora with a g++ sanitizer build (tests/test_fuzz_replay.py,
# ctest); this script needs clang with libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
jobs=${FUZZ_JOBS:-1}
[ -d .venv/bin ] && PATH="$PWD/.venv/bin:$PATH"

cxx=""
for c in "${CLANGXX:-}" clang++-19 clang++; do
  if [ -n "$c" ] && command -v "$c" >/dev/null 2>&1; then cxx=$c; break; fi
done
missing="clang with libFuzzer is needed: on Debian, apt-get install -y clang-19 libclang-rt-19-dev"
[ -n "$cxx" ] || { echo "$missing" >&2; exit 1; }

out=build/fuzz
mkdir -p "$out/artifacts" "$out/logs"
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  > "$out/probe.cpp"
"$cxx" -fsanitize=fuzzer,address,undefined "$out/probe.cpp" -o "$out/probe" 2>/dev/null ||
  { echo "$cxx cannot link libFuzzer. $missing" >&2; exit 1; }

# The targets, built by CMake (the sources and flags of every build) with libFuzzer,
# AddressSanitizer and UBSan.
cmake -S . -B "$out/cmake" -G Ninja -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTILTGRAM_MODULE=OFF -DTILTGRAM_SANITIZE=ON \
  -DTILTGRAM_LIBFUZZER=ON >"$out/logs/cmake.log" 2>&1 &&
  cmake --build "$out/cmake" --target "${targets[@]}" >>"$out/logs/cmake.log" 2>&1 ||
  { tail -30 "$out/logs/cmake.log" >&2; echo "the fuzz targets did not build" >&2; exit 1; }

max_len() {
  case $1 in
    fuzz_sector) echo 520 ;; fuzz_header) echo 1024 ;; *) echo 4096 ;;
  esac
}

run_target() {
  local t=$1 log="$out/logs/$1.log" fresh="$out/new/$1" exe="$out/cmake/$1"
  rm -rf "$fresh" && mkdir -p "$fresh" "fuzz/corpus/$t"
  local status=0
  # A freed block stays poisoned until it is reused, but is not held back in a quarantine:
  # the writers' large buffers, freed on every input, would otherwise have their shadow
  # memory re-faulted each time, at a third of the speed.
  ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=0 UBSAN_OPTIONS=print_stacktrace=1 \
    "$exe" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" "$fresh" "fuzz/corpus/$t" \
    >"$log" 2>&1 || status=$?
  # The corpus becomes the smallest set of its inputs and the new ones that keeps all the
  # coverage they reach together.
  local merged="$out/merged/$t"
  rm -rf "$merged" && mkdir -p "$merged"
  if "$exe" -merge=1 -max_len="$(max_len "$t")" "$merged" "fuzz/corpus/$t" "$fresh" >>"$log" 2>&1; then
    rm -rf "fuzz/corpus/$t" && mv "$merged" "fuzz/corpus/$t"
  else
    status=1
  fi
  local runs cov
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  printf '%s: %s inputs in %s s (%s/s), %s, corpus %s files; %s\n' "$t" "${runs:-?}" "$seconds" \
    "$(( ${runs:-0} / (seconds > 0 ? seconds : 1) ))" "${cov:-cov: ?}" "$(ls "fuzz/corpus/$t" | wc -l)" \
    "$([ $status -eq 0 ] && echo 'no finding' || echo "FAILED (exit $status, see $log)")"
  return $status
}

failed=0
pids=()
for t in "${targets[@]}"; do
  run_target "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then wait "${pids[0]}" || failed=1; pids=("${pids[@]:1}"); fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit $failed
