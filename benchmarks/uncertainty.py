"""Predicted standard deviation of f against Monte Carlo, and what it costs.

    python3 benchmarks/uncertainty.py [--chain three-scan|ratio] [--snr 50] [--draws 1000]
                                      [--voxel-size 4] [--anatomy auto|brain|geometric]

The phantom of ``mt-map phantom`` (the MNI brain with nilearn installed, else
the geometric head), noise-free: its PD-, T1- and MT-weighted scans
(``--chain three-scan``: R1 and M0 fitted, the reference synthesised, B1
and B0 maps applied) or its MT image, the same scan without saturation and
the true R1 (``--chain ratio``). Each image gets complex Gaussian noise of
standard deviation sigma, magnitude taken: Rician in the head, Rayleigh in
the background. sigma is set by the SNR, the mean white-matter signal of
the faintest image (the MT-weighted one) over sigma. Then:

- Monte Carlo: ``--draws`` independent noise draws, each fitted; the
  standard deviation of f over the draws in every brain voxel (more than
  half white or grey matter; fluid, at f = 0, sits on the bracket's end
  where noise clips it).
- Prediction, two ways: (a) from the noise-free images and the true sigma:
  how good the first-order propagation itself is; (b) from ONE noisy draw,
  as a user has it: the noise sigma of each image estimated from its
  background, the fit's derivatives at its own noisy solution. (b) scatters
  by a few percent around (a), as any estimate from noisy data does.
- Agreement: the share of brain voxels where each agrees with the Monte
  Carlo within 10% (the sample sd of N draws itself scatters by about
  1/sqrt(2N): 2.2% for 1000).
- Cost: the chain's fit with and without the derivatives, and the
  propagation, each best of several interleaved runs on a million voxels,
  in CPU time of the process (all threads), which other work on a shared
  machine disturbs less than the wall clock.
"""

import argparse
import time

import numpy as np

from tavni.mt_map import STATUS_SOLVED, fit_fraction
from tavni.mt_map.maps import lineshape_at_offsets
from tavni.mt_map.sim import phantom
from tavni.mt_map.uncertainty import (
    noise_sd_from_background,
    ratio_uncertainty,
    three_scan_uncertainty,
)

BRAIN = ("wm", "gm")  # the tissue keys of phantom.TISSUES that make brain voxels


def rician(image, sigma, rng):
    return np.hypot(
        image + rng.normal(0.0, sigma, image.shape), rng.normal(0.0, sigma, image.shape)
    )


def model(head):
    """The MT scan's parameters as fit_fraction takes them after the ratio
    and R1, per voxel where B0 shifts the offset; the PD-, T1- and
    MT-weighted scans' flip angles (radians) and TRs (s).
    """
    values = phantom.model_values(head.protocol)
    offset = values["delta_omega"] + head.volumes["b0"]
    G = lineshape_at_offsets(offset, head.protocol["T2b"])
    args = (
        values["T2_free"],
        offset,
        values["omega_1_rms"],
        G,
        values["TR"],
        values["duration"],
        values["flip_angle"],
    )
    flips = (values["pdw_flip_angle"], values["t1w_flip_angle"], values["flip_angle"])
    TRs = (values["pdw_TR"], values["t1w_TR"], values["TR"])
    return args, flips, TRs


def _at(args, where):
    return tuple(a[where] if isinstance(a, np.ndarray) and a.ndim else a for a in args)


def best_time(function, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.process_time()
        function()
        times.append(time.process_time() - start)
    return min(times)


def ratio_chain(head, brain):
    """Names and noise-free images (MT and reference) of the chain, and the
    fit of noisy ones: f, and given noise levels also its predicted sd.
    """
    v = head.volumes
    R1, b1 = v["truth_r1"][brain], v["b1"][brain]
    args, _, _ = model(head)
    args = _at(args, brain)

    def fit(images, sigmas=None):
        mt, ref = (image[brain] for image in images)
        f, status, derivatives = fit_fraction(
            mt / ref,
            R1,
            *args,
            b1=b1,
            bracket=(0.0, 0.9),
            return_status=True,
            return_derivatives=True,
        )
        if sigmas is None:
            return f
        sd = ratio_uncertainty(derivatives, mt, ref, R1, *sigmas, b1=b1).sd
        return f, np.where(status == STATUS_SOLVED, sd, np.nan)

    return ("MT", "reference"), (v["mtw"], v["ref"]), fit


def three_scan_chain(head, brain):
    """As ratio_chain, for PD-, T1- and MT-weighted images: R1 and M0 fitted
    from the first two, the MT-weighted one over the synthetic reference.
    """
    from tavni.mt_map.relaxometry import fit_r1, synthetic_reference

    v = head.volumes
    b1 = v["b1"][brain]
    args, flips, TRs = model(head)
    args = _at(args, brain)

    def fit(images, sigmas=None):
        pdw, t1w, mtw = (image[brain] for image in images)
        R1, M0 = fit_r1([pdw, t1w], flips[:2], TRs[:2], b1=b1)
        ref = synthetic_reference(M0, R1, flips[2], TRs[2], b1=b1)
        f, status, derivatives = fit_fraction(
            mtw / ref,
            R1,
            *args,
            b1=b1,
            bracket=(0.0, 0.9),
            return_status=True,
            return_derivatives=True,
        )
        if sigmas is None:
            return f
        sd = three_scan_uncertainty(
            derivatives, pdw, t1w, mtw, ref, R1, flips, TRs, sigmas, b1=b1, b1_sensitivity=False
        ).sd
        return f, np.where(status == STATUS_SOLVED, sd, np.nan)

    return ("PDw", "T1w", "MTw"), (v["pdw"], v["t1w"], v["mtw"]), fit


def accuracy(chain, voxel_size, anatomy, snr, draws, seed):
    head = phantom.make(voxel_size, anatomy=anatomy)  # noise-free
    brain = np.isin(
        head.volumes["labels"], [i + 1 for i, t in enumerate(phantom.TISSUES) if t.key in BRAIN]
    )
    names, clean, fit = chain(head, brain)
    white = head.volumes["tissue_wm"] > 0.9
    sigma = min(image[white].mean() for image in clean) / snr
    rng = np.random.default_rng(seed)

    def noisy(where=brain):
        return [rician(image[where], sigma, rng) for image in clean]

    _, from_truth = fit(clean, [sigma] * len(clean))
    # One whole acquisition, background included, for the noise estimate.
    one_draw = [rician(image, sigma, rng) for image in clean]
    estimated = [noise_sd_from_background(image) for image in one_draw]
    _, from_one_draw = fit(one_draw, estimated)

    # The draws need only the brain: fit() picks it out of full volumes, so
    # the noisy brain goes back into a volume of the image's shape.
    fs = np.empty((draws, int(brain.sum())))
    canvas = [np.zeros(image.shape) for image in clean]
    for i in range(draws):
        for volume, values in zip(canvas, noisy()):
            volume[brain] = values
        fs[i] = fit(canvas)
    observed = np.std(fs, axis=0, ddof=1)
    usable = np.all(np.isfinite(fs), axis=0) & np.isfinite(from_one_draw)
    levels = ", ".join(f"{name} {level:.4g}" for name, level in zip(names, estimated))
    shape = "x".join(str(n) for n in clean[0].shape)
    print(
        f"{chain.__name__}: {head.description}, {shape} voxels, SNR {snr} (sigma "
        f"{sigma:.4g}; estimated from the background: {levels}), {draws} draws"
    )
    print(f"brain voxels {brain.sum()}, solved in every draw {usable.sum()}")
    labels = head.volumes["labels"][brain]
    for index, tissue in enumerate(phantom.TISSUES):
        where = (labels == index + 1) & usable
        if tissue.key in BRAIN and where.any():
            print(
                f"  {tissue.name:13s} median sd of f: Monte Carlo "
                f"{np.median(observed[where]):.5f}, predicted (a) "
                f"{np.median(from_truth[where]):.5f}, (b) {np.median(from_one_draw[where]):.5f}"
            )
    for label, predicted in (("(a) noise-free", from_truth), ("(b) one draw", from_one_draw)):
        relative = np.abs(predicted[usable] / observed[usable] - 1.0)
        print(
            f"{label:15s} within 10% of Monte Carlo in {100 * np.mean(relative <= 0.1):.1f}% "
            f"of them (median |predicted/MC - 1| {100 * np.median(relative):.1f}%)"
        )


def cost(chain, voxels, seed, threads, repeats=9):
    """CPU time of the chain's fit with and without the derivatives, and of
    the propagation, on voxels of random tissue (the phantom's protocol at
    its nominal offset).
    """
    rng = np.random.default_rng(seed)
    M0 = rng.uniform(50.0, 150.0, voxels)
    R1 = rng.uniform(0.5, 1.6, voxels)
    b1 = rng.uniform(0.85, 1.15, voxels)
    values = phantom.model_values(phantom.PROTOCOL)
    args = tuple(
        values[key]
        for key in ("T2_free", "delta_omega", "omega_1_rms", "G", "TR", "duration", "flip_angle")
    )
    flips = (values["pdw_flip_angle"], values["t1w_flip_angle"], values["flip_angle"])
    TRs = (values["pdw_TR"], values["t1w_TR"], values["TR"])
    S_ref = M0 * 0.1
    S_mt = S_ref * rng.uniform(0.35, 0.75, voxels)
    if chain is three_scan_chain:
        from tavni.mt_map.relaxometry import fit_r1, spgr_signal, synthetic_reference

        S_pd, S_t1 = (spgr_signal(M0, R1, a, TR, b1=b1) for a, TR in zip(flips[:2], TRs[:2]))

        def fit(return_derivatives):
            R1_fit, M0_fit = fit_r1([S_pd, S_t1], flips[:2], TRs[:2], b1=b1, threads=threads)
            ref = synthetic_reference(M0_fit, R1_fit, flips[2], TRs[2], b1=b1, threads=threads)
            return fit_fraction(
                S_mt / ref,
                R1_fit,
                *args,
                b1=b1,
                threads=threads,
                return_derivatives=return_derivatives,
            )

        def propagate(derivatives):
            three_scan_uncertainty(
                derivatives,
                S_pd,
                S_t1,
                S_mt,
                S_ref,
                R1,
                flips,
                TRs,
                (1.0, 1.0, 1.0),
                b1=b1,
                b1_sensitivity=False,
            )
    else:

        def fit(return_derivatives):
            return fit_fraction(
                S_mt / S_ref,
                R1,
                *args,
                b1=b1,
                threads=threads,
                return_derivatives=return_derivatives,
            )

        def propagate(derivatives):
            ratio_uncertainty(derivatives, S_mt, S_ref, R1, 1.0, 1.0, b1=b1)

    _, derivatives = fit(True)
    runs = {
        "fit": lambda: fit(False),
        "derivatives": lambda: fit(True),
        "propagation": lambda: propagate(derivatives),
    }
    times = {name: [] for name in runs}
    for _ in range(repeats):
        for name, function in runs.items():
            times[name].append(best_time(function, 1))
    t_fit, t_derivatives, t_propagation = (min(taken) for taken in times.values())
    extra = t_derivatives - t_fit + t_propagation
    print(
        f"{chain.__name__}, {voxels} voxels, {threads or 'all'} threads, CPU time, best of "
        f"{repeats}: fit {1e3 * t_fit:.1f} ms, with derivatives {1e3 * t_derivatives:.1f} ms, "
        f"propagation {1e3 * t_propagation:.1f} ms: the uncertainty adds "
        f"{extra / t_fit:.2f} x the fit"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--snr", type=float, default=50.0)
    parser.add_argument("--draws", type=int, default=1000)
    parser.add_argument(
        "--voxel-size",
        type=float,
        default=4.0,
        metavar="MM",
        help="of the phantom (coarse keeps the draws to minutes)",
    )
    parser.add_argument("--anatomy", choices=("auto", "brain", "geometric"), default="auto")
    parser.add_argument("--voxels", type=int, default=1_000_000, help="for the cost")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--seed", type=int, default=16)
    parser.add_argument(
        "--chain",
        choices=("three-scan", "ratio"),
        default="three-scan",
        help="PD-, T1- and MT-weighted images, or MT and reference images",
    )
    options = parser.parse_args()
    chain = three_scan_chain if options.chain == "three-scan" else ratio_chain
    accuracy(chain, options.voxel_size, options.anatomy, options.snr, options.draws, options.seed)
    cost(chain, options.voxels, options.seed, options.threads)


if __name__ == "__main__":
    main()
