"""What the workflows share: the checks made before an image is read, and
the streaming of images through a computation into the maps.

:func:`prologue` makes every check a workflow can make from the arguments
and the images' headers alone, in one order (thread count, outputs, the
workflow's own checks, parameters, memory budget, the images' headers);
:func:`onto_grid` brings every image onto the maps' grid (registration,
resampling, one intensity scale); then :func:`stream_maps` runs the images through the workflow's computation a
run of voxels at a time (:mod:`tavni.mt_map.io.streaming`). Failures raise
``protocol.ParameterError`` or ``volumes.VolumeError`` with one line;
warnings go to the ``tavni.mt_map`` logger as they arise, one line each.
"""

import sys
from dataclasses import dataclass

import numpy as np

from tavni.mt_map import protocol
from tavni.mt_map.io import volumes
from tavni.mt_map.maps import ModelParameters
from tavni.mt_map.outputs import MAPS
from tavni.mt_map.parallel import MAX_THREADS, thread_count
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.workflows.summary import SAMPLE, warn

__all__ = [
    "check_threads",
    "FIT_PARAMETERS",
    "fit_with",
    "fit_run",
    "signal_ratio",
    "map_outputs",
    "check_outputs",
    "probe_images",
    "prepared",
    "stream_maps",
    "add_warning",
    "outside_mask_nan",
    "Prepared",
    "onto_grid",
    "B1Sample",
    "with_alignment",
    "prologue",
]


def check_threads(threads):
    """Refuses a thread count the kernels cannot use, before anything is read.

    Parameters
    ----------
    threads : int or None
        As the workflows take it: 1 to ``parallel.MAX_THREADS``, or None
        for every core.

    Raises
    ------
    ParameterError
        Naming ``threads`` (the command line says ``--threads``).
    """
    try:
        thread_count(threads, MAX_THREADS)
    except (TypeError, ValueError) as error:
        raise ParameterError(str(error), "threads") from None


# The protocol's values that fit_fraction takes after the ratio and R1, in
# its order (model units: s, Hz, rad/s, radians).
FIT_PARAMETERS = ModelParameters._fields[1:]


def fit_with(values, ratio, R1, **options):
    """``fit_fraction`` of ratio and R1 with the sequence and tissue values of
    a protocol (``protocol.model_values``); options go to ``fit_fraction``.
    """
    from tavni.mt_map.maps import fit_fraction

    return fit_fraction(ratio, R1, *(values[key] for key in FIT_PARAMETERS), **options)


def fit_run(runs, values, ratio, R1, data):
    """The fraction fit of one run with the options a runs object carries
    (``clip``, ``exact``, ``threads``, derivatives when it keeps an
    ``uncertainty`` sample), its statuses counted (``runs.count``).

    Returns
    -------
    f, status, derivatives
        ``derivatives`` is a list: empty, or the fit's derivatives.
    """
    f, status, *derivatives = fit_with(
        values,
        ratio,
        R1,
        b1=data.get("b1"),
        mask=data.get("mask"),
        clip=runs.clip,
        exact=runs.exact,
        threads=runs.threads,
        return_status=True,
        return_derivatives=runs.uncertainty is not None,
    )
    runs.count(status)
    return f, status, derivatives


def signal_ratio(mt, reference):
    """The measured ratio of two images.

    Parameters
    ----------
    mt, reference : numpy.ndarray
        A run of the MT-weighted image and of its reference, one unit.

    Returns
    -------
    numpy.ndarray
        mt / reference where the reference is positive, NaN elsewhere.
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.divide(mt, reference)
    ratio[~(reference > 0)] = np.nan  # in place: no third array of the run
    return ratio


def map_outputs(outputs):
    """The outputs of the requested maps, in the catalogue's order.

    Parameters
    ----------
    outputs : dict
        Map name (a key of ``outputs.MAPS``) to path, None where not wanted.

    Returns
    -------
    dict of str to volumes.Output
        With each map's data type and NIfTI description; no data yet.

    Raises
    ------
    ParameterError
        A name that is no map of the catalogue.
    """
    known = [row.key for row in MAPS]
    unknown = sorted(set(outputs) - set(known))
    if unknown:
        raise ParameterError(
            f"unknown output{'s' if len(unknown) > 1 else ''} "
            f"{', '.join(unknown)}; known: {', '.join(known)}"
        )
    return {
        row.key: volumes.Output(
            outputs[row.key], row.what, None, np.dtype(row.dtype).type, descrip=row.descrip
        )
        for row in MAPS
        if outputs.get(row.key) is not None
    }


def check_outputs(images, table, outputs, protocol_path):
    """Refuses outputs that would replace an input (see volumes.check_outputs).

    Parameters
    ----------
    images : dict
        Image name (of ``table``) to path, None where not given.
    table : sequence of (str, str)
        (name, what it is) of every image the workflow takes.
    outputs : dict of str to volumes.Output
        The outputs, by map name.
    protocol_path : path-like or None
        The protocol file, which is an input too.

    Raises
    ------
    VolumeError
        As ``volumes.check_outputs``.
    """
    names = dict(table)
    inputs = [(names[name], path) for name, path in images.items() if path is not None]
    if protocol_path is not None:
        inputs.append(("protocol", protocol_path))
    volumes.check_outputs(list(outputs.values()), inputs)


def probe_images(images, table):
    """The headers of the images given.

    Parameters
    ----------
    images : dict
        Image name to path, None where not given.
    table : sequence of (str, str)
        (name, what it is), the image whose geometry the maps take first.

    Returns
    -------
    dict of str to volumes.Probe
        In the order of ``table``: the first one given is the one whose
        geometry the outputs take. The others may lie on grids of their
        own (``align`` brings them onto it).

    Raises
    ------
    VolumeError
        An image that cannot be read.
    """
    return {
        name: volumes.probe(images[name], what_image)
        for name, what_image in table
        if images.get(name) is not None
    }


def prepared(data):
    """A run's values as the fits take them, changed in place.

    Parameters
    ----------
    data : dict of str to numpy.ndarray
        A run of each image by name.

    Returns
    -------
    dict
        The same dict: "b1" NaN where not positive (no transmit field there),
        "mask" as booleans (nonzero and not NaN).
    """
    if "b1" in data:
        data["b1"] = np.where(data["b1"] > 0, data["b1"], np.nan)
    if "mask" in data:
        data["mask"] = volumes.in_mask(data["mask"])
    return data


def _check_budget(max_memory):
    if max_memory is not None and max_memory <= 0:
        raise ParameterError(f"max_memory must be positive (got {max_memory} bytes)", "max_memory")


def stream_maps(
    probes,
    written,
    compute,
    *,
    max_memory,
    work_bytes,
    quiet=True,
    desc="mapping",
    arrays=None,
    finish=None,
):
    """Streams images through a computation into the maps (``streaming.run``).

    Parameters
    ----------
    probes : dict of str to volumes.Probe
        The images, by the names ``compute`` reads them under; the first
        one's geometry is the maps'.
    written : dict of str to volumes.Output
        The maps, by the names ``compute`` returns them under.
    compute : callable
        ``compute(values) -> dict`` on a run of voxels (see
        ``streaming.run``).
    max_memory : int or None
        Bytes the process may use; None: a share of the available memory.
    work_bytes : int
        Bytes per voxel that ``compute`` needs beside inputs and outputs.
    quiet : bool
        No progress bar (there is none anyway when stderr is no terminal).
    desc : str
        The progress bar's label.
    arrays : dict of str to numpy.ndarray, optional
        Images held on the maps' grid (``align``), read in place of their
        files.
    finish : callable, optional
        The runs still owed after the last one (see ``streaming.run``).

    Raises
    ------
    VolumeError
        An image that cannot be read or a map not written; then no map is
        left behind.
    """
    from tavni.mt_map.io import streaming

    like = next(iter(probes.values()))
    streamed = {
        name: (o.path, o.what, o.dtype, volumes.geometry_header(like, like.shape, o.descrip)[0])
        for name, o in written.items()
    }
    arrays = arrays or {}
    inputs = {name: (arrays.get(name, p.path), p.what) for name, p in probes.items()}

    def stream(progress=None):
        streaming.run(
            inputs,
            streamed,
            compute,
            shape=like.shape,
            budget=max_memory,
            work_bytes=work_bytes,
            progress=progress,
            finish=finish,
        )

    if quiet or not sys.stderr.isatty():  # no bar to show: not even its import
        stream()
        return
    from tqdm import tqdm

    with tqdm(
        total=like.voxels, unit="voxel", unit_scale=True, delay=1.0, file=sys.stderr, desc=desc
    ) as progress:
        stream(progress.update)


def add_warning(summary, message):
    """Warns (logger ``tavni.mt_map``), and keeps the warning in the summary.

    Parameters
    ----------
    summary : Summary
    message : str
        One line.
    """
    warn(message)
    summary.warnings.append(message)


# ---------------------------------------------------------------------------
# The three-scan chain: PD-, T1- and MT-weighted SPGR scans to R1, M0, the
# synthetic reference, MTR, MTsat and the fraction.


def outside_mask_nan(array, data):
    """A map with NaN outside the run's mask.

    Parameters
    ----------
    array : numpy.ndarray
        A run of a map.
    data : dict
        The run's values (``prepared``); its "mask", if any, is boolean.

    Returns
    -------
    numpy.ndarray
        ``array`` itself without a mask, else a copy with NaN outside it.
    """
    return array if "mask" not in data else np.where(data["mask"], array, np.nan)


@dataclass
class Prepared:
    """What the prologue of a workflow found before reading any image, and
    then how its images reached the maps' grid (``onto_grid``).
    """

    written: dict  # output name -> volumes.Output
    probes: dict  # image name -> volumes.Probe, the maps' geometry first
    values: dict  # the parameters as the model takes them
    warnings: list  # the parameters' warnings, already issued
    alignment: object = None  # align.Alignment, once onto_grid has run
    max_memory: int | None = None  # bytes the workflow may use; None: the default

    @property
    def arrays(self):
        """Images held on the maps' grid, by name (none before ``onto_grid``)."""
        return {} if self.alignment is None else self.alignment.arrays


# A relative transmit field lies between about 0.3 and 2 in any head at any
# field strength; a median beyond these is a map in other units.
_B1_MEDIAN_RANGE = (0.2, 5.0)


class B1Sample:
    """A strided sample of a B1 map's positive values, kept from the runs a
    stream hands over (a ``streaming.run`` computation under the name "b1"),
    to check its median (``check``) before hours of fitting give nothing.

    Parameters
    ----------
    probe : volumes.Probe
        The B1 map, as read.
    """

    def __init__(self, probe):
        self.probe = probe
        self.stride = max(1, probe.voxels // SAMPLE)
        self.position = 0
        self.sample = []

    def __call__(self, values):
        """Keeps one run's share of the sample; returns no map."""
        run = values["b1"]
        start = -self.position % self.stride
        self.position += run.size
        kept = run[start :: self.stride]
        self.sample.append(kept[np.isfinite(kept) & (kept > 0)])
        return {}

    def check(self):
        """Refuses a map whose median says it is not relative (percent, or
        a flip angle in degrees).

        Raises
        ------
        volumes.VolumeError
            One line naming the file and its median.
        """
        values = np.concatenate(self.sample) if self.sample else np.empty(0)
        if values.size == 0:
            return
        median = float(np.median(values))
        low, high = _B1_MEDIAN_RANGE
        if not low <= median <= high:
            hint = " (percent? divide it by 100)" if 50 <= median <= 200 else ""
            raise volumes.VolumeError(
                f"{self.probe.what} '{self.probe.path}' has a median of {median:.3g}; a "
                f"relative transmit field (actual/nominal flip angle, 1 = nominal) lies "
                f"between {low:g} and {high:g}{hint}"
            )


def _check_relative_b1(probe, budget):
    """``B1Sample.check`` of a B1 map streamed on its own."""
    from tavni.mt_map.io import streaming

    sample = B1Sample(probe)
    streaming.run({"b1": (probe.path, probe.what)}, {}, sample, shape=probe.shape, budget=budget)
    sample.check()


def onto_grid(
    prepared, roles, *, register=True, scales=None, follows=None, arrays=None, check_b1=True
):
    """Brings a workflow's images onto the maps' grid (``align.align``),
    issuing its warnings; kept in ``prepared.alignment``.

    Parameters
    ----------
    prepared : Prepared
    roles : dict of str to str
        Image name to ``align.SCAN``, ``FIELD``, ``MASK`` or ``MAP``.
    register, scales, follows, arrays
        As ``align.align`` takes them.
    check_b1 : bool
        Check the B1 map's median first (a pass of its own); False where
        the workflow checks it in a pass it makes anyway (``B1Sample``).

    Returns
    -------
    align.Alignment
    """
    from tavni.mt_map.workflows.align import align

    if check_b1 and "b1" in prepared.probes:
        _check_relative_b1(prepared.probes["b1"], prepared.max_memory)
    prepared.alignment = align(
        prepared.probes, roles, register=register, scales=scales, follows=follows, arrays=arrays
    )
    for message in prepared.alignment.warnings:
        warn(message)
    return prepared.alignment


def with_alignment(summary, alignment):
    """A summary with what ``onto_grid`` did: the motion, its notes first,
    its warnings.

    Parameters
    ----------
    summary : Summary
    alignment : align.Alignment or None

    Returns
    -------
    Summary
        The same summary.
    """
    if alignment is not None:
        summary.motion = dict(alignment.motion)
        summary.notes = alignment.notes + summary.notes
        summary.warnings = alignment.warnings + summary.warnings
    return summary


def prologue(
    images,
    table,
    outputs,
    *,
    given=(),
    threads=None,
    max_memory=None,
    protocol_path=None,
    allow_affine_mismatch=False,
    checks=(),
):
    """The checks every workflow makes before it reads an image, in order.

    The thread count; the outputs (none may replace an input or another
    output, each directory must take a new file); the workflow's own
    ``checks`` (callables); the parameters (each dict of ``given`` is
    validated, its warnings issued, and the first one converted to the
    model's units); the memory budget; the images' headers and geometry.

    Parameters
    ----------
    images : dict of str to path-like
        Image paths by name, None where not given.
    table : sequence of (str, str)
        (name, what it is) of every image the workflow takes, the image
        whose geometry the maps take first.
    outputs : dict of str to path-like
        Map name (a row of ``outputs.MAPS``) to path, None where not wanted.
    given : dict or sequence of dict
        ``protocol.Given`` by key; several dicts for parameters given per
        scan.
    threads, max_memory, protocol_path
        As the workflows take them.
    allow_affine_mismatch : bool
        Deprecated, no effect: images are combined through their affines.
    checks : sequence of callable
        Further checks that raise ParameterError.

    Returns
    -------
    Prepared

    Raises
    ------
    ParameterError, VolumeError
        The first check that fails, before any image is read.
    """
    check_threads(threads)
    if allow_affine_mismatch:
        import warnings as python_warnings

        python_warnings.warn(
            "allow_affine_mismatch is deprecated and has no effect: every image is "
            "brought onto the maps' grid through its affine",
            DeprecationWarning,
            stacklevel=3,
        )
    written = map_outputs(outputs)
    check_outputs(images, table, written, protocol_path)
    for check in checks:
        check()
    groups = [given] if isinstance(given, dict) else list(given)
    warnings = [message for group in groups for message in protocol.validate(group)]
    for message in warnings:
        warn(message)
    values = protocol.model_values(groups[0]) if groups else {}
    _check_budget(max_memory)
    probes = probe_images(images, table)
    return Prepared(written, probes, values, warnings, max_memory=max_memory)
