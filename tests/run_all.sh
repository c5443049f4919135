#!/usr/bin/env bash
# Installs what the tests need and runs the whole suite: C++ unit tests under ASan/UBSan,
# the parallel ones again under TSan, then pytest.
#
# Debian/Ubuntu packages: GoogleTest, GMP and g++, plus python3-venv when `python3 -m venv`
# cannot make a virtual environment. Missing ones are installed with apt-get, as root
# directly, otherwise through sudo (so a non-root user needs sudo rights for apt-get, or
# has to install those packages beforehand).
# Python packages: cmake, ninja, the module and its test extras (oneTBB's headers among
# them), all from PyPI into the virtual environment .venv at the repository root (made on
# the first run, reused afterwards).
set -euo pipefail
cd "$(dirname "$0")/.."

apt_install() {
  local apt=(apt-get)
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "run_all.sh: the Debian packages $* are missing; not root and no sudo to install" \
           "them: as root, run 'apt-get install $*', then run this script again" >&2
      exit 1
    fi
    apt=(sudo apt-get)
  fi
  "${apt[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq "$@"
}

need_apt=()
for pkg in libgtest-dev libgmp-dev g++; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done

venv=$PWD/.venv
py=$venv/bin/python
venv_ok() { "$py" -m pip --version >/dev/null 2>&1; }
if ! venv_ok; then
  # Debian and Ubuntu ship venv's pip bootstrap (ensurepip) in the python3-venv package.
  python3 -m venv --clear "$venv" >/dev/null 2>&1 || true
  venv_ok || need_apt+=(python3-venv)
fi
if [ ${#need_apt[@]} -gt 0 ]; then
  apt_install "${need_apt[@]}"
fi
venv_ok || python3 -m venv --clear "$venv"

# The venv's own cmake and ninja, so that no older or missing system copy matters.
"$py" -m pip install -q cmake ninja
export PATH=$venv/bin:$PATH
"$py" -m pip install -q '.[test]'

# CMake asks this interpreter for the tbb-devel wheel's oneTBB config and for the embedded
# Python of the progress tests.
build=build/cpp-tests
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" \
  -DKAVRO_BUILD_PYTHON=OFF -DKAVRO_BUILD_TESTS=ON -DKAVRO_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

tsan=build/cpp-tests-tsan
cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" \
  -DKAVRO_BUILD_PYTHON=OFF -DKAVRO_BUILD_TESTS=ON -DKAVRO_TSAN=ON >/dev/null
cmake --build "$tsan" -j"$(nproc)"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$tsan" --output-on-failure -j"$(nproc)"

# Run from tests/ so the source tree cannot shadow the installed module.
cd tests && "$py" -m pytest -q -p no:cacheprovider
