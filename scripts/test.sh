#!/usr/bin/env bash
# Runs every test of the project: the C++ engine tests through CTest, then
# the Python module's tests through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/tests
cmake -S . -B "$build" -G Ninja -DQX_BUILD_TESTS=ON -DQX_WERROR="${QX_WERROR:-ON}" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2
