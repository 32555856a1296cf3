"""The progress of a run of participants: counted as each finishes, and the
table of their outcomes at the end.

For the engines (:func:`tavni.mt_map.bids.engines.run` counts each outcome
an engine yields) and the command line (``mt-map bids`` prints the table).
"""

from collections.abc import Callable, Sequence

from tavni.mt_map.bids.base import Outcome

__all__ = ["Progress", "table"]


class Progress:
    """Counts the finished participants and tells ``on_done`` of each.

    Parameters
    ----------
    total : int
        Participants to come.
    on_done : callable, optional
        ``on_done(outcome, done, total)``.
    """

    def __init__(self, total: int, on_done: Callable | None = None):
        self.total, self.count, self.on_done = total, 0, on_done

    def done(self, outcome: Outcome) -> Outcome:
        """Counts a finished participant and prints its line.

        Parameters
        ----------
        outcome : Outcome

        Returns
        -------
        Outcome
            The same.
        """
        self.count += 1
        if self.on_done is not None:
            self.on_done(outcome, self.count, self.total)
        return outcome


def table(outcomes: Sequence[Outcome]) -> str:
    """The outcomes as a fixed-width table.

    Parameters
    ----------
    outcomes : list of Outcome

    Returns
    -------
    str
        Columns participant, outcome, seconds, solved (the smallest share
        of fitted voxels solved among its collections, "-" where no maps
        were made), warnings (their count) and reason, and a last line
        counting the failures.
    """
    rows = [("participant", "outcome", "seconds", "solved", "warnings", "reason")]
    for o in outcomes:
        solved = "-" if o.solved is None else f"{100 * o.solved:.1f}%"
        rows.append(
            (
                f"sub-{o.participant}",
                o.state,
                f"{o.seconds:.1f}",
                solved,
                str(len(o.warnings)),
                o.reason,
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(5)]
    lines = [
        "  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[5]
        for row in rows
    ]
    failed = sum(o.state == "failed" for o in outcomes)
    lines.append(
        f"{len(outcomes) - failed} of {len(outcomes)} participants without failure"
        + (f"; {failed} failed" if failed else "")
    )
    return "\n".join(line.rstrip() for line in lines)
