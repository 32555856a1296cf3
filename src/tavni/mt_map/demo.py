"""The demonstration behind ``mt-map demo``: phantom, chain, summary, figure.

Writes a phantom, maps it with the command line's own fraction step (once
with the B1 map, once without, to show what the transmit field does to the
estimate), prints per-tissue truth against estimate and draws axial,
coronal and sagittal slices of the truth, the estimate and their difference.
"""
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from tavni.mt_map import phantom as phantoms

# World positions (mm) of the slices drawn: through the lateral ventricles
# and the corpus callosum of the MNI brain.
SLICES_MM = {"axial": ("z", 12.0), "coronal": ("y", -18.0), "sagittal": ("x", -12.0)}


@dataclass
class Result:
    phantom: object
    maps: dict        # name -> estimated volume ("f", "f_without_b1", "status", ...)
    figure: Path
    lines: list       # the printed summary


# What the demo writes besides the phantom's files.
OUTPUTS = ("mpf.nii.gz", "status.nii.gz", "mpf_without_b1.nii.gz", "demo.png")


def run(directory, *, voxel_size=2.0, anatomy="auto", shape=None, snr=100.0, seed=0,
        threads=None, quiet=False, force=False):
    """Phantom -> maps -> summary on stdout and demo.png, all inside ``directory``.

    Parameters
    ----------
    directory : path-like
        Where the phantom, the maps and demo.png go (created if missing).
    voxel_size, anatomy, shape, snr, seed
        The phantom's, as for :func:`tavni.mt_map.phantom.make`.
    threads : int, optional
        Worker threads of the fits; default all cores.
    quiet : bool
        No progress bars and no fit summaries on stderr.
    force : bool
        Replace the files of an earlier run; refused otherwise.

    Returns
    -------
    Result

    Raises
    ------
    ValueError
        A voxel size, SNR, seed or grid the phantom cannot have.
    volumes.VolumeError, protocol.ParameterError
        Existing files without force, or a failure of the chain.
    """
    directory = Path(directory)
    phantoms.check_new(phantoms.files(directory) + [directory / name for name in OUTPUTS],
                       force)
    head = phantoms.make(voxel_size, anatomy=anatomy, shape=shape, snr=snr, seed=seed)
    paths = phantoms.write(directory, head, force=force)
    maps = _chain(directory, paths, head, threads, quiet)
    rows = phantoms.tissue_summary(head, {"truth_f": maps["f"], "truth_r1": maps["r1"]})
    rows_without_b1 = phantoms.tissue_summary(head, {"truth_f": maps["f_without_b1"]})
    lines = _summary_lines(head, maps, rows, rows_without_b1)
    figure = directory / "demo.png"
    draw(head, maps, figure)
    lines.append(f"maps in {directory}/, figure in {figure}")
    print("\n".join(lines))
    return Result(head, maps, figure, lines)


def _chain(directory, paths, head, threads, quiet):
    """The fraction map of the command line, with and without the B1 map."""
    from tavni.mt_map import pipeline, protocol

    source = f" in protocol '{paths['protocol']}'"
    given = {key: protocol.Given(head.protocol[key], key, source)
             for key in protocol.SEQUENCE + ("T2b",)}
    images = {"mt": paths["mtw"], "ref": paths["ref"], "r1": paths["truth_r1"],
              "b1": paths["b1"], "mask": paths["mask"]}
    maps = {}
    # Noisy fluid measures ratios above that of no bound pool at all: it is
    # fluid, f = 0 (clip).
    _, maps["f"], maps["status"] = pipeline.fraction_map(
        images, directory / "mpf.nii.gz", given, status_output=directory / "status.nii.gz",
        threads=threads, clip=True, quiet=quiet)
    _, maps["f_without_b1"], _ = pipeline.fraction_map(
        dict(images, b1=None), directory / "mpf_without_b1.nii.gz", given, threads=threads,
        clip=True, quiet=quiet)
    maps["r1"] = head.volumes["truth_r1"]
    return maps


def _summary_lines(head, maps, rows, rows_without_b1):
    from tavni.mt_map import STATUS_SOLVED

    shape = "x".join(str(n) for n in head.volumes["pdw"].shape)
    noise = (f"Rician noise, sigma {head.noise_sigma:.3g}" if head.noise_sigma > 0
             else "no noise")
    lines = [f"phantom: {head.description}, {shape} voxels, {noise}"]
    lines += head.notes
    lines.append(f"{'tissue (p > 0.9)':<18}{'voxels':>8}{'true f':>9}{'est. f':>9}"
                 f"{'no B1':>9}{'true R1':>9}{'est. R1':>9}{'solved':>9}")
    solved = maps["status"] == STATUS_SOLVED
    for (tissue, count, means), (_, _, without) in zip(rows, rows_without_b1):
        true_f, est_f, _ = means["truth_f"]
        true_r1, est_r1, _ = means["truth_r1"]
        where = head.volumes[f"tissue_{tissue.key}"] > 0.9
        share = 100.0 * solved[where].mean() if count else math.nan
        lines.append(f"{tissue.name:<18}{count:>8}{true_f:>9.4f}{est_f:>9.4f}"
                     f"{without['truth_f'][1]:>9.4f}{true_r1:>9.3f}{est_r1:>9.3f}{share:>8.1f}%")
    tissue = brain_voxels(head)
    lines.append(f"solved: {100.0 * solved[tissue].mean():.1f} % of the "
                 f"{int(tissue.sum())} voxels at least half tissue (R1 in 1/s)")
    white = head.volumes["tissue_wm"] > 0.9
    truth = head.volumes["truth_f"][white]
    errors = {name: 100.0 * (maps[name][white] / truth - 1.0) for name in ("f", "f_without_b1")}
    if white.any() and all(np.isfinite(e).any() for e in errors.values()):
        b1 = head.volumes["b1"][tissue]
        low, high = np.nanpercentile(errors["f_without_b1"], [5, 95])
        lines.append(f"white-matter f, error voxel by voxel (5th to 95th percentile): "
                     f"with the B1 map {np.nanpercentile(errors['f'], 5):+.1f} % to "
                     f"{np.nanpercentile(errors['f'], 95):+.1f} %, without it {low:+.1f} % to "
                     f"{high:+.1f} % (B1 here {b1.min():.2f} to {b1.max():.2f})")
    return lines


def brain_voxels(head):
    """The brain mask: voxels at least half filled with tissue; the thin
    fringe beyond holds too little signal for an estimate."""
    return head.volumes["mask"] > 0


def _slice(volume, affine, axis_name, position):
    """The 2-D slice nearest to world position (mm) along axis x, y or z, with
    its remaining axes in order (first axis across, second up)."""
    axis = "xyz".index(axis_name)
    centre = np.linalg.solve(affine, np.array([0.0, 0.0, 0.0, 1.0]))  # world origin in voxels
    index = int(round(centre[axis] + position / affine[axis, axis]))
    index = min(max(index, 0), volume.shape[axis] - 1)
    return np.take(volume, index, axis=axis).T


def draw(head, maps, path):
    """Axial, coronal and sagittal slices: true f, estimated f, their
    difference, and R1; each column with a labelled colour bar."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tissue = brain_voxels(head)
    truth = np.where(tissue, head.volumes["truth_f"], np.nan)
    estimate = np.where(tissue, maps["f"], np.nan)
    difference = estimate - truth
    spread = float(np.nanpercentile(np.abs(difference), 99)) if np.isfinite(difference).any() else 0
    spread = max(spread, 1e-6)
    columns = [
        ("true f", truth, "magma", 0.0, 0.2, "bound-pool fraction f"),
        ("estimated f", estimate, "magma", 0.0, 0.2, "bound-pool fraction f"),
        ("estimated - true f", difference, "coolwarm", -spread, spread, "difference in f"),
        ("R1", np.where(tissue, maps["r1"], np.nan), "viridis", 0.0, 1.5, "R1 (1/s)"),
    ]
    figure, axes = plt.subplots(len(SLICES_MM), len(columns),
                                figsize=(3.1 * len(columns), 2.9 * len(SLICES_MM)),
                                constrained_layout=True)
    for column, (title, volume, cmap, low, high, label) in enumerate(columns):
        for row, (view, (axis_name, position)) in enumerate(SLICES_MM.items()):
            axis = axes[row, column]
            drawn = axis.imshow(_slice(volume, head.affine, axis_name, position), origin="lower",
                                cmap=cmap, vmin=low, vmax=high, interpolation="nearest")
            axis.set_xticks([])
            axis.set_yticks([])
            if row == 0:
                axis.set_title(title)
            if column == 0:
                axis.set_ylabel(f"{view} ({axis_name} = {position:g} mm)")
        figure.colorbar(drawn, ax=axes[:, column], shrink=0.6, location="bottom", label=label)
    noise = f"Rician noise, sigma {head.noise_sigma:.3g}" if head.noise_sigma > 0 else "no noise"
    figure.suptitle(f"{head.description}, {noise}")
    figure.savefig(path, dpi=80)
    plt.close(figure)
