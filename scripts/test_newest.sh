#!/usr/bin/env bash
# Run tests/test_adapters.py against the newest supervision, which no longer
# ships a ByteTrack of its own, in a second small environment (.venv-newest):
# the packages of requirements-newest.txt (upgraded to the newest release on
# every run) and the loomfeather_cpp wheel scripts/setup.sh built for .venv.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

WHEEL=(build/wheel/loomfeather_cpp-*.whl)
if [ ! -f "${WHEEL[0]}" ]; then
    echo "test_newest: no wheel in build/wheel; run scripts/setup.sh first" >&2
    exit 1
fi
VENV=.venv-newest
if [ ! -x "$VENV/bin/python" ]; then
    echo "test_newest: creating $VENV"
    .venv/bin/python -m venv --clear "$VENV"
fi
PIP=("$VENV/bin/python" -m pip --disable-pip-version-check -q)
"${PIP[@]}" install --upgrade -r requirements-newest.txt
"${PIP[@]}" install --no-deps --force-reinstall "${WHEEL[0]}"
"$VENV/bin/python" -c 'import supervision, trackers; print(f"test_newest: supervision {supervision.__version__}, trackers", end=" ")
from importlib.metadata import version; print(version("trackers"))'
# tests/conftest.py serves the other test files (hypothesis, the sanitizer
# run); this file needs none of it.
exec "$VENV/bin/python" -m pytest --noconftest -p no:cacheprovider tests/test_adapters.py "$@"
