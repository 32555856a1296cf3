"""The demonstration behind ``mt-map demo``: phantom, chain, summary, figure.

Writes a phantom, maps it with the command line's own fraction step (once
with the B1 map, once without, to show what the transmit field does to the
estimate), sums up per-tissue truth against estimate (``Result.lines``,
which ``mt-map demo`` prints) and draws axial, coronal and sagittal slices
of the truth, the estimate and their difference. With multi-echo scans the
chain extrapolates every scan to TE = 0 with one R2*, and the summary sets
that R2* against the truth too.
"""

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from tavni.mt_map.defaults import ECHO_SPACING
from tavni.mt_map.io import volumes
from tavni.mt_map.outputs import by_key
from tavni.mt_map.sim import phantom as phantoms

__all__ = [
    "SLICES_MM",
    "Result",
    "MAPS",
    "MAPS_WITHOUT_B1",
    "OUTPUTS",
    "ECHO_MAPS",
    "run",
    "brain_voxels",
    "draw",
]

SLICES_MM = {"axial": ("z", 12.0), "coronal": ("y", -18.0), "sagittal": ("x", -12.0)}
"""World positions (mm) of the slices drawn, by view: through the lateral
ventricles and the corpus callosum of the MNI brain."""


@dataclass
class Result:
    """What a demonstration made.

    Attributes
    ----------
    phantom : tavni.mt_map.sim.phantom.Phantom
        The head, its truth and scans.
    maps : dict of str to numpy.ndarray
        The estimated maps as written and read back: "f", "f_without_b1",
        "status", "r1", "r1_without_b1", "m0", "mtsat", "mtr", with noise
        "uncertainty" and with echoes "r2star".
    figure : pathlib.Path
        demo.png.
    lines : list of str
        The summary printed on stdout.
    """

    phantom: object
    maps: dict  # name -> estimated volume ("f", "f_without_b1", "status", ...)
    figure: Path
    lines: list  # the summary, for the command line to print


# The maps the demo writes: chain output name -> file, with the B1 map and
# without it; and the figure.
MAPS = {
    key: f"{by_key(key).short}.nii.gz"
    for key in ("fraction", "status", "r1", "m0", "mtsat", "mtr", "uncertainty")
}
MAPS_WITHOUT_B1 = {key: f"{by_key(key).short}_without_b1.nii.gz" for key in ("fraction", "r1")}
OUTPUTS = (*MAPS.values(), *MAPS_WITHOUT_B1.values(), "demo.png")
ECHO_MAPS = {"r2star": f"{by_key('r2star').short}.nii.gz"}
"""The map added for multi-echo scans (with the B1 map)."""


def run(
    directory,
    *,
    voxel_size=2.0,
    anatomy="auto",
    shape=None,
    snr=100.0,
    seed=0,
    threads=None,
    quiet=False,
    force=False,
    echoes=None,
):
    """Phantom -> maps -> summary on stdout and demo.png, all inside ``directory``.

    Parameters
    ----------
    directory : path-like
        Where the phantom, the maps and demo.png go (created if missing).
    voxel_size, anatomy, shape, snr, seed
        The phantom's, as for :func:`tavni.mt_map.sim.phantom.make`.
    threads : int, optional
        Worker threads of the fits; default all cores.
    quiet : bool
        No progress bars and no summary lines of the fits (the
        ``tavni.mt_map`` logger's INFO lines).
    force : bool
        Replace the files of an earlier run; refused otherwise.
    echoes : int, optional
        Read each scan out at this many echoes (``phantom.make``); the
        chain combines them by extrapolation to TE = 0 with one R2*
        ("te0") and writes the R2* map. None: single-echo scans.

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
    written = OUTPUTS + (() if echoes is None else tuple(ECHO_MAPS.values()))
    phantoms.check_new(
        phantoms.files(directory, echoes=echoes) + [directory / name for name in written], force
    )
    head = phantoms.make(
        voxel_size, anatomy=anatomy, shape=shape, snr=snr, seed=seed, echoes=echoes
    )
    paths = phantoms.write(directory, head, force=force)
    maps = _chain(directory, paths, head, threads, quiet)
    estimates = {"truth_f": maps["f"], "truth_r1": maps["r1"]}
    if "r2star" in maps:
        estimates["truth_r2star"] = maps["r2star"]
    rows = phantoms.tissue_summary(head, estimates)
    rows_without_b1 = phantoms.tissue_summary(
        head, {"truth_f": maps["f_without_b1"], "truth_r1": maps["r1_without_b1"]}
    )
    lines = _summary_lines(head, maps, rows, rows_without_b1)
    figure = directory / "demo.png"
    draw(head, maps, figure)
    lines.append(f"maps in {directory}/, figure in {figure}")
    return Result(head, maps, figure, lines)


def _chain(directory, paths, head, threads, quiet):
    """The three-scan chain of ``mt-map fraction``, with and without the B1
    map, inside the brain mask; the maps read back as written. Multi-echo
    scans go in with their echo times, extrapolated to TE = 0.
    """
    import nibabel

    from tavni.mt_map import workflows

    times = head.metadata.get("echoes")
    if times is None:
        scans = [paths[scan] for scan in ("pdw", "t1w", "mtw")]
        with_b1 = MAPS
    else:
        scans = [
            workflows.echoes.Echoes(
                tuple(paths[phantoms.echo_name(scan, k)] for k in range(1, len(TE) + 1)),
                tuple(TE),
            )
            for scan, TE in times.items()
        ]
        with_b1 = dict(MAPS, **ECHO_MAPS)
    runs = ((with_b1, paths["b1"], ""), (MAPS_WITHOUT_B1, None, "_without_b1"))
    maps = {}
    for names, b1, suffix in runs:
        outputs = {name: directory / file for name, file in names.items()}
        if head.noise_sigma == 0:  # no noise to propagate, nor a background to measure it in
            outputs.pop("uncertainty", None)
        # Noisy fluid measures ratios above that of no bound pool at all: it
        # is fluid, f = 0 (clip).
        workflows.fraction_from_scans(
            *scans,
            head.protocol,
            outputs,
            b1=b1,
            b0=paths["b0"],
            mask=paths["mask"],
            threads=threads,
            clip=True,
            quiet=quiet,
            protocol_path=paths["protocol"],
        )
        for name, path in outputs.items():
            maps[name + suffix] = np.asarray(nibabel.load(path).get_fdata())
    maps["f"], maps["f_without_b1"] = maps.pop("fraction"), maps.pop("fraction_without_b1")
    return maps


_SCANS = {"pdw": "PDw", "t1w": "T1w", "mtw": "MTw"}


def _percentiles(estimate, truth):
    """The 5th to 95th percentile of the relative error, as text."""
    error = 100.0 * (estimate / truth - 1.0)
    low, high = (
        np.nanpercentile(error, [5, 95]) if np.isfinite(error).any() else (math.nan, math.nan)
    )
    return f"{low:+.1f} % to {high:+.1f} %"


def _summary_lines(head, maps, rows, rows_without_b1):
    from tavni.mt_map import STATUS_SOLVED

    shape = "x".join(str(n) for n in head.volumes["truth_f"].shape)
    lines = [f"phantom: {head.description}, {shape} voxels, {head.noise()}"]
    times = head.metadata.get("echoes")
    if times is not None:
        counts = ", ".join(f"{label} {len(times[scan])}" for scan, label in _SCANS.items())
        lines.append(
            f"echoes: {counts}, every {1000 * ECHO_SPACING:g} ms from TE "
            f"{1000 * ECHO_SPACING:g} ms; each scan extrapolated to TE = 0 with one "
            "R2* shared by the three"
        )
    lines += head.notes
    echo = "r2star" in maps
    lines.append(
        f"{'':<18}{'':>8}{'bound-pool fraction f':>27}{'R1 (1/s)':>24}"
        + (f"{'R2* (1/s)':>18}" if echo else "")
        + f"{'MTsat':>9}"
    )
    lines.append(
        f"{'tissue (p > 0.9)':<18}{'voxels':>8}"
        + f"{'true':>9}{'est.':>9}{'no B1':>9}" * 2
        + (f"{'true':>9}{'est.':>9}" if echo else "")
        + f"{'(p.u.)':>9}{'solved':>9}"
    )
    solved = maps["status"] == STATUS_SOLVED
    for (tissue, count, means), (_, _, without) in zip(rows, rows_without_b1):
        where = head.volumes[f"tissue_{tissue.key}"] > 0.9
        share = 100.0 * solved[where].mean() if count else math.nan
        mtsat = float(np.nanmean(maps["mtsat"][where])) if count else math.nan
        f, r1 = means["truth_f"], means["truth_r1"]
        r2 = f"{means['truth_r2star'][0]:>9.2f}{means['truth_r2star'][1]:>9.2f}" if echo else ""
        lines.append(
            f"{tissue.name:<18}{count:>8}{f[0]:>9.4f}{f[1]:>9.4f}"
            f"{without['truth_f'][1]:>9.4f}{r1[0]:>9.3f}{r1[1]:>9.3f}"
            f"{without['truth_r1'][1]:>9.3f}{r2}{mtsat:>9.3f}{share:>8.1f}%"
        )
    brain = brain_voxels(head)
    lines.append(
        f"solved: {100.0 * solved[brain].mean():.1f} % of the {int(brain.sum())} "
        "voxels of the brain mask"
    )
    if "uncertainty" in maps:
        # What the noise alone moves f by, predicted voxel by voxel from the
        # images (their noise estimated from the background).
        medians = []
        for tissue, _count, _ in rows:
            sd = maps["uncertainty"][head.volumes[f"tissue_{tissue.key}"] > 0.9]
            sd = sd[np.isfinite(sd)]
            medians.append(f"{tissue.name} {np.median(sd):.4f}" if sd.size else f"{tissue.name} -")
        lines.append("sd of f from the noise, median per tissue: " + ", ".join(medians))
    white = head.volumes["tissue_wm"] > 0.9
    if white.any():
        lines.append(
            "error voxel by voxel in white matter (5th to 95th percentile), with the "
            "B1 map and without it:"
        )
        for label, name, truth in (("f", "f", "truth_f"), ("R1", "r1", "truth_r1")):
            ranges = [
                _percentiles(estimate[white], head.volumes[truth][white])
                for estimate in (maps[name], maps[name + "_without_b1"])
            ]
            lines.append(f"  {label:<3}{ranges[0]:>22}{ranges[1]:>24}")
        if echo:  # the echo fit does not depend on B1: one column
            error = _percentiles(maps["r2star"][white], head.volumes["truth_r2star"][white])
            lines.append(f"  {'R2*':<3}{error:>22}")
        b1 = head.volumes["b1"][brain]
        lines.append(
            f"(B1 here {b1.min():.2f} to {b1.max():.2f}: without its map the R1 fit "
            "and the fraction fit take every flip angle and the MT pulse as nominal)"
        )
    return lines


def brain_voxels(head):
    """The brain mask: voxels at least half filled with tissue; the thin
    fringe beyond holds too little signal for an estimate.

    Parameters
    ----------
    head : tavni.mt_map.sim.phantom.Phantom

    Returns
    -------
    numpy.ndarray of bool
    """
    return head.volumes["mask"] > 0


def _slice(volume, affine, axis_name, position):
    """The 2-D slice nearest to world position (mm) along axis x, y or z, with
    its remaining axes in order (first axis across, second up).
    """
    axis = "xyz".index(axis_name)
    centre = np.linalg.solve(affine, np.array([0.0, 0.0, 0.0, 1.0]))  # world origin in voxels
    index = int(round(centre[axis] + position / affine[axis, axis]))
    index = min(max(index, 0), volume.shape[axis] - 1)
    return np.take(volume, index, axis=axis).T


def draw(head, maps, path):
    """Axial, coronal and sagittal slices: true f, estimated f, their
    difference, true and estimated R1, and MTsat; each column with a
    labelled colour bar.

    Parameters
    ----------
    head : tavni.mt_map.sim.phantom.Phantom
    maps : dict of str to numpy.ndarray
        The estimates, as in ``Result.maps``.
    path : path-like
        The PNG to write.

    Raises
    ------
    volumes.VolumeError
        The figure cannot be written (nothing is left behind).
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tissue = brain_voxels(head)

    def shown(volume):
        return np.where(tissue, volume, np.nan)

    truth, estimate = shown(head.volumes["truth_f"]), shown(maps["f"])
    difference = estimate - truth
    finite = np.isfinite(difference)
    spread = max(
        float(np.percentile(np.abs(difference[finite]), 99)) if finite.any() else 0.0, 1e-6
    )
    columns = [
        ("true f", truth, "magma", 0.0, 0.2, "bound-pool fraction f"),
        ("estimated f", estimate, "magma", 0.0, 0.2, "bound-pool fraction f"),
        ("estimated - true f", difference, "coolwarm", -spread, spread, "difference in f"),
        ("true R1", shown(head.volumes["truth_r1"]), "viridis", 0.0, 1.5, "R1 (1/s)"),
        ("estimated R1", shown(maps["r1"]), "viridis", 0.0, 1.5, "R1 (1/s)"),
        ("MTsat", shown(maps["mtsat"]), "cividis", 0.0, 4.0, "MTsat (p.u.)"),
    ]
    figure, axes = plt.subplots(
        len(SLICES_MM),
        len(columns),
        figsize=(2.6 * len(columns), 2.7 * len(SLICES_MM)),
        constrained_layout=True,
    )
    for column, (title, volume, cmap, low, high, label) in enumerate(columns):
        for row, (view, (axis_name, position)) in enumerate(SLICES_MM.items()):
            axis = axes[row, column]
            drawn = axis.imshow(
                _slice(volume, head.affine, axis_name, position),
                origin="lower",
                cmap=cmap,
                vmin=low,
                vmax=high,
                interpolation="nearest",
            )
            axis.set_xticks([])
            axis.set_yticks([])
            if row == 0:
                axis.set_title(title)
            if column == 0:
                axis.set_ylabel(f"{view} ({axis_name} = {position:g} mm)")
        figure.colorbar(drawn, ax=axes[:, column], shrink=0.6, location="bottom", label=label)
    figure.suptitle(f"{head.description}, {head.noise()}")
    try:
        figure.savefig(path, dpi=80)
    except OSError as error:
        Path(path).unlink(missing_ok=True)
        raise volumes.VolumeError(f"cannot write figure '{path}': {error.strerror}") from None
    finally:
        plt.close(figure)
