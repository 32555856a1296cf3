"""HTML reports of the BIDS App, for a person to look at before trusting the maps.

``participant_report`` writes one self-contained page per participant
(every image embedded as a base64 PNG). Per collection: the share of the
fitted voxels solved with the counts per status; the three scans, the B1
and B0 maps and the brain mask's outline in three planes on the maps' grid
(a B1 map of another head, or one misplaced, shows at a glance); an
alignment check (the MT-weighted scan's tissue edges over the registered
PD- and T1-weighted scans) and the estimated motion; the maps over the
anatomy and their histograms; medians and interquartile ranges per tissue
class; the parameters with where each came from; the inputs with their
digests; the software, command line and date; and the warnings, those of
the chain and those of the report's own checks of the inputs. Every colour
range comes from the data inside the brain mask (robust percentiles), or
inside the voxels with signal where there is no mask, so that background
never sets it.

``group_report`` shows the distribution of the per-participant medians with
the outliers named, and one row per participant with its flags. Figures are
drawn with matplotlib's Agg backend (no display needed) in constrained
layout, so that no label runs into a neighbouring panel.
"""

import base64
import datetime
import hashlib
import html
import io
import math
from pathlib import Path

import numpy as np

from tavni.mt_map.bids.report_stats import signal_threshold
from tavni.mt_map.outputs import GROUP_MAPS, MAPS

__all__ = [
    "SHOWN",
    "PERCENTILES",
    "LOW_SOLVED_SHARE",
    "display_range",
    "signal_region",
    "tissue_classes",
    "digest",
    "outliers",
    "STYLE",
    "new_figure",
    "embedded",
    "page",
    "collection_figures",
    "group_figure",
    "participant_report",
    "group_report",
]

# The maps shown: key, label, unit and colour map.
SHOWN = tuple(
    (row.key, row.label, "" if row.unit == "1" else row.unit, row.display[1])
    for row in MAPS
    if row.display is not None and not row.needs_echoes
)

# The maps of multi-echo scans, shown with the others where a collection has them.
_ECHO_SHOWN = tuple(
    (row.key, row.label, "" if row.unit == "1" else row.unit, row.display[1])
    for row in MAPS
    if row.display is not None and row.needs_echoes
)

# What each echo combination does, for the report's line on the echoes.
_COMBINATIONS = {
    "te0": "each contrast extrapolated to TE = 0 with one R2* fitted over all echoes",
    "mean": "each contrast's echoes averaged (the MT-weighted scan, with fewer and earlier "
    "echoes, comes out brighter than its references: f biased low)",
    "first": "each contrast's first echo (biased where the first echo times differ)",
}

PERCENTILES = (2.0, 98.0)
"""The percentiles of the values inside the brain (or the voxels with
signal) that bound every colour range: a few hot or dead voxels do not
squeeze the scale, and background never sets it."""

LOW_SOLVED_SHARE = 0.5
"""Below this share of the fitted voxels solved, the group report flags a
participant: the fit failed over much of the brain, which a wrong unit or
parameter explains more often than the tissue."""

# Relative B1 inside the brain beyond which the map more likely belongs to
# another head, another position or another unit than to the transmit field
# (a head coil's field stays within about +-30 % of nominal at 3 T).
_B1_PLAUSIBLE = (0.7, 1.3)
_B1_COVERED = 0.95  # share of the brain the B1 map must cover


def display_range(values, region=None, percentiles=PERCENTILES):
    """The range a map or scan is shown in.

    Parameters
    ----------
    values : numpy.ndarray
        The image.
    region : numpy.ndarray of bool, optional
        Where the range is taken from (the brain); all voxels when None.
    percentiles : (float, float)
        Lower and upper percentile of the finite values there.

    Returns
    -------
    (float, float)
        low < high; (0, 1) when the region holds no finite value.
    """
    values = np.asarray(values)
    if region is not None:
        values = values[region]
    finite = values[np.isfinite(values)]
    if not finite.size:
        return 0.0, 1.0
    low, high = (float(v) for v in np.percentile(finite, percentiles))
    if high <= low:
        # A constant region: a range around it, so that it is still drawn.
        spread = abs(low) * 0.05 or 1.0
        low, high = low - spread, high + spread
    return low, high


def signal_region(image):
    """The voxels with signal: above Otsu's threshold of the image's
    finite positive values (the background of a magnitude image is noise
    well below tissue).

    Parameters
    ----------
    image : numpy.ndarray
        A magnitude image (the MT-weighted scan).

    Returns
    -------
    numpy.ndarray of bool
        All False when the image holds no positive value.
    """
    image = np.asarray(image, dtype=float)
    valid = np.isfinite(image) & (image > 0)
    if valid.sum() < 2:
        return valid
    return valid & (image > signal_threshold(image[valid]))


# Tissue classes of the R1 map, from low to high R1 (1/s): CSF's R1 is about
# 0.3, cortical grey matter's 0.6-0.8 and white matter's 1-1.3 at 3 T.
_CLASSES = ("CSF", "grey matter", "white matter")


def tissue_classes(r1, region, iterations=30):
    """An intensity-based segmentation of the R1 map into CSF, grey and
    white matter: 1-D k-means with three centres inside the region.

    R1 separates the three by their water content and myelin: CSF lowest,
    white matter highest. When the classes do not come apart (fewer than
    60 voxels, a class below 2 % of them, or centres closer than a tenth
    of the R1 spread), there is no segmentation and the caller uses the
    region alone.

    Parameters
    ----------
    r1 : numpy.ndarray
        R1, 1/s.
    region : numpy.ndarray of bool
        Where to segment (the fitted brain).
    iterations : int
        Lloyd iterations (1-D k-means converges in a few).

    Returns
    -------
    labels : numpy.ndarray of int8 or None
        0 outside, 1 CSF, 2 grey matter, 3 white matter; None when no
        segmentation was found.
    reason : str
        How the classes were found, or why not.
    """
    inside = region & np.isfinite(r1)
    values = np.asarray(r1, dtype=float)[inside]
    if values.size < 60:
        return None, f"too few voxels ({values.size}) to segment"
    centres = np.percentile(values, [10.0, 50.0, 90.0])
    nearest = np.zeros(values.size, dtype=int)
    for _ in range(iterations):
        nearest = np.argmin(np.abs(values[:, None] - centres[None, :]), axis=1)
        moved = np.array(
            [values[nearest == k].mean() if (nearest == k).any() else centres[k] for k in range(3)]
        )
        if np.allclose(moved, centres):
            break
        centres = moved
    order = np.argsort(centres)
    shares = np.bincount(nearest, minlength=3) / values.size
    spread = float(np.percentile(values, 98) - np.percentile(values, 2))
    if shares.min() < 0.02 or np.diff(np.sort(centres)).min() < 0.1 * spread:
        return None, "the R1 values form no three classes"
    rank = np.empty(3, dtype=np.int8)
    rank[order] = np.arange(1, 4)
    labels = np.zeros(np.shape(r1), dtype=np.int8)
    labels[inside] = rank[nearest]
    text = ", ".join(f"{name} {centres[k]:.2f}" for name, k in zip(_CLASSES, order))
    return labels, f"3-class k-means on R1 inside the fitted brain (centres, 1/s: {text})"


def digest(path, length=12):
    """The first hex digits of a file's SHA-256, or "n/a" when unreadable.

    Parameters
    ----------
    path : path-like
    length : int

    Returns
    -------
    str
    """
    sha = hashlib.sha256()
    try:
        with open(path, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 20), b""):
                sha.update(block)
    except OSError:
        return "n/a"
    return sha.hexdigest()[:length]


def outliers(values, names):
    """The names whose value lies beyond 1.5 interquartile ranges of the
    cohort's quartiles (Tukey's fences).

    Parameters
    ----------
    values : sequence of float
        NaN is never an outlier.
    names : sequence of str

    Returns
    -------
    list of str
        Empty with fewer than four finite values, where quartiles say little.
    """
    values = np.asarray(values, dtype=float)
    finite = values[np.isfinite(values)]
    if finite.size < 4:
        return []
    q25, q75 = np.percentile(finite, [25, 75])
    spread = 1.5 * (q75 - q25)
    return [
        name
        for name, value in zip(names, values)
        if np.isfinite(value) and (value < q25 - spread or value > q75 + spread)
    ]


STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 1100px; color: #222; }
h1 { border-bottom: 2px solid #446; } h2 { color: #446; margin-top: 1.5em; }
table { border-collapse: collapse; margin: 0.5em 0; }
td, th { border: 1px solid #bbb; padding: 0.2em 0.6em; text-align: left; font-size: 0.9em;
         max-width: 30em; overflow-wrap: anywhere; }
th { background: #eef; overflow-wrap: normal; } img { max-width: 100%; display: block; margin: 0.5em 0; }
.warning { color: #a40; } .muted { color: #777; font-size: 0.85em; }
.flag { color: #a40; font-weight: bold; }
"""


def new_figure(**options):
    """A matplotlib Figure drawn by the Agg canvas, which needs no display
    (and no pyplot, whose import and figure registry cost more than the
    drawing).

    Parameters
    ----------
    **options
        As ``matplotlib.figure.Figure`` takes them (figsize, layout).

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(**options)
    FigureCanvasAgg(figure)
    return figure


def embedded(figure, alt="figure"):
    """The figure as an <img> with its PNG inline.

    Parameters
    ----------
    figure : matplotlib.figure.Figure
    alt : str
        What the figure shows, in words (the page's alternative text).

    Returns
    -------
    str
    """
    buffer = io.BytesIO()
    # The least zlib effort: a page a few percent larger, encoded in a
    # fraction of the time.
    figure.savefig(buffer, format="png", dpi=80, pil_kwargs={"compress_level": 1})
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{data}">'


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
    head = "".join(f"<th>{html.escape(str(h))}</th>" for h in header or ())
    head = f"<tr>{head}</tr>" if head else ""
    body = "".join(
        "<tr>" + "".join(f"<td>{html.escape(str(c))}</td>" for c in row) + "</tr>" for row in rows
    )
    return f"<table>{head}{body}</table>"


_PLANES = ("sagittal", "coronal", "axial")


def _tiled(planes, fill=np.nan):
    """The three planes side by side in one image, bottom-aligned, a
    narrow gap of ``fill`` between them; and the middle column of each.

    One image per row instead of three panels: a figure's axes cost more
    to set up and draw than the pixels they hold.
    """
    height = max(plane.shape[0] for plane in planes)
    gap = max(2, height // 40)
    width = sum(plane.shape[1] for plane in planes) + gap * (len(planes) - 1)
    dtype = np.float32 if isinstance(fill, float) else np.asarray(planes[0]).dtype
    tiled = np.full((height, width), fill, dtype)
    middles, column = [], 0
    for plane in planes:
        rows, columns = plane.shape
        tiled[:rows, column : column + columns] = plane
        middles.append(column + columns / 2)
        column += columns + gap
    return tiled, middles


def _image_grid(rows):
    """A figure of rows of images (three planes side by side), each row
    with its colour bar's own narrow column.

    A fixed layout: the images carry no tick labels, so the only texts are
    the plane names above the first row and the colour bars' ticks and
    labels in the margin to the right, which is sized for them
    (constrained layout would cost more than drawing the images).
    """
    height = 2.4 * rows + 0.4
    figure = new_figure(figsize=(9, height))
    spec = figure.add_gridspec(
        rows,
        2,
        width_ratios=[3.1, 0.05],
        left=0.01,
        right=0.86,
        bottom=0.1 / height,
        top=1 - 0.35 / height,
        wspace=0.03,
        hspace=0.08,
    )
    axes = [figure.add_subplot(spec[r, 0]) for r in range(rows)]
    bars = [figure.add_subplot(spec[r, 1]) for r in range(rows)]
    for axis in axes:
        axis.set_axis_off()
    return figure, axes, bars


def _plane_names(axis, middles, height):
    for middle, name in zip(middles, _PLANES):
        axis.text(middle, height + 0.5, name, ha="center", va="bottom", fontsize=10)


def _grid_figure(rows, outlines=None):
    """Rows of three planes, each row with its colour bar.

    rows: (label, planes, colour map, (low, high), contours) where contours
    is None or (planes, levels, colour) drawn over each plane; outlines:
    the brain mask's three planes, or None.
    """
    figure, axes, bars = _image_grid(len(rows))
    outline = None if outlines is None else _tiled([o.astype(np.float32) for o in outlines], 0.0)[0]
    for row, (label, shown, colours, (low, high), contours) in enumerate(rows):
        axis = axes[row]
        image, middles = _tiled(shown)
        drawn = axis.imshow(image, origin="lower", cmap=colours, vmin=low, vmax=high)
        if row == 0:
            _plane_names(axis, middles, image.shape[0])
        if contours is not None:
            lines, levels, colour = contours
            plane = np.ma.masked_invalid(_tiled(lines)[0])
            if plane.count() and plane.min() < max(levels) and plane.max() > min(levels):
                axis.contour(plane, levels=levels, colors=colour, linewidths=0.7)
        _outline(axis, outline)
        _colour_bar(figure, drawn, bars[row], label)
    return figure


def _outline(axis, outline):
    if outline is not None and outline.any():
        # The brain mask's edge, where the fit was confined to.
        axis.contour(outline, levels=[0.5], colors="#0cf", linewidths=0.8)


def _colour_bar(figure, drawn, bar, label):
    colour_bar = figure.colorbar(drawn, cax=bar)
    colour_bar.ax.tick_params(labelsize=8)
    colour_bar.ax.locator_params(nbins=5)
    colour_bar.set_label(label, fontsize=9)


def _label(label, units):
    return f"{label} ({units})" if units else label


def _inputs_figure(data):
    """The three scans, B1 and B0 on the maps' grid with the mask's outline."""
    planes, samples, brain = data["planes"], data["samples"], data["brain"]
    rows, shown, fields = [], [], {}
    for role, label in (("pdw", "PD-weighted"), ("t1w", "T1-weighted"), ("mtw", "MT-weighted")):
        if role in planes:
            rows.append((label, planes[role], "gray", display_range(samples[role][brain]), None))
            shown.append(label)
    for key, label, colours in (("b1", "B1 (relative)", "RdBu_r"), ("b0", "B0 (Hz)", "PuOr_r")):
        if key in planes:
            fields[key] = samples[key][brain]
            low, high = display_range(fields[key])
            # Centred on the nominal field, so that its sign reads off the colour.
            nominal = 1.0 if key == "b1" else 0.0
            half = max(abs(low - nominal), abs(high - nominal)) or 0.1
            rows.append((label, planes[key], colours, (nominal - half, nominal + half), None))
            shown.append(label)
    figure = _grid_figure(rows, data["outlines"])
    alt = (
        f"The {', '.join(shown)} on the maps' grid in sagittal, coronal and axial planes"
        + (", the brain mask outlined in cyan" if data["outlines"] is not None else "")
        + "; grey scales and colour ranges from the 2nd to 98th percentile inside the brain."
    )
    return figure, alt, fields


def _alignment_figure(data):
    """The MT-weighted scan's tissue edges over the registered other scans."""
    planes, samples, brain = data["planes"], data["samples"], data["brain"]
    inside = samples["mtw"][brain]
    inside = inside[np.isfinite(inside)]
    if inside.size < 10:
        return None, None
    # Iso-intensity lines of the MT-weighted scan between its tissue
    # classes: where its grey/white and CSF boundaries lie. On a scan that
    # is aligned they follow the same boundaries.
    levels = sorted({float(v) for v in np.percentile(inside, [25, 65])})
    rows = [
        (
            f"{label}, registered",
            planes[role],
            "gray",
            display_range(samples[role][brain]),
            (planes["mtw"], levels, "#f40"),
        )
        for role, label in (("pdw", "PD-weighted"), ("t1w", "T1-weighted"))
        if role in planes
    ]
    if not rows:
        return None, None
    alt = (
        "Alignment check: iso-intensity lines (orange) of the MT-weighted scan between its "
        "tissue classes drawn over the registered "
        + " and ".join(r[0].split(",")[0] for r in rows)
        + " scans in three planes; they follow the tissue boundaries where the scans align."
    )
    return _grid_figure(rows), alt


def _shown(result):
    """The maps a collection's section shows: ``SHOWN``, and R2* where the
    scans had echoes.
    """
    return SHOWN + tuple(row for row in _ECHO_SHOWN if row[0] in result["outputs"])


def _maps_figure(data):
    shown_maps = data["shown"]
    planes, samples, region = data["planes"], data["samples"], data["region"]
    figure, axes, bars = _image_grid(len(shown_maps))
    low_a, high_a = display_range(samples["mtw"][data["brain"]])
    background, middles = _tiled(planes["mtw"])
    inside = _tiled(data["region_planes"], False)[0]
    outlines = data["outlines"]
    outline = None if outlines is None else _tiled([o.astype(np.float32) for o in outlines], 0.0)[0]
    for row, (key, label, units, colours) in enumerate(shown_maps):
        axis = axes[row]
        low, high = display_range(samples[key][region])
        axis.imshow(background, origin="lower", cmap="gray", vmin=low_a, vmax=high_a)
        drawn = axis.imshow(
            np.where(inside, _tiled(planes[key])[0], np.nan),
            origin="lower",
            cmap=colours,
            vmin=low,
            vmax=high,
            alpha=0.85,
        )
        if row == 0:
            _plane_names(axis, middles, background.shape[0])
        _outline(axis, outline)
        _colour_bar(figure, drawn, bars[row], _label(label, units))
    alt = (
        "The maps ("
        + ", ".join(label for _, label, _, _ in shown_maps)
        + ") over the MT-weighted scan in three planes, in the fitted brain; colour ranges "
        "from the 2nd to 98th percentile there."
    )
    return figure, alt


def _histograms_figure(data):
    shown_maps, stride = data["shown"], data["stride"]
    figure = new_figure(figsize=(11, 2.8), layout="constrained")
    axes = figure.subplots(1, len(shown_maps))
    for axis, (key, label, units, _) in zip(axes, shown_maps):
        # In double: a narrow range of single-precision values leaves
        # sixty bins no room between representable edges.
        values = data["samples"][key][data["region"]].astype(np.float64)
        values = values[np.isfinite(values)]
        if values.size:
            low, high = display_range(values, None, (0.5, 99.5))
            # Each sampled voxel stands for ``stride`` voxels of the map.
            weights = np.full(values.size, float(stride))
            counts, edges = np.histogram(values, bins=60, range=(low, high), weights=weights)
            # One outline of the bars, not a patch per bar.
            axis.stairs(counts, edges, fill=True, color="#446")
            axis.axvline(float(np.median(values)), color="#a40", label="median")
            axis.legend(fontsize=8)
        axis.locator_params(axis="x", nbins=4)
        axis.set_xlabel(_label(label, units))
        axis.set_ylabel("voxels")
    sampled = f" (a sample of 1 voxel in {stride})" if stride > 1 else ""
    alt = (
        "Histograms of "
        + ", ".join(label for _, label, _, _ in shown_maps)
        + f" in the fitted brain{sampled}, each with its median marked."
    )
    return figure, alt


def _collection_data(result):
    """What a collection's section shows, from what the pass collected
    (``result["collected"]``, a ``report_stats.Collected``): the planes,
    the samples and where the brain and the fitted brain are in both.
    """
    from tavni.mt_map.status import fitted

    collected = result["collected"]
    planes, samples = collected.planes, collected.samples
    if collected.masked:
        # The sample was drawn from the mask's voxels alone.
        brain = np.ones(samples["mtw"].size, bool)
        brain_planes = [plane != 0 for plane in planes["mask"]]
        outlines = brain_planes
    else:
        # The brain: the voxels with signal, Otsu's threshold of the
        # MT-weighted scan's sample.
        threshold = signal_threshold(samples["mtw"])
        with np.errstate(invalid="ignore"):
            brain = samples["mtw"] > threshold
            brain_planes = [plane > threshold for plane in planes["mtw"]]
        outlines = None
    region = fitted(samples["status"]) & brain
    return {
        "shown": _shown(result),
        "planes": planes,
        "samples": samples,
        "stride": collected.stride,
        "brain": brain,
        "region": region,
        "region_planes": [
            fitted(status) & inside for status, inside in zip(planes["status"], brain_planes)
        ],
        "outlines": outlines,
        "mask_voxels": collected.mask_voxels if collected.masked else None,
    }


def collection_figures(result, data=None):
    """The figures of one collection's section.

    Parameters
    ----------
    result : dict
        What ``participant.map_collection`` returns, with "collected".
    data : dict, optional
        As ``_collection_data`` makes it from the result.

    Returns
    -------
    list of (str, matplotlib.figure.Figure, str, dict)
        Heading, figure, alternative text and what the figure found (the
        field maps' sample in the brain, for the checks).
    """
    data = data or _collection_data(result)
    figure, alt, fields = _inputs_figure(data)
    figures = [("Inputs on the maps' grid", figure, alt, {"fields": fields})]
    figure, alt = _alignment_figure(data)
    if figure is not None:
        figures.append(("Alignment of the scans", figure, alt, {}))
    figure, alt = _maps_figure(data)
    figures.append(("Maps over the MT-weighted scan", figure, alt, {}))
    figure, alt = _histograms_figure(data)
    figures.append(("Histograms in the fitted brain", figure, alt, {}))
    return figures


def _status_section(counts):
    """The share solved over the fitted voxels, and the counts per status
    (the chain's, counted as it ran).
    """
    from tavni.mt_map.status import not_fitted
    from tavni.mt_map.workflows.summary import Summary

    summary = Summary(dict(counts or {}))
    outside = ("masked", "invalid input")
    rows = [
        (
            name,
            count,
            "not fitted"
            if name in outside
            else f"{100.0 * count / summary.fitted:.1f} %"
            if summary.fitted
            else "n/a",
        )
        for name, count in summary.counts.items()
        if count
    ]
    share = summary.solved_share
    line = (
        f"Solved: {100 * share:.1f} % of {summary.fitted} fitted voxels "
        f"({not_fitted(summary.counts)} of {summary.total} not fitted: masked or invalid input)."
        if summary.fitted
        else f"No voxel was fitted ({summary.total} masked or invalid input)."
    )
    html_text = f"<p><strong>{html.escape(line)}</strong></p>" + _rows_table(
        ("status", "voxels", "share of the fitted"), rows
    )
    return html_text


def _tissue_section(data):
    """Median and IQR of each map per tissue class, from the sample."""
    region, samples, stride = data["region"], data["samples"], data["stride"]
    labels, how = tissue_classes(samples["r1"][region], np.ones(int(region.sum()), bool))
    if labels is None:
        classes = [("fitted brain", np.ones(int(region.sum()), bool))]
        how = f"the fitted brain as one class ({how})"
    else:
        classes = [(name, labels == k + 1) for k, name in enumerate(_CLASSES)]
    shown = data["shown"]
    header = ["class", "voxels"] + [
        f"{_label(label, units)} median [IQR]" for _, label, units, _ in shown
    ]
    rows = []
    for name, where in classes:
        # Each sampled voxel stands for ``stride`` voxels.
        row = [name, int(where.sum()) * stride]
        for key, *_ in shown:
            values = samples[key][region][where]
            values = values[np.isfinite(values)]
            if values.size:
                q25, median, q75 = np.percentile(values, [25, 50, 75])
                row.append(f"{median:.4g} [{q25:.4g}, {q75:.4g}]")
            else:
                row.append("n/a")
        rows.append(row)
    sampled = f" Voxels and statistics from a sample of 1 voxel in {stride}." if stride > 1 else ""
    return (
        f'<p class="muted">Classes: {html.escape(how)}. IQR: the 25th and 75th '
        f"percentiles.{sampled}</p>" + _rows_table(header, rows)
    )


def _motion_section(result):
    motion = result.get("motion") or {}
    if not motion:
        text = "none estimated" if result.get("registered", True) else "not registered"
        return f'<p class="muted">Motion: {html.escape(text)}.</p>'
    rows = []
    for role, found in motion.items():
        shift = math.sqrt(sum(v * v for v in found["TranslationMm"]))
        rows.append(
            (
                role,
                ", ".join(f"{v:.2f}" for v in found["TranslationMm"]),
                ", ".join(f"{v:.2f}" for v in found["RotationDeg"]),
                f"{shift:.2f}",
            )
        )
    return _rows_table(
        (
            "scan (onto the MT-weighted)",
            "translation x, y, z (mm)",
            "rotation x, y, z (deg)",
            "shift (mm)",
        ),
        rows,
    )


def _checks(data, fields):
    """What the report itself finds questionable in the inputs (a low share
    solved is the chain's own warning already).
    """
    found = []
    if data["mask_voxels"] is None:
        found.append(
            "no brain mask on the maps' grid: every voxel with a measurement was fitted, "
            "background included; the report summarises the voxels with signal"
        )
    inside = fields.get("b1")
    if inside is not None and inside.size:
        covered = np.isfinite(inside).mean()
        if covered < _B1_COVERED:
            found.append(
                f"the B1 map covers {100 * covered:.0f} % of the brain: misplaced, or "
                "another field of view"
            )
        if np.isfinite(inside).any():
            median = float(np.nanmedian(inside))
            if not _B1_PLAUSIBLE[0] <= median <= _B1_PLAUSIBLE[1]:
                found.append(
                    f"median relative B1 in the brain {median:.2f}: a map in other units, "
                    "scaled wrongly, or of another head"
                )
    return found


def _now():
    """The report's date, UTC: ``SOURCE_DATE_EPOCH`` (s) where set, so that
    a run repeated on the same inputs writes the same report byte for byte,
    else the current time.
    """
    import os

    epoch = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if epoch.isdigit():
        return datetime.datetime.fromtimestamp(int(epoch), datetime.UTC)
    return datetime.datetime.now(datetime.UTC)


def _provenance(results):
    generated = (results[0].get("generated_by") if results else None) or {}
    rows = [
        ("software", f"{generated.get('Name', 'tavni-mt-map')} {generated.get('Version', '')}"),
        ("command line", generated.get("CommandLine", "n/a")),
        ("date", _now().isoformat(timespec="seconds")),
    ]
    return "<h2>Provenance</h2>" + _rows_table(None, rows)


def _collection_section(result):
    data = _collection_data(result)
    entities = {"session": result["session"], **result["entities"]}
    title = ", ".join(f"{k} {v}" for k, v in entities.items() if v) or "Maps"
    status_html = _status_section(result["counts"])
    parts = [f"<h2>{html.escape(title)}</h2>", "<h3>Status of the fit</h3>", status_html]
    fields = {}
    for heading, figure, alt, found in collection_figures(result, data):
        fields.update(found.get("fields", {}))
        parts += [f"<h3>{html.escape(heading)}</h3>"]
        if heading.startswith("Inputs"):
            parts.append(_mask_line(result, data["mask_voxels"]))
        parts.append(embedded(figure, alt))
        if heading.startswith("Inputs"):
            parts += ["<h3>Estimated motion</h3>", _motion_section(result)]
    parts += ["<h3>Per tissue class</h3>", _tissue_section(data)]
    parameters = [
        (key, p["Value"], p["Units"], p["Source"]) for key, p in result["parameters"].items()
    ]
    files = [p for p in result.get("inputs", ()) if p]
    parts += [
        "<h3>Parameters</h3>",
        _rows_table(("parameter", "value", "units", "source"), parameters),
        *_echoes_section(result.get("echoes")),
        "<h3>Inputs</h3>",
        "<ul>"
        + "".join(f"<li>{html.escape(s)}</li>" for s in result["sources"])
        + "".join(f"<li>{html.escape(n)}</li>" for n in result.get("notes", ()))
        + "</ul>",
    ]
    if files:
        parts.append(
            _rows_table(("file", "sha256 (first 12)"), [(Path(p).name, digest(p)) for p in files])
        )
    warnings = list(result["warnings"]) + _checks(data, fields)
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


def _echoes_section(echoes):
    """The combination of multi-echo scans, each contrast's echo times and
    the echo fit's codes; nothing for single-echo scans.
    """
    if not echoes:
        return []
    combination = echoes.get("EchoCombination", "te0")
    line = f"Echo combination: {combination}, {_COMBINATIONS.get(combination, combination)}."
    rows = [
        (contrast, len(times), ", ".join(f"{1000 * t:.3g}" for t in times))
        for contrast, times in echoes.get("EchoTimes", {}).items()
    ]
    parts = [
        "<h3>Echoes</h3>",
        f"<p>{html.escape(line)}</p>",
        _rows_table(("contrast", "echoes", "echo times (ms)"), rows),
    ]
    counts = echoes.get("R2starStatus") or {}
    if counts:
        parts.append(_rows_table(("R2* fit", "voxels"), [(n, c) for n, c in counts.items() if c]))
    return parts


def _mask_line(result, voxels):
    """Where the brain mask came from, and its size on the maps' grid."""
    origin = (result.get("brain_mask") or {}).get("Origin", "none")
    text = f"Brain mask: {origin}"
    if voxels is not None:
        text += f"; {voxels} voxels, outlined in cyan"
    else:
        text += "; colour ranges from the voxels with signal (Otsu's threshold)"
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
        paths, scans, field maps, motion, parameters, sources, inputs,
        warnings, the generator).
    """
    body = _provenance(results) + "\n".join(_collection_section(result) for result in results)
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(page(f"sub-{participant}: MT and relaxometry maps", body))


def _row_name(row):
    parts = [row["participant_id"]]
    if row.get("session_id", "n/a") != "n/a":
        parts.append(row["session_id"])
    parts += [f"{k}-{row[k]}" for k in ("acq", "run") if row.get(k, "n/a") != "n/a"]
    return " ".join(parts)


def group_figure(rows):
    """The distribution of each map's per-participant medians, the outliers
    named beside their points.

    Parameters
    ----------
    rows : list of dict
        The rows of ``group.summarise_group``.

    Returns
    -------
    figure : matplotlib.figure.Figure
    alt : str
        The alternative text.
    named : dict of str to list of str
        Per map suffix, the rows (participant, session, ...) that are outliers.
    """
    across = min(4, len(GROUP_MAPS))
    down = -(-len(GROUP_MAPS) // across)
    figure = new_figure(figsize=(11, 3.2 * down), layout="constrained")
    axes = figure.subplots(down, across, squeeze=False)
    for axis in axes.ravel()[len(GROUP_MAPS) :]:
        axis.set_visible(False)
    rng = np.random.default_rng(0)
    names = [_row_name(row) for row in rows]
    named = {}
    for axis, kind in zip(axes.ravel(), GROUP_MAPS):
        medians = np.array([row[f"{kind.suffix}_median"] for row in rows], dtype=float)
        finite = np.isfinite(medians)
        named[kind.suffix] = outliers(medians, names)
        if finite.any():
            axis.boxplot(
                medians[finite],
                widths=0.5,
                showfliers=False,
                patch_artist=True,
                boxprops=dict(facecolor="#7fa7d9"),
            )
            x = 1 + rng.uniform(-0.12, 0.12, medians.size)
            axis.scatter(x[finite], medians[finite], color="#a40", s=14, zorder=3)
            for name, px, value in zip(names, x, medians):
                if name in named[kind.suffix]:
                    axis.annotate(
                        name.split()[0],
                        (px, value),
                        xytext=(4, 0),
                        textcoords="offset points",
                        fontsize=7,
                        va="center",
                    )
        axis.set_title(kind.suffix, fontsize=10)
        axis.set_ylabel("median" if kind.unit == "1" else f"median ({kind.unit})", fontsize=9)
        axis.tick_params(labelsize=8)
        axis.locator_params(axis="y", nbins=5)
        axis.set_xticks([])
    flagged = sorted({n for found in named.values() for n in found})
    alt = (
        f"Box plots of the per-participant medians of {', '.join(k.suffix for k in GROUP_MAPS)} "
        f"over {len(rows)} rows, one point per participant"
        + (f"; outliers named: {', '.join(flagged)}" if flagged else "; no outlier")
        + "."
    )
    return figure, alt, named


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
    name = _row_name(row)
    flags += [f"outlier in {suffix}" for suffix, found in named.items() if name in found]
    return "; ".join(flags) or "none"


def group_report(path, rows):
    """Writes the group report: the distribution of each map's
    per-participant medians with the outliers named, and a row per
    participant with its flags.

    Parameters
    ----------
    path : path-like
    rows : list of dict
        The rows of ``group.summarise_group``.
    """
    figure, alt, named = group_figure(rows)
    columns = ["share_solved"] + [f"{kind.suffix}_median" for kind in GROUP_MAPS] + ["warnings"]

    def cell(value):
        if isinstance(value, float):
            return "n/a" if math.isnan(value) else f"{value:.4g}"
        return value

    # One row per participant (and session, acquisition, run): its numbers
    # and what deserves a look, in words.
    table = _rows_table(
        ["participant", "flags"] + [c.replace("_", " ") for c in columns],
        [
            [_row_name(row), _flags(row, named)] + [cell(row.get(c, "n/a")) for c in columns]
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
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(page("Group: MT and relaxometry maps", body))
