#!/usr/bin/env bash
# Make .venv with a CPython 3.13, install the build and test dependencies into
# it, then build and install loomfeather_cpp. Safe to run again: the CMake build
# directory is kept, so a rebuild only recompiles what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

is_py313() { [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

find_python() {
    local cand
    for cand in "${PYTHON:-}" "$(command -v python3.13 || true)"; do
        if is_py313 "$cand"; then echo "$cand"; return 0; fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        for cand in $(ls -d "$(pyenv root)"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r); do
            if is_py313 "$cand"; then echo "$cand"; return 0; fi
        done
    fi
    return 1
}

if ! is_py313 .venv/bin/python; then
    if ! PY="$(find_python)"; then
        echo "error: no Python 3.13 interpreter found." >&2
        echo "Install CPython 3.13 (e.g. 'pyenv install 3.13' or Debian's python3.13 with python3.13-venv)," >&2
        echo "or point PYTHON at one: PYTHON=/path/to/python3.13 $0" >&2
        exit 1
    fi
    echo "setup: creating .venv with $PY"
    rm -rf .venv
    "$PY" -m venv .venv
fi

PIP=(.venv/bin/python -m pip --disable-pip-version-check -q)
"${PIP[@]}" install -r requirements-dev.txt
echo "setup: building loomfeather_cpp"
# Built as a wheel (kept in build/wheel) so that scripts/test_newest.sh can
# install the very same build into its second environment.
rm -rf build/wheel
"${PIP[@]}" wheel --no-build-isolation --no-deps -C build-dir=build/release -w build/wheel .
"${PIP[@]}" install --no-deps --force-reinstall build/wheel/loomfeather_cpp-*.whl
.venv/bin/python -c 'import loomfeather_cpp as m; print("setup: loomfeather_cpp", m.__version__, "ready")'
