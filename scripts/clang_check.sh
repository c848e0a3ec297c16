#!/usr/bin/env bash
# clang held to GCC's bar (scripts/test.sh calls this after the Python tests,
# whose build/py-numpy2 holds the GCC wheel):
#   1. the engine tests built with clang, warnings as errors, allocation
#      testing on as in the GCC run, through CTest (build/clang);
#   2. the module's wheel built with clang (its own CMake tree,
#      build/clang-wheel) and installed into build/py-clang, which has NumPy
#      alone, at the GCC environment's version;
#   3. scripts/same_outputs.py run once with each build: the limiter in both
#      modes, StreamLimiter and the meter on fixed signals must give the
#      same bits, or this fails naming each output that differs.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
pip_quiet=(-q --disable-pip-version-check)
werror=${QX_WERROR:-ON}
gcc_env=build/py-numpy2
[ -x "$gcc_env/bin/python" ] || { echo "run scripts/test.sh first: $gcc_env is missing" >&2; exit 1; }

echo "== engine tests built with clang"
CC=clang CXX=clang++ cmake -S . -B build/clang -G Ninja -DQX_BUILD_TESTS=ON \
  -DQX_ALLOCATION_TESTING=ON -DQX_WERROR="$werror" >/dev/null
cmake --build build/clang -j2
ctest --test-dir build/clang --output-on-failure -j2

echo "== the module built with clang"
# Built by the GCC environment's interpreter, which has the build backend;
# only the compiler differs. Not stripped: llvm-strip, which CMake picks with
# clang, would drop the .comment section that names the compiler (checked
# below). The same NumPy in both environments, so both runs draw the same
# signals.
numpy_version=$("$gcc_env/bin/python" -c 'import numpy; print(numpy.__version__)')
[ -x build/py-clang/bin/python ] || "$python" -m venv build/py-clang
build/py-clang/bin/python -m pip install "${pip_quiet[@]}" "numpy==$numpy_version"
rm -rf build/clang-wheelhouse
CC=clang CXX=clang++ "$gcc_env/bin/python" -m pip wheel "${pip_quiet[@]}" --no-build-isolation \
  --no-deps -w build/clang-wheelhouse -C build-dir=build/clang-wheel \
  -C cmake.define.QX_WERROR="$werror" -C install.strip=false -C build.tool-args=-j2 .
build/py-clang/bin/python -m pip install "${pip_quiet[@]}" --no-deps --force-reinstall \
  build/clang-wheelhouse/qx_limiter-*.whl

echo "== the same outputs from the GCC and the clang build"
# Which compiler built the two extension modules an environment imports,
# read from the compilers' notes in each one's ELF .comment section (GCC's is
# in every build, from the C runtime's start files; clang adds its own).
# Checked first, so that a mixed-up environment never compares a build with
# itself.
expect_built_by() {  # environment, then gcc or clang
  local so found=""
  for so in $("$1/bin/python" -c 'import qx_limiter, qx_limiter_tools._native as n
print(qx_limiter.__file__, n.__file__)'); do
    if readelf -p .comment "$so" | grep -q 'clang version'; then found+="clang "; else found+="gcc "; fi
  done
  [ "$found" = "$2 $2 " ] || { echo "$1 imports modules built by: ${found:-?}(not $2)" >&2; exit 1; }
}
expect_built_by "$gcc_env" gcc
expect_built_by build/py-clang clang
"$gcc_env/bin/python" scripts/same_outputs.py build/same-outputs-gcc.npz
build/py-clang/bin/python scripts/same_outputs.py build/same-outputs-clang.npz
build/py-clang/bin/python scripts/same_outputs.py --compare build/same-outputs-gcc.npz \
  build/same-outputs-clang.npz
