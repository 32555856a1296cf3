"""The check that a B1 map is relative (actual/nominal flip angle).

:class:`B1Sample` keeps a sample of a B1 map's values from the runs a
stream hands over and refuses a median no relative field has (a map in
percent, a flip angle in degrees); for ``align.onto_grid`` and the
three-scan chain's first pass.
"""

import numpy as np

from tavni.mt_map.io import volumes
from tavni.mt_map.workflows.summary import SAMPLE

__all__ = ["B1Sample", "check_relative_b1"]


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


def check_relative_b1(probe, budget):
    """``B1Sample.check`` of a B1 map streamed on its own.

    Parameters
    ----------
    probe : volumes.Probe
        The B1 map, as read.
    budget : int or None
        Bytes the stream may use; None: a share of the available memory.

    Raises
    ------
    volumes.VolumeError
        As ``B1Sample.check``.
    """
    from tavni.mt_map.io import streaming

    sample = B1Sample(probe)
    streaming.run({"b1": (probe.path, probe.what)}, {}, sample, shape=probe.shape, budget=budget)
    sample.check()
