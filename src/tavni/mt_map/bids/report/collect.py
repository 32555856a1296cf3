"""What the participant report and the group level need, gathered while the
chain streams the scans through: nothing is read back afterwards. For the
participant level, which makes the collector; the report's ``statistics``
and ``render`` read what it kept.

A ``Collector`` is handed to the chain as its observer. After each run of
voxels it keeps

- a strided sample of every input and map in the candidate brain (the mask's
  voxels, or every voxel where there is none), at most about ``SAMPLE``
  values each, all at the same voxels: medians, quartiles, colour ranges,
  histograms and the tissue classes come from it;
- the three planes through a centre known before the pass (the brain mask's
  centre): the axial plane is a contiguous stretch of the volume's voxels,
  copied when its run passes; the sagittal and coronal planes are columns
  of every run;
- the mask's voxel count.

``Collected`` is what it holds after the pass; ``statistics.group_statistics``
makes from it the small JSON the group level reads instead of the maps.
"""

import math
from dataclasses import dataclass, field

import numpy as np

from tavni.mt_map.io.volumes import in_mask
from tavni.mt_map.scans import ROLES
from tavni.mt_map.workflows.summary import SAMPLE

__all__ = [
    "INPUTS",
    "Collector",
    "Collected",
    "mask_centre",
]

INPUTS = ROLES + ("b1", "b0", "mask")
"""The input images whose planes and samples the report shows (the
multi-echo scans' first echoes)."""


def mask_centre(
    mask: np.ndarray,
    affine: np.ndarray | None = None,
    shape: tuple | None = None,
    grid_affine: np.ndarray | None = None,
) -> list[int]:
    """The centre of a brain mask's voxels, on the maps' grid.

    Parameters
    ----------
    mask : numpy.ndarray
        Nonzero in the brain (3-D).
    affine : numpy.ndarray, optional
        The mask's voxel-to-world matrix.
    shape : tuple of int, optional
        The maps' grid; the mask's own shape when None.
    grid_affine : numpy.ndarray, optional
        The maps' voxel-to-world matrix; with ``affine``, the centre is
        carried through world coordinates when the grids differ.

    Returns
    -------
    list of int
        Voxel indices on the maps' grid (the grid's middle for an empty mask).
    """
    inside = np.asarray(mask) != 0
    if inside.ndim == 4 and inside.shape[3] == 1:
        inside = inside[..., 0]
    shape = tuple(shape or inside.shape)
    total = int(np.count_nonzero(inside))
    if not total:
        return [n // 2 for n in shape]
    # The centre of mass from each axis's projection: three sums over the
    # volume rather than the indices of every voxel.
    centre = []
    for axis in range(3):
        others = tuple(a for a in range(3) if a != axis)
        counts = inside.sum(axis=others, dtype=np.int64)
        centre.append(float(np.dot(np.arange(counts.size), counts)) / total)
    if affine is not None and grid_affine is not None and not np.allclose(affine, grid_affine):
        world = np.asarray(affine, float) @ np.append(centre, 1.0)
        centre = list((np.linalg.inv(np.asarray(grid_affine, float)) @ world)[:3])
    return [int(min(max(round(c), 0), n - 1)) for c, n in zip(centre, shape)]


@dataclass
class Collected:
    """What a collector kept of one pass.

    Attributes
    ----------
    shape : tuple of int
        The maps' grid.
    middle : list of int
        The voxel the planes go through.
    planes : dict of str to list of numpy.ndarray
        Per image or map, its sagittal, coronal and axial planes through
        ``middle``, oriented for display (rows: the second index; NaN, or 0
        for the status, where no run passed).
    samples : dict of str to numpy.ndarray
        Per image or map, its values at the same sampled voxels.
    stride : int
        One voxel in ``stride`` of the candidates was sampled.
    masked : bool
        The candidates were a brain mask's voxels; else every voxel.
    mask_voxels : int
        Voxels in the mask (on the maps' grid), 0 without one.
    """

    shape: tuple
    middle: list
    planes: dict = field(default_factory=dict)
    samples: dict = field(default_factory=dict)
    stride: int = 1
    masked: bool = False
    mask_voxels: int = 0


class Collector:
    """The chain's observer for the report (see ``fraction_from_scans``).

    Parameters
    ----------
    shape : tuple of int
        The maps' grid (the MT-weighted scan's).
    middle : sequence of int
        The voxel the three planes go through.
    maps : sequence of str
        The maps to keep planes and samples of ("status" among them).
    candidates : int, optional
        About how many voxels the sample is drawn from (the mask's voxels);
        every voxel of the grid when None. Sets the stride so that about
        ``sample`` values are kept.
    sample : int
        The sample's budget per image.
    """

    def __init__(self, shape, middle, maps, candidates=None, sample=SAMPLE):
        self.shape = tuple(int(n) for n in shape[:3])
        self.middle = [int(min(max(c, 0), n - 1)) for c, n in zip(middle, self.shape)]
        self.maps = tuple(maps)
        total = candidates if candidates else math.prod(self.shape)
        self.stride = max(1, int(total) // sample)
        self.seen = 0
        self.mask_voxels = 0
        self.masked = False
        self.planes = {}
        self.parts = {}
        self.picked = {}  # run start -> the voxels of the run in the sample

    def _planes_of(self, name, dtype):
        if name not in self.planes:
            nx, ny, nz = self.shape
            fill = 0 if np.issubdtype(dtype, np.integer) else np.nan
            self.planes[name] = (
                np.full((ny, nz), fill, dtype),
                np.full((nx, nz), fill, dtype),
                np.full(nx * ny, fill, dtype),
            )
        return self.planes[name]

    def _keep_planes(self, name, start, run):
        """Copies the run's voxels on the three planes (Fortran order:
        voxel (x, y, z) at x + nx * (y + ny * z)).
        """
        nx, ny, _ = self.shape
        x0, y0, z0 = self.middle
        end = start + run.size
        dtype = np.uint8 if name == "status" else np.float32
        sagittal, coronal, axial = self._planes_of(name, dtype)
        plane = nx * ny
        low, high = max(start, z0 * plane), min(end, (z0 + 1) * plane)
        if low < high:
            axial[low - z0 * plane : high - z0 * plane] = run[low - start : high - start]
        # Every nx-th voxel from the first with x = x0.
        index = np.arange(start + (x0 - start) % nx, end, nx)
        if index.size:
            sagittal[(index // nx) % ny, index // plane] = run[index - start]
        # Rows of nx voxels with y = y0: one per plane the run touches.
        first = start // nx
        for row in range(first + (y0 - first) % ny, (end - 1) // nx + 1, ny):
            low, high = max(start, row * nx), min(end, (row + 1) * nx)
            coronal[low - row * nx : high - row * nx, row // ny] = run[low - start : high - start]

    def __call__(self, start, values, maps):
        """Keeps the planes and the sample of one run.

        Parameters
        ----------
        start : int
            The run's first voxel (Fortran order).
        values : dict of str to numpy.ndarray
            The run of each input image by name; empty for a map made after
            its run (the sd map, see ``fraction_from_scans``).
        maps : dict of str to numpy.ndarray
            The run of each map by name.
        """
        runs = {name: values[name] for name in INPUTS if name in values}
        runs.update((name, maps[name]) for name in self.maps if name in maps)
        for name, run in runs.items():
            self._keep_planes(name, start, run)
        if "mtw" not in values:
            # A map made after its run (the sd, once the noise levels are
            # known): sampled where the run's other maps were.
            for name, run in runs.items():
                self.parts.setdefault(name, []).append(run[self.picked[start]].astype(np.float32))
            return
        size = len(values["mtw"])
        if "mask" in values:
            self.masked = True
            candidates = np.flatnonzero(in_mask(values["mask"]))
            self.mask_voxels += candidates.size
            picked = candidates[(-self.seen) % self.stride :: self.stride]
            self.seen += candidates.size
        else:
            picked = np.arange((-self.seen) % self.stride, size, self.stride)
            self.seen += size
        self.picked[start] = picked
        for name, run in runs.items():
            if name != "mask":
                kept = run[picked]
                self.parts.setdefault(name, []).append(
                    kept.astype(np.uint8 if name == "status" else np.float32)
                )

    def finish(self):
        """What the pass left.

        Returns
        -------
        Collected
        """
        planes = {
            name: [sagittal.T, coronal.T, axial.reshape(self.shape[:2], order="F").T]
            for name, (sagittal, coronal, axial) in self.planes.items()
        }
        samples = {name: np.concatenate(parts) for name, parts in self.parts.items()}
        return Collected(
            self.shape,
            self.middle,
            planes,
            samples,
            self.stride,
            self.masked,
            self.mask_voxels,
        )
