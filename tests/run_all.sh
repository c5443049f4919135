#!/usr/bin/env bash
# Installs what the tests need (Debian: GoogleTest, GMP; PyPI: the module and its test
# extras, oneTBB's headers among them) and runs the whole suite: C++ unit tests under
# ASan/UBSan, the parallel ones again under TSan, then pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
for pkg in libgtest-dev libgmp-dev g++; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}"
fi

command -v cmake >/dev/null && command -v ninja >/dev/null || python3 -m pip install -q cmake ninja
python3 -m pip install -q '.[test]'

build=build/cpp-tests
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKAVRO_BUILD_PYTHON=OFF -DKAVRO_BUILD_TESTS=ON -DKAVRO_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

tsan=build/cpp-tests-tsan
cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKAVRO_BUILD_PYTHON=OFF -DKAVRO_BUILD_TESTS=ON -DKAVRO_TSAN=ON >/dev/null
cmake --build "$tsan" -j"$(nproc)"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$tsan" --output-on-failure -j"$(nproc)"

# Run from tests/ so the source tree cannot shadow the installed module.
cd tests && python3 -m pytest -q -p no:cacheprovider
