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

# Every entry of the binding table, in registration order.
TABLE = [
    "build_info", "eigen_selftest", "echo", "xyxy_to_xywh", "xywh_to_xyxy", "xyxy_to_cxcywh",
    "cxcywh_to_xyxy", "xyxy_to_xyah", "xyah_to_xyxy", "box_area", "iou_matrix", "giou_matrix",
    "clip_boxes", "linear_assignment", "associate", "linear_assignment_lapjv", "TrackerConfig",
    "build_association_cost", "appearance_distance", "uncertainty_distance", "ByteTracker",
    "chi2_gating_threshold", "KalmanBoxTracker",
    "evaluate_sequence", "combine_evaluations", "linear_assignment_scipy",
]


def test_attributes_and_registration_order():
    assert lf.__doc__ == "Optimized C++ ByteTrack - parity-gated against loomfeather-mot (NumPy)."
    assert type(lf.__version__) is str and lf.__version__ == "0.1.1"
    names = [k for k in vars(lf) if not k.startswith("_")]
    assert set(TABLE[:13]) <= set(names)
    assert names == [t for t in TABLE if t in names]
    assert list(vars(lf)).index("__version__") < list(vars(lf)).index("build_info")


def test_build_info():
    info = lf.build_info()
    assert list(info) == ["module_version", "compiler_version", "eigen_version",
                          "pybind11_version", "cxx_standard", "fp_contract_off"]
    assert info["module_version"] == lf.__version__
    assert re.fullmatch(r"GCC \d+\.\d+\.\d+", info["compiler_version"])
    assert re.fullmatch(r"3\.4\.\d+", info["eigen_version"])
    assert info["pybind11_version"] == "{}.{}".format(*pybind11.version_info[:2])
    assert type(info["cxx_standard"]) is int and info["cxx_standard"] == 201703
    assert info["fp_contract_off"] is True
    assert lf.build_info() == info and lf.build_info() is not info


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
