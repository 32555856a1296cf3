"""Every picture of the BIDS App's reports is drawn here; the pages only
place them.

The participant's pictures need no plotting library: the planes are
coloured through small tables (``colours``), composited and outlined with
NumPy and written as PNG by Pillow, one per row of three planes; the texts
(plane names, labels, the colour bars' values) are HTML beside them, the
colour bars CSS gradients and the histograms inline SVG.

The group's figure (``group_figure``) is drawn with matplotlib's Agg
backend (no display needed) in constrained layout, so that no label runs
into a neighbouring panel; it is drawn once per cohort, and a participant
run never imports matplotlib.
"""

import base64
import html
import io
import math
import zlib

import numpy as np

from tavni.mt_map.bids.report.colours import coloured, css_gradient, indexed, palette
from tavni.mt_map.bids.report.statistics import (
    centred_range,
    display_range,
    row_name,
    scan_range,
    with_units,
)
from tavni.mt_map.outputs import GROUP_MAPS
from tavni.mt_map.scans import LABELS, ROLES

__all__ = [
    "Rows",
    "inputs_figure",
    "alignment_figure",
    "maps_figure",
    "histograms",
    "embedded",
    "group_figure",
]

# The scans in words: "PDw" is the PD-weighted scan.
_WEIGHTED = {role: LABELS[role].removesuffix("w") + "-weighted" for role in ROLES}

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


class Rows:
    """A figure of rows of the three planes side by side (bottom-aligned,
    origin lower), each row one PNG with its colour bar in HTML beside it,
    the plane names above the first.

    The planes are coloured at their own size, enlarged by a whole factor
    (nearest neighbour) to about ``_ROW_HEIGHT`` pixels or more, and the
    lines (the mask's outline, iso-intensity lines) drawn at the enlarged
    size: two pixels wide when enlarged, one when not, never wider than a
    voxel.

    Parameters
    ----------
    planes : list of numpy.ndarray
        The sagittal, coronal and axial planes of the scan the rows are
        laid out by (the MT-weighted scan's).

    Attributes
    ----------
    ranges : dict of str to (float, float)
        Per row's scan or map key, the value range its colours span.
    """

    def __init__(self, planes: list) -> None:
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

    def html(self, alt: str) -> str:
        """The rows as HTML, a group named by ``alt``.

        Parameters
        ----------
        alt : str
            What the rows show, in words.

        Returns
        -------
        str
        """
        return f'<div class="rows" role="group" aria-label="{html.escape(alt)}">{"".join(self.parts)}</div>'


def inputs_figure(data: dict) -> tuple[Rows, str, dict]:
    """The three scans, B1 and B0 on the maps' grid with the mask's outline.

    Parameters
    ----------
    data : dict
        As ``statistics.collection_data`` makes it (the scans' ranges are
        kept in it for the other figures).

    Returns
    -------
    figure : Rows
    alt : str
        The alternative text.
    fields : dict of str to numpy.ndarray
        The field maps' sample in the brain, for the report's checks.
    """
    planes, samples, brain = data["planes"], data["samples"], data["brain"]
    rows, shown, fields = [], [], {}
    for role in ROLES:
        if role in planes:
            rows.append((role, _WEIGHTED[role], "gray", scan_range(data, role)))
            shown.append(_WEIGHTED[role])
    for key, label, colours in (("b1", "B1 (relative)", "RdBu_r"), ("b0", "B0 (Hz)", "PuOr_r")):
        if key in planes:
            fields[key] = samples[key][brain]
            # Centred on the nominal field, so that its sign reads off the colour.
            rows.append((key, label, colours, centred_range(fields[key], key == "b1")))
            shown.append(label)
    figure = Rows(planes["mtw"])
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


def alignment_figure(data: dict) -> tuple[Rows | None, str | None]:
    """The MT-weighted scan's tissue edges over the registered other scans.

    Parameters
    ----------
    data : dict
        As ``statistics.collection_data`` makes it (the scans' ranges are
        kept in it for the other figures).

    Returns
    -------
    figure : Rows or None
        None without a reference scan or with too few voxels in the brain.
    alt : str or None
        The alternative text.
    """
    planes, samples, brain = data["planes"], data["samples"], data["brain"]
    inside = samples["mtw"][brain]
    inside = inside[np.isfinite(inside)]
    # The references, which are registered onto the MT-weighted scan.
    shown = [(role, _WEIGHTED[role]) for role in ROLES if role != "mtw" and role in planes]
    if inside.size < 10 or not shown:
        return None, None
    # Iso-intensity lines of the MT-weighted scan between its tissue
    # classes: where its grey/white and CSF boundaries lie. On a scan that
    # is aligned they follow the same boundaries.
    levels = sorted({float(v) for v in np.percentile(inside, [25, 65])})
    figure = Rows(planes["mtw"])
    lines = [figure.lines(planes["mtw"], _ORANGE, level) for level in levels]
    for role, label in shown:
        low, high = scan_range(data, role)
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


def maps_figure(data: dict) -> tuple[Rows, str]:
    """Each map over the grey MT-weighted scan, inside the fitted brain.

    Parameters
    ----------
    data : dict
        As ``statistics.collection_data`` makes it (the scans' ranges are
        kept in it for the other figures).

    Returns
    -------
    figure : Rows
    alt : str
        The alternative text.
    """
    shown_maps = data["shown"]
    planes, samples, region = data["planes"], data["samples"], data["region"]
    figure = Rows(planes["mtw"])
    grey = coloured(_tiled(planes["mtw"])[0], "gray", *scan_range(data, "mtw"))
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
            f"{with_units(label, units)} over the MT-weighted scan in three planes, in the "
            f"fitted brain; colours from {low:.4g} to {high:.4g}."
        )
        figure.add(key, with_units(label, units), image, colours, (low, high), alt, outline)
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


def histograms(data: dict) -> tuple[str, str]:
    """Each shown map's histogram in the fitted brain, as inline SVG.

    Parameters
    ----------
    data : dict
        As ``statistics.collection_data`` makes it.

    Returns
    -------
    html : str
        The histograms side by side, a group named by the alternative text.
    alt : str
        The alternative text.
    """
    shown_maps, stride = data["shown"], data["stride"]
    svgs = []
    for key, label, units, _ in shown_maps:
        # In double: a narrow range of single-precision values leaves
        # sixty bins no room between representable edges.
        values = data["samples"][key][data["region"]].astype(np.float64)
        svgs.append(_histogram(values[np.isfinite(values)], stride, with_units(label, units)))
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


def embedded(figure, alt: str = "figure") -> str:
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


def group_figure(rows: list, named: dict) -> tuple:
    """The distribution of each map's per-participant medians, the outliers
    named beside their points.

    Parameters
    ----------
    rows : list of dict
        The rows of ``group.summarise_group``.
    named : dict of str to list of str
        Per map suffix, the rows (participant, session, ...) that are
        outliers (``statistics.cohort_outliers``).

    Returns
    -------
    figure : matplotlib.figure.Figure
    alt : str
        The alternative text.
    """
    # Drawn by the Agg canvas, which needs no display (and no pyplot, whose
    # import and figure registry cost more than the drawing).
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    across = min(4, len(GROUP_MAPS))
    down = -(-len(GROUP_MAPS) // across)
    figure = Figure(figsize=(11, 3.2 * down), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(down, across, squeeze=False)
    for axis in axes.ravel()[len(GROUP_MAPS) :]:
        axis.set_visible(False)
    rng = np.random.default_rng(0)
    names = [row_name(row) for row in rows]
    for axis, kind in zip(axes.ravel(), GROUP_MAPS):
        medians = np.array([row[f"{kind.suffix}_median"] for row in rows], dtype=float)
        finite = np.isfinite(medians)
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
    return figure, alt
