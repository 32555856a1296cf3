"""Predicted standard deviation of f against Monte Carlo, and what it costs.

    python3 benchmarks/uncertainty.py [--chain ratio|three-scan] [--snr 50] [--draws 1000]
                                      [--shape 64 64 20]

The synthetic head of ``mt-map phantom``: its noise-free MT and reference
images (``--chain ratio``), or PD-, T1- and MT-weighted images made from its
M0, R1 and B1 (``--chain three-scan``; R1 and M0 are then fitted and the
reference synthesised). Each image gets complex Gaussian noise of standard
deviation sigma, magnitude taken: Rician in the head, Rayleigh in the
background. sigma is set by the SNR, the mean white-matter signal of the
faintest image over sigma. Then:

- Monte Carlo: ``--draws`` independent noise draws, each fitted; the
  standard deviation of f over the draws in every brain voxel (grey and
  white matter; fluid, at f = 0, sits on the bracket's end where noise
  clips it).
- Prediction, two ways: (a) from the noise-free images and the true sigma:
  how good the first-order propagation itself is; (b) from ONE noisy draw,
  as a user has it: the noise sigma of each image estimated from its
  background, the fit's derivatives at its own noisy solution. (b) scatters
  by a few percent around (a), as any estimate from noisy data does.
- Agreement: the share of brain voxels where each agrees with the Monte
  Carlo within 10% (the sample sd of N draws itself scatters by about
  1/sqrt(2N): 2.2% for 1000).
- Cost: fit_fraction with and without the derivatives, and the
  propagation, each best of several interleaved runs on a larger volume,
  in CPU time of the process (all threads), which other work on a shared
  machine disturbs less than the wall clock.
"""
import argparse
import time

import numpy as np

from tavni.mt_map import STATUS_SOLVED, fit_fraction, phantom, super_lorentzian
from tavni.mt_map.uncertainty import (noise_sd_from_background, ratio_uncertainty,
                                      three_scan_uncertainty)

BRAIN = ("grey matter", "white matter")


def rician(image, sigma, rng):
    return np.hypot(image + rng.normal(0.0, sigma, image.shape),
                    rng.normal(0.0, sigma, image.shape))


def protocol_arguments():
    p = phantom.PROTOCOL
    G = super_lorentzian(p["delta_omega"], p["T2b"])
    return (p["T2_free"], p["delta_omega"], p["omega_1_rms"], G, p["TR"], p["duration"],
            np.deg2rad(p["flip_angle_deg"]))


def best_time(function, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.process_time()
        function()
        times.append(time.process_time() - start)
    return min(times)


# PD- and T1-weighted scans of the three-scan chain: (flip angle in degrees, TR in s).
PDW, T1W = (5.0, 0.025), (20.0, 0.018)


def ratio_chain(volumes, brain):
    """Noise-free MT and reference images, and the fit of noisy ones: f, and
    with noise levels also its predicted sd."""
    R1, b1 = volumes["r1"][brain], volumes["b1"][brain]
    args = protocol_arguments()

    def fit(images, sigmas=None):
        mt, ref = (image[brain] for image in images)
        f, status, derivatives = fit_fraction(mt / ref, R1, *args, b1=b1, bracket=(0.0, 0.9),
                                              return_status=True, return_derivatives=True)
        if sigmas is None:
            return f
        sd = ratio_uncertainty(derivatives, mt, ref, R1, *sigmas, b1=b1).sd
        return f, np.where(status == STATUS_SOLVED, sd, np.nan)

    return ("MT", "reference"), (volumes["mt"], volumes["ref"]), fit


def three_scan_chain(volumes, brain):
    """As ratio_chain, for PD-, T1- and MT-weighted images: R1 and M0 fitted
    from the first two, the MT-weighted one over the synthetic reference."""
    from tavni.mt_map.relaxometry import fit_r1, spgr_signal, synthetic_reference

    b1 = volumes["b1"]
    args = protocol_arguments()
    flip_mt, TR_mt = args[-1], args[4]
    flips = (np.deg2rad(PDW[0]), np.deg2rad(T1W[0]), flip_mt)
    TRs = (PDW[1], T1W[1], TR_mt)
    M0, R1 = volumes["m0"], volumes["r1"]
    head = R1 > 0
    clean = [np.zeros(b1.shape) for _ in range(2)]
    for image, flip, TR in zip(clean, flips, TRs):
        image[head] = spgr_signal(M0[head], R1[head], flip, TR, b1=b1[head])
    # The phantom's MT image is its reference, the same M0's SPGR signal at
    # the MT scan's angle and TR, times the model's ratio.
    clean.append(volumes["mt"])
    b1_brain = b1[brain]

    def fit(images, sigmas=None):
        pdw, t1w, mtw = (image[brain] for image in images)
        R1_fit, M0_fit = fit_r1([pdw, t1w], flips[:2], TRs[:2], b1=b1_brain)
        ref = synthetic_reference(M0_fit, R1_fit, flip_mt, TR_mt, b1=b1_brain)
        f, status, derivatives = fit_fraction(mtw / ref, R1_fit, *args, b1=b1_brain,
                                              bracket=(0.0, 0.9), return_status=True,
                                              return_derivatives=True)
        if sigmas is None:
            return f
        sd = three_scan_uncertainty(derivatives, pdw, t1w, mtw, ref, R1_fit, flips, TRs,
                                    sigmas, b1=b1_brain).sd
        return f, np.where(status == STATUS_SOLVED, sd, np.nan)

    return ("PDw", "T1w", "MTw"), clean, fit


def accuracy(chain, shape, snr, draws, seed):
    volumes = phantom.make(tuple(shape), noise=0.0)
    labels = volumes["labels"]
    by_name = {t.name: t.label for t in phantom.TISSUES}
    brain = np.isin(labels, [by_name[name] for name in BRAIN])
    volumes["m0"] = np.zeros(shape)  # the proton density of the phantom's images
    for tissue in phantom.TISSUES:
        volumes["m0"][labels == tissue.label] = tissue.M0
    names, clean, fit = chain(volumes, brain)
    # Every image has at least this SNR in white matter.
    sigma = min(image[labels == by_name["white matter"]].mean() for image in clean) / snr
    rng = np.random.default_rng(seed)

    def noisy():
        return [rician(image, sigma, rng) for image in clean]

    _, from_truth = fit(clean, [sigma] * len(clean))
    one_draw = noisy()
    estimated = [noise_sd_from_background(image) for image in one_draw]
    _, from_one_draw = fit(one_draw, estimated)

    fs = np.empty((draws, int(brain.sum())))
    for i in range(draws):
        fs[i] = fit(noisy())
    observed = np.std(fs, axis=0, ddof=1)
    usable = np.all(np.isfinite(fs), axis=0) & np.isfinite(from_one_draw)
    levels = ", ".join(f"{name} {level:.4g}" for name, level in zip(names, estimated))
    print(f"{chain.__name__}: phantom {tuple(shape)}, SNR {snr} (sigma {sigma:.4g}; "
          f"estimated from the background: {levels}), {draws} draws")
    print(f"brain voxels {brain.sum()}, solved in every draw {usable.sum()}")
    for name in BRAIN:
        where = (labels[brain] == by_name[name]) & usable
        print(f"  {name:13s} median sd of f: Monte Carlo {np.median(observed[where]):.5f}, "
              f"predicted (a) {np.median(from_truth[where]):.5f}, "
              f"(b) {np.median(from_one_draw[where]):.5f}")
    for label, predicted in (("(a) noise-free", from_truth), ("(b) one draw", from_one_draw)):
        relative = np.abs(predicted[usable] / observed[usable] - 1.0)
        print(f"{label:15s} within 10% of Monte Carlo in {100 * np.mean(relative <= 0.1):.1f}% "
              f"of them (median |predicted/MC - 1| {100 * np.median(relative):.1f}%)")


def cost(chain, voxels, seed, threads, repeats=9):
    """CPU time of the chain's fit with and without the derivatives, and of
    the propagation, on voxels of random tissue."""
    rng = np.random.default_rng(seed)
    M0 = rng.uniform(50.0, 150.0, voxels)
    R1 = rng.uniform(0.5, 1.6, voxels)
    b1 = rng.uniform(0.85, 1.15, voxels)
    args = protocol_arguments()
    flips = (np.deg2rad(PDW[0]), np.deg2rad(T1W[0]), args[-1])
    TRs = (PDW[1], T1W[1], args[4])
    S_ref = M0 * 0.1
    S_mt = S_ref * rng.uniform(0.35, 0.75, voxels)
    if chain is three_scan_chain:
        from tavni.mt_map.relaxometry import fit_r1, spgr_signal, synthetic_reference

        S_pd, S_t1 = (spgr_signal(M0, R1, a, TR, b1=b1) for a, TR in zip(flips[:2], TRs[:2]))

        def fit(return_derivatives):
            R1_fit, M0_fit = fit_r1([S_pd, S_t1], flips[:2], TRs[:2], b1=b1, threads=threads)
            ref = synthetic_reference(M0_fit, R1_fit, flips[2], TRs[2], b1=b1, threads=threads)
            return fit_fraction(S_mt / ref, R1_fit, *args, b1=b1, threads=threads,
                                return_derivatives=return_derivatives)

        def propagate(derivatives):
            three_scan_uncertainty(derivatives, S_pd, S_t1, S_mt, S_ref, R1, flips, TRs,
                                   (1.0, 1.0, 1.0), b1=b1, b1_sensitivity=False)
    else:
        def fit(return_derivatives):
            return fit_fraction(S_mt / S_ref, R1, *args, b1=b1, threads=threads,
                                return_derivatives=return_derivatives)

        def propagate(derivatives):
            ratio_uncertainty(derivatives, S_mt, S_ref, R1, 1.0, 1.0, b1=b1)

    _, derivatives = fit(True)
    runs = {"fit": lambda: fit(False), "derivatives": lambda: fit(True),
            "propagation": lambda: propagate(derivatives)}
    times = {name: [] for name in runs}
    for _ in range(repeats):
        for name, function in runs.items():
            times[name].append(best_time(function, 1))
    t_fit, t_derivatives, t_propagation = (min(taken) for taken in times.values())
    extra = t_derivatives - t_fit + t_propagation
    print(f"{chain.__name__}, {voxels} voxels, {threads or 'all'} threads, CPU time, best of "
          f"{repeats}: fit {1e3 * t_fit:.1f} ms, with derivatives {1e3 * t_derivatives:.1f} ms, "
          f"propagation {1e3 * t_propagation:.1f} ms: the uncertainty adds "
          f"{extra / t_fit:.2f} x the fit")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--snr", type=float, default=50.0)
    parser.add_argument("--draws", type=int, default=1000)
    parser.add_argument("--shape", type=int, nargs=3, default=(64, 64, 20))
    parser.add_argument("--voxels", type=int, default=1_000_000, help="for the cost")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--seed", type=int, default=16)
    parser.add_argument("--chain", choices=("three-scan", "ratio"), default="ratio",
                        help="PD-, T1- and MT-weighted images, or MT and reference images")
    options = parser.parse_args()
    chain = three_scan_chain if options.chain == "three-scan" else ratio_chain
    accuracy(chain, options.shape, options.snr, options.draws, options.seed)
    cost(chain, options.voxels, options.seed, options.threads)


if __name__ == "__main__":
    main()
