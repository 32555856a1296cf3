"""Speed of fit_fraction on a whole synthetic volume against a brentq loop.

    python3 benchmarks/fraction_map.py [--voxels 1000000] [--sample 2000]

A volume of voxels with bound-pool fractions in [0, 0.4] (a tenth of them
fluid, f = 0) and varied R1, measured with one protocol: the MT ratio of
each voxel is the model's own prediction. fit_fraction maps the whole volume
(all cores unless --threads says otherwise); a Python loop calling
scipy.optimize.brentq on mpf.model (xtol=1e-9), the way a map is made
without it, solves a random sample of the same voxels. Prints voxels per
second of both and their ratio, per voxel, and how far the two agree.
"""

import argparse
import math
import os
import time

import numpy as np
from scipy.optimize import brentq

from tavni.mt_map import STATUS_SOLVED, fit_fraction, mpf, super_lorentzian

# A 3 T single-point protocol: saturation at 4 kHz, 10 degree excitation.
T2_FREE, DELTA_OMEGA, OMEGA_1_RMS, TR, DURATION, FLIP = 0.04, 4000.0, 1500.0, 0.028, 0.012, 0.17
G = super_lorentzian(DELTA_OMEGA, 12e-6)


def synthetic_volume(n, rng):
    """(f, R1, S_ratio) of n voxels. The ratios are computed once on a grid
    of (f, R1) pairs and looked up, which keeps making the volume short.
    """
    f_levels = np.linspace(0.0, 0.4, 801)
    R1_levels = np.linspace(0.3, 2.0, 60)
    table = np.array(
        [
            [
                1.0
                - mpf.model(f, 1.0, R1, T2_FREE, DELTA_OMEGA, OMEGA_1_RMS, G, TR, DURATION, FLIP)
                for R1 in R1_levels
            ]
            for f in f_levels
        ]
    )
    fi = rng.integers(1, f_levels.size, n)
    fi[rng.random(n) < 0.1] = 0  # fluid
    ri = rng.integers(0, R1_levels.size, n)
    return f_levels[fi], R1_levels[ri], table[fi, ri]


def brentq_loop(S_ratio, R1):
    f = np.full(S_ratio.size, np.nan)
    for i, (S, r) in enumerate(zip(S_ratio, R1)):
        try:
            f[i] = brentq(
                mpf.model,
                0.0,
                0.5,
                xtol=1e-9,
                args=(S, r, T2_FREE, DELTA_OMEGA, OMEGA_1_RMS, G, TR, DURATION, FLIP),
            )
        except ValueError:
            pass  # no sign change: the residual at f = 0 is a rounding error off zero
    return f


def best_time(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--voxels", type=int, default=1_000_000)
    parser.add_argument("--sample", type=int, default=2000, help="voxels solved by the brentq loop")
    parser.add_argument("--threads", type=int, default=None, help="default: every core")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs; the best counts")
    options = parser.parse_args()

    rng = np.random.default_rng(2026)
    f_true, R1, S_ratio = synthetic_volume(options.voxels, rng)
    threads = options.threads or len(os.sched_getaffinity(0))

    def whole_map():
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
            threads=threads,
            return_status=True,
        )

    map_time, (f, status) = best_time(whole_map, options.repeats)
    sample = rng.choice(options.voxels, size=min(options.sample, options.voxels), replace=False)
    loop_time, f_loop = best_time(lambda: brentq_loop(S_ratio[sample], R1[sample]), 1)

    map_rate = options.voxels / map_time
    loop_rate = sample.size / loop_time
    solved = status == STATUS_SOLVED
    both = ~np.isnan(f_loop)
    print(
        f"volume: {options.voxels} voxels, {np.count_nonzero(f_true == 0)} fluid; "
        f"sample for brentq: {sample.size}"
    )
    print(
        f"fit_fraction ({threads} threads): {map_rate:,.0f} voxels/s; "
        f"solved {np.count_nonzero(solved)}; max |f - f_true| {np.max(np.abs(f - f_true)):.2e}"
    )
    print(
        f"brentq loop over mpf.model:     {loop_rate:,.0f} voxels/s; "
        f"{np.count_nonzero(~both)} of the sample without a sign change at the ends"
    )
    print(
        f"max |fit_fraction - brentq| on the sample: "
        f"{np.max(np.abs(f[sample][both] - f_loop[both])):.2e}"
    )
    print(f"speed ratio per voxel: {map_rate / loop_rate:.0f}x")
    return 0 if math.isfinite(map_rate) else 1


if __name__ == "__main__":
    raise SystemExit(main())
