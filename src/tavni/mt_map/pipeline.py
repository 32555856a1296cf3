"""The mt-map workflows on volumes: load, derive the ratio, fit, write, summarise.

This is the one place the command line (and any other front end) calls to
make maps. Each workflow checks everything it can before reading an image
(outputs that would replace an input, output directories, parameters,
geometry and memory from the headers), writes all its outputs or none,
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

# Volumes at least this large are solved in chunks, so that a progress bar
# can follow them.
CHUNK_VOXELS = 1 << 18
# More worker threads than this is a mistake, not a machine.
MAX_THREADS = 1024
# What the fraction map needs of the protocol.
FRACTION_PARAMETERS = protocol.SEQUENCE + protocol.LINESHAPE
# The images of a fraction map: (name, what it is), the MT image first (its
# geometry is the maps').
FRACTION_IMAGES = (("mt", "MT image"), ("ref", "reference image"), ("r1", "R1 map"),
                   ("b1", "B1 map"), ("mask", "mask"))
# Arrays alive at once per voxel while a fraction map is made: the float64
# inputs, ratio, R1, B1, fraction, status and the float32 output, and the
# raw data of the image being read.
BYTES_PER_VOXEL_BESIDES_INPUTS = 8 * 6
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


def summarise(status):
    return Summary({name: int(np.count_nonzero(status == code))
                    for code, name, _ in sorted(status_table())})


def check_threads(threads):
    if threads is not None and not 1 <= threads <= MAX_THREADS:
        raise ParameterError(f"--threads must be between 1 and {MAX_THREADS} (got {threads})")


def fit_volume(ratio, R1, parameters, b1=None, mask=None, threads=None, clip=False,
               quiet=False):
    """Fraction and status per voxel; a progress bar on stderr for large volumes.

    Parameters
    ----------
    ratio, R1 : ndarray
        Measured S_mt/S_ref and R1 (1/s), of one shape.
    parameters : dict of str to float
        As ``protocol.model_values`` returns them (s, Hz, rad/s, radians).
    b1, mask : ndarray, optional
        Relative transmit field; voxels to fit.
    threads, clip, quiet
        As for ``fraction_map``.

    Returns
    -------
    fraction : ndarray of float64
    status : ndarray of uint8
    """
    from tavni.mt_map import fit_fraction

    p = parameters

    def fit(ratio, R1, b1, mask):
        return fit_fraction(ratio, R1, p["T2_free"], p["delta_omega"], p["omega_1_rms"],
                            p["G"], p["TR"], p["duration"], p["flip_angle"], b1=b1, mask=mask,
                            clip=clip, threads=threads, return_status=True)

    if ratio.size < CHUNK_VOXELS:
        return fit(ratio, R1, b1, mask)

    from tqdm import tqdm

    shape = ratio.shape
    flat = [None if a is None else a.reshape(-1) for a in (ratio, R1, b1, mask)]
    fraction = np.empty(ratio.size)
    status = None
    with tqdm(total=ratio.size, unit="voxel", unit_scale=True, delay=1.0, file=sys.stderr,
              disable=quiet or not sys.stderr.isatty(), desc="fitting") as progress:
        for start in range(0, ratio.size, CHUNK_VOXELS):
            part = slice(start, start + CHUNK_VOXELS)
            f, s = fit(*(None if a is None else a[part] for a in flat))
            if status is None:
                status = np.empty(ratio.size, dtype=s.dtype)
            fraction[part], status[part] = f, s
            progress.update(f.size)
    return fraction.reshape(shape), status.reshape(shape)


def diagnose(summary, ratio, R1, status, given, images):
    """Warnings naming what in the inputs looks wrong when few voxels were solved."""
    from tavni.mt_map import maps

    if summary.fitted == 0:
        warn("no voxel could be fitted: every voxel is masked or has invalid input "
             "(reference <= 0, R1 <= 0 or NaN)")
        return
    if summary.solved_share >= SOLVED_SHARE_WARNING:
        return
    fitted = (status != maps.STATUS_MASKED) & (status != maps.STATUS_INVALID_INPUT)
    causes = []
    median_R1 = float(np.median(R1[fitted]))
    if median_R1 > R1_LOOKS_LIKE_T1_MS:
        causes.append(f"the R1 map '{images['r1']}' has a median of {median_R1:g} /s, "
                      "typical of T1 in milliseconds; give R1 in 1/s")
    median_ratio = float(np.median(ratio[fitted]))
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
                 threads=None, clip=False, quiet=False, allow_affine_mismatch=False):
    """The bound-pool fraction map of one MT, reference and R1 image.

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
    quiet : bool
        No progress bar and no summary line (warnings still).
    allow_affine_mismatch : bool
        Map images of one shape whose affines differ.

    Returns
    -------
    summary : Summary
        Printed on stderr unless quiet; warnings follow when fewer than
        half of the fitted voxels are solved.
    fraction : ndarray of float64
    status : ndarray of uint8

    Raises
    ------
    protocol.ParameterError, volumes.VolumeError
        Before anything is written, with one line.
    """
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

    probes = {name: volumes.probe(path, what) for name, what in FRACTION_IMAGES
              if (path := images.get(name)) is not None}
    mt = probes["mt"]
    volumes.check_memory(sum(8 * p.voxels for p in probes.values())
                         + mt.voxels * BYTES_PER_VOXEL_BESIDES_INPUTS,
                         f"a fraction map of {mt.shape} voxels")
    volumes.check_geometry(list(probes.values()), allow_affine_mismatch)

    data = {name: volumes.load(p).data for name, p in probes.items()}
    # Background of real data gives no measurement: no reference signal, no
    # positive R1, or NaN anywhere. Those voxels get NaN and the
    # invalid-input status from the solver.
    reference = data.pop("ref")
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(reference > 0, data.pop("mt") / reference, np.nan)
    del reference
    R1 = data.pop("r1")
    R1 = np.where(R1 > 0, R1, np.nan)
    b1 = data.pop("b1", None)
    if b1 is not None:
        b1 = np.where(b1 > 0, b1, np.nan)
    mask = data.pop("mask", None)
    if mask is not None:
        mask = np.nan_to_num(mask) != 0

    fraction, status = fit_volume(ratio, R1, parameters, b1, mask, threads, clip, quiet)

    outputs[0].data, outputs[0].like = fraction, mt
    if status_output is not None:
        outputs[1].data, outputs[1].like = status, mt
    volumes.save_all(outputs)

    summary = summarise(status)
    if not quiet:
        print(f"mt-map: {summary.line(output)}", file=sys.stderr)
    diagnose(summary, ratio, R1, status, given, images)
    return summary, fraction, status


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
    _, fraction, status = fraction_map(images, maps_and_figure[0], given,
                                       protocol_path=directory / "protocol.json",
                                       status_output=maps_and_figure[1], clip=True, quiet=quiet)

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
