"""HTML reports of the BIDS App, for a person to look at.

``participant_report`` writes one self-contained page per participant
(every image embedded as a base64 PNG): per collection, the fraction, R1
and MTsat maps over the anatomy in three planes with the brain mask's
outline and where the mask came from, their histograms in the
fitted region, the status breakdown, the parameters with where each came
from, the input files and any warnings. ``group_report`` shows the
distribution of the per-participant medians. Figures are drawn with
matplotlib's Agg backend, so no display is needed.
"""

import base64
import html
import io
import math

import numpy as np

from tavni.mt_map.outputs import BIDS_MAPS, MAPS

__all__ = [
    "SHOWN",
    "display_range",
    "STYLE",
    "pyplot",
    "embedded",
    "page",
    "centre",
    "planes",
    "participant_report",
    "group_report",
]

# The maps shown, with a display range typical of brain tissue, widened
# where the map goes beyond it.
SHOWN = tuple(
    (row.key, row.label, "" if row.unit == "1" else row.unit, *row.display)
    for row in MAPS
    if row.display is not None
)


def display_range(values, typical):
    """The range a map is shown in.

    Parameters
    ----------
    values : numpy.ndarray
        The map's values.
    typical : (float, float)
        The range typical of brain tissue, in the map's unit.

    Returns
    -------
    (float, float)
        typical, its top raised to the map's 99.5th percentile where higher.
    """
    finite = values[np.isfinite(values)]
    top = float(np.percentile(finite, 99.5)) if finite.size else typical[1]
    return typical[0], max(typical[1], top)


STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 1100px; color: #222; }
h1 { border-bottom: 2px solid #446; } h2 { color: #446; margin-top: 1.5em; }
table { border-collapse: collapse; margin: 0.5em 0; }
td, th { border: 1px solid #bbb; padding: 0.2em 0.6em; text-align: left; font-size: 0.9em;
         max-width: 30em; overflow-wrap: anywhere; }
th { background: #eef; } img { max-width: 100%; display: block; margin: 0.5em 0; }
.warning { color: #a40; } .muted { color: #777; font-size: 0.85em; }
"""


def pyplot():
    """matplotlib.pyplot on the Agg backend, which needs no display."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def embedded(figure):
    """The figure as an <img> with its PNG inline; closes the figure."""
    plt = pyplot()
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=80)
    plt.close(figure)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="figure" src="data:image/png;base64,{data}">'


def page(title, body):
    """A self-contained HTML page.

    Parameters
    ----------
    title : str
        Plain text, escaped here.
    body : str
        HTML.

    Returns
    -------
    str
    """
    return (
        f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        f"<title>{html.escape(title)}</title><style>{STYLE}</style></head>"
        f"<body><h1>{html.escape(title)}</h1>\n{body}\n</body></html>\n"
    )


def _rows_table(header, rows):
    head = "".join(f"<th>{html.escape(str(h))}</th>" for h in header)
    body = "".join(
        "<tr>" + "".join(f"<td>{html.escape(str(c))}</td>" for c in row) + "</tr>" for row in rows
    )
    return f"<table><tr>{head}</tr>{body}</table>"


def centre(region):
    """Voxel indices through the middle of the region (of the volume if empty)."""
    if not region.any():
        return [n // 2 for n in region.shape]
    return [int(round(np.mean(axis))) for axis in np.nonzero(region)]


def planes(volume, middle):
    """Sagittal, coronal and axial slices through middle, oriented for display."""
    x, y, z = middle
    return [volume[x, :, :].T, volume[:, y, :].T, volume[:, :, z].T]


def _maps_figure(anatomy, images, region, mask=None):
    plt = pyplot()
    middle = centre(region)
    outlines = [None] * 3 if mask is None else planes(mask.astype(np.float32), middle)
    # A fixed layout: constrained layout costs more than drawing the images.
    figure, axes = plt.subplots(
        len(SHOWN),
        3,
        figsize=(10, 3 * len(SHOWN)),
        squeeze=False,
        gridspec_kw=dict(left=0.01, right=0.9, bottom=0.02, top=0.95, wspace=0.02, hspace=0.08),
    )
    finite = anatomy[np.isfinite(anatomy)]
    top = float(np.percentile(finite, 99)) if finite.size else 1.0
    for row, (key, label, units, typical, colours) in enumerate(SHOWN):
        shown = np.where(region & np.isfinite(images[key]), images[key], np.nan)
        low, high = display_range(shown, typical)
        for column, (background, overlay) in enumerate(
            zip(planes(anatomy, middle), planes(shown, middle))
        ):
            axis = axes[row][column]
            axis.imshow(background, origin="lower", cmap="gray", vmin=0, vmax=top or 1.0)
            drawn = axis.imshow(
                overlay, origin="lower", cmap=colours, vmin=low, vmax=high, alpha=0.85
            )
            if outlines[column] is not None and outlines[column].any():
                # The brain mask's edge, where the fit was confined to.
                axis.contour(outlines[column], levels=[0.5], colors="#0cf", linewidths=0.8)
            axis.set_axis_off()
            if row == 0:
                axis.set_title(("sagittal", "coronal", "axial")[column])
        figure.colorbar(
            drawn,
            ax=axes[row].tolist(),
            shrink=0.8,
            fraction=0.03,
            pad=0.01,
            label=f"{label} ({units})" if units else label,
        )
    return figure


def _histograms_figure(images, region):
    plt = pyplot()
    figure, axes = plt.subplots(
        1,
        len(SHOWN),
        figsize=(10, 2.8),
        gridspec_kw=dict(left=0.07, right=0.98, bottom=0.2, top=0.95, wspace=0.3),
    )
    for axis, (key, label, units, typical, _) in zip(axes, SHOWN):
        values = images[key][region]
        values = values[np.isfinite(values)]
        low, high = display_range(values, typical)
        if values.size:
            axis.hist(values, bins=60, range=(low, high), color="#446")
            axis.axvline(float(np.median(values)), color="#a40", label="median")
            axis.legend(fontsize=8)
        axis.set_xlabel(f"{label} ({units})" if units else label)
        axis.set_ylabel("voxels")
    return figure


def _collection_section(result):
    from tavni.mt_map.bids.derivatives import read_image
    from tavni.mt_map.status import fitted, status_table

    outputs = result["outputs"]
    status = read_image(outputs["status"], "status map").data
    region = fitted(status)
    images = {key: read_image(outputs[key], key).data for key, *_ in SHOWN}
    anatomy = read_image(result["anatomy"], "anatomy").data
    mask = None
    if result.get("mask"):
        mask = np.nan_to_num(read_image(result["mask"], "brain mask").data) != 0
        if mask.shape != region.shape:
            mask = None  # not on the maps' grid: described, not drawn
    entities = {"session": result["session"], **result["entities"]}
    title = ", ".join(f"{k} {v}" for k, v in entities.items() if v) or "Maps"
    parts = [
        f"<h2>{html.escape(title)}</h2>",
        "<h3>Maps over the MT-weighted scan</h3>",
        _mask_line(result, mask),
        embedded(_maps_figure(anatomy, images, region, mask)),
        "<h3>Histograms in the fitted region</h3>",
        embedded(_histograms_figure(images, region)),
    ]
    codes = {code: name for code, name, _ in status_table()}
    total = status.size
    breakdown = [
        (codes.get(int(code), str(int(code))), int(count), f"{100.0 * count / total:.1f} %")
        for code, count in zip(*np.unique(status, return_counts=True))
    ]
    parts += ["<h3>Status of the fit</h3>", _rows_table(("status", "voxels", "share"), breakdown)]
    parameters = [
        (key, p["Value"], p["Units"], p["Source"]) for key, p in result["parameters"].items()
    ]
    parts += [
        "<h3>Parameters</h3>",
        _rows_table(("parameter", "value", "units", "source"), parameters),
        "<h3>Inputs</h3>",
        "<ul>"
        + "".join(f"<li>{html.escape(s)}</li>" for s in result["sources"])
        + "".join(f"<li>{html.escape(n)}</li>" for n in result.get("notes", ()))
        + "</ul>",
    ]
    warnings = result["warnings"]
    parts.append(
        "<h3>Warnings</h3>"
        + (
            "<ul>"
            + "".join(f'<li class="warning">{html.escape(w)}</li>' for w in warnings)
            + "</ul>"
            if warnings
            else '<p class="muted">none</p>'
        )
    )
    return "\n".join(parts)


def _mask_line(result, mask):
    """Where the brain mask came from, and its size."""
    origin = (result.get("brain_mask") or {}).get("Origin", "none")
    text = f"Brain mask: {origin}"
    if mask is not None:
        text += f"; {int(mask.sum())} voxels, outlined in cyan"
    return f"<p>{html.escape(text)}</p>"


def participant_report(path, participant, results):
    """Writes the participant's HTML report.

    Parameters
    ----------
    path : path-like
    participant : str
        The label, without ``sub-``.
    results : list of dict
        Per collection, what ``participant.map_collection`` returns (output
        paths, anatomy, parameters, sources, warnings).
    """
    body = "\n".join(_collection_section(result) for result in results)
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(page(f"sub-{participant}: MT and relaxometry maps", body))


def group_report(path, rows):
    """Writes the group report: the distribution of each map's
    per-participant medians, and the summary table.

    Parameters
    ----------
    path : path-like
    rows : list of dict
        The rows of ``group.summarise_group``.
    """
    plt = pyplot()
    figure, axes = plt.subplots(
        1,
        len(BIDS_MAPS),
        figsize=(12, 3.2),
        gridspec_kw=dict(left=0.06, right=0.98, bottom=0.08, top=0.9, wspace=0.45),
    )
    rng = np.random.default_rng(0)
    for axis, kind in zip(axes, BIDS_MAPS):
        medians = np.array([row[f"{kind.suffix}_median"] for row in rows], dtype=float)
        medians = medians[np.isfinite(medians)]
        if medians.size:
            axis.boxplot(
                medians,
                widths=0.5,
                showfliers=False,
                patch_artist=True,
                boxprops=dict(facecolor="#7fa7d9"),
            )
            axis.scatter(
                1 + rng.uniform(-0.12, 0.12, medians.size), medians, color="#a40", s=14, zorder=3
            )
        axis.set_title(kind.suffix)
        axis.set_ylabel("median" if kind.unit == "1" else f"median ({kind.unit})")
        axis.set_xticks([])
    columns = (
        ["participant_id", "session_id", "acq", "run", "share_solved"]
        + [f"{kind.suffix}_median" for kind in BIDS_MAPS]
        + ["warnings"]
    )

    def cell(value):
        if isinstance(value, float):
            return "n/a" if math.isnan(value) else f"{value:.4g}"
        return value

    table = _rows_table(columns, [[cell(row[c]) for c in columns] for row in rows])
    body = (
        f"<p>{len(rows)} participant/session rows.</p>"
        "<h2>Per-participant medians in the fitted region</h2>"
        + embedded(figure)
        + "<h2>Summary</h2>"
        + table
    )
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(page("Group: MT and relaxometry maps", body))
