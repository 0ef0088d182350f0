"""Command-line tools around loomfeather_cpp: MOTChallenge files in and out,
a synthetic scene generator, evaluation, whole-benchmark runs and sweeps, and
trajectory plots.

The extension module itself reads no files; everything that touches the file
system or optional libraries (matplotlib, dask) lives here.
"""

__all__ = ["__version__"]

__version__ = "0.1.1"
