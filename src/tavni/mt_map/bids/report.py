"""HTML reports of the BIDS App, for a person to look at before trusting the maps.

``participant_report`` writes one self-contained page per participant
(every picture inline: base64 PNG or SVG). Per collection: the share of the
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

The participant's pictures need no plotting library: the planes are
coloured through small tables (``colours``), composited and outlined with
NumPy and written as PNG by Pillow, one per row of three planes; the texts
(plane names, labels, the colour bars' values) are HTML beside them, the
colour bars CSS gradients and the histograms inline SVG.

``group_report`` shows the distribution of the per-participant medians with
the outliers named, and one row per participant with its flags. Its figure
is drawn with matplotlib's Agg backend (no display needed) in constrained
layout, so that no label runs into a neighbouring panel; it runs once per
cohort, and a participant run never imports matplotlib.
"""

import base64
import datetime
import hashlib
import html
import io
import math
import zlib
from pathlib import Path

import numpy as np

from tavni.mt_map.bids.colours import coloured, css_gradient, indexed, palette
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
    # In one dimension the classes are runs of the sorted values split at
    # the midpoints between the sorted centres (a value at a midpoint goes
    # to the lower class, the first of equal distances): each Lloyd
    # iteration is two searches and the classes' sums from running totals.
    # An empty class keeps its centre; the centres are kept in order.
    ordered = np.sort(values)
    totals = np.concatenate([[0.0], np.cumsum(ordered)])
    for _ in range(iterations):
        middles = 0.5 * (centres[:-1] + centres[1:])
        cuts = np.concatenate([[0], np.searchsorted(ordered, middles, "right"), [values.size]])
        counts = np.diff(cuts)
        sums = totals[cuts[1:]] - totals[cuts[:-1]]
        moved = np.sort(np.where(counts > 0, sums / np.maximum(counts, 1), centres))
        if np.allclose(moved, centres):
            break
        centres = moved
    nearest = np.searchsorted(0.5 * (centres[:-1] + centres[1:]), values)
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
.rows { margin: 0.5em 0; } .row { display: flex; align-items: stretch; gap: 6px; margin: 3px 0; }
.tiles { flex: none; max-width: calc(100% - 9em); } .tiles img { width: 100%; height: auto; margin: 0; }
.names { position: relative; height: 1.3em; font-size: 0.8em; }
.names span { position: absolute; bottom: 0; transform: translateX(-50%); white-space: nowrap; }
.bar { display: flex; gap: 4px; font-size: 0.75em; }
.bar .scale { width: 14px; border: 1px solid #999; }
.bar .ticks { display: flex; flex-direction: column; justify-content: space-between; }
.bar .label { writing-mode: vertical-rl; transform: rotate(180deg); text-align: center; }
.histograms { display: flex; flex-wrap: wrap; gap: 0.5em; margin: 0.5em 0; }
.histogram { font-size: 11px; }
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

    One picture per row instead of three: one PNG to encode, and the
    planes of a row stay level however the page is laid out.
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


def _label(label, units):
    return f"{label} ({units})" if units else label


# The height in CSS pixels a row of planes is shown at. They are drawn at
# least 90 % as tall: the browser's enlarging of the last tenth is not seen,
# and a plane of a 1 mm head (about 230 voxels) needs no enlarging at all.
_ROW_HEIGHT = 250
_CYAN = (0, 204, 255)  # the brain mask's outline
_ORANGE = (255, 68, 0)  # the alignment check's iso-intensity lines
_OVERLAY_ALPHA = 0.85  # the maps over the grey anatomy


def _edges(above, valid=None, sides=2):
    """The pixels that differ in ``above`` from a horizontal or vertical
    neighbour: a line two pixels wide on either side of each boundary, or
    one pixel wide on the side of ``above`` with ``sides=1``.

    Where ``valid`` is given, a boundary counts only between two valid
    pixels (no line along the edge of a field of view or a gap).
    """
    edge = np.zeros(above.shape, bool)
    across = above[:, 1:] != above[:, :-1]
    down = above[1:, :] != above[:-1, :]
    if valid is not None:
        across &= valid[:, 1:] & valid[:, :-1]
        down &= valid[1:, :] & valid[:-1, :]
    edge[:, 1:] |= across
    edge[:, :-1] |= across
    edge[1:, :] |= down
    edge[:-1, :] |= down
    return edge if sides == 2 else edge & above


def _enlarged(image, factor):
    """Each pixel a ``factor`` x ``factor`` block (nearest neighbour)."""
    if factor == 1:
        return image
    return np.repeat(np.repeat(image, factor, axis=0), factor, axis=1)


def _interpolated(image, factor):
    """The image at ``factor`` times its size, linear between the pixels'
    centres (held at the borders): lines drawn where it crosses a level
    follow the level between voxels rather than their blocks' edges.
    """
    image = np.asarray(image, np.float32)
    for axis in (0, 1):
        size = image.shape[axis]
        if factor == 1 or size < 2:
            image = np.repeat(image, factor, axis=axis)
            continue
        at = np.clip((np.arange(size * factor) + 0.5) / factor - 0.5, 0, size - 1)
        below = np.minimum(at.astype(np.intp), size - 2)
        weight = (at - below).astype(np.float32)
        weight = weight[:, None] if axis == 0 else weight[None, :]
        lower = np.take(image, below, axis=axis)
        image = lower + weight * (np.take(image, below + 1, axis=axis) - lower)
    return image


def _png(image, alt, width, colours=None):
    """A picture as an <img> with its PNG inline, shown ``width`` CSS
    pixels wide (the height follows): 8-bit RGB, or 8-bit entries of the
    palette ``colours``.
    """
    from PIL import Image

    buffer = io.BytesIO()
    # Rows of the volume's last axis up: the picture's first row is the top.
    picture = Image.fromarray(np.ascontiguousarray(image[::-1]))
    if colours is not None:
        picture.putpalette(np.asarray(colours, np.uint8).tobytes())
    # The least zlib effort, and runs of equal bytes alone (the filtered
    # rows of flat colour, background and gaps are mostly zeros): faster
    # than zlib's default and smaller on these pictures.
    picture.save(buffer, format="png", compress_level=1, compress_type=zlib.Z_RLE)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="{html.escape(alt)}" width="{width}" src="data:image/png;base64,{data}">'


# A row of one colour map is a palette PNG (a third of RGB's bytes, and no
# filtering to choose): the map in 253 entries, the page's white for NaN,
# and the lines' two colours.
_ENTRIES = 253
_LINE_ENTRIES = {_CYAN: _ENTRIES + 1, _ORANGE: _ENTRIES + 2}


def _one_map(values, name, low, high):
    """Values through one colour map: (8-bit entries, their palette)."""
    entries = indexed(values, low, high, _ENTRIES).astype(np.uint8)
    return entries, np.concatenate([palette(name, _ENTRIES), [_CYAN, _ORANGE]])


def _ticks(low, high):
    """The colour bar's top, middle and bottom values, with the fewest
    digits that tell the three apart.
    """
    values = (high, 0.5 * (low + high), low)
    for digits in range(3, 8):
        texts = [f"{v:.{digits}g}" for v in values]
        if len(set(texts)) == 3:
            break
    return [t.replace("-", "\u2212") for t in texts]


def _colour_bar(colours, low, high, label):
    """A row's colour bar in HTML: the map as a CSS gradient, the values at
    its ends and middle, the label running upwards beside it.
    """
    ticks = "".join(f"<span>{html.escape(t)}</span>" for t in _ticks(low, high))
    return (
        f'<div class="bar"><div class="scale" style="background: '
        f'{css_gradient(colours)}"></div><div class="ticks">{ticks}</div>'
        f'<div class="label">{html.escape(label)}</div></div>'
    )


class _Rows:
    """A figure of rows of the three planes side by side (bottom-aligned,
    origin lower), each row one PNG with its colour bar in HTML beside it,
    the plane names above the first.

    The planes are coloured at their own size, enlarged by a whole factor
    (nearest neighbour) to about ``_ROW_HEIGHT`` pixels or more, and the
    lines (the mask's outline, iso-intensity lines) drawn at the enlarged
    size: two pixels wide when enlarged, one when not, never wider than a
    voxel.
    """

    def __init__(self, planes):
        tiled, middles = _tiled(planes)
        self.shape = tiled.shape
        self.factor = max(1, math.ceil(0.9 * _ROW_HEIGHT / self.shape[0]))
        self.width = round(self.shape[1] * _ROW_HEIGHT / self.shape[0])
        self.middles = [100.0 * m / self.shape[1] for m in middles]
        self.parts = []
        self.ranges = {}

    def add(self, key, label, image, colours, value_range, alt, lines=()):
        """One row: ``image`` the tiled planes coloured, RGB or as
        ``_one_map`` makes them (drawn over in place when not enlarged),
        ``lines`` pairs of (pixels at the enlarged size, colour) drawn over
        them.
        """
        image, entries = image if isinstance(image, tuple) else (image, None)
        image = _enlarged(image, self.factor)
        for where, colour in lines:
            image[where] = colour if entries is None else _LINE_ENTRIES[colour]
        self.ranges[key] = value_range
        if not self.parts:
            names = "".join(
                f'<span style="left: {m:.2f}%">{name}</span>'
                for m, name in zip(self.middles, _PLANES)
            )
            self.parts.append(
                f'<div class="row"><div class="tiles" style="width: {self.width}px">'
                f'<div class="names">{names}</div></div></div>'
            )
        self.parts.append(
            f'<div class="row"><div class="tiles" style="width: {self.width}px">'
            f"{_png(image, alt, self.width, entries)}</div>"
            f"{_colour_bar(colours, *value_range, label)}</div>"
        )

    def lines(self, planes, colour, above=0.5):
        """Where planes (a scan's, or a mask's as 0 and 1) cross the level
        ``above``, at the enlarged size, in the colour.
        """
        tiled = _tiled([np.asarray(plane, np.float32) for plane in planes])[0]
        tiled = _interpolated(tiled, self.factor)
        sides = 2 if self.factor > 1 else 1
        with np.errstate(invalid="ignore"):
            return _edges(tiled > above, np.isfinite(tiled), sides), colour

    def outline(self, planes):
        """The brain mask's outline (cyan), or none without a mask."""
        if planes is None or not any(plane.any() for plane in planes):
            return ()
        return (self.lines(planes, _CYAN),)

    def html(self, alt):
        return f'<div class="rows" role="group" aria-label="{html.escape(alt)}">{"".join(self.parts)}</div>'


def _scan_range(data, role):
    """A scan's grey range from the brain, computed once for the figures
    that show it.
    """
    ranges = data.setdefault("scan_ranges", {})
    if role not in ranges:
        ranges[role] = display_range(data["samples"][role][data["brain"]])
    return ranges[role]


def _inputs_figure(data):
    """The three scans, B1 and B0 on the maps' grid with the mask's outline."""
    planes, samples, brain = data["planes"], data["samples"], data["brain"]
    rows, shown, fields = [], [], {}
    for role, label in (("pdw", "PD-weighted"), ("t1w", "T1-weighted"), ("mtw", "MT-weighted")):
        if role in planes:
            rows.append((role, label, "gray", _scan_range(data, role)))
            shown.append(label)
    for key, label, colours in (("b1", "B1 (relative)", "RdBu_r"), ("b0", "B0 (Hz)", "PuOr_r")):
        if key in planes:
            fields[key] = samples[key][brain]
            low, high = display_range(fields[key])
            # Centred on the nominal field, so that its sign reads off the colour.
            nominal = 1.0 if key == "b1" else 0.0
            half = max(abs(low - nominal), abs(high - nominal)) or 0.1
            rows.append((key, label, colours, (nominal - half, nominal + half)))
            shown.append(label)
    figure = _Rows(planes["mtw"])
    outline = figure.outline(data["outlines"])
    where = ", the brain mask outlined in cyan" if outline else ""
    for key, label, colours, (low, high) in rows:
        image = _one_map(_tiled(planes[key])[0], colours, low, high)
        alt = (
            f"{label} on the maps' grid in sagittal, coronal and axial planes{where}; "
            f"colours from {low:.4g} to {high:.4g}."
        )
        figure.add(key, label, image, colours, (low, high), alt, outline)
    alt = (
        f"The {', '.join(shown)} on the maps' grid in sagittal, coronal and axial planes{where}"
        "; grey scales and colour ranges from the 2nd to 98th percentile inside the brain."
    )
    return figure, alt, fields


def _alignment_figure(data):
    """The MT-weighted scan's tissue edges over the registered other scans."""
    planes, samples, brain = data["planes"], data["samples"], data["brain"]
    inside = samples["mtw"][brain]
    inside = inside[np.isfinite(inside)]
    shown = [(role, label) for role, label in (("pdw", "PD-weighted"), ("t1w", "T1-weighted"))]
    shown = [(role, label) for role, label in shown if role in planes]
    if inside.size < 10 or not shown:
        return None, None
    # Iso-intensity lines of the MT-weighted scan between its tissue
    # classes: where its grey/white and CSF boundaries lie. On a scan that
    # is aligned they follow the same boundaries.
    levels = sorted({float(v) for v in np.percentile(inside, [25, 65])})
    figure = _Rows(planes["mtw"])
    lines = [figure.lines(planes["mtw"], _ORANGE, level) for level in levels]
    for role, label in shown:
        low, high = _scan_range(data, role)
        image = _one_map(_tiled(planes[role])[0], "gray", low, high)
        alt = (
            f"The registered {label} scan in three planes with the MT-weighted scan's "
            "iso-intensity lines (orange) between its tissue classes drawn over it."
        )
        figure.add(role, f"{label}, registered", image, "gray", (low, high), alt, lines)
    alt = (
        "Alignment check: iso-intensity lines (orange) of the MT-weighted scan between its "
        "tissue classes drawn over the registered "
        + " and ".join(label for _, label in shown)
        + " scans in three planes; they follow the tissue boundaries where the scans align."
    )
    return figure, alt


def _shown(result):
    """The maps a collection's section shows: ``SHOWN``, and R2* where the
    scans had echoes.
    """
    return SHOWN + tuple(row for row in _ECHO_SHOWN if row[0] in result["outputs"])


def _maps_figure(data):
    """Each map over the grey MT-weighted scan, inside the fitted brain."""
    shown_maps = data["shown"]
    planes, samples, region = data["planes"], data["samples"], data["region"]
    figure = _Rows(planes["mtw"])
    grey = coloured(_tiled(planes["mtw"])[0], "gray", *_scan_range(data, "mtw"))
    # The overlay's weight in 255ths: alpha blending in integers.
    weight = round(255 * _OVERLAY_ALPHA)
    behind = grey.astype(np.uint16) * (255 - weight) + 127
    inside = _tiled(data["region_planes"], False)[0]
    outline = figure.outline(data["outlines"])
    for key, label, units, colours in shown_maps:
        low, high = display_range(samples[key][region])
        values = _tiled(planes[key])[0]
        over = (inside & np.isfinite(values))[..., None]
        blended = (coloured(values, colours, low, high).astype(np.uint16) * weight + behind) // 255
        image = np.where(over, blended, grey).astype(np.uint8)
        alt = (
            f"{_label(label, units)} over the MT-weighted scan in three planes, in the "
            f"fitted brain; colours from {low:.4g} to {high:.4g}."
        )
        figure.add(key, _label(label, units), image, colours, (low, high), alt, outline)
    alt = (
        "The maps ("
        + ", ".join(label for _, label, _, _ in shown_maps)
        + ") over the MT-weighted scan in three planes, in the fitted brain; colour ranges "
        "from the 2nd to 98th percentile there."
    )
    return figure, alt


def _histogram(values, stride, label):
    """One map's histogram as inline SVG: sixty bins as one filled path,
    the median as a line, the range's ends and the largest count as text.
    """
    width, height = 250, 170
    left, right, top, bottom = 44, 10, 16, 34
    plot_w, plot_h = width - left - right, height - top - bottom
    base = top + plot_h
    parts = []
    if values.size:
        low, high = display_range(values, None, (0.5, 99.5))
        counts, edges = np.histogram(values, bins=60, range=(low, high))
        # Each sampled voxel stands for ``stride`` voxels of the map.
        counts = counts * float(stride)
        peak = counts.max() or 1.0
        xs = left + (edges - low) / (high - low) * plot_w
        ys = base - counts / peak * plot_h
        path = "".join(f"V{y:.1f}H{x:.1f}" for y, x in zip(ys, xs[1:]))
        median = float(np.median(values))
        at = left + (median - low) / (high - low) * plot_w
        low_text, _, high_text = _ticks(low, high)[::-1]
        parts += [
            f'<path d="M{xs[0]:.1f} {base}{path}V{base}Z" fill="#446"/>',
            f'<line x1="{at:.1f}" y1="{top}" x2="{at:.1f}" y2="{base}" stroke="#a40" '
            'stroke-width="1.5"/>',
            f'<text x="{width - right}" y="{top - 4}" text-anchor="end" fill="#a40">'
            f"median {median:.4g}</text>",
            f'<text x="{left}" y="{base + 13}">{low_text}</text>',
            f'<text x="{width - right}" y="{base + 13}" text-anchor="end">{high_text}</text>',
            f'<text x="{left - 3}" y="{top + 4}" text-anchor="end">{_count(peak)}</text>',
            f'<text x="{left - 3}" y="{base}" text-anchor="end">0</text>',
        ]
        alt = (
            f"Histogram of {label} in the fitted brain from {low:.4g} to {high:.4g}, "
            f"median {median:.4g}."
        )
    else:
        alt = f"Histogram of {label} in the fitted brain: no finite value."
    alt = html.escape(alt)
    return (
        f'<svg class="histogram" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" role="img" aria-label="{alt}"><title>{alt}</title>'
        + "".join(parts)
        + f'<line x1="{left}" y1="{base}" x2="{width - right}" y2="{base}" stroke="#222"/>'
        f'<text x="{left + plot_w / 2:.1f}" y="{height - 4}" text-anchor="middle">'
        f"{html.escape(label)}</text>"
        f'<text transform="translate(12 {top + plot_h / 2:.1f}) rotate(-90)" '
        'text-anchor="middle">voxels</text></svg>'
    )


def _count(value):
    """A voxel count in at most four characters or so: 950, 12.3k, 1.88M."""
    for scale, suffix in ((1e6, "M"), (1e3, "k")):
        if value >= scale:
            return f"{value / scale:.3g}{suffix}"
    return f"{value:.0f}"


def _histograms_figure(data):
    shown_maps, stride = data["shown"], data["stride"]
    svgs = []
    for key, label, units, _ in shown_maps:
        # In double: a narrow range of single-precision values leaves
        # sixty bins no room between representable edges.
        values = data["samples"][key][data["region"]].astype(np.float64)
        svgs.append(_histogram(values[np.isfinite(values)], stride, _label(label, units)))
    sampled = f" (a sample of 1 voxel in {stride})" if stride > 1 else ""
    alt = (
        "Histograms of "
        + ", ".join(label for _, label, _, _ in shown_maps)
        + f" in the fitted brain{sampled}, each with its median marked."
    )
    return (
        f'<div class="histograms" role="group" aria-label="{html.escape(alt)}">{"".join(svgs)}</div>',
        alt,
    )


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
    list of (str, str, str, dict)
        Heading, the figure as HTML (its rows as inline PNGs with their
        colour bars, or inline SVG), alternative text and what the figure
        found: "ranges", the value range each row's colours span (per
        scan or map key); "fields", the field maps' sample in the brain,
        for the checks.
    """
    data = data or _collection_data(result)
    rows, alt, fields = _inputs_figure(data)
    found = {"fields": fields, "ranges": rows.ranges}
    figures = [("Inputs on the maps' grid", rows.html(alt), alt, found)]
    rows, alt = _alignment_figure(data)
    if rows is not None:
        figures.append(("Alignment of the scans", rows.html(alt), alt, {"ranges": rows.ranges}))
    rows, alt = _maps_figure(data)
    figures.append(("Maps over the MT-weighted scan", rows.html(alt), alt, {"ranges": rows.ranges}))
    picture, alt = _histograms_figure(data)
    figures.append(("Histograms in the fitted brain", picture, alt, {}))
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
    for heading, picture, _, found in collection_figures(result, data):
        fields.update(found.get("fields", {}))
        parts += [f"<h3>{html.escape(heading)}</h3>"]
        if heading.startswith("Inputs"):
            parts.append(_mask_line(result, data["mask_voxels"]))
        parts.append(picture)
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
