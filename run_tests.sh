#!/usr/bin/env bash
# Builds and runs the whole test suite: once optimised, then under
# AddressSanitizer and UndefinedBehaviorSanitizer with clang and with GCC,
# under ThreadSanitizer, then optimised for this machine's processor; then
# runs every fuzz target for a minute. The sanitizer builds leave out the
# multi-megapixel thread comparison (minutes there); the smaller thread
# comparisons exercise the same paths under them.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install_deps.sh
jobs=$(nproc)
large=EncoderPaths.LargeImages

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/release
ctest --test-dir build/release --output-on-failure -j "$jobs"

cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKV_SANITIZE=ON -DKV_BUILD_BENCH=OFF
cmake --build build/sanitize
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -E "$large"
# The same under GCC. Both compilers build every kernel's vector versions
# (src/dsp/x86), and the kernel harness (check_dsp) runs each level the
# processor has, AVX2 included, against the scalar definitions in both builds.
cmake -S . -B build/sanitize-gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ -DKV_SANITIZE=ON -DKV_BUILD_BENCH=OFF
cmake --build build/sanitize-gcc
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize-gcc --output-on-failure -j "$jobs" -E "$large"
# The encoder's searches run on several threads: ThreadSanitizer (clang)
# watches them and everything else the tests drive.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKV_THREAD_SANITIZE=ON -DKV_BUILD_BENCH=OFF
cmake --build build/tsan
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs" -E "$large"
# Built for this machine's own processor (FMA, AVX-512 where it has them):
# the golden streams prove the bytes do not depend on the target.
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS=-march=native -DKV_BUILD_BENCH=OFF
cmake --build build/native
ctest --test-dir build/native --output-on-failure -j "$jobs"
# Fuzzing: a minute per libFuzzer target on its seed corpus, in a clang
# build of its own (coverage-instrumented libraries, ASan + UBSan).
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKV_SANITIZE=ON -DKV_FUZZ=ON -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF
fuzz/run_fuzzers.sh 60 build/fuzz
echo "all tests passed"
