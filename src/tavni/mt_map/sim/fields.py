"""The phantom's transmit and static fields, and the B1 sequence's view of them.

The relative transmit field B1 (highest at the head's centre, as the
standing wave at 3 T makes it) and the static field offset B0 (bumps near
the air-filled cavities and a residual linear shim) at world positions,
both shaped by the participant (``tissues.Participant``); their maps on
the scans' grid as the phantom stores them, and the B1 map on the B1
sequence's own grid with that sequence's images (``acquisition``).

Used by :func:`tavni.mt_map.sim.phantom.make`.
"""

from collections.abc import Sequence

import numpy as np

from tavni.mt_map.sim import acquisition
from tavni.mt_map.sim import anatomy as anatomies
from tavni.mt_map.sim.tissues import TYPICAL, Participant, Tissue, tissue_parameters

__all__ = ["transmit_field", "static_field", "field_maps", "b1_on_own_grid", "b1_scan_volumes"]


def transmit_field(x, y, z, participant=TYPICAL):
    """Relative B1 (actual / nominal flip angle) at world positions.

    Highest at the head's centre, as the standing wave at 3 T makes it.

    Parameters
    ----------
    x, y, z : numpy.ndarray
        World coordinates, mm, broadcasting together.
    participant : Participant
        The field's shape.

    Returns
    -------
    numpy.ndarray
    """
    p = participant
    r2 = sum(((c - c0) / w) ** 2 for c, c0, w in zip((x, y, z), p.b1_centre, p.b1_widths))
    return p.b1_floor + (p.b1_centre_value - p.b1_floor) * np.exp(-r2)


def static_field(x, y, z, participant=TYPICAL):
    """Static field offset B0 at world positions.

    Parameters
    ----------
    x, y, z : numpy.ndarray
        World coordinates, mm, broadcasting together.
    participant : Participant
        The bumps and the linear term.

    Returns
    -------
    numpy.ndarray
        B0 in Hz.
    """
    p = participant
    b0 = sum(g * c for g, c in zip(p.b0_gradient, (x, y, z)))
    for centre, peak, width in p.b0_sources:
        r2 = sum((c - c0) ** 2 for c, c0 in zip((x, y, z), centre))
        b0 = b0 + peak * np.exp(-r2 / (2.0 * width**2))
    return b0


def field_maps(
    affine: np.ndarray,
    grid: tuple,
    participant: Participant = TYPICAL,
    b1_variation: bool = True,
    b0_variation: bool = True,
) -> tuple[np.ndarray, np.ndarray]:
    """The B1 and B0 maps on the scans' grid, as the phantom stores them.

    Parameters
    ----------
    affine : numpy.ndarray
        The grid's 4 x 4 affine (voxel indices to world mm).
    grid : tuple of int
        Its shape.
    participant : Participant
        The fields' shapes.
    b1_variation, b0_variation : bool
        False gives a uniform B1 of 1 or a B0 of 0 Hz.

    Returns
    -------
    b1, b0 (Hz) : numpy.ndarray
        float64 holding single-precision values: the maps are stored in
        single precision and the scans are made from the stored values, so
        that the chain reading them back sees the same field.
    """
    x, y, z = anatomies.world_coordinates(affine, grid)
    b1 = transmit_field(x, y, z, participant) if b1_variation else np.ones(grid)
    b0 = static_field(x, y, z, participant) if b0_variation else np.zeros(grid)
    b1 = np.broadcast_to(b1, grid).astype(np.float32).astype(np.float64)
    b0 = np.broadcast_to(b0, grid).astype(np.float32).astype(np.float64)
    return b1, b0


def b1_on_own_grid(
    affine: np.ndarray,
    grid: tuple,
    voxel_size: float,
    participant: Participant = TYPICAL,
    b1_variation: bool = True,
) -> tuple[np.ndarray, tuple, np.ndarray]:
    """The B1 map on the B1 sequence's own grid (``acquisition.b1_grid``),
    sampled from the field at its voxel centres.

    Parameters
    ----------
    affine : numpy.ndarray
        The scans' 4 x 4 affine.
    grid : tuple of int
        The scans' shape.
    voxel_size : float
        The B1 grid's voxel edge, mm.
    participant : Participant
    b1_variation : bool
        False gives a uniform B1 of 1.

    Returns
    -------
    affine : numpy.ndarray
    shape : tuple of int
    b1 : numpy.ndarray
        float32.
    """
    b1_affine, b1_shape = acquisition.b1_grid(affine, grid, voxel_size)
    x, y, z = anatomies.world_coordinates(b1_affine, b1_shape)
    field = transmit_field(x, y, z, participant) if b1_variation else 1.0
    return b1_affine, b1_shape, np.broadcast_to(field, b1_shape).astype(np.float32)


def b1_scan_volumes(
    kind: str,
    b1: np.ndarray,
    probabilities: np.ndarray,
    tissues: Sequence[Tissue],
    grids: tuple | None,
    snr: float | None,
    seed: int,
) -> dict:
    """The images of a B1 mapping sequence (``acquisition.b1_scan_images``).

    Parameters
    ----------
    kind : {"dam", "afi", "tfl"}
    b1 : numpy.ndarray
        The relative B1 map on the B1 grid.
    probabilities : numpy.ndarray
        The tissue probabilities on the scans' grid.
    tissues : sequence of Tissue
        In the order of ``probabilities``.
    grids : (affine, B1 affine, B1 shape) or None
        The scans' and the B1 grid, where they differ (the probabilities
        are resampled onto the B1 grid); None: one grid.
    snr : float or None
        As the phantom's; None: no noise.
    seed : int
        The phantom's seed.

    Returns
    -------
    dict
        File stem to (image, sidecar fields).
    """
    on_grid = (
        np.stack([acquisition.resample(m, *grids) for m in probabilities])
        if grids is not None
        else probabilities
    )
    _, b1_R1, b1_M0 = tissue_parameters(on_grid, tissues)
    return acquisition.b1_scan_images(
        kind,
        b1_M0,
        b1_R1,
        b1.astype(np.float64),
        snr,
        np.random.default_rng([seed, 0xB1]),
        on_grid[0] > 0.9,
    )
