"""Module attributes, argument conversion, diagnostics and the version gate."""
import glob
import json
import math
import os
import re
import shutil
import subprocess

import pybind11
import pytest

import loomfeather_cpp as lf

def test_attributes_and_build_info():
    assert lf.__doc__ == "Optimized C++ ByteTrack - parity-gated against loomfeather-mot (NumPy)."
    info = lf.build_info()
    assert info["module_version"] == lf.__version__ == "0.1.1" and info["fp_contract_off"] is True
    assert re.fullmatch(r"GCC \d+\.\d+\.\d+", info["compiler_version"]) and re.fullmatch(r"3\.4\.\d+", info["eigen_version"])
    assert info["pybind11_version"] == "{}.{}".format(*pybind11.version_info[:2]) and info["cxx_standard"] == 201703


def test_eigen_selftest_is_exactly_zero():
    r = lf.eigen_selftest()
    assert type(r) is float and r == 0.0 and math.copysign(1.0, r) == 1.0


def find_python312():
    roots = [os.environ.get("PYENV_ROOT", ""), os.path.expanduser("~/.pyenv")]
    if shutil.which("pyenv"):
        roots.append(subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip())
    candidates = [shutil.which("python3.12")]
    candidates += sorted(p for r in roots if r for p in glob.glob(f"{r}/versions/3.12.*/bin/python3.12"))
    check = "import sys; sys.exit(sys.version_info[:2] != (3, 12))"
    return next((exe for exe in filter(None, candidates)
                 if subprocess.run([exe, "-c", check], capture_output=True).returncode == 0), None)


IMPORT_UNDER_312 = """
import json, os, sys
if sys.argv[2] == "lazy":
    sys.setdlopenflags(os.RTLD_LAZY)
sys.path.insert(0, sys.argv[1])
try:
    import loomfeather_cpp
except ImportError as e:
    print(json.dumps([sys.version, str(e)]))
    sys.exit(3)
"""


@pytest.mark.parametrize("binding", ["now", "lazy"])
def test_import_under_python312_is_refused(tmp_path, binding):
    exe = find_python312()
    if exe is None:
        pytest.skip("no working Python 3.12 interpreter")
    so = tmp_path / "loomfeather_cpp.so"
    shutil.copy(lf.__file__, so)
    res = subprocess.run([exe, "-I", "-c", IMPORT_UNDER_312, str(tmp_path), binding],
                         capture_output=True, text=True, timeout=60)
    assert res.returncode == 3, res.stderr
    version, message = json.loads(res.stdout)
    mismatch = ("Python version mismatch: module was compiled for Python 3.13, "
                f"but the interpreter version is incompatible: {version}.")
    if binding == "lazy":
        # Unresolved functions wait until called, so the init function runs.
        assert message == mismatch
    else:
        # The dynamic loader may refuse the file (its error names the file)
        # before the init function gets to check the version.
        assert message == mismatch or str(so) in message
