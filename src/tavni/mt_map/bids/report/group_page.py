"""The group's HTML report, for the group level (``group_report``): the
distribution of the per-participant medians with the outliers named (the
figure drawn by ``render``), and one row per participant with its flags.
"""

import html
import math

from tavni.mt_map.bids.derivatives import atomic_write
from tavni.mt_map.bids.report.page import page, rows_table
from tavni.mt_map.bids.report.render import embedded, group_figure
from tavni.mt_map.bids.report.statistics import cohort_outliers, row_name
from tavni.mt_map.outputs import GROUP_MAPS

__all__ = ["LOW_SOLVED_SHARE", "group_report"]


LOW_SOLVED_SHARE = 0.5
"""Below this share of the fitted voxels solved, the group report flags a
participant: the fit failed over much of the brain, which a wrong unit or
parameter explains more often than the tissue."""


def _flags(row, named):
    flags = []
    share = row.get("share_solved", math.nan)
    if isinstance(share, float) and not math.isnan(share) and share < LOW_SOLVED_SHARE:
        flags.append(f"solved {100 * share:.0f} % of the fitted")
    elif isinstance(share, float) and math.isnan(share):
        flags.append("no voxel fitted")
    warnings = row.get("warnings", "n/a")
    if warnings and warnings != "n/a":
        flags.append(f"{len(str(warnings).split(' | '))} warning(s)")
    name = row_name(row)
    flags += [f"outlier in {suffix}" for suffix, found in named.items() if name in found]
    return "; ".join(flags) or "none"


def group_report(path, rows: list) -> None:
    """Writes the group report: the distribution of each map's
    per-participant medians with the outliers named, and a row per
    participant with its flags.

    Parameters
    ----------
    path : path-like
    rows : list of dict
        The rows of ``group.summarise_group``.
    """
    named = cohort_outliers(rows)
    figure, alt = group_figure(rows, named)
    columns = ["share_solved"] + [f"{kind.suffix}_median" for kind in GROUP_MAPS] + ["warnings"]

    def cell(value):
        if isinstance(value, float):
            return "n/a" if math.isnan(value) else f"{value:.4g}"
        return value

    # One row per participant (and session, acquisition, run): its numbers
    # and what deserves a look, in words.
    table = rows_table(
        ["participant", "flags"] + [c.replace("_", " ") for c in columns],
        [
            [row_name(row), _flags(row, named)] + [cell(row.get(c, "n/a")) for c in columns]
            for row in rows
        ],
    )
    flagged = sorted({n for found in named.values() for n in found})
    outlier_text = (
        "<ul>"
        + "".join(
            f'<li class="flag">{html.escape(suffix)}: {html.escape(", ".join(found))}</li>'
            for suffix, found in named.items()
            if found
        )
        + "</ul>"
        if flagged
        else '<p class="muted">none (a median beyond 1.5 interquartile ranges of the cohort\'s '
        "quartiles; needs four participants or more)</p>"
    )
    body = (
        f"<p>{len(rows)} participant/session rows.</p>"
        "<h2>Per-participant medians in the fitted region</h2>"
        + embedded(figure, alt)
        + "<h2>Outliers</h2>"
        + outlier_text
        + "<h2>Summary</h2>"
        + table
    )
    # Replaced in one step, never written through: what stands at path (a
    # link a user put there, say) is not followed.
    atomic_write(path, page("Group: MT and relaxometry maps", body))
