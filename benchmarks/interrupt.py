"""Ctrl-C during a long solve: how soon KeyboardInterrupt arrives.

    .venv/bin/python benchmarks/interrupt.py [--n 2500] [--repeats 5]

Each solver gets an n x n matrix that takes it seconds; a timer thread
simulates Ctrl-C (`_thread.interrupt_main()`) 0.3 s into the call, and the
delay from the signal to the KeyboardInterrupt is recorded. For scale, the
uninterrupted time of the same call at n / 2.5 (about 16 times less work).
"""
import _thread
import argparse
import threading
import time

import numpy as np

import loomfeather_cpp as lf


def cases(n):
    ij = np.outer(np.arange(n), np.arange(n)).astype(float)  # every row's minimum in column 0
    rng = np.random.default_rng(0)
    gated = np.full((n, n), 2.0)
    few = rng.random((n, n)) < 0.05
    gated[few] = rng.integers(0, 3, few.sum()) * 0.5
    gated[0] = 2.0
    zeros = np.zeros((n, n))
    return {"`linear_assignment`, all costs equal": lambda: lf.linear_assignment(zeros),
            "`linear_assignment`, gated (5 % below the forbidden cost)": lambda: lf.linear_assignment(gated),
            "`associate`, all costs equal": lambda: lf.associate(zeros, 1.0),
            "`linear_assignment_lapjv`, i·j": lambda: lf.linear_assignment_lapjv(ij)}


def delay_after_signal(call):
    sent = []

    def fire():
        sent.append(time.perf_counter())
        _thread.interrupt_main()

    timer = threading.Timer(0.3, fire)
    timer.start()
    try:
        call()
        return None  # finished before the signal
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    finally:
        timer.join()


def section(n=2500, repeats=5):
    small = {name: call for name, call in cases(int(n / 2.5)).items()}
    lines = ["## Ctrl-C during a long solve\n",
             f"`benchmarks/interrupt.py`: {n} × {n} matrices, Ctrl-C simulated 0.3 s into the call "
             f"(`_thread.interrupt_main()`), {repeats} times each; delay from the signal to the "
             "KeyboardInterrupt (median and largest). The solvers look at pending signals every 20 ms.\n",
             f"| call | delay, median (largest) | uninterrupted at {int(n / 2.5)} × {int(n / 2.5)} |",
             "|---|---|---|"]
    for name, call in cases(n).items():
        delays = [delay_after_signal(call) for _ in range(repeats)]
        t0 = time.perf_counter()
        small[name]()
        whole = time.perf_counter() - t0
        shown = [d for d in delays if d is not None]
        text = (f"{np.median(shown) * 1e3:.1f} ms ({max(shown) * 1e3:.1f} ms)" if len(shown) == len(delays)
                else f"finished before the signal in {len(delays) - len(shown)} of {len(delays)}")
        lines.append(f"| {name} | {text} | {whole:.2f} s |")
    lines.append("")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=2500)
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()
    print(section(args.n, args.repeats))


if __name__ == "__main__":
    main()
