#!/usr/bin/env bash
# Build loomfeather_cpp with AddressSanitizer and UndefinedBehaviorSanitizer
# (every finding fatal; CMake option LF_SANITIZE) into build/sanitize, then run
# the test files that exercise the C++ code against that build (see
# PURE_PYTHON below). The normal install in .venv is left as it is: the
# sanitized module comes first on PYTHONPATH, and
# tests/conftest.py stops the run if the module it imports is not the one
# named in LF_EXPECT_MODULE. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh >/dev/null  # .venv with the build and test requirements
PY=.venv/bin/python
BUILD=build/sanitize

# -O1 -g1: half the compile time of -O2 -g, and reports still name file and line.
"$PY" -m cmake -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DLF_SANITIZE=ON \
    -DPython_EXECUTABLE="$PWD/$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >/dev/null
"$PY" -m cmake --build "$BUILD"

SO="$(ls "$PWD/$BUILD"/loomfeather_cpp*.so)"
if ! readelf -d "$SO" | grep -q 'NEEDED.*libasan'; then
    echo "sanitize: $SO is not linked against libasan" >&2
    exit 1
fi

# CPython is not instrumented, so the ASan runtime must come first (LD_PRELOAD);
# libstdc++ is preloaded with it so that ASan's interception of C++ throws
# finds the real one (otherwise the first exception thrown aborts). Python's
# own allocator is switched to malloc so that ASan sees every object. Leak
# checking is off: the interpreter keeps much of its memory until exit. A
# failed malloc returns NULL (NumPy raises MemoryError), but a failed C++ new
# still aborts under ASan, so LF_SANITIZED tells the tests to ask for no
# impossible results.
CXX="${CXX:-g++}"
export LD_PRELOAD="$("$CXX" -print-file-name=libasan.so) $("$CXX" -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$PWD/$BUILD${PYTHONPATH:+:$PYTHONPATH}"
export LF_EXPECT_MODULE="$SO" LF_SANITIZED=1
# The test files that exercise the C++ code. The pure-Python tools' own
# tests (runner and engines, file reading, rendering, the supervision and
# trackers adapters, presets) run in the normal pass only: through the module
# they reach nothing the files below do not, and under the sanitizer they
# would take most of its time.
PURE_PYTHON=(test_runner.py test_io.py test_render.py test_adapters.py test_presets.py)
echo "sanitize: running the test suite against $SO (without ${PURE_PYTHON[*]})"
# --capture=sys: a sanitizer report is written to file descriptor 2 just
# before the abort; pytest's fd capture would swallow it.
exec "$PY" -m pytest -q -p no:cacheprovider --capture=sys --hypothesis-profile=sanitize \
    "${PURE_PYTHON[@]/#/--ignore=tests/}" "$@"
