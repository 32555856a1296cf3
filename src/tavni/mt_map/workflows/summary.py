"""What a workflow says about its voxels afterwards.

Counts per status, the share of the fitted voxels solved, and, when few were
solved, what in the inputs looks wrong. Messages for a person go to the
``tavni.mt_map`` logger: warnings at WARNING, the summary line and its notes
at INFO. The command line shows them on stderr; a Python caller sees them
where its logging configuration sends them (nowhere by default).
"""

import logging
from dataclasses import dataclass, field

import numpy as np

from tavni.mt_map import protocol
from tavni.mt_map import status as statuses

__all__ = [
    "log",
    "SOLVED_SHARE_WARNING",
    "R1_LOOKS_LIKE_T1_MS",
    "SAMPLE",
    "warn",
    "Summary",
    "summarise",
    "StatusCounts",
    "diagnose",
    "add_warning",
    "b1_cause",
]

log = logging.getLogger("tavni.mt_map")
"""The logger of every message for a person (``tavni.mt_map``)."""

SOLVED_SHARE_WARNING = 0.5
"""Below this share of the fitted voxels solved, the summary warns."""
R1_LOOKS_LIKE_T1_MS = 20.0
"""Median R1 above this (1/s) is no tissue at any field strength: T1 in ms."""
SAMPLE = 1 << 16
"""At most this many fitted voxels of a map are kept for the diagnosis's
medians and the uncertainty's quartiles."""


def warn(message):
    """Issues one warning line for a person (logger ``tavni.mt_map``).

    Parameters
    ----------
    message : str
        One line.
    """
    log.warning(message)


@dataclass
class Summary:
    """How the voxels of a map came out: counts per status name.

    Attributes
    ----------
    counts : dict of str to int
        Voxels per status name (``status.FRACTION`` or ``status.R1``).
    warnings : list of str
        The workflow's warnings, one line each, as logged.
    notes : list of str
        Remarks logged after the summary line (the motion between the scans,
        resampled field maps, noise levels, the sd of f).
    motion : dict of str to preprocess.registration.Motion
        The estimated motion of each registered scan, by image name.
    echoes : dict or None
        For multi-echo scans: ``EchoCombination``, ``EchoTimes`` (s, per
        scan) and the echo fit's ``R2starStatus`` counts (JSON-able).
    cause : str or None
        When few voxels were solved, the likely cause, as the warning
        names it (for the line of a run that fails on it).
    """

    counts: dict = field(default_factory=dict)
    warnings: list = field(default_factory=list)  # one line each, as printed
    notes: list = field(default_factory=list)  # remarks printed after the counts
    motion: dict = field(default_factory=dict)
    echoes: dict | None = None
    cause: str | None = None

    @property
    def total(self):
        """Voxels counted."""
        return sum(self.counts.values())

    @property
    def fitted(self):
        """Voxels the solver searched: neither masked nor invalid."""
        return self.total - statuses.not_fitted(self.counts)

    @property
    def solved_share(self):
        """Share of the fitted voxels solved (0 when none could be fitted)."""
        return statuses.solved(self.counts) / self.fitted if self.fitted else 0.0

    def line(self, name):
        """The summary line: voxels and the share of each status.

        Parameters
        ----------
        name : str or path-like
            The map, at the start of the line.

        Returns
        -------
        str
        """
        total = max(self.total, 1)
        parts = [
            f"{count} {label} ({100 * count / total:.1f} %)" for label, count in self.counts.items()
        ]
        return f"{name}: {self.total} voxels: " + ", ".join(parts)


def summarise(status, table=statuses.FRACTION):
    """The Summary of a whole status map.

    Parameters
    ----------
    status : numpy.ndarray of uint8
        Status codes.
    table : tuple of status.Status
        ``status.FRACTION`` (default) or ``status.R1``.

    Returns
    -------
    Summary
    """
    return Summary(
        {
            name: int(np.count_nonzero(status == code))
            for code, name, _ in statuses.status_table(table)
        }
    )


class StatusCounts:
    """Counts of the per-voxel statuses of runs, for the summary.

    Parameters
    ----------
    table : tuple of status.Status
        ``status.FRACTION`` (default) or ``status.R1``.
    """

    def __init__(self, table=statuses.FRACTION):
        self.table = statuses.status_table(table)
        self.counts = np.zeros(256, dtype=np.int64)
        self.codes = [code for code, _, _ in self.table]

    def count(self, status):
        """Adds a run's statuses to the counts.

        Parameters
        ----------
        status : numpy.ndarray of uint8
        """
        # A comparison per code: bincount would first widen every status
        # to a 64-bit index, several times slower on a run of millions.
        for code in self.codes:
            self.counts[code] += np.count_nonzero(status == code)

    def summary(self):
        """The Summary of every run counted.

        Returns
        -------
        Summary
        """
        return Summary({name: int(self.counts[code]) for code, name, _ in self.table})


def b1_cause(missing, among, path):
    """The B1 map named as the cause of few voxels solved, or None.

    Parameters
    ----------
    missing : int
        Voxels of ``among`` whose B1 is zero, negative or NaN.
    among : int
        Voxels with a measurement besides B1 (signal, in the mask).
    path : path-like or None
        The B1 map, for the message.

    Returns
    -------
    str or None
        One phrase when B1 is missing in at least ``SOLVED_SHARE_WARNING``
        of ``among``: such voxels have no flip angle, hence no R1 and no
        fraction.
    """
    if path is None or not among or missing < SOLVED_SHARE_WARNING * among:
        return None
    return (
        f"the B1 map '{path}' is zero, negative or NaN in {100 * missing / among:.1f} % "
        f"of the {among} voxels with signal: is it the right map, in relative units "
        "(actual/nominal flip angle)?"
    )


def diagnose(summary, ratio, R1, given, images, b1_missing=(0, 0)):
    """Warns, naming what in the inputs looks wrong, when few voxels were solved.

    Parameters
    ----------
    summary : Summary
        Of the fraction map.
    ratio, R1 : numpy.ndarray
        (A sample of) the fitted voxels' measured ratio and R1 (1/s).
    given : dict of str to protocol.Given
        The parameters; their TR is checked for milliseconds.
    images : dict
        Image name to path, for the messages.
    b1_missing : (int, int)
        Voxels with a reference and R1 (in the mask) whose B1 is zero,
        negative or NaN, and all voxels with a reference and R1.
    """
    b1 = b1_cause(*b1_missing, images.get("b1"))
    if summary.fitted == 0:
        summary.cause = b1 or "every voxel is masked or has invalid input"
        warn(
            "no voxel could be fitted: every voxel is masked or has invalid input"
            + (f"; {b1}" if b1 else " (reference <= 0, R1 <= 0 or NaN)")
        )
        return
    if b1 is not None:
        # Those voxels are invalid input; the others may well solve.
        warn(b1[0].upper() + b1[1:])
    if summary.solved_share >= SOLVED_SHARE_WARNING:
        return
    causes = []
    median_R1 = float(np.median(R1))
    if median_R1 > R1_LOOKS_LIKE_T1_MS:
        causes.append(
            f"the R1 map '{images['r1']}' has a median of {median_R1:g} /s, "
            "typical of T1 in milliseconds; give R1 in 1/s"
        )
    median_ratio = float(np.median(ratio))
    if median_ratio > 1.0:
        causes.append(
            f"the median MT/reference ratio is {median_ratio:g}, above 1: are the "
            "MT and reference images swapped?"
        )
    TR = given["TR"]
    if TR.value > protocol.PARAMETERS["TR"].typical[1]:
        causes.append(f"{TR.describe('s')} looks like milliseconds")
    if not causes:
        causes.append("check the sequence parameters and their units")
    summary.cause = "; ".join(causes)
    warn(
        f"only {100 * summary.solved_share:.1f} % of the {summary.fitted} fitted voxels "
        f"were solved; " + "; ".join(causes)
    )


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
