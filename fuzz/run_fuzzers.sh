#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS on a copy of its seed corpus and
# prints, per target, executions, coverage and findings. Builds the targets
# first (clang, AddressSanitizer + UndefinedBehaviorSanitizer) when needed.
#
#   fuzz/run_fuzzers.sh SECONDS [BUILD_DIR]
#
# KV_FUZZ_TARGETS="veluna colour" narrows the run. Findings (crash, timeout,
# out-of-memory and leak inputs) stay in BUILD_DIR/fuzz-run/TARGET/findings;
# the exit status is non-zero when there is any.
set -euo pipefail
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [BUILD_DIR]" >&2
  exit 2
fi
seconds=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build/fuzz}
targets=${KV_FUZZ_TARGETS:-kelvane_decode pnm_encode veluna colour trailer png}

# Runs of a few targets at a time may share the build directory: one
# configures and builds at a time.
mkdir -p "$build"
exec 9>"$build/.fuzz-build.lock"
flock 9
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKV_SANITIZE=ON -DKV_FUZZ=ON -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target $(printf 'fuzz_%s ' $targets) >/dev/null
flock -u 9
exec 9>&-

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
summary=()
for target in $targets; do
  work=$build/fuzz-run/$target
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  cp "$root/tests/data/fuzz/corpus/$target/." "$work/corpus/" -R
  options=(-max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10
           -print_final_stats=1 -artifact_prefix="$work/findings/")
  if [ -f "$root/tests/data/fuzz/$target.dict" ]; then options+=(-dict="$root/tests/data/fuzz/$target.dict"); fi
  if [ "$target" = pnm_encode ]; then options+=(-dict="$root/tests/data/fuzz/pnm.dict"); fi
  echo "== $target: ${seconds}s"
  rc=0
  "$build/fuzz/fuzz_$target" "${options[@]}" "$work/corpus" >"$work/log" 2>&1 || rc=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
  final=$(grep -E '^#[0-9]+' "$work/log" | grep 'cov:' | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$final")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$final")
  findings=$(find "$work/findings" -type f | wc -l)
  if [ "$rc" -ne 0 ] && [ "$findings" -eq 0 ]; then findings=1; fi  # died without leaving an input
  line=$(printf '%-16s executions %-10s cov %-6s ft %-7s findings %s' "$target" "${executions:-?}" \
    "${cov:-?}" "${ft:-?}" "$findings")
  summary+=("$line")
  echo "$line"
  if [ "$findings" -ne 0 ]; then
    status=1
    echo "   log: $work/log"
    find "$work/findings" -type f -printf '   finding: %p\n'
    grep -E 'ERROR|runtime error|fuzz finding|SUMMARY' "$work/log" | head -n 5 | sed 's/^/   /' || true
  fi
done
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
