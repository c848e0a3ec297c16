#!/usr/bin/env bash
# The hardening runs, after the plain tests (scripts/test.sh calls this):
#   1. the engine tests and the whole Python suite against a build with
#      AddressSanitizer and UndefinedBehaviorSanitizer; any report fails;
#   2. the module built with allocation testing: every call of
#      tests/python/test_allocation_failures.py with its first, second, …
#      allocation failing in turn;
#   3. a bounded round of the engine's libFuzzer target (QX_FUZZ_SECONDS,
#      60 by default; fuzz/README.md shows a longer run);
#   4. valgrind's memcheck over every path of the module: no definite leak
#      and no memory error through the module.
# Each has its own build directory and virtual environment under build/.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
pip_quiet=(-q --disable-pip-version-check)
werror=${QX_WERROR:-ON}

# Halt on the first report of either sanitizer. allocator_may_return_null:
# the settings that need more memory than exists must come back as
# MemoryError (OutOfMemory in the engine), not end in a sanitizer abort.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
asan_common=halt_on_error=1:allocator_may_return_null=1

echo "== engine tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan-engine -G Ninja -DQX_SANITIZE=ON -DQX_BUILD_TESTS=ON \
  -DQX_ALLOCATION_TESTING=ON -DQX_WERROR="$werror" >/dev/null
cmake --build build/asan-engine -j2
ASAN_OPTIONS=$asan_common:detect_leaks=1 ctest --test-dir build/asan-engine --output-on-failure -j2

echo "== Python tests against the module built with both sanitizers"
[ -x build/py-asan/bin/python ] || "$python" -m venv build/py-asan
# The command line's extra too, so its tests drive the sanitized module.
build/py-asan/bin/python -m pip install "${pip_quiet[@]}" 'numpy>=2' pytest hypothesis \
  'scikit-build-core>=0.11' 'cmake>=3.21' ninja 'soundfile>=0.12' 'tqdm>=4.60' 'matplotlib>=3.7' \
  'av>=14' 'mutagen>=1.47' 'soxr>=0.3'
rm -rf build/asan-wheelhouse
build/py-asan/bin/python -m pip wheel "${pip_quiet[@]}" --no-build-isolation --no-deps \
  -w build/asan-wheelhouse -C build-dir=build/asan-wheel -C cmake.define.QX_SANITIZE=ON \
  -C cmake.define.QX_WERROR="$werror" -C build.tool-args=-j2 .
build/py-asan/bin/python -m pip install "${pip_quiet[@]}" --no-deps --force-reinstall \
  build/asan-wheelhouse/qx_limiter-*.whl
# The interpreter is not instrumented, so the runtimes are preloaded: ASan's
# first, and libstdc++ with it so that ASan can intercept C++ throws in the
# extension modules loaded later. The interpreter's own allocations are not
# leak-checked (detect_leaks=0); valgrind below checks the module's.
asan_preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
log=build/asan-pytest.log
status=0
LD_PRELOAD=$asan_preload ASAN_OPTIONS=$asan_common:detect_leaks=0 \
  build/py-asan/bin/python -m pytest -q -p no:cacheprovider tests/python 2>&1 | tee "$log" ||
  status=$?
if [ "$status" -ne 0 ] || grep -qE "ERROR: AddressSanitizer|runtime error:" "$log"; then
  echo "sanitizer run failed (status $status)" >&2
  exit 1
fi
echo "sanitizer reports: 0"

echo "== allocation failures through the module"
[ -x build/py-alloc/bin/python ] || "$python" -m venv build/py-alloc
build/py-alloc/bin/python -m pip install "${pip_quiet[@]}" 'numpy>=2' pytest \
  'scikit-build-core>=0.11' 'cmake>=3.21' ninja
build/py-alloc/bin/python -m pip install "${pip_quiet[@]}" --no-build-isolation --no-deps \
  --force-reinstall -C build-dir=build/alloc-wheel -C cmake.define.QX_ALLOCATION_TESTING=ON \
  -C cmake.define.QX_WERROR="$werror" -C build.tool-args=-j2 .
build/py-alloc/bin/python -m pytest -q -p no:cacheprovider tests/python/test_allocation_failures.py

echo "== engine fuzzing, ${QX_FUZZ_SECONDS:-60} s"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DQX_BUILD_FUZZ=ON -DQX_BUILD_TESTS=OFF \
  -DQX_WERROR="$werror" \
  >/dev/null
cmake --build build/fuzz -j2 --target engine_fuzz
mkdir -p build/fuzz-corpus build/fuzz-crashes
log=build/fuzz/engine_fuzz.log
# The cap makes allocations above 3 GB fail on every machine alike, below
# libFuzzer's own limits, which then only catch real runaway use.
status=0
ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=3072 \
  build/fuzz/fuzz/engine_fuzz -max_total_time="${QX_FUZZ_SECONDS:-60}" -rss_limit_mb=4096 \
  -malloc_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build/fuzz-crashes/ \
  build/fuzz-corpus >"$log" 2>&1 || status=$?
grep -E "^INFO: Seed|^Done|^stat::(number_of_executed_units|new_units_added|peak_rss_mb)" "$log"
echo "corpus: $(find build/fuzz-corpus -type f | wc -l) inputs"
if [ "$status" -ne 0 ]; then
  grep -v "failed to allocate" "$log" | tail -60 >&2
  echo "the fuzzer failed (status $status); inputs in build/fuzz-crashes" >&2
  exit 1
fi

echo "== valgrind memcheck of the module"
build/py-numpy2/bin/python scripts/memcheck.py 2
