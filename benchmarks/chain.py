"""Cost of the three-scan chain's relaxometry against the fraction fit it feeds.

    python3 benchmarks/chain.py [--shape 176 240 256 | --phantom MM] [--differing-TR]
                                [--repeats 2]

A synthetic volume (bound-pool fractions in [0, 0.3], R1 from 0.3 to 2 /s,
M0 around 1, a smooth transmit field from 0.8 to 1.2) is measured with a
single-point protocol: PD-weighted (4 deg), T1-weighted (25 deg) and
MT-weighted (6 deg, Gaussian MT pulse at 4 kHz) SPGR scans, noiseless. The
MT-weighted signal is the SPGR steady state times the MT ratio the two-pool
model predicts (looked up on a grid of f, R1 and b1 values the volume is
drawn from, which keeps making it short). --phantom MM measures the
phantom's human brain instead (``mt-map phantom``, noiseless, with this
protocol; 1 mm is the template's own 197 x 233 x 189 grid), background
and all, as a whole-head scan comes.

Timed in the same run, best of --repeats:
  (a) the relaxometry: fit_r1 (R1 and M0), synthetic_reference, the MT
      ratio, mtr and mtsat;
  (b) the fraction fit, fit_fraction, on the ratio and R1 from (a).
Prints both times and the ratio (a)/(b), and how well f and R1 come back.
"""

import argparse
import math
import os

import numpy as np
from fraction_map import best_time  # this folder's timing helper

from tavni.mt_map import (
    STATUS_SOLVED,
    fit_fraction,
    fit_r1,
    mtr,
    mtsat,
    omega_1_rms_from_pulse,
    predicted_ratio,
    spgr_signal,
    super_lorentzian,
    synthetic_reference,
)

DEG = math.pi / 180.0
PD = dict(flip=4 * DEG, TR=0.025)
T1 = dict(flip=25 * DEG, TR=0.025)
MT = dict(flip=6 * DEG, TR=0.028)
DELTA_OMEGA, DURATION, T2_FREE = 4000.0, 0.012, 0.04
OMEGA_1_RMS = omega_1_rms_from_pulse(500 * DEG, DURATION, "gaussian", 250.0)
G = super_lorentzian(DELTA_OMEGA, 12e-6)


def synthetic_volume(shape, rng):
    f_levels = np.linspace(0.0, 0.3, 61)
    R1_levels = np.linspace(0.3, 2.0, 18)
    b1_levels = np.linspace(0.8, 1.2, 9)
    f, R1, b1 = np.meshgrid(f_levels, R1_levels, b1_levels, indexing="ij")
    table = predicted_ratio(
        f, R1, T2_FREE, DELTA_OMEGA, OMEGA_1_RMS * b1, G, MT["TR"], DURATION, MT["flip"] * b1
    )
    n = math.prod(shape)
    fi = rng.integers(0, f_levels.size, n)
    ri = rng.integers(0, R1_levels.size, n)
    # A smooth field, quantised to the table's levels.
    grid = np.meshgrid(*(np.linspace(-1.0, 1.0, k) for k in shape), indexing="ij", sparse=True)
    radius2 = sum(axis**2 for axis in grid) / len(shape)
    bi = np.rint((1.0 - radius2) * (b1_levels.size - 1)).astype(np.intp).reshape(-1)
    f, R1, b1 = f_levels[fi], R1_levels[ri], b1_levels[bi]
    M0 = rng.uniform(0.7, 1.0, n)
    scans = {
        name: spgr_signal(M0, R1, p["flip"], p["TR"], b1=b1)
        for name, p in (("pd", PD), ("t1", T1), ("mt", MT))
    }
    scans["mt"] *= table[fi, ri, bi]
    return {k: v.reshape(shape) for k, v in dict(scans, f=f, R1=R1, b1=b1).items()}


def phantom_volume(voxel_size):
    """The phantom's noiseless scans under this benchmark's protocol, without
    a B0 offset (the fit here takes one lineshape value).
    """
    from tavni.mt_map.sim import phantom

    protocol = {
        "pdw_flip_angle_deg": 4.0,
        "t1w_flip_angle_deg": 25.0,
        "pdw_TR": PD["TR"],
        "t1w_TR": T1["TR"],
        "flip_angle_deg": 6.0,
        "TR": MT["TR"],
        "mt_flip_angle_deg": 500.0,
    }
    v = phantom.make(voxel_size, anatomy="brain", protocol=protocol, b0_variation=False).volumes
    return {
        "pd": v["pdw"],
        "t1": v["t1w"],
        "mt": v["mtw"],
        "b1": v["b1"],
        "f": v["truth_f"],
        "R1": v["truth_r1"],
        "tissue": v["truth_m0"] > 0,
    }


def relaxometry(v):
    R1, M0 = fit_r1([v["pd"], v["t1"]], [PD["flip"], T1["flip"]], [PD["TR"], T1["TR"]], b1=v["b1"])
    reference = synthetic_reference(M0, R1, MT["flip"], MT["TR"], b1=v["b1"])
    ratio = v["mt"] / reference
    return (
        R1,
        ratio,
        mtr(v["mt"], reference),
        mtsat(
            v["pd"],
            v["t1"],
            v["mt"],
            PD["flip"],
            T1["flip"],
            MT["flip"],
            PD["TR"],
            T1["TR"],
            MT["TR"],
            b1=v["b1"],
        ),
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", type=int, nargs=3, default=(176, 240, 256))
    parser.add_argument(
        "--phantom",
        type=float,
        metavar="MM",
        help="the phantom's brain at this voxel size instead (1: 8.7 million "
        "voxels); needs nilearn",
    )
    parser.add_argument(
        "--differing-TR",
        action="store_true",
        help="a T1-weighted TR of 11 ms: R1 by the per-voxel root",
    )
    parser.add_argument("--threads", type=int, default=None, help="default: every core")
    parser.add_argument("--repeats", type=int, default=2, help="timed runs; the best counts")
    options = parser.parse_args()
    if options.differing_TR:
        T1["TR"] = 0.011
    threads = options.threads or len(os.sched_getaffinity(0))

    if options.phantom is not None:
        v = phantom_volume(options.phantom)
        options.shape = v["pd"].shape
    else:
        v = synthetic_volume(tuple(options.shape), np.random.default_rng(2026))
    tissue = v.pop("tissue", np.ones(tuple(options.shape), dtype=bool))
    chain_time, (R1, ratio, _, _) = best_time(lambda: relaxometry(v), options.repeats)
    fit_time, (f, status) = best_time(
        lambda: fit_fraction(
            ratio,
            R1,
            T2_FREE,
            DELTA_OMEGA,
            OMEGA_1_RMS,
            G,
            MT["TR"],
            DURATION,
            MT["flip"],
            b1=v["b1"],
            threads=threads,
            return_status=True,
        ),
        options.repeats,
    )

    print(
        f"volume {'x'.join(map(str, options.shape))} ({R1.size:,} voxels), "
        f"TR PDw/T1w {PD['TR']}/{T1['TR']} s, {threads} threads"
    )
    print(f"relaxometry (R1/M0, synthetic reference, MTR, MTsat): {chain_time:.3f} s")
    print(f"fraction fit:                                         {fit_time:.3f} s")
    print(f"ratio relaxometry / fraction fit: {chain_time / fit_time:.2f}")
    print(
        f"max relative R1 error {np.max(np.abs(R1[tissue] / v['R1'][tissue] - 1)):.1e}, "
        f"max |f - f_true| {np.max(np.abs(f[tissue] - v['f'][tissue])):.1e}, "
        f"solved {np.count_nonzero(status == STATUS_SOLVED):,} "
        f"of {np.count_nonzero(tissue):,} voxels with tissue"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
