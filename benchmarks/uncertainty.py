"""Predicted standard deviation of f against Monte Carlo, and what it costs.

    python3 benchmarks/uncertainty.py [--snr 50] [--draws 1000] [--shape 64 64 20]

The synthetic head of ``mt-map phantom`` (noise-free MT and reference images,
its R1 and B1 maps) gets complex Gaussian noise of standard deviation sigma
added to each image, magnitude taken: Rician in the head, Rayleigh in the
background. sigma is set by the SNR, the mean reference signal of white
matter over sigma. Then:

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
from tavni.mt_map.uncertainty import noise_sd_from_background, ratio_uncertainty

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


def accuracy(shape, snr, draws, seed):
    volumes = phantom.make(tuple(shape), noise=0.0)
    labels = volumes["labels"]
    by_name = {t.name: t.label for t in phantom.TISSUES}
    brain = np.isin(labels, [by_name[name] for name in BRAIN])
    sigma = volumes["ref"][labels == by_name["white matter"]].mean() / snr
    R1, b1 = volumes["r1"], volumes["b1"]
    args = protocol_arguments()
    rng = np.random.default_rng(seed)

    def fit(mt, ref, **options):
        return fit_fraction(mt[brain] / ref[brain], R1[brain], *args, b1=b1[brain],
                            bracket=(0.0, 0.9), **options)

    def predict(mt, ref, sigma_mt, sigma_ref):
        _, status, derivatives = fit(mt, ref, return_status=True, return_derivatives=True)
        sd = ratio_uncertainty(derivatives, mt[brain], ref[brain], R1[brain], sigma_mt,
                               sigma_ref, b1=b1[brain]).sd
        return np.where(status == STATUS_SOLVED, sd, np.nan)

    from_truth = predict(volumes["mt"], volumes["ref"], sigma, sigma)
    mt, ref = rician(volumes["mt"], sigma, rng), rician(volumes["ref"], sigma, rng)
    sigma_mt, sigma_ref = noise_sd_from_background(mt), noise_sd_from_background(ref)
    from_one_draw = predict(mt, ref, sigma_mt, sigma_ref)

    fs = np.empty((draws, int(brain.sum())))
    for i in range(draws):
        fs[i] = fit(rician(volumes["mt"], sigma, rng), rician(volumes["ref"], sigma, rng))
    observed = np.std(fs, axis=0, ddof=1)
    usable = np.all(np.isfinite(fs), axis=0) & np.isfinite(from_one_draw)
    print(f"phantom {tuple(shape)}, SNR {snr} (sigma {sigma:.4g}; estimated from the "
          f"background: MT {sigma_mt:.4g}, reference {sigma_ref:.4g}), {draws} draws")
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


def cost(voxels, seed, threads, repeats=9):
    rng = np.random.default_rng(seed)
    S_ref = rng.uniform(50.0, 150.0, voxels)
    R1 = rng.uniform(0.5, 1.6, voxels)
    b1 = rng.uniform(0.85, 1.15, voxels)
    S_mt = S_ref * rng.uniform(0.35, 0.75, voxels)
    args = protocol_arguments()

    def plain():
        fit_fraction(S_mt / S_ref, R1, *args, b1=b1, threads=threads)

    def with_derivatives():
        return fit_fraction(S_mt / S_ref, R1, *args, b1=b1, threads=threads,
                            return_derivatives=True)

    _, derivatives = with_derivatives()

    def propagation():
        ratio_uncertainty(derivatives, S_mt, S_ref, R1, 1.0, 1.0, b1=b1)

    times = {plain: [], with_derivatives: [], propagation: []}
    for _ in range(repeats):
        for function, taken in times.items():
            taken.append(best_time(function, 1))
    t_fit, t_derivatives, t_propagation = (min(taken) for taken in times.values())
    extra = t_derivatives - t_fit + t_propagation
    print(f"{voxels} voxels, {threads or 'all'} threads, CPU time, best of {repeats}: fit "
          f"{1e3 * t_fit:.1f} ms, with derivatives {1e3 * t_derivatives:.1f} ms, propagation "
          f"{1e3 * t_propagation:.1f} ms: the uncertainty adds {extra / t_fit:.2f} x the fit")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--snr", type=float, default=50.0)
    parser.add_argument("--draws", type=int, default=1000)
    parser.add_argument("--shape", type=int, nargs=3, default=(64, 64, 20))
    parser.add_argument("--voxels", type=int, default=1_000_000, help="for the cost")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--seed", type=int, default=16)
    options = parser.parse_args()
    accuracy(options.shape, options.snr, options.draws, options.seed)
    cost(options.voxels, options.seed, options.threads)


if __name__ == "__main__":
    main()
