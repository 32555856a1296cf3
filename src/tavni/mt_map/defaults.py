"""Defaults that the command line, the BIDS App, the workflows and the docs share.

Each default is written here once and read wherever it applies; the
documentation quotes these names. Light on purpose (no NumPy), so that
``mt-map --help`` can read it. The tissue constants of the two-pool model
live with the parameter groups (``protocol.TISSUE_DEFAULTS``).
"""

__all__ = ["B1_SCANS", "DASK_TIMEOUT", "ECHO_COMBINATION", "ECHO_SPACING", "FAIL_BELOW"]

DASK_TIMEOUT = 300.0
"""Seconds a run on a Dask cluster waits while no worker is alive."""

FAIL_BELOW = 0.5
"""The BIDS App fails a participant whose share of fitted voxels solved is
below this (its maps kept for a look)."""

ECHO_COMBINATION = "te0"
"""How the echoes of a multi-echo scan become one image: extrapolated to
TE = 0 with one R2* shared by the contrasts."""

ECHO_SPACING = 0.0023
"""Seconds between the echoes of the phantom's multi-echo readout: echo k
(from 1) at k * ECHO_SPACING."""

B1_SCANS = ("map", "dam", "afi", "tfl")
"""What the phantom's B1 sequence hands over, the default first: a relative
map, or the images of the double-angle method, of actual flip-angle imaging
or of a flip-angle map."""
