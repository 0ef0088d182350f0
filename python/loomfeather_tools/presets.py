"""Named tracker configurations, each with the score normalisation it was
measured with.

    from loomfeather_tools.presets import PRESETS, preset

    config = preset("default")                      # the default TrackerConfig
    config = preset("probability", max_age=60)      # a preset, one field overridden
    p = PRESETS["unbounded"]
    p.description, p.fields, p.score_scale          # what it is, what it changes, how scores are normalised
    fitted = p.score_scale.fit(all_scores_of_the_sequence)
    tracker.update(boxes, fitted.normalise(scores))

``loomfeather-track --preset NAME`` runs the same; options given beside it
override its fields (and ``--score-scale`` its normalisation). How each was
chosen, on which data, and what it measures, is in the README ("Presets").
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any

from .scores import ScoreScale
from .track import CONFIG_FIELDS, make_config

__all__ = ["Preset", "PRESETS", "preset", "DEFAULT"]

DEFAULT = "default"
_DEFAULTS = {name: default for name, _, default, _ in CONFIG_FIELDS}
_TYPES = {name: kind for name, kind, _, _ in CONFIG_FIELDS}


@dataclass(frozen=True)
class Preset:
    name: str
    description: str  # one line
    fields: Mapping[str, Any] = field(default_factory=dict)  # the TrackerConfig arguments that differ from the defaults
    score_scale: ScoreScale = ScoreScale()  # how the scores of a sequence are normalised for it
    tuned_on: tuple[str, ...] = ()  # the benchmark splits its fields were selected on

    def __post_init__(self) -> None:
        fields = {}
        for name, value in self.fields.items():
            if name not in _TYPES:
                raise ValueError(f"preset {self.name}: {name!r} is not a TrackerConfig field")
            kind = _TYPES[name]
            if kind is float and type(value) is int:
                value = float(value)
            if type(value) is not kind:
                raise TypeError(f"preset {self.name}: {name} must be {kind.__name__}, got {value!r}")
            fields[name] = value
        object.__setattr__(self, "fields", MappingProxyType(fields))

    @property
    def options(self) -> dict[str, Any]:
        """Every TrackerConfig argument: the defaults with this preset's fields."""
        return {**_DEFAULTS, **self.fields}

    @property
    def config(self) -> Any:
        """A new loomfeather_cpp.TrackerConfig of this preset."""
        return make_config(self.options)


PRESETS: Mapping[str, Preset] = MappingProxyType(
    {
        p.name: p
        for p in (
            Preset(DEFAULT, "the tracker's defaults (the reference configuration), scores as given"),
            Preset(
                "probability",
                "detectors whose scores are probabilities: overlap weight 10, IoU 0.2, low-score recovery below 0.7",
                {"high_score_thresh": 0.7, "match_iou_thresh": 0.2, "recovery_iou_thresh": 0.3, "w_iou": 10.0},
                tuned_on=("MOT15-train", "MOT17-halfval"),
            ),
            Preset(
                "unbounded",
                "detectors whose scores have any range: each file's scores ranked into [0, 1], low thresholds, no gate",
                {"high_score_thresh": 0.2, "low_score_thresh": 0.05, "new_track_thresh": 0.3, "use_mahalanobis_gating": False},
                ScoreScale("rank"),
                tuned_on=("MOT15-train-ACF",),
            ),
        )
    }
)


def preset(name: str, **overrides: Any) -> Any:
    """The loomfeather_cpp.TrackerConfig of preset ``name``, with any
    TrackerConfig field given as a keyword in place of the preset's. Its score
    normalisation is ``PRESETS[name].score_scale``: apply it to the scores
    yourself (see :mod:`.scores`)."""
    try:
        p = PRESETS[name]
    except KeyError:
        raise KeyError(f"no preset {name!r}; presets: {', '.join(PRESETS)}") from None
    unknown = set(overrides) - set(_DEFAULTS)
    if unknown:
        raise TypeError(f"not TrackerConfig fields: {', '.join(sorted(unknown))}")
    return make_config({**p.options, **overrides})
