"""The mt-map workflows on volumes: read, derive the ratio, fit, write, summarise.

This is the one place the command line (and any other front end) calls to
make maps. Each workflow checks everything it can before reading an image
(outputs that would replace an input, output directories, parameters,
geometry from the headers), writes all its outputs or none, and says
afterwards, in a summary on stderr, how many voxels were solved, warning
when fewer than half of those it could fit were, with what in the inputs
looks wrong. Every map streams its images through the computation a run
of voxels at a time within a memory budget (``streaming``).

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
# The maps the workflows write: name -> (dtype, what, NIfTI description).
MAP_OUTPUTS = {
    "fraction": (np.float32, "output", "bound-pool fraction f (two-pool MT model)"),
    "status": (np.uint8, "status output", "status of the fraction fit per voxel"),
    "r1": (np.float32, "R1 output", "R1 (1/s) by variable flip angle"),
    "m0": (np.float32, "M0 output", "M0 (signal units) by variable flip angle"),
    "mtr": (np.float32, "MTR output", "MT ratio (percent)"),
    "mtsat": (np.float32, "MTsat output", "MT saturation (percent units, Helms 2008)"),
    "uncertainty": (np.float32, "uncertainty output", "sd of f from image noise, first order"),
    "sensitivity_r1": (np.float32, "R1 sensitivity output", "change of f per 1% R1 error"),
    "sensitivity_b1": (np.float32, "B1 sensitivity output", "change of f per 1% B1 error"),
}
# The maps that need the fraction's derivatives, and what they cost besides
# the others per voxel: three derivatives and the propagation's arrays.
UNCERTAINTY_OUTPUTS = ("uncertainty", "sensitivity_r1", "sensitivity_b1")
BYTES_PER_VOXEL_FOR_UNCERTAINTY = 8 * 12
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
    warnings: list = field(default_factory=list)  # one line each, as printed
    notes: list = field(default_factory=list)  # remarks printed after the counts

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


def _signal_ratio(mt, reference):
    """mt / reference where the reference has signal, NaN elsewhere."""
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.divide(mt, reference)
    ratio[~(reference > 0)] = np.nan  # in place: no third array of the run
    return ratio


class StatusCounts:
    """Counts of the per-voxel statuses of runs, for the summary."""

    def __init__(self):
        self.counts = np.zeros(256, dtype=np.int64)
        self.codes = [code for code, _, _ in status_table()]

    def count(self, status):
        # A comparison per code: bincount would first widen every status
        # to a 64-bit index, several times slower on a run of millions.
        for code in self.codes:
            self.counts[code] += np.count_nonzero(status == code)

    def summary(self):
        return Summary({name: int(self.counts[code]) for code, name, _ in sorted(status_table())})


class FractionRuns(StatusCounts):
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

    def __init__(self, parameters, voxels, threads=None, clip=False, exact=True,
                 uncertainty=None, sigmas=None):
        self.parameters, self.threads, self.clip, self.exact = parameters, threads, clip, exact
        # An UncertaintySample when its maps are wanted, with the images' noise.
        self.uncertainty, self.sigmas = uncertainty, sigmas
        super().__init__()
        self.stride = max(1, voxels // self.SAMPLE)
        self.ratio_sample, self.R1_sample = [], []

    def __call__(self, values):
        from tavni.mt_map import maps

        p = self.parameters
        mt, reference, R1 = values["mt"], values["ref"], values["r1"]
        # Background of real data gives no measurement: no reference signal,
        # no positive R1 or B1, or NaN anywhere. Those voxels get NaN and the
        # invalid-input status from the solver (R1 and B1 by its domain).
        ratio = _signal_ratio(mt, reference)
        f, status, *derivatives = maps.fit_fraction(
            ratio, R1, p["T2_free"], p["delta_omega"], p["omega_1_rms"], p["G"], p["TR"],
            p["duration"], p["flip_angle"], b1=values.get("b1"), mask=values.get("mask"),
            clip=self.clip, exact=self.exact, threads=self.threads, return_status=True,
            return_derivatives=self.uncertainty is not None)
        self.count(status)
        fitted = (status != maps.STATUS_MASKED) & (status != maps.STATUS_INVALID_INPUT)
        # Every stride-th fitted voxel, gathered by index (copies, which do
        # not keep the run alive, of only the voxels kept).
        sample = np.flatnonzero(fitted)[::self.stride]
        self.ratio_sample.append(ratio.reshape(-1)[sample])
        self.R1_sample.append(R1.reshape(-1)[sample])
        maps_of_run = {"fraction": f, "status": status}
        if self.uncertainty is not None:
            from tavni.mt_map.uncertainty import ratio_uncertainty

            b1 = values.get("b1")
            with np.errstate(divide="ignore", invalid="ignore"):
                result = ratio_uncertainty(
                    derivatives[0], mt, reference, np.where(R1 > 0, R1, np.nan),
                    self.sigmas["MT"], self.sigmas["reference"],
                    b1=None if b1 is None else np.where(b1 > 0, b1, np.nan))
            maps_of_run.update(self.uncertainty.maps(result))
        return maps_of_run


def sensitivity_paths(prefix, like):
    """The R1 and B1 sensitivity maps' paths: prefix + '_R1' and '_B1', with
    the image suffix prefix has, else the one of like (the fraction map)."""
    suffixes = sorted(volumes.SUFFIXES, key=len, reverse=True)
    text = str(prefix)
    suffix = next((known for known in suffixes if text.endswith(known)), None)
    if suffix is not None:
        text = text[:-len(suffix)]
    else:
        suffix = next((known for known in suffixes if str(like).endswith(known)), ".nii.gz")
    return Path(f"{text}_R1{suffix}"), Path(f"{text}_B1{suffix}")


def _with_sensitivity_paths(outputs):
    """outputs with a "sensitivity" prefix turned into the two maps' paths."""
    outputs = dict(outputs)
    prefix = outputs.pop("sensitivity", None)
    if prefix is not None:
        outputs["sensitivity_r1"], outputs["sensitivity_b1"] = sensitivity_paths(
            prefix, outputs["fraction"])
    return outputs


def _check_noise_sd(noise_sd, names):
    """Refuses noise levels that cannot be used, before any image is read."""
    if noise_sd is None:
        return
    from tavni.mt_map import uncertainty

    try:
        uncertainty.check_noise_levels(noise_sd, names)
    except uncertainty.NoiseEstimateError as error:
        raise ParameterError(f"--noise-sd: {error}") from None


def _noise_levels(written, probes, names, noise_sd, mask_probe, noise_required):
    """The noise level of each image by name (names: image name -> probe
    name) for the uncertainty map, and the summary's line on them.

    Given levels are used as they are; otherwise each image is read whole,
    one at a time (the background needs the whole head around it), and its
    noise estimated outside the head (or the mask). Without a usable
    background the levels are NaN (the map then is), unless noise_required:
    then ParameterError.
    """
    from tavni.mt_map import uncertainty

    if "uncertainty" not in written:
        return dict.fromkeys(names, 1.0), []  # the sensitivities need no noise level
    head = None
    if noise_sd is None and mask_probe is not None:
        head = np.nan_to_num(volumes.load(mask_probe).data) != 0
    try:
        if noise_sd is not None:
            sigmas, statement = uncertainty.noise_levels(dict.fromkeys(names), noise_sd)
        else:
            sigmas = {}
            for name, probe_name in names.items():
                image = volumes.load(probes[probe_name]).data
                sigmas[name] = uncertainty.noise_levels({name: image}, None, head=head)[0][name]
                del image
            levels = ", ".join(f"{name} {sigma:.4g}" for name, sigma in sigmas.items())
            statement = f"noise sd {levels} (estimated from each image's background)"
    except uncertainty.NoiseEstimateError as error:
        if noise_required:
            raise ParameterError(f"--noise-sd: {error}") from None
        return dict.fromkeys(names, np.nan), [f"no noise level, the sd of f is NaN: {error}"]
    return sigmas, [statement]


class UncertaintySample:
    """The uncertainty maps of runs of voxels, keeping a sample of the sd for
    the summary's line."""

    def __init__(self, written, voxels):
        self.wanted = [name for name in UNCERTAINTY_OUTPUTS if name in written]
        self.stride = max(1, voxels // FractionRuns.SAMPLE)
        self.sd_sample = []

    def maps(self, result):
        maps = {"uncertainty": result.sd, "sensitivity_r1": result.r1_sensitivity,
                "sensitivity_b1": result.b1_sensitivity}
        if "uncertainty" in self.wanted:
            sd = result.sd.reshape(-1)
            self.sd_sample.append(sd[np.isfinite(sd)][::self.stride].copy())
        return {name: maps[name] for name in self.wanted}

    def note(self):
        if "uncertainty" not in self.wanted:
            return []
        sample = np.concatenate(self.sd_sample) if self.sd_sample else np.empty(0)
        if not sample.size:
            return []
        q25, q50, q75 = np.percentile(sample, [25, 50, 75])
        return [f"sd of f over the solved voxels: median {q50:.3g} "
                f"(quartiles {q25:.3g}, {q75:.3g})"]


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


def _map_outputs(outputs):
    """volumes.Output of every requested map, in MAP_OUTPUTS' order."""
    unknown = sorted(set(outputs) - set(MAP_OUTPUTS))
    if unknown:
        raise ParameterError(f"unknown output{'s' if len(unknown) > 1 else ''} "
                             f"{', '.join(unknown)}; known: {', '.join(MAP_OUTPUTS)}")
    return {name: volumes.Output(outputs[name], what, None, dtype, descrip=descrip)
            for name, (dtype, what, descrip) in MAP_OUTPUTS.items()
            if outputs.get(name) is not None}


def _check_outputs(images, table, outputs, protocol_path):
    """Refuses outputs that would replace an input (see volumes.check_outputs).

    images maps names of table ((name, what it is) pairs) to paths, None
    where not given; outputs maps names to volumes.Output.
    """
    names = dict(table)
    inputs = [(names[name], path) for name, path in images.items() if path is not None]
    if protocol_path is not None:
        inputs.append(("protocol", protocol_path))
    volumes.check_outputs(list(outputs.values()), inputs)


def _probe_images(images, table, allow_affine_mismatch):
    """The probes of the images given, by name, after checking their geometry;
    the first image of table given is the one whose geometry the outputs take."""
    probes = {name: volumes.probe(images[name], what_image) for name, what_image in table
              if images.get(name) is not None}
    volumes.check_geometry(list(probes.values()), allow_affine_mismatch)
    return probes


def _prepared(data):
    """A B1 map with NaN where not positive, a mask as booleans."""
    if "b1" in data:
        data["b1"] = np.where(data["b1"] > 0, data["b1"], np.nan)
    if "mask" in data:
        data["mask"] = np.nan_to_num(data["mask"]) != 0
    return data


def _check_budget(max_memory):
    if max_memory is not None and max_memory <= 0:
        raise ParameterError(f"--max-memory must be positive (got {max_memory} bytes)")


def _stream_maps(probes, written, compute, *, max_memory, work_bytes, quiet=True,
                 desc="mapping"):
    """Streams the probed images (the first one's geometry is the maps')
    through compute into the written outputs (``streaming.run``), with a
    progress bar on a terminal unless quiet."""
    from tavni.mt_map import streaming

    like = next(iter(probes.values()))
    streamed = {name: (o.path, o.what, o.dtype,
                       volumes.geometry_header(like, like.shape, o.descrip)[0])
                for name, o in written.items()}
    inputs = {name: (p.path, p.what) for name, p in probes.items()}
    if quiet or not sys.stderr.isatty():  # no bar to show: not even its import
        streaming.run(inputs, streamed, compute, shape=like.shape, budget=max_memory,
                      work_bytes=work_bytes)
        return
    from tqdm import tqdm

    with tqdm(total=like.voxels, unit="voxel", unit_scale=True, delay=1.0, file=sys.stderr,
              desc=desc) as progress:
        streaming.run(inputs, streamed, compute, shape=like.shape, budget=max_memory,
                      work_bytes=work_bytes, progress=progress.update)


def _note(summary, message):
    warn(message)
    summary.warnings.append(message)


def fraction_map(images, output, given, *, protocol_path=None, status_output=None,
                 threads=None, clip=False, exact=True, max_memory=None, quiet=False,
                 allow_affine_mismatch=False, uncertainty_output=None, sensitivity_prefix=None,
                 noise_sd=None):
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
    uncertainty_output : path-like, optional
        Standard deviation of f from the MT and reference images' noise, to
        first order (float32, NaN where not solved).
    sensitivity_prefix : path-like, optional
        Writes prefix_R1 and prefix_B1 (``sensitivity_paths``): the change
        of f when R1 or B1 is 1% too high (float32).
    noise_sd : sequence of float, optional
        Noise standard deviation of both images, or of MT and reference
        (image units); default: estimated from their backgrounds (the mask,
        if given, is the head), each image read whole once for it. The
        summary says which.

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
    check_threads(threads)
    written = _map_outputs(_with_sensitivity_paths(
        {"fraction": output, "status": status_output, "uncertainty": uncertainty_output,
         "sensitivity": sensitivity_prefix}))
    _check_outputs(images, FRACTION_IMAGES, written, protocol_path)
    _check_noise_sd(noise_sd, ("MT", "reference"))
    for message in protocol.validate(given):
        warn(message)
    parameters = protocol.model_values(given)
    _check_budget(max_memory)

    probes = {name: volumes.probe(path, what) for name, what in FRACTION_IMAGES
              if (path := images.get(name)) is not None}
    mt = probes["mt"]
    volumes.check_geometry(list(probes.values()), allow_affine_mismatch)

    uncertainty, sigmas, notes = None, None, []
    if any(name in written for name in UNCERTAINTY_OUTPUTS):
        uncertainty = UncertaintySample(written, mt.voxels)
        sigmas, notes = _noise_levels(written, probes, {"MT": "mt", "reference": "ref"},
                                      noise_sd, probes.get("mask"), True)
    runs = FractionRuns(parameters, mt.voxels, threads, clip, exact, uncertainty, sigmas)
    _stream_maps(probes, written, runs, max_memory=max_memory, quiet=quiet, desc="fitting",
                 work_bytes=48 + BYTES_PER_VOXEL_FOR_UNCERTAINTY * (uncertainty is not None))

    summary = runs.summary()
    summary.notes = notes + (uncertainty.note() if uncertainty is not None else [])
    if not quiet:
        print(f"mt-map: {summary.line(output)}", file=sys.stderr)
        for note in summary.notes:
            print(f"mt-map: {note}", file=sys.stderr)
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


# ---------------------------------------------------------------------------
# The three-scan chain: PD-, T1- and MT-weighted SPGR scans to R1, M0, the
# synthetic reference, MTR, MTsat and the fraction.

# The images of the chain: (name, what it is), the MT-weighted scan first
# (its geometry is the maps').
SCAN_IMAGES = (("mtw", "MT-weighted scan"), ("pdw", "PD-weighted scan"),
               ("t1w", "T1-weighted scan"), ("ref", "reference image"), ("b1", "B1 map"),
               ("b0", "B0 map"), ("mask", "mask"))
# What the chain needs from the protocol (with one of LINESHAPE and PULSE).
CHAIN_PARAMETERS = protocol.SCANS + protocol.SEQUENCE + protocol.LINESHAPE
# The scans alone (MTsat, the synthetic reference): their angles and TRs.
SCAN_PARAMETERS = protocol.SCANS + ("flip_angle_deg", "TR")
# Float64 arrays alive at once per voxel of a run besides the inputs: R1,
# M0, the reference, the ratio, the fraction, MTR, MTsat, offsets and G,
# and slack.
BYTES_PER_VOXEL_OF_THE_CHAIN = 8 * 11
# B0-shifted offsets spread over some hundred Hz, on which the lineshape is
# smooth: it is computed on a grid of this step (Hz) and interpolated
# linearly, with a relative error of about (step / offset)^2 / 8 (1e-9 at
# 2 kHz), instead of by quadrature at every voxel.
LINESHAPE_GRID_STEP = 0.5
LINESHAPE_GRID_POINTS = 20001


def lineshape_at_offsets(offsets, T2b, grid=None):
    """The super-Lorentzian G (s) at every offset of an array (Hz).

    G is even in the offset; NaN offsets give NaN. ``grid`` is
    ``lineshape_grid``'s for the offsets of a whole volume of which these
    are a part; by default it is made for these. See
    ``LINESHAPE_GRID_STEP`` for the accuracy.
    """
    magnitude = np.abs(offsets)
    if grid is None:
        finite = magnitude[np.isfinite(magnitude)]
        if finite.size == 0:
            return np.full(offsets.shape, np.nan)
        grid = lineshape_grid(float(finite.min()), float(finite.max()), T2b)
    G = np.interp(magnitude, *grid)
    return np.where(np.isfinite(magnitude), G, np.nan)


def lineshape_grid(lo, hi, T2b):
    """(offsets, G) on which ``lineshape_at_offsets`` interpolates for
    offsets whose magnitudes span [lo, hi] (Hz)."""
    from tavni.mt_map import super_lorentzian

    points = int(min(LINESHAPE_GRID_POINTS, np.ceil((hi - lo) / LINESHAPE_GRID_STEP) + 1))
    grid = np.linspace(lo, hi, max(points, 2))
    return grid, super_lorentzian(grid, T2b)


def _synthetic_reference(data, values, threads):
    """R1, M0 and their status from the PD- and T1-weighted scans, and the
    MT-weighted scan's signal without saturation computed from them."""
    from tavni.mt_map import fit_r1, synthetic_reference

    b1 = data.get("b1")
    R1, M0, status = fit_r1([data["pdw"], data["t1w"]],
                            [values["pdw_flip_angle"], values["t1w_flip_angle"]],
                            [values["pdw_TR"], values["t1w_TR"]], b1=b1,
                            mask=data.get("mask"), threads=threads, return_status=True)
    reference = synthetic_reference(M0, R1, values["flip_angle"], values["TR"], b1=b1,
                                    threads=threads)
    return R1, M0, status, reference


def _mtsat(data, values, b1_correction, threads):
    from tavni.mt_map import mtsat

    saturation = mtsat(data["pdw"], data["t1w"], data["mtw"], values["pdw_flip_angle"],
                       values["t1w_flip_angle"], values["flip_angle"], values["pdw_TR"],
                       values["t1w_TR"], values["TR"], b1=data.get("b1"),
                       b1_correction=b1_correction, threads=threads)
    return _outside_mask_nan(saturation, data)


def _outside_mask_nan(array, data):
    return array if "mask" not in data else np.where(data["mask"], array, np.nan)


def fraction_from_scans(pdw, t1w, mtw, parameters, outputs, *, b1=None, b0=None, mask=None,
                        threads=None, clip=False, exact=True, max_memory=None, quiet=False,
                        fail_below=None, protocol_path=None, allow_affine_mismatch=False,
                        noise_sd=None, noise_required=True):
    """The bound-pool fraction, and on request R1, M0, MTR and MTsat, from
    three SPGR scans: every map written or none, the scans streamed through
the chain a run of voxels at a time within a memory budget (a B0 map is
read once more before, for the range of its offsets).

    R1 and M0 come from the PD- and T1-weighted scans (variable flip angle);
    the MT-weighted scan's reference is the SPGR signal that M0 and R1 give
    at its own flip angle and TR (a synthetic reference); their ratio and
    the same R1 go to the fraction fit. A transmit field scales every flip
    angle and the saturation amplitude; a B0 map shifts the saturation
    offset voxel by voxel (delta_omega + B0), the lineshape G computed at
    the shifted offset.

    Parameters
    ----------
    pdw, t1w, mtw : path-like
        PD-, T1- and MT-weighted scans (NIfTI or .npy), one geometry.
    parameters : dict
        Protocol keys (see ``protocol.PARAMETERS``) to numbers in their
        units (or ``protocol.Given``): ``pdw_flip_angle_deg``, ``pdw_TR``,
        ``t1w_flip_angle_deg``, ``t1w_TR``, the MT-weighted scan's
        ``flip_angle_deg`` and ``TR``, ``delta_omega``, ``duration``,
        ``T2_free``, ``T2b`` or ``G``, and ``omega_1_rms`` or the MT pulse
        (``mt_flip_angle_deg``, ``mt_pulse_shape``, ``mt_bandwidth``,
        ``mt_pulses``). Validated here.
    outputs : dict
        Map name to path: "fraction" (required), "status", "r1" (1/s),
        "m0", "mtr" (percent), "mtsat" (percent units), "uncertainty" (sd
        of f from the three scans' noise, first order), "sensitivity_r1",
        "sensitivity_b1" (the change of f when R1 or B1 is 1% too high), or
        "sensitivity" (a prefix for both; see ``sensitivity_paths``).
    b1, b0, mask : path-like, optional
        Relative transmit field; off-resonance in Hz (needs ``T2b``);
        voxels to fit (nonzero).
    threads : int, optional
        Worker threads, 1 to ``MAX_THREADS``; default all cores.
    clip, exact, max_memory, quiet
        As for ``fraction_map``.
    fail_below : float, optional
        A share of the fitted voxels; fewer solved adds a warning.
    protocol_path : path-like, optional
        The protocol file the parameters came from, never to be overwritten.
    allow_affine_mismatch : bool
        Map images of one shape whose affines differ.
    noise_sd : sequence of float, optional
        Noise standard deviation of all scans, or of the PD-, T1- and
        MT-weighted ones (image units), for "uncertainty"; default:
        estimated from each scan's background (outside the mask if given),
        each scan read whole once for it.
    noise_required : bool
        Without noise_sd and a background to estimate it from, refuse the
        map (ParameterError, before anything is written); False writes the
        "uncertainty" map as NaN instead and says so in the summary's notes.

    Returns
    -------
    Summary
        Voxel counts per status of the fraction fit, the share solved and
        the warnings (also printed on stderr; the summary line too, unless
        quiet).

    Raises
    ------
    protocol.ParameterError, volumes.VolumeError
        Before anything is written, with one line.
    """
    check_threads(threads)
    if outputs.get("fraction") is None:
        raise ParameterError("the chain needs a path for the fraction map")
    written = _map_outputs(_with_sensitivity_paths(outputs))
    given = protocol.as_given(parameters, CHAIN_PARAMETERS)
    if b0 is not None and "T2b" not in given:
        raise ParameterError("a B0 map needs T2b, not G: the lineshape is computed at each "
                             "voxel's shifted offset")
    images = {"mtw": mtw, "pdw": pdw, "t1w": t1w, "b1": b1, "b0": b0, "mask": mask}
    _check_outputs(images, SCAN_IMAGES, written, protocol_path)
    _check_noise_sd(noise_sd, ("PDw", "T1w", "MTw"))
    warnings = protocol.validate(given)
    for message in warnings:
        warn(message)
    values = protocol.model_values(given)
    _check_budget(max_memory)
    probes = _probe_images(images, SCAN_IMAGES, allow_affine_mismatch)
    like = probes["mtw"]
    grid = None
    if "b0" in probes:
        b0 = probes["b0"]
        span = _offset_span((b0.path, b0.what), values["delta_omega"], like.shape, max_memory)
        if span is not None:
            grid = lineshape_grid(*span, given["T2b"].value)

    uncertainty, sigmas, notes = None, None, []
    if any(name in written for name in UNCERTAINTY_OUTPUTS):
        uncertainty = UncertaintySample(written, like.voxels)
        sigmas, notes = _noise_levels(written, probes, {"PDw": "pdw", "T1w": "t1w", "MTw": "mtw"},
                                      noise_sd, probes.get("mask"), noise_required)
    runs = ChainRuns(values, grid, like.voxels, list(written), threads, clip, exact,
                     uncertainty, sigmas)
    _stream_maps(probes, written, runs, max_memory=max_memory, quiet=quiet,
                 work_bytes=BYTES_PER_VOXEL_OF_THE_CHAIN
                 + BYTES_PER_VOXEL_FOR_UNCERTAINTY * (uncertainty is not None))

    summary = runs.summary()
    summary.warnings += warnings
    summary.notes = notes + (uncertainty.note() if uncertainty is not None else [])
    if not quiet:
        print(f"mt-map: {summary.line(outputs['fraction'])}", file=sys.stderr)
        for note in summary.notes:
            print(f"mt-map: {note}", file=sys.stderr)
    if runs.signal and runs.r1_failed > SOLVED_SHARE_WARNING * runs.signal:
        _note(summary, f"R1 could not be found in {runs.r1_failed} of the {runs.signal} voxels "
                       "with signal in both the PD- and T1-weighted scans: are their flip "
                       "angles and TRs right?")
    elif summary.fitted and summary.solved_share < SOLVED_SHARE_WARNING:
        ratios = np.concatenate(runs.ratio_sample)
        median_ratio = float(np.median(ratios)) if ratios.size else np.nan
        cause = (f"the median ratio of the MT-weighted scan to its synthetic reference is "
                 f"{median_ratio:g}, above 1: is the MT-weighted scan one of the others?"
                 if median_ratio > 1.0 else "check the sequence parameters and their units")
        _note(summary, f"only {100 * summary.solved_share:.1f} % of the {summary.fitted} "
                       f"fitted voxels were solved; {cause}")
    if fail_below is not None and summary.solved_share < fail_below:
        _note(summary, f"{100 * summary.solved_share:.1f} % of the fitted voxels solved, "
                       f"fewer than {fail_below:g}")
    return summary


def _offset_span(b0, delta_omega, shape, max_memory):
    """(smallest, largest) magnitude of the finite offsets delta_omega + B0
    (Hz) over the whole B0 map, or None when there is none; streamed."""
    from tavni.mt_map import streaming

    span = [np.inf, -np.inf]

    def extremes(values):
        magnitude = np.abs(delta_omega + values["b0"].astype(np.float64))
        finite = magnitude[np.isfinite(magnitude)]
        if finite.size:
            span[:] = min(span[0], float(finite.min())), max(span[1], float(finite.max()))
        return {}

    streaming.run({"b0": b0}, {}, extremes, shape=shape, budget=max_memory)
    return tuple(span) if span[0] <= span[1] else None


class ChainRuns(StatusCounts):
    """The three-scan chain on runs of voxels, as ``streaming.run`` hands them
    over: R1 and M0, the synthetic reference, the ratio and the fraction, MTR
    and MTsat, each the same to the bit as on whole volumes; it counts what
    the summary and its warnings need and keeps a sample of the ratios."""

    def __init__(self, values, grid, voxels, outputs, threads=None, clip=False, exact=True,
                 uncertainty=None, sigmas=None):
        self.values, self.grid, self.outputs = values, grid, outputs
        self.threads, self.clip, self.exact = threads, clip, exact
        # An UncertaintySample when its maps are wanted, with the scans' noise.
        self.uncertainty, self.sigmas = uncertainty, sigmas
        super().__init__()
        self.r1_failed = self.signal = 0
        self.stride = max(1, voxels // FractionRuns.SAMPLE)
        self.ratio_sample = []

    def __call__(self, values):
        from tavni.mt_map import STATUS_SOLVED, fit_fraction, mtr

        data = _prepared(dict(values))
        p = dict(self.values)
        R1, M0, r1_status, reference = _synthetic_reference(data, p, self.threads)
        ratio = _signal_ratio(data["mtw"], reference)
        if "b0" in data:
            p["delta_omega"] = p["delta_omega"] + data.pop("b0").astype(np.float64)
            p["G"] = (np.full(ratio.shape, np.nan) if self.grid is None
                      else lineshape_at_offsets(p["delta_omega"], None, self.grid))
        f, status, *derivatives = fit_fraction(
            ratio, R1, p["T2_free"], p["delta_omega"], p["omega_1_rms"], p["G"], p["TR"],
            p["duration"], p["flip_angle"], b1=data.get("b1"), mask=data.get("mask"),
            clip=self.clip, exact=self.exact, threads=self.threads, return_status=True,
            return_derivatives=self.uncertainty is not None)
        self.count(status)
        considered = ~np.isnan(data["mtw"]) if "mask" not in data else data["mask"]
        signal = considered & (data["pdw"] > 0) & (data["t1w"] > 0)
        self.signal += int(np.count_nonzero(signal))
        self.r1_failed += int(np.count_nonzero(signal & (r1_status != STATUS_SOLVED)))
        self.ratio_sample.append(
            ratio.reshape(-1)[np.flatnonzero(~np.isnan(ratio))[::self.stride]])
        maps = {"fraction": f, "status": status, "r1": R1, "m0": M0}
        if "mtr" in self.outputs:
            maps["mtr"] = _outside_mask_nan(mtr(data["mtw"], reference), data)
        if "mtsat" in self.outputs:
            maps["mtsat"] = _mtsat(data, p, None, self.threads)
        if self.uncertainty is not None:
            from tavni.mt_map.uncertainty import three_scan_uncertainty

            scans = ("pdw", "t1w", "")  # protocol key prefixes; the MT-weighted scan has none
            flip_angles = [p[f"{scan}_flip_angle" if scan else "flip_angle"] for scan in scans]
            TRs = [p[f"{scan}_TR" if scan else "TR"] for scan in scans]
            with np.errstate(divide="ignore", invalid="ignore"):
                result = three_scan_uncertainty(
                    derivatives[0], data["pdw"], data["t1w"], data["mtw"], reference, R1,
                    flip_angles, TRs, (self.sigmas["PDw"], self.sigmas["T1w"], self.sigmas["MTw"]),
                    b1=data.get("b1"), b1_sensitivity="sensitivity_b1" in self.outputs)
            maps.update(self.uncertainty.maps(result))
        return {name: maps[name] for name in self.outputs}


class R1Runs(StatusCounts):
    """R1, M0 and the status of their fit on runs of voxels, as
    ``streaming.run`` hands them over; counts the statuses."""

    def __init__(self, scans, flip_angles, TRs, threads=None):
        super().__init__()
        self.scans, self.flip_angles, self.TRs, self.threads = scans, flip_angles, TRs, threads

    def __call__(self, values):
        from tavni.mt_map import fit_r1

        data = _prepared(dict(values))
        R1, M0, status = fit_r1([data[name] for name in self.scans], self.flip_angles, self.TRs,
                                b1=data.get("b1"), mask=data.get("mask"), threads=self.threads,
                                return_status=True)
        self.count(status)
        return {"r1": R1, "m0": M0, "status": status}


def r1_map(scans, flip_angles_deg, TRs, outputs, *, b1=None, mask=None, threads=None,
           quiet=False, allow_affine_mismatch=False, max_memory=None):
    """R1 (1/s) and M0 from SPGR scans of two or more flip angles.

    Parameters
    ----------
    scans : sequence of path-like
        Two or more scans, one geometry.
    flip_angles_deg, TRs : sequence of float
        Each scan's nominal flip angle (degrees) and TR (s). Scans of
        differing TR: exactly two.
    outputs : dict
        "r1" (required), "m0", "status" to paths.
    b1, mask, threads, quiet, allow_affine_mismatch, max_memory
        As for ``fraction_from_scans``: the scans are streamed through the
        fit a run of voxels at a time.

    Returns
    -------
    Summary
        Counts per status of the R1 fit.
    """
    check_threads(threads)
    if len(scans) < 2 or not len(scans) == len(flip_angles_deg) == len(TRs):
        raise ParameterError(f"give two or more scans with a flip angle and a TR each "
                             f"(got {len(scans)} scans, {len(flip_angles_deg)} flip angles, "
                             f"{len(TRs)} TRs)")
    warnings = []
    for angle, TR in zip(flip_angles_deg, TRs):
        warnings += protocol.validate({"flip_angle_deg": protocol.Given(angle, "--flip-angles"),
                                       "TR": protocol.Given(TR, "--TR")})
    if len(scans) > 2 and len(set(TRs)) > 1:
        raise ParameterError("scans of differing TRs: give exactly two")
    for message in warnings:
        warn(message)
    _check_budget(max_memory)
    written = _map_outputs({name: outputs.get(name) for name in ("r1", "m0", "status")})
    if "status" in written:
        written["status"].descrip = "status of the R1 fit per voxel"
    if "r1" not in written:
        raise ParameterError("an output path for the R1 map is needed")
    table = tuple((f"scan {i + 1}", f"scan {i + 1}") for i in range(len(scans)))
    table += (("b1", "B1 map"), ("mask", "mask"))
    images = dict(zip((name for name, _ in table), (*scans, b1, mask)))
    _check_outputs(images, table, written, None)
    probes = _probe_images(images, table, allow_affine_mismatch)
    runs = R1Runs([name for name, _ in table[:len(scans)]],
                  [np.radians(a) for a in flip_angles_deg], TRs, threads)
    # R1 and M0 in double and the fit's status, one per voxel.
    _stream_maps(probes, written, runs, max_memory=max_memory, work_bytes=8 * 4)
    summary = runs.summary()
    summary.warnings += warnings
    if not quiet:
        print(f"mt-map: {summary.line(outputs['r1'])}", file=sys.stderr)
    return summary


class SemiQuantitativeRuns:
    """MTsat or MTR (``semi_quantitative_map``) on runs of voxels, as
    ``streaming.run`` hands them over."""

    def __init__(self, kind, values, b1_correction, threads=None):
        self.kind, self.values = kind, values
        self.b1_correction, self.threads = b1_correction, threads

    def __call__(self, values):
        from tavni.mt_map import mtr

        data = _prepared(dict(values))
        if self.kind == "mtsat":
            result = _mtsat(data, self.values, self.b1_correction, self.threads)
        else:
            reference = (data["ref"] if "ref" in data
                         else _synthetic_reference(data, self.values, self.threads)[3])
            result = _outside_mask_nan(mtr(data["mtw"], reference), data)
        return {self.kind: result}


def semi_quantitative_map(kind, mtw, parameters, output, *, pdw=None, t1w=None, ref=None,
                          b1=None, mask=None, b1_correction=None, threads=None,
                          protocol_path=None, allow_affine_mismatch=False, max_memory=None):
    """MTsat or MTR of the MT-weighted scan, streamed a run of voxels at a time.

    Parameters
    ----------
    kind : {"mtsat", "mtr"}
        MTsat (percent units, Helms et al. 2008) from the three scans; or
        MTR (percent) against a measured reference image ``ref`` or, with
        ``pdw`` and ``t1w``, against the synthetic reference.
    mtw : path-like
        MT-weighted scan.
    parameters : dict
        As for ``fraction_from_scans``: the scans' flip angles and TRs
        (none for MTR against a measured reference).
    output : path-like
        The map to write (float32).
    pdw, t1w, ref, b1, mask : path-like, optional
    b1_correction : float, optional
        MTsat only: the empirical correction constant (0.4 in Weiskopf et
        al. 2013); needs ``b1``.
    threads, protocol_path, allow_affine_mismatch, max_memory
        As for ``fraction_from_scans``.
    """
    check_threads(threads)
    measured = kind == "mtr" and ref is not None
    if not measured and (pdw is None or t1w is None):
        raise ParameterError(f"{kind} needs the PD- and T1-weighted scans"
                             + (" (or a measured reference image)" if kind == "mtr" else ""))
    if kind == "mtr" and ref is not None and (pdw is not None or t1w is not None):
        raise ParameterError("MTR against a measured reference or a synthetic one, not both")
    if b1_correction is not None and b1 is None:
        raise ParameterError("the empirical B1 correction of MTsat needs a B1 map")
    values = {}
    if not measured:
        given = protocol.as_given(parameters, SCAN_PARAMETERS)
        for message in protocol.validate(given):
            warn(message)
        values = protocol.model_values(given)
    _check_budget(max_memory)
    written = _map_outputs({kind: output})
    images = {"mtw": mtw, "pdw": pdw, "t1w": t1w, "ref": ref, "b1": b1, "mask": mask}
    _check_outputs(images, SCAN_IMAGES, written, protocol_path)
    probes = _probe_images(images, SCAN_IMAGES, allow_affine_mismatch)
    # R1, M0, their status, the reference and the map, in double.
    _stream_maps(probes, written, SemiQuantitativeRuns(kind, values, b1_correction, threads),
                 max_memory=max_memory, work_bytes=8 * 6)
