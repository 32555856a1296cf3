"""The checks a workflow makes before it reads an image: :func:`prologue`.

Every check a workflow can make from its arguments and the images' headers
alone, in one order (thread count, outputs, the workflow's own checks,
parameters, memory budget, the images' headers), for the workflows of this
package; what it found comes back as a :class:`Prepared`. Failures raise
``protocol.ParameterError`` or ``volumes.VolumeError`` with one line;
the parameters' warnings go to the ``tavni.mt_map`` logger, one line each.
"""

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from tavni.mt_map import protocol
from tavni.mt_map.io import volumes
from tavni.mt_map.outputs import MAPS
from tavni.mt_map.parallel import MAX_THREADS, thread_count
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.workflows.options import DEFAULT_OPTIONS, MapOptions
from tavni.mt_map.workflows.summary import warn

__all__ = [
    "check_threads",
    "map_outputs",
    "only_outputs",
    "check_outputs",
    "probe_images",
    "Prepared",
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


def only_outputs(outputs: dict, allowed: Sequence[str], maker: str) -> dict:
    """The outputs a workflow writes, refusing any other asked of it.

    Parameters
    ----------
    outputs : dict
        Output name (of the catalogue, ``outputs.MAPS``) to path, None where
        not wanted.
    allowed : sequence of str
        The outputs the workflow writes.
    maker : str
        The workflow, as messages name it.

    Returns
    -------
    dict
        Every name of ``allowed`` to its path or None, in that order.

    Raises
    ------
    ParameterError
        A path for an output the workflow does not write.
    """
    other = [name for name, path in outputs.items() if path is not None and name not in allowed]
    if other:
        raise ParameterError(
            f"{maker} writes no {', '.join(other)}; it writes {', '.join(allowed)}"
        )
    return {name: outputs.get(name) for name in allowed}


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


def probe_images(images, table, echoes=None, warnings=None):
    """The headers of the images given, each a 3-D image (or a multi-echo
    scan's 4-D one), with one warning for each whose sform and qform
    disagree.

    Parameters
    ----------
    images : dict
        Image name to path, None where not given.
    table : sequence of (str, str)
        (name, what it is), the image whose geometry the maps take first.
    echoes : collection of str or None
        The scans that may be 4-D (their echoes along the fourth axis);
        None for a workflow that takes no echoes.
    warnings : list or None
        Where the geometry warnings are kept besides being issued.

    Returns
    -------
    dict of str to volumes.Probe
        In the order of ``table``: the first one given is the one whose
        geometry the outputs take. The others may lie on grids of their
        own (``align`` brings them onto it).

    Raises
    ------
    VolumeError
        An image that cannot be read, or one of more than three dimensions
        where a 3-D image is needed.
    """
    from tavni.mt_map.io.formats import form_disagreement
    from tavni.mt_map.scans import ROLES

    probes = {}
    for name, what_image in table:
        if images.get(name) is None:
            continue
        probe = probes[name] = volumes.probe(images[name], what_image)
        shape = tuple(probe.shape)
        if not (echoes is not None and name in echoes and len(shape) == 4):
            multi_echo = echoes is not None and name in ROLES and len(shape) == 4
            volumes.refuse_extra_axes(
                probe, "; a multi-echo scan needs its echo times" if multi_echo else ""
            )
        apart = None if probe.header is None else form_disagreement(probe.header, shape)
        if apart is not None:
            message = (
                f"{what_image} '{probe.path}': its sform and qform disagree by "
                f"{apart:.3g} mm; the sform is used, and the maps' qform is set to it"
            )
            warn(message)
            if warnings is not None:
                warnings.append(message)
    return probes


def _check_budget(max_memory):
    if max_memory is not None and max_memory <= 0:
        raise ParameterError(f"max_memory must be positive (got {max_memory} bytes)", "max_memory")


@dataclass
class Prepared:
    """What the prologue of a workflow found before reading any image, and
    then how its images reached the maps' grid (``onto_grid``).
    """

    written: dict  # output name -> volumes.Output
    probes: dict  # image name -> volumes.Probe, the maps' geometry first
    values: dict  # the parameters as the model takes them
    warnings: list  # the parameters' and the images' geometry warnings, already issued
    alignment: object = None  # align.Alignment, once onto_grid has run
    max_memory: int | None = None  # bytes the workflow may use; None: the default

    @property
    def arrays(self):
        """Images held on the maps' grid, by name (none before ``onto_grid``)."""
        return {} if self.alignment is None else self.alignment.arrays


def prologue(
    images,
    table,
    outputs,
    *,
    given: dict | Sequence[dict] = (),
    options: MapOptions = DEFAULT_OPTIONS,
    checks: Sequence[Callable[[], None]] = (),
    stacklevel: int = 3,
    echoes=None,
) -> Prepared:
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
    options : MapOptions
        What the workflow runs with; the prologue checks its thread count
        and memory budget, keeps the protocol file from being overwritten,
        and warns of the deprecated ``allow_affine_mismatch``.
    checks : sequence of callable
        Further checks that raise ParameterError.
    stacklevel : int
        Of that deprecation warning: the workflow's caller's frame.
    echoes : collection of str or None
        The scans that may be 4-D (``probe_images``); None for a workflow
        that takes no echoes.

    Returns
    -------
    Prepared

    Raises
    ------
    ParameterError, VolumeError
        The first check that fails, before any image is read.
    """
    check_threads(options.threads)
    if options.allow_affine_mismatch:
        import warnings as python_warnings

        python_warnings.warn(
            "allow_affine_mismatch is deprecated and has no effect: every image is "
            "brought onto the maps' grid through its affine",
            DeprecationWarning,
            stacklevel=stacklevel,
        )
    written = map_outputs(outputs)
    check_outputs(images, table, written, options.protocol_path)
    for check in checks:
        check()
    groups = [given] if isinstance(given, dict) else list(given)
    warnings = [message for group in groups for message in protocol.validate(group)]
    for message in warnings:
        warn(message)
    values = protocol.model_values(groups[0]) if groups else {}
    _check_budget(options.max_memory)
    probes = probe_images(images, table, echoes, warnings)
    return Prepared(written, probes, values, warnings, max_memory=options.max_memory)
