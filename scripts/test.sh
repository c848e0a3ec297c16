#!/usr/bin/env bash
# Runs every test of the project: the C++ engine tests through CTest, then
# the Python module's tests through pytest, against NumPy 2.x and NumPy 1.26,
# then the guide's build, then the clang build and its comparison with
# GCC's, then the hardening runs (sanitizers, fuzzing, valgrind).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/tests
# Built with allocation testing, so the engine tests also walk a failing
# allocation through every point of construction and processing.
cmake -S . -B "$build" -G Ninja -DQX_BUILD_TESTS=ON -DQX_ALLOCATION_TESTING=ON \
  -DQX_WERROR="${QX_WERROR:-ON}" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2

# The Python module: one abi3 wheel, built against NumPy 2's headers, then
# installed into two virtual environments, one per supported NumPy line, so
# the very same binary is tested with both.
python=${PYTHON:-python3}
pip_quiet=(-q --disable-pip-version-check)

venv() {  # directory, then the packages it needs
  local dir=$1
  shift
  [ -x "$dir/bin/python" ] || "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install "${pip_quiet[@]}" "$@"
}
# The NumPy 2 environment also gets the command line's extra (qx_limiter[cli]:
# soundfile, tqdm, matplotlib, av, mutagen, soxr), mypy for the type checks, scipy for
# bench/compare.py's quick run and the meter's oracle, the meter's reference
# meters (pyebur128, a wheel of libebur128, and pyloudnorm) and
# dask[distributed] (the extra qx_limiter[cluster]) for the command line's
# runs and the example on a local two-worker cluster; the
# NumPy 1.26 one stays without them, where those tests skip and the module
# shows that it needs none of them. ruff and clang-format, pinned, check the
# tree's formatting and lint rules (scripts/lint.sh) before the module is built.
# The NumPy 2 environment also builds the guide (the extra qx_limiter[docs]:
# MkDocs Material and mkdocstrings).
venv build/py-numpy2 'numpy>=2' pytest hypothesis 'scikit-build-core>=0.11' 'cmake>=3.21' ninja \
  'soundfile>=0.12' 'tqdm>=4.60' 'matplotlib>=3.7' 'av>=14' 'mutagen>=1.47' 'soxr>=0.3' mypy scipy 'dask[distributed]' \
  pyebur128 pyloudnorm 'ruff==0.8.6' 'clang-format==18.1.8' 'mkdocs-material>=9.5' 'mkdocstrings[python]>=0.26'
venv build/py-numpy126 'numpy==1.26.*' pytest hypothesis
bash scripts/lint.sh

rm -rf build/wheelhouse
build/py-numpy2/bin/python -m pip wheel "${pip_quiet[@]}" --no-build-isolation --no-deps \
  -w build/wheelhouse -C cmake.define.QX_WERROR="${QX_WERROR:-ON}" -C build.tool-args=-j2 .
wheel=$(echo build/wheelhouse/qx_limiter-*-cp311-abi3-*.whl)
[ -f "$wheel" ] || { echo "no abi3 wheel was built" >&2; exit 1; }

for env in build/py-numpy2 build/py-numpy126; do
  "$env/bin/python" -m pip install "${pip_quiet[@]}" --no-deps --force-reinstall "$wheel"
  echo "== $(basename "$wheel") with NumPy $("$env/bin/python" -c 'import numpy; print(numpy.__version__)')"
  "$env/bin/python" -m pytest -q -p no:cacheprovider tests/python
done

# The guide (docs/, mkdocs.yml), with its API reference from the installed
# module's docstrings and the stubs: a broken link, a page outside the
# navigation or a name the reference cannot find fails here. Its examples
# ran with the Python tests above (tests/python/test_guide.py).
# (Not --quiet: it hides the warnings from the count that --strict fails on.)
if ! NO_MKDOCS_2_WARNING=1 build/py-numpy2/bin/python -m mkdocs build --strict \
    --site-dir build/site >build/mkdocs.log 2>&1; then
  grep -v '^INFO' build/mkdocs.log >&2
  echo "the guide does not build (build/mkdocs.log)" >&2
  exit 1
fi
echo "== the guide built into build/site"

# The engine tests and the module built with clang too, the module's
# outputs bit for bit those of the GCC wheel just tested.
bash scripts/clang_check.sh

# Sanitizers, allocation failures, fuzzing and valgrind.
bash scripts/hardening.sh
