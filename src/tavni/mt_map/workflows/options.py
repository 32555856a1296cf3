"""How a workflow runs, one record for all of them: :class:`MapOptions`.

The workflows that make maps (``ratio.fraction_map``,
``chain.fraction_from_scans``, ``single.r1_map`` and
``single.semi_quantitative_map``) take what they share here instead of a
keyword each: worker threads, the memory budget, the progress bar and the
summary line, registration, the fit's mode and the protocol file. Each
reads the fields that apply to it; the command line and the BIDS App fill
one record from their own settings.
"""

from dataclasses import dataclass
from os import PathLike

__all__ = ["DEFAULT_OPTIONS", "MapOptions"]


@dataclass(frozen=True)
class MapOptions:
    """The options the map workflows share.

    Attributes
    ----------
    threads : int or None
        Worker threads, 1 to ``parallel.MAX_THREADS``; None: all cores.
    max_memory : int or None
        Bytes the process may use; None: a share of the available memory.
    quiet : bool
        No progress bar and no summary line (warnings still); the fraction
        workflows and ``r1_map``.
    register : bool
        Register the scans onto the image whose grid the maps take (rigid
        head motion between the scans); maps and fields are taken where
        their affines place them.
    clip : bool
        The fraction fit: unsolved voxels get the nearer bracket end
        instead of NaN.
    exact : bool
        The fraction fit: False is the fast mode of ``fit_fraction``
        (closed form in double precision, not reproducible to the bit
        across machines).
    fail_below : float or None
        The three-scan chain: a share of the fitted voxels; fewer solved
        adds a warning.
    protocol_path : path-like or None
        The protocol file the parameters came from, never to be overwritten.
    allow_affine_mismatch : bool
        Deprecated, no effect: every image is brought onto the maps' grid
        through its affine.
    """

    threads: int | None = None
    max_memory: int | None = None
    quiet: bool = False
    register: bool = True
    clip: bool = False
    exact: bool = True
    fail_below: float | None = None
    protocol_path: str | PathLike | None = None
    allow_affine_mismatch: bool = False


DEFAULT_OPTIONS = MapOptions()
"""The options of a workflow called without any (all cores, the default
memory budget, registration on, the exact fit)."""
