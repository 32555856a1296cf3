"""The mt-map workflows on volumes: read, derive the ratio, fit, write, summarise.

This is the one place the command line (and any other front end) calls to
make maps. Each workflow checks everything it can before reading an image
(outputs that would replace an input, output directories, parameters,
geometry from the headers), streams the images through the fit a run of
voxels at a time within a memory budget (``streaming``), writes all its
outputs or none,
and says afterwards, in a summary on stderr, how many voxels were solved,
warning when fewer than half of those it could fit were, with what in the
inputs looks wrong.

Failures raise ``protocol.ParameterError`` or ``volumes.VolumeError`` with
one line; warnings go to stderr as they arise, one line each.
"""
import sys
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from tavni.mt_map import protocol, volumes
from tavni.mt_map.protocol import ParameterError

# More worker threads than this is a mistake, not a machine.
MAX_THREADS = 1024
# What the fraction map needs of the protocol.
FRACTION_PARAMETERS = protocol.SEQUENCE + protocol.LINESHAPE
# The images of a fraction map: (name, what it is), the MT image first (its
# geometry is the maps').
FRACTION_IMAGES = (("mt", "MT image"), ("ref", "reference image"), ("r1", "R1 map"),
                   ("b1", "B1 map"), ("mask", "mask"))
# Below this share of the fitted voxels solved, the summary warns.
SOLVED_SHARE_WARNING = 0.5
# Median R1 above this (1/s) is no tissue at any field strength: T1 in ms.
R1_LOOKS_LIKE_T1_MS = 20.0


def warn(message):
    print(f"mt-map: warning: {message}", file=sys.stderr)


def status_table():
    """(code, short name, meaning) of every per-voxel status."""
    from tavni.mt_map import maps

    return (
        (maps.STATUS_SOLVED, "solved", "f found (a zero within rounding at a bracket end "
                                       "included)"),
        (maps.STATUS_BELOW_BRACKET, "below the bracket",
         "no zero in the bracket; it would lie below its lower end (a ratio above that of "
         "no bound pool)"),
        (maps.STATUS_ABOVE_BRACKET, "above the bracket",
         "no zero in the bracket; it would lie above its upper end (more saturation than "
         "the bracket explains)"),
        (maps.STATUS_INVALID_INPUT, "invalid input",
         "an input outside the model's physical domain (background: REF <= 0, R1 <= 0, "
         "NaN), or a residual the solver cannot use"),
        (maps.STATUS_MASKED, "masked", "outside the mask, not fitted"),
        (maps.STATUS_TWO_ROOTS, "two roots",
         "two zeros in the bracket; the smaller is returned"),
    )


@dataclass
class Summary:
    """How the voxels of a map came out: counts per status name."""

    counts: dict = field(default_factory=dict)

    @property
    def total(self):
        return sum(self.counts.values())

    @property
    def fitted(self):
        """Voxels the solver searched: neither masked nor invalid."""
        return self.total - self.counts["masked"] - self.counts["invalid input"]

    @property
    def solved_share(self):
        """Share of the fitted voxels solved (0 when none could be fitted)."""
        solved = self.counts["solved"] + self.counts["two roots"]
        return solved / self.fitted if self.fitted else 0.0

    def line(self, name):
        total = max(self.total, 1)
        parts = [f"{count} {label} ({100 * count / total:.1f} %)"
                 for label, count in self.counts.items()]
        return f"{name}: {self.total} voxels: " + ", ".join(parts)


def check_threads(threads):
    if threads is not None and not 1 <= threads <= MAX_THREADS:
        raise ParameterError(f"--threads must be between 1 and {MAX_THREADS} (got {threads})")


class FractionRuns:
    """The fraction and status of runs of voxels, as ``streaming.run`` hands
    them over, counting the statuses and keeping a sample of what the fitted
    voxels measured for ``diagnose``.

    Inputs come as float32 where the image holds float32 values; the ratio
    of two of them in float32 is the float32 rounding of their ratio in
    float64, and float32 rounding is all the solver takes of S_ratio and R1,
    so the maps are those of a float64 computation to the bit.
    """

    # At most this many fitted voxels are kept for the diagnosis's medians.
    SAMPLE = 1 << 16

    def __init__(self, parameters, voxels, threads=None, clip=False, exact=True):
        self.parameters, self.threads, self.clip, self.exact = parameters, threads, clip, exact
        self.counts = np.zeros(256, dtype=np.int64)
        self.stride = max(1, voxels // self.SAMPLE)
        self.ratio_sample, self.R1_sample = [], []

    def __call__(self, values):
        from tavni.mt_map import maps

        p = self.parameters
        mt, reference, R1 = values["mt"], values["ref"], values["r1"]
        # Background of real data gives no measurement: no reference signal,
        # no positive R1 or B1, or NaN anywhere. Those voxels get NaN and the
        # invalid-input status from the solver (R1 and B1 by its domain).
        ratio = np.full(reference.shape, np.nan, np.result_type(mt, reference))
        with np.errstate(divide="ignore", invalid="ignore"):
            np.divide(mt, reference, out=ratio, where=reference > 0)
        f, status = maps.fit_fraction(
            ratio, R1, p["T2_free"], p["delta_omega"], p["omega_1_rms"], p["G"], p["TR"],
            p["duration"], p["flip_angle"], b1=values.get("b1"), mask=values.get("mask"),
            clip=self.clip, exact=self.exact, threads=self.threads, return_status=True)
        self.counts += np.bincount(status, minlength=self.counts.size)
        fitted = (status != maps.STATUS_MASKED) & (status != maps.STATUS_INVALID_INPUT)
        # Copies: a strided view would keep the whole run alive.
        self.ratio_sample.append(ratio[fitted][::self.stride].copy())
        self.R1_sample.append(R1[fitted][::self.stride].copy())
        return {"fraction": f, "status": status}

    def summary(self):
        return Summary({name: int(self.counts[code]) for code, name, _ in sorted(status_table())})


def diagnose(summary, ratio, R1, given, images):
    """Warnings naming what in the inputs looks wrong when few voxels were
    solved; ratio and R1 are (a sample of) the fitted voxels' values."""
    if summary.fitted == 0:
        warn("no voxel could be fitted: every voxel is masked or has invalid input "
             "(reference <= 0, R1 <= 0 or NaN)")
        return
    if summary.solved_share >= SOLVED_SHARE_WARNING:
        return
    causes = []
    median_R1 = float(np.median(R1))
    if median_R1 > R1_LOOKS_LIKE_T1_MS:
        causes.append(f"the R1 map '{images['r1']}' has a median of {median_R1:g} /s, "
                      "typical of T1 in milliseconds; give R1 in 1/s")
    median_ratio = float(np.median(ratio))
    if median_ratio > 1.0:
        causes.append(f"the median MT/reference ratio is {median_ratio:g}, above 1: are the "
                      "MT and reference images swapped?")
    TR = given["TR"]
    if TR.value > protocol.PARAMETERS["TR"].typical[1]:
        causes.append(f"{TR.describe('s')} looks like milliseconds")
    if not causes:
        causes.append("check the sequence parameters and their units")
    warn(f"only {100 * summary.solved_share:.1f} % of the {summary.fitted} fitted voxels "
         f"were solved; " + "; ".join(causes))


def fraction_map(images, output, given, *, protocol_path=None, status_output=None,
                 threads=None, clip=False, exact=True, max_memory=None, quiet=False,
                 allow_affine_mismatch=False):
    """The bound-pool fraction map of one MT, reference and R1 image.

    The images are streamed: read a run of voxels at a time (whole planes of
    the slowest axis, as NIfTI stores them), fitted, and written in the same
    order, so memory stays within max_memory whatever the volume's size.

    Parameters
    ----------
    images : dict of str to path-like
        Paths under the names of ``FRACTION_IMAGES``: 'mt', 'ref', 'r1'
        (1/s) required; 'b1' (relative transmit field) and 'mask' (nonzero:
        fit) optional or None.
    output : path-like
        Fraction map to write (float32, NaN where not solved).
    given : dict of str to protocol.Given
        The parameters of ``FRACTION_PARAMETERS``; validated here.
    protocol_path : path-like, optional
        The protocol file given came from, never to be overwritten.
    status_output : path-like, optional
        Status codes to write (uint8, see ``status_table``).
    threads : int, optional
        Worker threads, 1 to ``MAX_THREADS``; default all cores.
    clip : bool
        Unsolved voxels get the nearer bracket end instead of NaN.
    exact : bool
        False: the fast mode of ``fit_fraction`` (closed form in double
        precision, not reproducible to the bit across machines).
    max_memory : int, optional
        Bytes the process may use; default a share of the available memory.
    quiet : bool
        No progress bar and no summary line (warnings still).
    allow_affine_mismatch : bool
        Map images of one shape whose affines differ.

    Returns
    -------
    summary : Summary
        Printed on stderr unless quiet; warnings follow when fewer than
        half of the fitted voxels are solved.

    Raises
    ------
    protocol.ParameterError, volumes.VolumeError
        With one line; nothing is left written.
    """
    from tavni.mt_map import streaming

    check_threads(threads)
    inputs = [(dict(FRACTION_IMAGES)[name], path) for name, path in images.items()
              if path is not None]
    if protocol_path is not None:
        inputs.append(("protocol", protocol_path))
    outputs = [volumes.Output(output, "output", None, np.float32,
                              descrip="bound-pool fraction f (two-pool MT model)")]
    if status_output is not None:
        outputs.append(volumes.Output(status_output, "status output", None, np.uint8,
                                      descrip="status of the fraction fit per voxel"))
    volumes.check_outputs(outputs, inputs)
    for message in protocol.validate(given):
        warn(message)
    parameters = protocol.model_values(given)
    if max_memory is not None and max_memory <= 0:
        raise ParameterError(f"--max-memory must be positive (got {max_memory} bytes)")

    probes = {name: volumes.probe(path, what) for name, what in FRACTION_IMAGES
              if (path := images.get(name)) is not None}
    mt = probes["mt"]
    volumes.check_geometry(list(probes.values()), allow_affine_mismatch)

    runs = FractionRuns(parameters, mt.voxels, threads, clip, exact)
    written = {}
    for name, spec in zip(("fraction", "status"), outputs):
        header, _, _ = volumes.geometry_header(mt, mt.shape, spec.descrip)
        written[name] = (spec.path, spec.what, spec.dtype, header)
    from tqdm import tqdm

    with tqdm(total=mt.voxels, unit="voxel", unit_scale=True, delay=1.0, file=sys.stderr,
              disable=quiet or not sys.stderr.isatty(), desc="fitting") as progress:
        streaming.run({name: (p.path, p.what) for name, p in probes.items()}, written, runs,
                      shape=mt.shape, budget=max_memory, progress=progress.update)

    summary = runs.summary()
    if not quiet:
        print(f"mt-map: {summary.line(output)}", file=sys.stderr)
    diagnose(summary, np.concatenate(runs.ratio_sample), np.concatenate(runs.R1_sample),
             given, images)
    return summary


def fraction_of_voxel(given, bracket=(0.0, 0.5)):
    """The fraction explaining one measured ratio.

    Parameters
    ----------
    given : dict of str to protocol.Given
        S_ratio, R1 (1/s) and the parameters of ``FRACTION_PARAMETERS``;
        validated here.
    bracket : (float, float)
        Interval searched for f, 0 <= low < high < 1.

    Returns
    -------
    float
        f, dimensionless.

    Raises
    ------
    protocol.ParameterError
        A parameter breaks its rule, or no f in bracket explains S_ratio.
    """
    from tavni.mt_map import STATUS_SOLVED, STATUS_TWO_ROOTS, fit_fraction

    for message in protocol.validate(given):
        warn(message)
    p = protocol.model_values(given)
    low, high = bracket
    try:
        f, status = fit_fraction(p["S_ratio"], p["R1"], p["T2_free"], p["delta_omega"],
                                 p["omega_1_rms"], p["G"], p["TR"], p["duration"],
                                 p["flip_angle"], bracket=(low, high), threads=1,
                                 return_status=True)
    except ValueError as error:
        raise ParameterError(str(error)) from None
    if status == STATUS_TWO_ROOTS:
        warn(f"a larger fraction in [{low}, {high}] explains S_ratio too; the smaller is "
             "printed")
    elif status != STATUS_SOLVED:
        meaning = next(text for code, _, text in status_table() if code == status)
        raise ParameterError(f"no bound-pool fraction in [{low}, {high}] explains "
                             f"S_ratio = {p['S_ratio']:g}: {meaning}")
    return f


def demo(directory, shape, noise=0.002, quiet=False, force=False):
    """Phantom, its fraction map, a per-tissue table on stdout and a figure
    (demo.png) comparing estimate and truth, all in directory."""

    from tavni.mt_map import phantom

    directory = Path(directory)
    maps_and_figure = [directory / name for name in ("mpf.nii.gz", "status.nii.gz", "demo.png")]
    if not force:
        for path in phantom.files(directory) + maps_and_figure:
            if path.exists():
                raise volumes.VolumeError(f"'{path}' exists; --force replaces it")
    truth = phantom.write(directory, shape, noise=noise, seed=0, force=True)
    given = protocol.read_protocol(directory / "protocol.json")
    images = {name: directory / f"{name}.nii.gz" for name in ("mt", "ref", "r1", "b1")}
    # With noise, half the fluid voxels measure a ratio above that of no
    # bound pool at all: they are fluid, f = 0.
    fraction_map(images, maps_and_figure[0], given, protocol_path=directory / "protocol.json",
                 status_output=maps_and_figure[1], clip=True, quiet=quiet)
    fraction, status = (volumes.load(volumes.probe(path)).data for path in maps_and_figure[:2])

    print(f"{'tissue':<14}{'voxels':>8}{'true f':>10}{'estimated f':>14}{'clipped':>10}")
    for name, count, true_mean, estimated_mean, clipped in phantom.summary(
            truth["labels"], truth["truth"], fraction, status):
        print(f"{name:<14}{count:>8}{true_mean:>10.4f}{estimated_mean:>14.4f}{clipped:>10}")
    draw_comparison(truth["truth"], fraction, truth["labels"] > 0, maps_and_figure[2])
    print(f"maps in {directory}/, figure in {maps_and_figure[2]}")


def draw_comparison(truth, estimate, head, path):
    """The middle slice of true and estimated f and their difference, as a PNG."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    middle = truth.shape[2] // 2
    shown = [np.where(head, truth, np.nan)[:, :, middle],
             np.where(head, estimate, np.nan)[:, :, middle]]
    figure, axes = plt.subplots(1, 3, figsize=(11, 3.8), constrained_layout=True)
    for axis, image, title in zip(axes, shown, ("true f", "estimated f")):
        drawn = axis.imshow(image.T, origin="lower", cmap="magma", vmin=0, vmax=0.2)
        axis.set_title(title)
    figure.colorbar(drawn, ax=axes[:2], shrink=0.8, label="bound-pool fraction")
    difference = axes[2].imshow((shown[1] - shown[0]).T, origin="lower", cmap="coolwarm",
                                vmin=-0.01, vmax=0.01)
    axes[2].set_title("estimated - true")
    figure.colorbar(difference, ax=axes[2], shrink=0.8)
    for axis in axes:
        axis.set_axis_off()
    try:
        figure.savefig(path, dpi=90)
    except OSError as error:
        Path(path).unlink(missing_ok=True)
        raise volumes.VolumeError(f"cannot write figure '{path}': {error.strerror}") from None
    finally:
        plt.close(figure)
