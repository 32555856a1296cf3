"""Cost per voxel of the echo fit against the fraction fit, in the same run.

    python3 benchmarks/echoes.py [--voxels 500000] [--threads 1] [--repeats 3]

Multi-echo PD-, T1- and MT-weighted readouts of 8, 8 and 6 echoes (TE 2.3 to
18.4 ms, 2.3 ms apart) of --voxels voxels, each with its own R2* (5 to 60
/s) and signals at TE = 0, plus Gaussian noise of 1 % of the PD-weighted
signal, laid out as a scanner's multi-echo volume comes (echoes last).
Timed in the same run, best of --repeats, on --threads threads (one by
default: the cost of a voxel, not of the machine), on the wall clock and,
with one thread, in the calling thread's CPU time too (the work runs on it:
less swayed by other jobs on a shared machine):
  (a) fit_echoes: S0 of the three contrasts and one R2* per voxel;
  (b) fit_fraction (the fast kernel, as the maps run it) on as many voxels
      of the fraction benchmark's synthetic volume (fraction_map.py).
Each call allocates its own outputs (a: S0, R2*, its sd and the status; b:
f and the status), as a caller gets them. The repeats of (a) and (b)
alternate, so that both meet the same load on a shared machine. Prints both
costs per voxel and the ratios (a)/(b), and how well R2* comes back.
"""

import argparse
import math
import time

import numpy as np
from fraction_map import (  # this folder's volume and timing helper
    DELTA_OMEGA,
    DURATION,
    FLIP,
    OMEGA_1_RMS,
    T2_FREE,
    TR,
    G,
    best_time,
    synthetic_volume,
)

from tavni.mt_map import fit_fraction
from tavni.mt_map.relaxometry import fit_echoes
from tavni.mt_map.status import ECHO_STATUS_SOLVED

ECHO_TIMES = [0.0023 * np.arange(1, n + 1) for n in (8, 8, 6)]


def echo_volume(n, rng):
    """The three contrasts' echoes, (n, echoes) each, and the true R2*."""
    R2star = rng.uniform(5.0, 60.0, n)
    S0 = (rng.uniform(800.0, 1200.0, n), rng.uniform(500.0, 900.0, n), rng.uniform(300, 700, n))
    noise = 0.01 * 1000.0
    signals = [
        amplitude[:, None] * np.exp(-R2star[:, None] * TE) + rng.normal(0.0, noise, (n, TE.size))
        for amplitude, TE in zip(S0, ECHO_TIMES)
    ]
    return signals, R2star


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--voxels", type=int, default=500_000)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=3, help="timed runs; the best counts")
    options = parser.parse_args()
    rng = np.random.default_rng(2026)
    n = options.voxels
    signals, R2star_true = echo_volume(n, rng)
    _, R1, S_ratio = synthetic_volume(n, rng)

    def echoes():
        return fit_echoes(signals, ECHO_TIMES, threads=options.threads)

    def fraction():
        return fit_fraction(
            S_ratio,
            R1,
            T2_FREE,
            DELTA_OMEGA,
            OMEGA_1_RMS,
            G,
            TR,
            DURATION,
            FLIP,
            threads=options.threads,
        )

    def cpu_time(function):
        start = time.thread_time()
        result = function()
        return time.thread_time() - start, result

    echo_time = fraction_time = echo_cpu = fraction_cpu = math.inf
    for _ in range(options.repeats):
        cpu, (once, (_, R2star, _, status)) = cpu_time(lambda: best_time(echoes, 1))
        echo_time, echo_cpu = min(echo_time, once), min(echo_cpu, cpu)
        cpu, (once, _) = cpu_time(lambda: best_time(fraction, 1))
        fraction_time, fraction_cpu = min(fraction_time, once), min(fraction_cpu, cpu)
    solved = status == ECHO_STATUS_SOLVED
    print(f"{n:,} voxels, {options.threads} thread(s), best of {options.repeats}")
    print(f"fit_echoes (3 contrasts, 8/8/6 echoes): {echo_time / n * 1e9:7.1f} ns per voxel")
    print(f"fit_fraction:                           {fraction_time / n * 1e9:7.1f} ns per voxel")
    print(f"ratio fit_echoes / fit_fraction: {echo_time / fraction_time:.2f}")
    if options.threads == 1:
        print(
            f"in CPU time: {echo_cpu / n * 1e9:.1f} against {fraction_cpu / n * 1e9:.1f} ns "
            f"per voxel, ratio {echo_cpu / fraction_cpu:.2f}"
        )
    print(
        f"solved {np.count_nonzero(solved):,}; median |R2* - R2*_true| "
        f"{np.median(np.abs(R2star[solved] - R2star_true[solved])):.2f} /s"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
