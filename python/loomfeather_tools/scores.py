"""Score normalisation: a detector's scores brought to the [0, 1] of the
tracker's thresholds.

A :class:`ScoreScale` is a rule; fitted to one sequence's scores it gives a
:class:`FittedScale`, the mapping itself. Four rules:

``divide`` (``"60"``, ``ScoreScale.divide(60)``)
    every score divided by a fixed number; ``"1"`` leaves scores as they are.
``auto``
    divided by the sequence's highest score when that is above 1 (else left
    as they are): the top detection of every sequence scores 1.
``p99`` (``ScoreScale.of_percentile(99)``)
    divided by the sequence's 99th percentile score (any percentile from 50 to
    100; NumPy's linear interpolation between the two nearest scores): a few
    outlying scores do not move it, and detections added or removed at the
    low end (a detector run with another threshold) move it little. It takes
    0 as "no confidence", as most detectors' scores do; when the percentile is
    not above 0 the scores are left as they are.
``rank``
    each score replaced by the fraction of the sequence's scores at or below
    it (the empirical distribution function): the highest scores 1, the median
    about 0.5, tied scores alike. It needs nothing of the detector's range or
    units, and any increasing transformation of the scores (probabilities,
    logits, a detector's own units) gives the same result; thresholds then
    count shares of the detections (``low_score_thresh=0.1`` ignores the
    lowest tenth).

The command line fits the rule to each detection file as a whole, before
tracking. A live stream has no whole sequence: fit the rule once to a sample
of the detector's scores (earlier footage of the same kind), then normalise
every frame with it::

    fitted = ScoreScale.parse("rank").fit(sample_scores)
    tracker.update(boxes, fitted.normalise(scores))
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["ScoreScale", "FittedScale", "KINDS"]

KINDS = ("divide", "auto", "percentile", "rank")


@dataclass(frozen=True)
class ScoreScale:
    """A score normalisation rule (see the module's description)."""

    kind: str = "divide"
    divisor: float = 1.0  # for "divide"
    percentile: float = 100.0  # for "percentile"

    def __post_init__(self) -> None:
        if self.kind not in KINDS:
            raise ValueError(f"unknown score normalisation {self.kind!r}; expected one of {', '.join(KINDS)}")
        d = self.divisor
        if self.kind == "divide" and not (isinstance(d, (int, float)) and not isinstance(d, bool) and 0 < d < math.inf):
            raise ValueError(f"the score divisor must be a positive finite number, got {d!r}")
        if self.kind != "divide" and d != 1.0:
            raise ValueError(f"score normalisation {self.kind!r} takes no divisor")
        q = self.percentile
        if self.kind == "percentile" and not (isinstance(q, (int, float)) and not isinstance(q, bool) and 50 <= q <= 100):
            raise ValueError(f"the score percentile must be from 50 to 100, got {q!r}")
        if self.kind != "percentile" and q != 100.0:
            raise ValueError(f"score normalisation {self.kind!r} takes no percentile")
        object.__setattr__(self, "divisor", float(d))
        object.__setattr__(self, "percentile", float(q))

    @classmethod
    def divide(cls, divisor: float) -> ScoreScale:
        return cls("divide", divisor)

    @classmethod
    def of_percentile(cls, q: float) -> ScoreScale:
        return cls("percentile", percentile=q)

    @classmethod
    def parse(cls, text: str | float | ScoreScale) -> ScoreScale:
        """``"auto"``, ``"rank"``, ``"pQ"`` (a percentile from 50 to 100) or a
        positive number (text or float)."""
        if isinstance(text, ScoreScale):
            return text
        expected = f"expected a positive number, 'auto', 'rank' or pQ (a percentile from 50 to 100), got {text!r}"
        if isinstance(text, str):
            t = text.strip()
            if t in ("auto", "rank"):
                return cls(t)
            if t[:1] == "p":
                try:
                    return cls("percentile", percentile=float(t[1:]))
                except ValueError:
                    raise ValueError(expected) from None
        try:
            value = float(text)
        except (TypeError, ValueError):
            raise ValueError(expected) from None
        if not 0 < value < math.inf:
            raise ValueError(expected)
        return cls("divide", value)

    def __str__(self) -> str:
        """The command line's spelling (``--score-scale``): ``60``, ``0.5``, ``auto``, ``p99``, ``rank``."""
        def number(v: float) -> str:
            return str(int(v)) if v.is_integer() and v < 1e15 else repr(v)

        if self.kind == "divide":
            return number(self.divisor)
        if self.kind == "percentile":
            return "p" + number(self.percentile)
        return self.kind

    @property
    def is_identity(self) -> bool:
        """Scores go to the tracker as they are."""
        return self.kind == "divide" and self.divisor == 1.0

    def fit(self, scores: ArrayLike) -> FittedScale:
        """The mapping for a sequence whose scores (all of them, every frame)
        are ``scores``; they must be finite."""
        s = np.asarray(scores, dtype=np.float64).ravel()
        if not np.isfinite(s).all():
            raise ValueError("scores must be finite to fit a score normalisation")
        if self.kind == "divide":
            return FittedScale(self, divisor=self.divisor)
        if self.kind == "auto":
            top = float(s.max()) if s.size else 0.0
            return FittedScale(self, divisor=top if top > 1.0 else 1.0)
        if self.kind == "percentile":
            level = float(np.percentile(s, self.percentile)) if s.size else 0.0
            return FittedScale(self, divisor=level if level > 0.0 else 1.0)
        return FittedScale(self, divisor=math.nan, ranked=np.sort(s))


@dataclass(frozen=True)
class FittedScale:
    """A rule fitted to one sequence: :meth:`normalise` maps scores for the
    tracker, :meth:`restore` maps the tracker's reported scores back."""

    rule: ScoreScale
    divisor: float  # the divisor of "divide", "auto" and "percentile"; NaN for "rank"
    ranked: NDArray[np.float64] | None = field(default=None, repr=False)  # "rank": the fitted scores, ascending

    def normalise(self, scores: ArrayLike) -> NDArray[np.float64]:
        s = np.asarray(scores, dtype=np.float64)
        if self.ranked is None:
            return s / self.divisor if self.divisor != 1.0 else s
        n = len(self.ranked)
        if n == 0:
            return np.zeros_like(s)
        ranks = np.searchsorted(self.ranked, s, side="right") / float(n)
        return np.where(np.isnan(s), np.nan, ranks)  # a NaN score stays one (the tracker ignores it)

    def restore(self, normalised: ArrayLike) -> NDArray[np.float64]:
        """The original scores of normalised ones: exact for the scores of the
        sample the rule was fitted to (a rank names the fitted score it came
        from); a rank between two fitted scores gives the nearest one."""
        r = np.asarray(normalised, dtype=np.float64)
        if self.ranked is None:
            return r * self.divisor
        n = len(self.ranked)
        if n == 0:
            return r.copy()
        k = np.clip(np.rint(r * n), 1, n).astype(np.intp)
        return self.ranked[k - 1]
