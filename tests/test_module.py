"""Module attributes and diagnostics. (The refusal to load under another
Python version is the binding library's own check, not tested here.)"""
import math
import re

import pybind11

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
