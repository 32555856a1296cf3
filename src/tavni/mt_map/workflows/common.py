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
from dataclasses import dataclass

import numpy as np

from tavni.mt_map import protocol
from tavni.mt_map.io import volumes
from tavni.mt_map.outputs import MAPS
from tavni.mt_map.parallel import MAX_THREADS, thread_count
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.workflows.summary import warn


def check_threads(threads):
    """Refuses a thread count the kernels cannot use, before anything is read."""
    try:
        thread_count(threads, MAX_THREADS)
    except (TypeError, ValueError) as error:
        raise ParameterError(str(error), "threads") from None


# The protocol's values that fit_fraction takes after the ratio and R1, in
# its order (model units: s, Hz, rad/s, radians).
FIT_PARAMETERS = ("T2_free", "delta_omega", "omega_1_rms", "G", "TR", "duration", "flip_angle")


def fit_with(values, ratio, R1, **options):
    """``fit_fraction`` of ratio and R1 with the sequence and tissue values of
    a protocol (``protocol.model_values``); options go to ``fit_fraction``."""
    from tavni.mt_map.maps import fit_fraction

    return fit_fraction(ratio, R1, *(values[key] for key in FIT_PARAMETERS), **options)


def signal_ratio(mt, reference):
    """Mt / reference where the reference has signal, NaN elsewhere."""
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.divide(mt, reference)
    ratio[~(reference > 0)] = np.nan  # in place: no third array of the run
    return ratio


def map_outputs(outputs):
    """volumes.Output of every requested map, in the catalogue's order."""
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

    images maps names of table ((name, what it is) pairs) to paths, None
    where not given; outputs maps names to volumes.Output.
    """
    names = dict(table)
    inputs = [(names[name], path) for name, path in images.items() if path is not None]
    if protocol_path is not None:
        inputs.append(("protocol", protocol_path))
    volumes.check_outputs(list(outputs.values()), inputs)


def probe_images(images, table, allow_affine_mismatch):
    """The probes of the images given, by name, after checking their geometry;
    the first image of table given is the one whose geometry the outputs take.
    """
    probes = {
        name: volumes.probe(images[name], what_image)
        for name, what_image in table
        if images.get(name) is not None
    }
    volumes.check_geometry(list(probes.values()), allow_affine_mismatch)
    return probes


def prepared(data):
    """A B1 map with NaN where not positive, a mask as booleans."""
    if "b1" in data:
        data["b1"] = np.where(data["b1"] > 0, data["b1"], np.nan)
    if "mask" in data:
        data["mask"] = np.nan_to_num(data["mask"]) != 0
    return data


def check_budget(max_memory):
    if max_memory is not None and max_memory <= 0:
        raise ParameterError(f"max_memory must be positive (got {max_memory} bytes)", "max_memory")


def stream_maps(probes, written, compute, *, max_memory, work_bytes, quiet=True, desc="mapping"):
    """Streams the probed images (the first one's geometry is the maps')
    through compute into the written outputs (``streaming.run``), with a
    progress bar on a terminal unless quiet.
    """
    from tavni.mt_map.io import streaming

    like = next(iter(probes.values()))
    streamed = {
        name: (o.path, o.what, o.dtype, volumes.geometry_header(like, like.shape, o.descrip)[0])
        for name, o in written.items()
    }
    inputs = {name: (p.path, p.what) for name, p in probes.items()}
    if quiet or not sys.stderr.isatty():  # no bar to show: not even its import
        streaming.run(
            inputs, streamed, compute, shape=like.shape, budget=max_memory, work_bytes=work_bytes
        )
        return
    from tqdm import tqdm

    with tqdm(
        total=like.voxels, unit="voxel", unit_scale=True, delay=1.0, file=sys.stderr, desc=desc
    ) as progress:
        streaming.run(
            inputs,
            streamed,
            compute,
            shape=like.shape,
            budget=max_memory,
            work_bytes=work_bytes,
            progress=progress.update,
        )


def add_warning(summary, message):
    """Warns, and keeps the warning in the summary."""
    warn(message)
    summary.warnings.append(message)


# ---------------------------------------------------------------------------
# The three-scan chain: PD-, T1- and MT-weighted SPGR scans to R1, M0, the
# synthetic reference, MTR, MTsat and the fraction.


def outside_mask_nan(array, data):
    return array if "mask" not in data else np.where(data["mask"], array, np.nan)


@dataclass
class Prepared:
    """What the prologue of a workflow found before reading any image."""

    written: dict  # output name -> volumes.Output
    probes: dict  # image name -> volumes.Probe, the maps' geometry first
    values: dict  # the parameters as the model takes them
    warnings: list  # the parameters' warnings, already issued


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
    threads, max_memory, protocol_path, allow_affine_mismatch
        As the workflows take them.
    checks : sequence of callable
        Further checks that raise ParameterError.

    Returns
    -------
    Prepared
    """
    check_threads(threads)
    written = map_outputs(outputs)
    check_outputs(images, table, written, protocol_path)
    for check in checks:
        check()
    groups = [given] if isinstance(given, dict) else list(given)
    warnings = [message for group in groups for message in protocol.validate(group)]
    for message in warnings:
        warn(message)
    values = protocol.model_values(groups[0]) if groups else {}
    check_budget(max_memory)
    probes = probe_images(images, table, allow_affine_mismatch)
    return Prepared(written, probes, values, warnings)
