"""Named presets and score normalisation: the rules on their own terms, the
presets as configurations, ``--preset`` with overrides on the command line,
and a preset's run against the same fields given by hand."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import loomfeather_cpp as lf
from loomfeather_tools import cli
from loomfeather_tools.presets import DEFAULT, PRESETS, Preset, preset
from loomfeather_tools.scores import ScoreScale
from loomfeather_tools.sweep import option_args
from loomfeather_tools.track import CONFIG_FIELDS

DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "motchallenge"
DEFAULTS = {n: d for n, _, d, _ in CONFIG_FIELDS}


def scores(n: int = 400, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    s = np.round(rng.gamma(2.0, 20.0, n) - 1.0, 2)  # ACF-like: about -1 to 150, with ties
    return np.r_[s, s[:5]]


# ---------------------------------------------------------------- score rules


def test_rank_is_the_share_of_scores_at_or_below_and_ignores_the_units():
    s = scores()
    fitted = ScoreScale.parse("rank").fit(s)
    r = fitted.normalise(s)
    want = np.array([np.count_nonzero(s <= v) for v in s]) / len(s)
    assert np.array_equal(r, want)  # order kept, ties alike, the highest 1
    # Any increasing transformation of the scores (other units, logits of
    # probabilities) gives the same ranks.
    p = (s - s.min() + 1.0) / (s.max() - s.min() + 2.0)
    for other in (3.5 * s + 10.0, np.exp(s / 50.0), np.log(p / (1.0 - p))):
        assert np.array_equal(ScoreScale.parse("rank").fit(other).normalise(other), r)
    assert np.array_equal(fitted.restore(r), s)  # each rank names its own score back, exactly
    outside = fitted.normalise([s.min() - 1.0, s.max() + 1.0, np.nan])  # scores outside the sample
    assert np.array_equal(outside, [0.0, 1.0, np.nan], equal_nan=True)


def test_levels_that_would_not_scale_leave_scores_as_they_are():
    probabilities = np.array([0.2, 0.7, 0.95])
    negative = np.array([-5.0, -3.0, -2.0])
    for rule, s in (("auto", probabilities), ("p99", negative), ("p50", np.array([-1.0, 0.0, 0.0, 4.0]))):
        fitted = ScoreScale.parse(rule).fit(s)
        assert fitted.divisor == 1.0 and np.array_equal(fitted.normalise(s), s)
    empty = ScoreScale.parse("rank").fit(np.zeros(0))
    assert empty.normalise(np.zeros(0)).shape == (0,)


@pytest.mark.parametrize("text", ["60", "0.5", "1", "1e-3", "auto", "rank", "p99", "p99.5", "p50", "p100"])
def test_rule_text_reads_back_to_the_same_rule(text):
    rule = ScoreScale.parse(text)
    assert ScoreScale.parse(str(rule)) == rule
    assert rule.is_identity == (text == "1")


@pytest.mark.parametrize("text", ["0", "-2", "inf", "nan", "", "p49", "p101", "pq", "p", "ranked", "1,5"])
def test_rules_that_cannot_be_used_are_refused(text, run_cli):
    with pytest.raises(ValueError, match="expected a positive number, 'auto', 'rank' or pQ|percentile must be from 50 to 100"):
        ScoreScale.parse(text)
    code, _, err = run_cli("--score-scale", text)
    assert code == 2 and err.startswith("loomfeather-track: error: argument --score-scale: ") and len(err.splitlines()) == 1


def test_fitting_needs_finite_scores():
    with pytest.raises(ValueError, match="scores must be finite"):
        ScoreScale.parse("rank").fit([0.5, np.nan])


# ---------------------------------------------------------------- presets


@pytest.mark.parametrize("name", list(PRESETS))
def test_every_preset_is_a_valid_configuration(name):
    p = PRESETS[name]
    config = preset(name)
    assert config.__getstate__() == p.config.__getstate__() == lf.TrackerConfig(**p.options).__getstate__()
    assert set(p.fields) <= set(DEFAULTS) and all(p.options[k] != DEFAULTS[k] for k in p.fields)
    assert p.description and "\n" not in p.description
    lf.ByteTracker(config).update(np.array([[0.0, 0.0, 10.0, 20.0]]), np.array([0.9]))


def test_default_preset_is_the_default_configuration_and_overrides_apply():
    assert PRESETS[DEFAULT].score_scale.is_identity and not PRESETS[DEFAULT].fields
    name = next(n for n, p in PRESETS.items() if p.fields)
    config = preset(name, max_age=7, **{f: DEFAULTS[f] for f in PRESETS[name].fields})
    assert config.__getstate__() == lf.TrackerConfig(max_age=7).__getstate__()
    with pytest.raises(KeyError, match="no preset 'nope'"):
        preset("nope")
    with pytest.raises(TypeError, match="not TrackerConfig fields: max_agee"):
        preset(DEFAULT, max_agee=3)
    with pytest.raises(TypeError):
        PRESETS["mine"] = PRESETS[DEFAULT]  # type: ignore[index]


@pytest.mark.parametrize(("fields", "error"), [
    ({"max_agee": 3}, "'max_agee' is not a TrackerConfig field"), ({"max_age": 3.0}, "max_age must be int"), ({"use_giou": 1}, "use_giou must be bool")])
def test_a_preset_refuses_fields_the_configuration_would_not_take(fields, error):
    with pytest.raises((ValueError, TypeError), match=error):
        Preset("bad", "x", fields)
    assert Preset("ok", "x", {"w_iou": 10}).fields["w_iou"] == 10.0  # an int for a float field


# ---------------------------------------------------------------- command line


@pytest.mark.parametrize(("args", "want", "scale"), [
    ([], {}, "1"),
    (["--no-class-aware", "--use-lapjv", "--n-init", "5", "--w-unc", "0.25"], {"class_aware": False, "use_lapjv": True, "n_init": 5, "w_unc": 0.25}, "1"),
    (["--preset", "unbounded"], dict(PRESETS["unbounded"].fields), "rank"),
    (["--max-age", "5", "--preset", "unbounded"], {**PRESETS["unbounded"].fields, "max_age": 5}, "rank"),
    (["--preset", "unbounded", "--use-mahalanobis-gating", "--score-scale", "p99"], {**PRESETS["unbounded"].fields, "use_mahalanobis_gating": True}, "p99"),
    (["--preset", "probability", "--w-iou", "1.0"], {**PRESETS["probability"].fields, "w_iou": 1.0}, "1"),
])
def test_options_given_beside_a_preset_override_its_values(args, want, scale):
    chosen, options, rule = cli.resolve_options(cli.build_parser().parse_args(args))
    assert options == {**DEFAULTS, **want} and str(rule) == scale
    assert chosen.name == (args[args.index("--preset") + 1] if "--preset" in args else DEFAULT)


def test_unknown_preset_and_option_given_twice_are_refused(tmp_path, run_cli):
    (tmp_path / "det.txt").write_text("1,-1,1,2,3,4,0.9\n")
    code, _, err = run_cli(tmp_path / "det.txt", "--preset", "fast")
    assert code == 2 and "argument --preset: invalid choice: 'fast'" in err and len(err.splitlines()) == 1
    # An option given explicitly counts as given, even at TrackerConfig's default.
    code, _, err = run_cli(tmp_path / "det.txt", "--out", tmp_path, "--max-age", "30", "--grid", "max_age=10,20")
    assert code == 2 and "max_age is given both as --max-age and in --grid" in err


@pytest.mark.skipif(not DATA.is_dir(), reason="no MOTChallenge data beside the repository")
@pytest.mark.parametrize(("split", "name"), [("MOT15-train", "probability"), ("MOT15-train-ACF", "unbounded"), ("MOT15-train", DEFAULT)])
def test_a_preset_runs_as_its_fields_given_by_hand(tmp_path, run_cli, split, name):
    seq = DATA / split / "TUD-Campus"
    p = PRESETS[name]
    by_hand = option_args(p.options) + ([] if p.score_scale.is_identity else ["--score-scale", str(p.score_scale)])
    assert run_cli(seq, "--out", tmp_path / "preset", "--preset", name)[0] == 0
    assert run_cli(seq, "--out", tmp_path / "hand", *by_hand)[0] == 0
    got = (tmp_path / "preset" / "TUD-Campus.txt").read_bytes()
    assert got and got == (tmp_path / "hand" / "TUD-Campus.txt").read_bytes()
    assert (tmp_path / "preset" / "summary.json").read_bytes() == (tmp_path / "hand" / "summary.json").read_bytes()
    # Reported scores stay in the file's units: each is the score of a detection of its frame.
    det = np.loadtxt(seq / "det" / "det.txt", delimiter=",", ndmin=2)
    res = np.loadtxt(tmp_path / "preset" / "TUD-Campus.txt", delimiter=",", ndmin=2)
    for frame, score in res[:, [0, 6]]:
        assert np.isclose(det[det[:, 0] == frame, 6], score, atol=5e-5).any()
