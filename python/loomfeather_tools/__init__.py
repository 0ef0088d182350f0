"""Command-line tools around loomfeather_cpp: MOTChallenge files in and out,
a synthetic scene generator, evaluation and trajectory plots.

The extension module itself reads no files; everything that touches the file
system or optional libraries (motmetrics, matplotlib) lives here.
"""

__all__ = ["__version__"]

__version__ = "0.1.1"
