"""fit_fraction's fast way in each of its builds against the numba peers.

    python3 benchmarks/fast_builds.py [--voxels 1000000] [--repeats 7] [--build NAME ...]

The fast way (fit_fraction(..., exact=False)) is built once per instruction
set, AVX-512, AVX2 and x86-64's baseline, and runs the widest the processor
has (`_maps.fast_kernel()`; MT_MAP_FAST_KERNEL or `_maps.fast_kernel(name)`
choose another). On a million voxels (one 3 T protocol, f in [0, 0.4], R1
and B1 per voxel, the ratio the model predicts plus noise) it times, all in
this run and on every core, each build this processor runs against the
numba parallel closed form of numba_baselines.py, and the exact mode
against the numba parallel Brent loop, the two sides of each ratio timed in
turn (best of --repeats): the ratio of wall times, and of the CPU time
every thread of the process spent (on a machine shared with other work the
steadier of the two). Then, for each build, how the fast way agrees
with the exact mode on 20,000 random voxels and protocols (offsets from
100 Hz to 20 kHz): the voxels whose statuses differ, the largest difference
in f over the documented allowance (4 units in the ratio's last
single-precision place, carried into f by df/dS_ratio; at most 1 where the
docs hold), and whether its bits are the first build's.

numba is a benchmark requirement only (benchmarks/requirements.txt).
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

PROTOCOL = (0.04, 4000.0, 1500.0, 1.4e-5, 0.028, 0.012, 0.17)  # T2_free ... flip_angle
BRENT_XTOL = 1e-9  # about a tenth of a single-precision step of f near 0.1


def best_alternating(functions, repeats):
    """[(best wall seconds, best CPU seconds of the process)] of each
    function, run in turn: on a shared machine both sides of a ratio meet
    the same load, and the CPU time (every thread's) is what the load
    disturbs least.
    """
    times = [[] for _ in functions]
    for _ in range(repeats):
        for function, spent in zip(functions, times):
            wall, cpu = time.perf_counter(), time.process_time()
            function()
            spent.append((time.perf_counter() - wall, time.process_time() - cpu))
    return [tuple(min(column) for column in zip(*spent)) for spent in times]


def voxels(n, rng):
    """(S_ratio, R1, b1) of n voxels measured with PROTOCOL."""
    from tavni.mt_map import predicted_ratio

    T2_free, delta_omega, omega_1_rms, G, TR, duration, flip_angle = PROTOCOL
    f = rng.uniform(0.0, 0.4, n)
    R1 = rng.uniform(0.3, 2.0, n)
    b1 = rng.uniform(0.8, 1.2, n)
    S = predicted_ratio(
        f, R1, T2_free, delta_omega, omega_1_rms * b1, G, TR, duration, flip_angle * b1
    )
    return S + rng.normal(0.0, 1e-3, n), R1, b1


def random_protocols(n, rng):
    """fit_fraction's inputs for n random tissues and protocols, and f."""
    from tavni.mt_map import predicted_ratio

    inputs = {
        "R1": rng.uniform(0.25, 2.5, n),
        "T2_free": rng.uniform(0.01, 0.1, n),
        "delta_omega": rng.uniform(100.0, 2e4, n),
        "omega_1_rms": rng.uniform(0.0, 3000.0, n),
        "G": rng.uniform(0.0, 3e-5, n),
        "TR": rng.uniform(0.01, 0.1, n),
        "duration": rng.uniform(0.0, 0.01, n),
        "flip_angle": rng.uniform(0.02, 0.6, n),
    }
    return (predicted_ratio(rng.uniform(0.0, 0.4, n), **inputs), *inputs.values())


def agreement(args, exact):
    """(statuses apart, largest difference over the allowance, share > 1e-6,
    fast f) of the fast way in the build in use against the exact mode.
    """
    from tavni.mt_map import STATUS_SOLVED, STATUS_TWO_ROOTS, fit_fraction

    f, status, slope = exact
    f_fast, status_fast = fit_fraction(*args, exact=False, return_status=True)
    solved = np.isin(status, [STATUS_SOLVED, STATUS_TWO_ROOTS]) & (status_fast == status)
    allowance = 4 * 2.0**-23 * args[0] * np.abs(slope.S_ratio)
    difference = np.abs(f_fast - f)[solved]
    return (
        int(np.count_nonzero(status_fast != status)),
        float(np.max(difference / allowance[solved])),
        np.count_nonzero(difference > 1e-6) / difference.size,
        f_fast,
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--voxels", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--build", nargs="+", help="only these builds (default: every one)")
    options = parser.parse_args()

    import numba_baselines as nb

    from tavni.mt_map import _maps, fit_fraction

    missing = []
    if hasattr(_maps, "fast_kernels"):
        missing = sorted({"avx512", "avx2", "baseline"} - set(_maps.fast_kernels()))
    else:  # a version with its one dispatch, to compare
        _maps.fast_kernels = lambda: ("as built",)
        _maps.fast_kernel = lambda name=None: "as built"
    default = _maps.fast_kernel()
    builds = options.build or list(_maps.fast_kernels())
    rng = np.random.default_rng(2026)
    S, R1, b1 = voxels(options.voxels, rng)
    threads = len(os.sched_getaffinity(0))

    def fast():
        return fit_fraction(S, R1, *PROTOCOL, b1=b1, threads=threads, exact=False)

    def exact():
        return fit_fraction(S, R1, *PROTOCOL, b1=b1, threads=threads)

    def closed_form():
        return nb.closed_form_map(S, R1, b1, PROTOCOL, 0.0, 0.5)

    def brent():
        return nb.brent_map(S, R1, b1, PROTOCOL, 0.0, 0.5, BRENT_XTOL)

    closed_form(), brent()  # compiled before timing
    print(
        f"{options.voxels} voxels, {threads} threads, best of {options.repeats}; "
        f"numba {nb.numba.__version__} for {nb.numba.config.CPU_NAME or 'this processor'}; "
        f"the fast way's build by default here: {default}"
        + (f" (this processor runs no {', '.join(missing)} build)" if missing else "")
    )
    rows = []
    exact_time, brent_time = best_alternating([exact, brent], max(3, options.repeats // 2))
    rows.append(("exact", "numba Brent / exact", brent_time, exact_time))
    for build in builds:
        _maps.fast_kernel(build)
        fast_time, closed_time = best_alternating([fast, closed_form], options.repeats)
        rows.append((build, "numba closed form / fast", closed_time, fast_time))
    print(f"{'':<9} {'':<25} {'wall':>6} {'CPU':>6}  CPU ns per voxel (ours, numba's)")
    for mode, name, (peer_wall, peer_cpu), (wall, cpu) in rows:
        print(
            f"{mode:<9} {name:<25} {peer_wall / wall:6.2f} {peer_cpu / cpu:6.2f}  "
            f"{cpu / options.voxels * 1e9:.1f}, {peer_cpu / options.voxels * 1e9:.1f}"
        )

    args = random_protocols(20_000, np.random.default_rng(11))
    exact_fit = fit_fraction(*args, return_status=True, return_derivatives=True)
    first = None
    print("agreement with the exact mode on 20,000 random voxels and protocols:")
    for build in builds:
        _maps.fast_kernel(build)
        apart, over, share, f_fast = agreement(args, exact_fit)
        same = "" if first is None else f"; bits the same as {builds[0]}'s: "
        same += "" if first is None else ("yes" if np.array_equal(f_fast, first, True) else "NO")
        first = f_fast if first is None else first
        print(
            f"{build:<9} statuses apart {apart}, largest |f_fast - f_exact| / allowance "
            f"{over:.2f}, {100 * share:.1f}% of solved voxels apart by > 1e-6{same}"
        )
    _maps.fast_kernel(default)


if __name__ == "__main__":
    main()
