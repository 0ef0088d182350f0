import os
import threading
import time

import pytest
from hypothesis import HealthCheck, settings

import loomfeather_cpp as lf

# Generated cases per fuzzed entry: "default" for the normal run, "sanitize"
# for the run against the sanitizer build (scripts/sanitize.sh), which is
# several times slower. Selected with --hypothesis-profile.
settings.register_profile("default", max_examples=300, deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("sanitize", settings.get_profile("default"), max_examples=150)
settings.load_profile("default")


def pytest_configure(config):
    # scripts/sanitize.sh names the module it built; anything else imported
    # instead would make the run worthless.
    expected = os.environ.get("LF_EXPECT_MODULE")
    if expected and os.path.realpath(lf.__file__) != os.path.realpath(expected):
        raise pytest.UsageError(f"imported {lf.__file__}, expected {expected}")


@pytest.fixture(params=[True, False], ids=["avx", "scalar"])
def simd(request):
    """Run a test with the AVX kernels (where the processor has them) and with the scalar ones."""
    previous = lf._use_avx(request.param)
    yield request.param
    lf._use_avx(previous)


@pytest.fixture
def runs_without_the_lock():
    """runs_without_the_lock(call): whether another Python thread keeps running
    while call() runs. That thread ticks every millisecond it holds the
    interpreter lock; a call that keeps the lock lets it tick at most once, as
    the call returns (call() should take a good fraction of a second)."""
    def check(call):
        ticks, done = [], threading.Event()

        def other():
            while not done.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.001)

        t = threading.Thread(target=other)
        t.start()
        while not ticks:
            time.sleep(0.001)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
        done.set()
        t.join()
        return sum(start < x < end for x in ticks) >= 3

    return check


@pytest.fixture
def run_cli(capsys):
    """run_cli(*args) -> (exit status, stdout, stderr) of loomfeather-track run in this process."""
    from loomfeather_tools import cli

    def run(*args):
        try:
            code = cli.main([str(a) for a in args])
        except SystemExit as exc:  # refused by the argument parser
            code = exc.code
        out, err = capsys.readouterr()
        return code, out, err

    return run
