"""Results text at array speed: fixed-point decimals (``%.2f``, ``%.4f``) of whole
float64 arrays, character for character what Python's formatting writes, and
the values an evaluator reads back from that text.

A Python loop spends about 2 µs a row on ``f"{x:.2f}"``; a sweep writes
millions of rows. Here every number becomes an integer count of hundredths (or
ten-thousandths), rounded exactly as ``printf`` rounds the binary value: the
product ``x * 10**d`` is taken with its rounding error (Dekker's exact product
by splitting ``x`` into two 26-bit halves), so values that sit on a rounding
boundary only after the product's rounding are settled by the error's sign,
and exact ties go to the even neighbour. The text is then laid out as a
matrix of four-byte cells (digit groups, signs and separators taken from
tables), one row per line, and the cells' NUL padding is dropped.

Values of magnitude 2**36 or more, and NaN or infinities, go through Python's
own formatting instead (identical text, slower).
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

__all__ = ["fixed_units", "format_mot_rows", "units_to_float"]

_SPLIT = 134217729.0  # 2**27 + 1: Veltkamp's splitter for float64
_LIMIT = 2.0**36  # |x| * 10**4 < 2**50: the product, its rounding and its error are exact
_POW10 = 10 ** np.arange(19, dtype=np.int64)


def fixed_units(values: NDArray[np.float64], digits: int) -> tuple[NDArray[np.int64], NDArray[np.bool_]]:
    """``(units, negative)``: ``|x|`` rounded to ``digits`` decimals as an integer
    count of ``10**-digits`` (round half to even on the exact binary value, as
    ``format(x, f".{digits}f")`` does), and the sign bit of each value. Needs
    finite values with ``|x| < 2**36``."""
    x = np.asarray(values, dtype=np.float64)
    scale = float(10**digits)
    p = x * scale
    n = np.rint(p)
    # Only where the rounded product lies exactly halfway can its rounding
    # error change the result: there the error's sign decides (an exact tie,
    # error 0, stays with rint's even neighbour).
    halfway = np.flatnonzero(np.abs(p - n) == 0.5)
    if halfway.size:
        xh, ph = x.reshape(-1)[halfway], p.reshape(-1)[halfway]
        c = _SPLIT * xh
        hi = c - (c - xh)
        lo = xh - hi
        err = (hi * scale - ph) + lo * scale  # x * scale == p + err exactly
        fixed = np.where(err != 0.0, np.floor(ph) + (err > 0.0), n.reshape(-1)[halfway])
        n = n.reshape(-1).copy()
        n[halfway] = fixed
        n = n.reshape(x.shape)
    return np.abs(n).astype(np.int64), np.signbit(x)


def units_to_float(units: NDArray[np.int64], negative: NDArray[np.bool_], digits: int) -> NDArray[np.float64]:
    """The float64 that parsing the written text gives (``float("-12.35")``):
    ``units / 10**digits`` is one correctly rounded division of the exact decimal,
    as the parser's result is."""
    v = units.astype(np.float64) / float(10**digits)
    return np.where(negative, -v, v)


def _cells(texts: list[str]) -> NDArray[np.uint32]:
    """Up to four ASCII characters each, NUL-padded, as uint32 cells."""
    raw = b"".join(t.encode("ascii").ljust(4, b"\0") for t in texts)
    return np.frombuffer(raw, dtype=np.uint32).copy()


# Cell tables. Groups of four digits: 0-9999 zero-padded ("0042"), then the
# same numbers without leading zeros ("42" at the cell's end, NUL bytes
# before it), then an empty cell. NUL bytes are dropped from the finished
# text, so a cell holds from zero to four characters.
_GROUPS = _cells([f"{v:04d}" for v in range(10000)] + [f"{v:>4d}".replace(" ", "\0") for v in range(10000)] + [""])
_PADDED, _UNPADDED, _BLANK = 0, 10000, 20000
_CENTS_COMMA = _cells([f".{v:02d}," for v in range(100)])  # ".05," : two decimals and the separator
_CENTS = _cells([f".{v:02d}" for v in range(100)])


class _Row:
    """The text of every row as a matrix of uint32 cells (one row per output
    line), built one cell column at a time."""

    def __init__(self, n: int) -> None:
        self.n = n
        self.columns: list[NDArray[np.uint32] | int] = []

    def put(self, cells: NDArray[np.uint32] | int) -> None:
        self.columns.append(cells)

    def const(self, text: str) -> None:
        for c in _cells([text[k : k + 4] for k in range(0, len(text), 4)]):
            self.put(int(c))

    def sign(self, negative: NDArray[np.bool_]) -> None:
        if negative.any():  # a column without negative values needs no cell
            self.put(np.where(negative, _cells(["-"])[0], np.uint32(0)))

    def natural(self, v: NDArray[np.int64]) -> None:
        """Non-negative integers, without leading zeros."""
        top = int(v.max()) if len(v) else 0
        k = 1
        while top >= 10 ** (4 * k):
            k += 1
        if k == 1:
            self.put(_GROUPS[v + _UNPADDED])
            return
        used = 1 + sum((v >= 10 ** (4 * j)).astype(np.int64) for j in range(1, k))
        lead = k - used
        for j in range(k):  # most significant group first
            g = (v // 10 ** (4 * (k - 1 - j))) % 10000
            self.put(_GROUPS[np.where(j < lead, _BLANK, np.where(j == lead, g + _UNPADDED, g + _PADDED))])

    def integer(self, v: NDArray[np.int64]) -> None:
        self.sign(v < 0)
        self.natural(np.abs(v))

    def decimal(self, units: NDArray[np.int64], negative: NDArray[np.bool_], digits: int, comma: bool) -> None:
        """``-123.45`` (and the following comma), ``digits`` 2 or 4."""
        whole, frac = np.divmod(units, 10**digits)
        self.sign(negative)
        self.natural(whole)
        if digits == 2:
            self.put((_CENTS_COMMA if comma else _CENTS)[frac])
            return
        self.const(".")
        self.put(_GROUPS[frac + _PADDED])
        if comma:
            self.const(",")

    def text(self) -> bytes:
        buf = np.empty((self.n, len(self.columns)), dtype=np.uint32)
        for j, c in enumerate(self.columns):
            buf[:, j] = c
        return buf.tobytes().translate(None, b"\0")


def _python_rows(frames, ids, ltwh, scores, box_digits: int, score_digits: int) -> bytes:  # type: ignore[no-untyped-def]
    out = []
    for f, i, (x, y, w, h), s in zip(frames.tolist(), ids.tolist(), ltwh.tolist(), scores.tolist()):
        out.append(
            f"{f},{i},{x:.{box_digits}f},{y:.{box_digits}f},{w:.{box_digits}f},{h:.{box_digits}f},{s:.{score_digits}f},-1,-1,-1\n"
        )
    return "".join(out).encode("ascii")


def format_mot_rows(
    frames: NDArray[np.int64],
    ids: NDArray[np.int64],
    ltwh: NDArray[np.float64],
    scores: NDArray[np.float64],
    box_digits: int = 2,
    score_digits: int = 4,
) -> tuple[bytes, NDArray[np.float64]]:
    """MOTChallenge results text ``frame,id,x,y,w,h,score,-1,-1,-1`` (one line a
    row, in the given order) and the boxes as a reader of that text gets them.

    The text equals ``f"{f},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{s:.4f},-1,-1,-1\\n"``
    row by row."""
    frames = np.asarray(frames, dtype=np.int64).reshape(-1)
    ids = np.asarray(ids, dtype=np.int64).reshape(-1)
    ltwh = np.asarray(ltwh, dtype=np.float64).reshape(-1, 4)
    scores = np.asarray(scores, dtype=np.float64).reshape(-1)
    n = len(frames)
    if not (len(ids) == len(ltwh) == len(scores) == n):
        raise ValueError("frames, ids, ltwh and scores must have the same number of rows")
    if n == 0:
        return b"", np.zeros((0, 4))
    in_range = bool(np.all(np.abs(ltwh) < _LIMIT) and np.all(np.abs(scores) < _LIMIT))  # False for NaN too
    if not in_range or box_digits != 2 or score_digits not in (2, 4):
        text = _python_rows(frames, ids, ltwh, scores, box_digits, score_digits)
        parsed = np.array([[float(v) for v in line.split(b",")[2:6]] for line in text.splitlines()])
        return text, parsed.reshape(-1, 4)

    box_units, box_neg = fixed_units(ltwh, box_digits)
    units = [(box_units[:, k], box_neg[:, k]) for k in range(4)]
    sunits, sneg = fixed_units(scores, score_digits)
    row = _Row(n)
    row.integer(frames)
    row.const(",")
    row.integer(ids)
    row.const(",")
    for u, neg in units:
        row.decimal(u, neg, box_digits, comma=True)
    row.decimal(sunits, sneg, score_digits, comma=False)
    row.const(",-1,-1,-1\n")
    return row.text(), units_to_float(box_units, box_neg, box_digits)
