"""Streaming a workflow's images through its computation into the maps.

:func:`stream_maps` runs the images a run of voxels at a time
(:mod:`tavni.mt_map.io.streaming`) through a workflow's computation and
writes the maps it returns, with a progress bar on a terminal; every
workflow of this package makes its maps with it.
"""

import sys

from tavni.mt_map.io import volumes

__all__ = ["stream_maps"]


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
