"""Per-voxel status codes: what became of each voxel of a fit.

Every map that fits voxel by voxel writes a status code per voxel beside its
values (uint8, ``--status`` on the command line, ``*_dseg`` in the BIDS
derivatives). The codes come from the C++ kernels; their short names and
meanings are defined here once, for the summaries, the help text, the BIDS
App's ``_dseg.tsv`` and the reports.

Three fits have codes: the bound-pool fraction (:data:`FRACTION`), R1 by
variable flip angle (:data:`R1`) and the combination of multi-echo
readouts with one R2* (:data:`ECHOES`). Codes 0 ("solved"), 3 ("invalid
input") and 4 ("masked") mean the same in all; the others are each fit's
own.
"""

from collections.abc import Mapping
from typing import TYPE_CHECKING, NamedTuple

from tavni.mt_map import _maps

if TYPE_CHECKING:
    import numpy as np

__all__ = [
    "ECHOES",
    "ECHO_STATUS_INVALID_INPUT",
    "ECHO_STATUS_NEGATIVE_R2STAR",
    "ECHO_STATUS_SOLVED",
    "ECHO_STATUS_TOO_FEW_ECHOES",
    "FRACTION",
    "R1",
    "R1_STATUS_ABOVE_RANGE",
    "R1_STATUS_BELOW_RANGE",
    "R1_STATUS_INVALID_INPUT",
    "R1_STATUS_MASKED",
    "R1_STATUS_SOLVED",
    "R1_STATUS_TWO_ROOTS",
    "STATUS_ABOVE_BRACKET",
    "STATUS_BELOW_BRACKET",
    "STATUS_INVALID_INPUT",
    "STATUS_MASKED",
    "STATUS_SOLVED",
    "STATUS_TWO_ROOTS",
    "Status",
    "fitted",
    "not_fitted",
    "solved",
    "status_table",
]


class Status(NamedTuple):
    """One status code: its value, short name and meaning."""

    code: int
    name: str
    meaning: str


STATUS_SOLVED = _maps.STATUS_SOLVED
"""f found; a zero within rounding at a bracket end included."""
STATUS_BELOW_BRACKET = _maps.STATUS_BELOW_BRACKET
"""No zero in the bracket; the residual is smaller at its lower end."""
STATUS_ABOVE_BRACKET = _maps.STATUS_ABOVE_BRACKET
"""No zero in the bracket; the residual is smaller at its upper end."""
STATUS_INVALID_INPUT = _maps.STATUS_INVALID_INPUT
"""An input outside the physical domain (see ``fit_fraction``), or a
residual the solver cannot use: not finite where it looked, or rounding
noise whose sign alternates from one value of f to the next."""
STATUS_MASKED = _maps.STATUS_MASKED
"""Excluded by the mask."""
STATUS_TWO_ROOTS = _maps.STATUS_TWO_ROOTS
"""Two zeros in the bracket (the residual turns back, as it can at low
offsets); f is the smaller one."""

R1_STATUS_SOLVED = _maps.R1_STATUS_SOLVED
"""R1 and M0 found."""
R1_STATUS_BELOW_RANGE = _maps.R1_STATUS_BELOW_RANGE
"""The signals ask for an R1 that is not positive (E1 >= 1), or below the
interval searched when the scans' TRs differ."""
R1_STATUS_ABOVE_RANGE = _maps.R1_STATUS_ABOVE_RANGE
"""The signals ask for E1 <= 0, or an R1 above the interval searched."""
R1_STATUS_INVALID_INPUT = _maps.R1_STATUS_INVALID_INPUT
"""A signal not positive and finite, a flip angle outside (0, pi/2), or
scans of one contrast."""
R1_STATUS_MASKED = _maps.R1_STATUS_MASKED
"""Excluded by the mask."""
R1_STATUS_TWO_ROOTS = _maps.R1_STATUS_TWO_ROOTS
"""Scans of differing TRs whose signal ratio turns inside the searched
interval and explains the signals on both sides of the turn; R1 and M0 are
those of the smaller root."""

ECHO_STATUS_SOLVED = _maps.ECHO_STATUS_SOLVED
"""S_c(0) of every contrast, R2* and its standard deviation found."""
ECHO_STATUS_NEGATIVE_R2STAR = _maps.ECHO_STATUS_NEGATIVE_R2STAR
"""The fit gives R2* < 0 (a signal that grows with TE); S_c(0), R2* and its
standard deviation are returned all the same."""
ECHO_STATUS_TOO_FEW_ECHOES = _maps.ECHO_STATUS_TOO_FEW_ECHOES
"""Too few echoes with signal (an echo not positive and finite is left out):
a contrast left with none, fewer than C + 1 in all (C contrasts), or no
spread of echo times within any contrast."""
ECHO_STATUS_INVALID_INPUT = _maps.ECHO_STATUS_INVALID_INPUT
"""Echo times not finite or negative (every voxel of the call)."""

FRACTION = (
    Status(STATUS_SOLVED, "solved", "f found (a zero within rounding at a bracket end included)"),
    Status(
        STATUS_BELOW_BRACKET,
        "below the bracket",
        "no zero in the bracket; it would lie below its lower end (a ratio above that of "
        "no bound pool)",
    ),
    Status(
        STATUS_ABOVE_BRACKET,
        "above the bracket",
        "no zero in the bracket; it would lie above its upper end (more saturation than "
        "the bracket explains)",
    ),
    Status(
        STATUS_INVALID_INPUT,
        "invalid input",
        "an input outside the model's physical domain (background: REF <= 0, R1 <= 0, "
        "NaN), or a residual the solver cannot use",
    ),
    Status(STATUS_MASKED, "masked", "outside the mask, not fitted"),
    Status(STATUS_TWO_ROOTS, "two roots", "two zeros in the bracket; the smaller is returned"),
)
"""The codes of the bound-pool fraction fit."""

R1 = (
    Status(R1_STATUS_SOLVED, "solved", "R1 and M0 found"),
    Status(
        R1_STATUS_BELOW_RANGE,
        "R1 too low",
        "the signals ask for an R1 that is not positive (E1 >= 1) or below the interval searched",
    ),
    Status(
        R1_STATUS_ABOVE_RANGE,
        "R1 too high",
        "the signals ask for E1 <= 0, or an R1 above the interval searched",
    ),
    Status(
        R1_STATUS_INVALID_INPUT,
        "invalid input",
        "a signal not positive and finite, a flip angle outside (0, 90) degrees, or scans "
        "of one contrast",
    ),
    Status(R1_STATUS_MASKED, "masked", "outside the mask, not fitted"),
    Status(
        R1_STATUS_TWO_ROOTS,
        "R1 ambiguous",
        "the signal ratio of scans with differing TRs turns inside the interval searched and "
        "meets the measured one on both sides; the smaller R1 is returned",
    ),
)
"""The codes of the R1 fit by variable flip angle."""

ECHOES = (
    Status(ECHO_STATUS_SOLVED, "solved", "S0 of every contrast and R2* found"),
    Status(
        ECHO_STATUS_NEGATIVE_R2STAR,
        "R2* negative",
        "the signal grows with the echo time (R2* < 0); S0 and R2* are returned all the same",
    ),
    Status(
        ECHO_STATUS_TOO_FEW_ECHOES,
        "too few echoes",
        "too few echoes with a positive, finite signal: a contrast with none, fewer than the "
        "contrasts plus one in all, or no spread of echo times within any contrast",
    ),
    Status(
        ECHO_STATUS_INVALID_INPUT,
        "invalid input",
        "echo times not finite or negative",
    ),
)
"""The codes of the echo combination (S0 per contrast, one R2*)."""

# Names whose voxels were searched but are not "fitted" in the sense of the
# summaries, and those that count as solved; shared by both tables.
_NOT_FITTED = ("masked", "invalid input")
_SOLVED = ("solved", "two roots", "R1 ambiguous")


def status_table(table: tuple[Status, ...] = FRACTION) -> tuple[tuple[int, str, str], ...]:
    """``(code, short name, meaning)`` of every code of a fit, by code.

    Parameters
    ----------
    table : tuple of Status
        :data:`FRACTION` (default), :data:`R1` or :data:`ECHOES`.

    Returns
    -------
    tuple of (int, str, str)
    """
    return tuple(sorted((status.code, status.name, status.meaning) for status in table))


def fitted(status: "np.ndarray") -> "np.ndarray":
    """Voxels the fit searched: neither masked nor without a valid measurement.

    Parameters
    ----------
    status : ndarray of uint8
        Status codes of any fit.

    Returns
    -------
    ndarray of bool
    """
    return (status != STATUS_MASKED) & (status != STATUS_INVALID_INPUT)


def solved(counts: Mapping[str, int]) -> int:
    """How many of the voxels counted by name were solved (two roots included).

    Parameters
    ----------
    counts : dict of str to int
        Voxel counts by status name.

    Returns
    -------
    int
    """
    return sum(counts.get(name, 0) for name in _SOLVED)


def not_fitted(counts: Mapping[str, int]) -> int:
    """How many of the voxels counted by name were masked or invalid.

    Parameters
    ----------
    counts : dict of str to int
        Voxel counts by status name.

    Returns
    -------
    int
    """
    return sum(counts.get(name, 0) for name in _NOT_FITTED)
