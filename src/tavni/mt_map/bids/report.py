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
    "pyplot",
    "embedded",
    "page",
    "centre",
    "planes",
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


def _otsu(values, bins=128):
    """Otsu's threshold of values: the split that maximises the variance
    between the two classes of the histogram.
    """
    counts, edges = np.histogram(values, bins=bins)
    centres = (edges[:-1] + edges[1:]) / 2
    weight = np.cumsum(counts).astype(float)
    total = weight[-1]
    mean = np.cumsum(counts * centres)
    with np.errstate(invalid="ignore", divide="ignore"):
        between = (mean[-1] * weight / total - mean) ** 2 / (weight * (total - weight))
    return float(centres[int(np.nanargmax(between[:-1]))]) if counts.size > 1 else float(values[0])


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
    return valid & (image > _otsu(image[valid]))


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


def pyplot():
    """matplotlib.pyplot on the Agg backend, which needs no display."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def embedded(figure, alt="figure"):
    """The figure as an <img> with its PNG inline; closes the figure.

    Parameters
    ----------
    figure : matplotlib.figure.Figure
    alt : str
        What the figure shows, in words (the page's alternative text).

    Returns
    -------
    str
    """
    plt = pyplot()
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=80)
    plt.close(figure)
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


def centre(region):
    """Voxel indices through the middle of the region (of the volume if empty)."""
    if not region.any():
        return [n // 2 for n in region.shape]
    return [int(round(np.mean(axis))) for axis in np.nonzero(region)]


def planes(volume, middle):
    """Sagittal, coronal and axial slices through middle, oriented for display."""
    x, y, z = middle
    return [volume[x, :, :].T, volume[:, y, :].T, volume[:, :, z].T]


_PLANES = ("sagittal", "coronal", "axial")


def _image_grid(rows):
    """A figure of rows of three image panels, each row with its colour
    bar's own narrow column.

    A fixed layout: the panels carry no tick labels, so the only texts are
    the plane titles above the first row and the colour bars' ticks and
    labels in the margin to the right, which is sized for them
    (constrained layout would cost more than drawing the images).
    """
    plt = pyplot()
    height = 2.4 * rows + 0.4
    figure = plt.figure(figsize=(9, height))
    spec = figure.add_gridspec(
        rows,
        4,
        width_ratios=[1, 1, 1, 0.05],
        left=0.01,
        right=0.86,
        bottom=0.1 / height,
        top=1 - 0.35 / height,
        wspace=0.05,
        hspace=0.08,
    )
    axes = [[figure.add_subplot(spec[r, c]) for c in range(3)] for r in range(rows)]
    bars = [figure.add_subplot(spec[r, 3]) for r in range(rows)]
    for column, name in enumerate(_PLANES):
        axes[0][column].set_title(name, fontsize=10)
    return figure, axes, bars


def _grid_figure(rows, middle, outline=None):
    """Rows of three planes, each row with its colour bar.

    rows: (label, volume, colour map, (low, high), contours) where contours
    is None or (volume, levels, colour) drawn over each plane.
    """
    figure, axes, bars = _image_grid(len(rows))
    outlines = None if outline is None else planes(outline.astype(np.float32), middle)
    for row, (label, volume, colours, (low, high), contours) in enumerate(rows):
        drawn = None
        for column, image in enumerate(planes(volume, middle)):
            axis = axes[row][column]
            drawn = axis.imshow(image, origin="lower", cmap=colours, vmin=low, vmax=high)
            if contours is not None:
                lines, levels, colour = contours
                plane = np.nan_to_num(planes(lines, middle)[column])
                if plane.min() < max(levels) and plane.max() > min(levels):
                    axis.contour(plane, levels=levels, colors=colour, linewidths=0.7)
            if outlines is not None and outlines[column].any():
                # The brain mask's edge, where the fit was confined to.
                axis.contour(outlines[column], levels=[0.5], colors="#0cf", linewidths=0.8)
            axis.set_axis_off()
        _colour_bar(figure, drawn, bars[row], label)
    return figure


def _colour_bar(figure, drawn, bar, label):
    colour_bar = figure.colorbar(drawn, cax=bar)
    colour_bar.ax.tick_params(labelsize=8)
    colour_bar.ax.locator_params(nbins=5)
    colour_bar.set_label(label, fontsize=9)


def _volume(path, what):
    from tavni.mt_map.bids.derivatives import read_image

    volume = read_image(path, what)
    data = volume.data
    if data.ndim == 4 and data.shape[3] == 1:
        data = data[..., 0]
    return data, volume.affine


def _onto(path, what, reference, motion=None, field=False):
    """An input image on the maps' grid (the reference's shape and affine),
    moved by the motion the registration found; None where it cannot be
    read or lies elsewhere.
    """
    from tavni.mt_map.io.volumes import VolumeError
    from tavni.mt_map.preprocess import grid

    shape, affine = reference
    try:
        data, own = _volume(path, what)
    except (VolumeError, OSError, ValueError):
        return None
    if data.ndim != 3:
        return None
    if own is None or affine is None:
        return data if data.shape == tuple(shape) else None
    matrix = None if motion is None else np.asarray(motion["Matrix"], dtype=float)
    if matrix is None and grid.same_grid(data.shape, own, shape, affine):
        return data
    if field:
        return grid.field_onto(data, own, shape, affine)
    return grid.resample(data, own, shape, affine, world=matrix)


def _label(label, units):
    return f"{label} ({units})" if units else label


def _inputs_figure(result, anatomy, reference, region, mask, middle):
    """The three scans, B1 and B0 on the maps' grid with the mask's outline."""
    motion = result.get("motion") or {}
    scans = result.get("scans") or {}
    rows, shown = [], []
    for role, label in (("pdw", "PD-weighted"), ("t1w", "T1-weighted"), ("mtw", "MT-weighted")):
        data = anatomy if role == "mtw" else None
        if data is None and scans.get(role):
            data = _onto(scans[role], f"{label} scan", reference, motion.get(role))
        if data is not None:
            rows.append((label, data, "gray", display_range(data, region), None))
            shown.append(label)
    fields = {}
    for key, label, colours in (("b1", "B1 (relative)", "RdBu_r"), ("b0", "B0 (Hz)", "PuOr_r")):
        if result.get(key):
            data = _onto(result[key], label, reference, field=True)
            if data is not None:
                fields[key] = data
                low, high = display_range(data, region)
                # Centred on the nominal field, so that its sign reads off the colour.
                nominal = 1.0 if key == "b1" else 0.0
                half = max(abs(low - nominal), abs(high - nominal)) or 0.1
                rows.append((label, data, colours, (nominal - half, nominal + half), None))
                shown.append(label)
    figure = _grid_figure(rows, middle, mask)
    alt = (
        f"The {', '.join(shown)} on the maps' grid in sagittal, coronal and axial planes"
        + (", the brain mask outlined in cyan" if mask is not None else "")
        + "; grey scales and colour ranges from the 2nd to 98th percentile inside the brain."
    )
    return figure, alt, fields


def _alignment_figure(result, anatomy, reference, region, middle):
    """The MT-weighted scan's tissue edges over the registered other scans."""
    motion = result.get("motion") or {}
    scans = result.get("scans") or {}
    inside = anatomy[region & np.isfinite(anatomy)]
    if inside.size < 10:
        return None, None
    # Iso-intensity lines of the MT-weighted scan between its tissue
    # classes: where its grey/white and CSF boundaries lie. On a scan that
    # is aligned they follow the same boundaries.
    levels = sorted({float(v) for v in np.percentile(inside, [25, 65])})
    rows = []
    for role, label in (("pdw", "PD-weighted"), ("t1w", "T1-weighted")):
        if scans.get(role):
            data = _onto(scans[role], f"{label} scan", reference, motion.get(role))
            if data is not None:
                rows.append(
                    (
                        f"{label}, registered",
                        data,
                        "gray",
                        display_range(data, region),
                        (anatomy, levels, "#f40"),
                    )
                )
    if not rows:
        return None, None
    alt = (
        "Alignment check: iso-intensity lines (orange) of the MT-weighted scan between its "
        "tissue classes drawn over the registered "
        + " and ".join(r[0].split(",")[0] for r in rows)
        + " scans in three planes; they follow the tissue boundaries where the scans align."
    )
    return _grid_figure(rows, middle), alt


def _maps_figure(anatomy, images, region, middle, mask):
    figure, axes, bars = _image_grid(len(SHOWN))
    outlines = None if mask is None else planes(mask.astype(np.float32), middle)
    low_a, high_a = display_range(anatomy, region)
    for row, (key, label, units, colours) in enumerate(SHOWN):
        shown = np.where(region & np.isfinite(images[key]), images[key], np.nan)
        low, high = display_range(shown, region)
        drawn = None
        for column, (background, overlay) in enumerate(
            zip(planes(anatomy, middle), planes(shown, middle))
        ):
            axis = axes[row][column]
            axis.imshow(background, origin="lower", cmap="gray", vmin=low_a, vmax=high_a)
            drawn = axis.imshow(
                overlay, origin="lower", cmap=colours, vmin=low, vmax=high, alpha=0.85
            )
            if outlines is not None and outlines[column].any():
                axis.contour(outlines[column], levels=[0.5], colors="#0cf", linewidths=0.8)
            axis.set_axis_off()
        _colour_bar(figure, drawn, bars[row], _label(label, units))
    alt = (
        "The maps ("
        + ", ".join(label for _, label, _, _ in SHOWN)
        + ") over the MT-weighted scan in three planes, in the fitted brain; colour ranges "
        "from the 2nd to 98th percentile there."
    )
    return figure, alt


def _histograms_figure(images, region):
    plt = pyplot()
    figure, axes = plt.subplots(1, len(SHOWN), figsize=(11, 2.8), layout="constrained")
    for axis, (key, label, units, _) in zip(axes, SHOWN):
        values = images[key][region]
        values = values[np.isfinite(values)]
        if values.size:
            low, high = display_range(values, None, (0.5, 99.5))
            axis.hist(values, bins=60, range=(low, high), color="#446")
            axis.axvline(float(np.median(values)), color="#a40", label="median")
            axis.legend(fontsize=8)
        axis.locator_params(axis="x", nbins=4)
        axis.set_xlabel(_label(label, units))
        axis.set_ylabel("voxels")
    alt = (
        "Histograms of "
        + ", ".join(label for _, label, _, _ in SHOWN)
        + " in the fitted brain, each with its median marked."
    )
    return figure, alt


def _collection_data(result):
    """The images a collection's section shows, read once."""
    from tavni.mt_map.bids.derivatives import read_image

    outputs = result["outputs"]
    status = read_image(outputs["status"], "status map").data
    images = {key: read_image(outputs[key], key).data for key, *_ in SHOWN}
    anatomy, affine = _volume(result["anatomy"], "anatomy")
    mask = None
    if result.get("mask"):
        mask = np.nan_to_num(_volume(result["mask"], "brain mask")[0]) != 0
        if mask.shape != status.shape:
            mask = None  # not on the maps' grid: described, not drawn
    # The brain: the mask, else the voxels with signal; the fitted brain is
    # what the maps are shown and summarised in.
    brain = mask if mask is not None else signal_region(anatomy)
    from tavni.mt_map.status import fitted

    region = fitted(status) & brain
    return {
        "status": status,
        "images": images,
        "anatomy": anatomy,
        "reference": (anatomy.shape, affine),
        "mask": mask,
        "brain": brain,
        "region": region,
        "middle": centre(brain if brain.any() else region),
    }


def collection_figures(result, data=None):
    """The figures of one collection's section.

    Parameters
    ----------
    result : dict
        What ``participant.map_collection`` returns.
    data : dict, optional
        The images, as read for the section; read here when None.

    Returns
    -------
    list of (str, matplotlib.figure.Figure, str, dict)
        Heading, figure, alternative text and what the figure found (the
        field maps on the maps' grid, for the checks).
    """
    data = data or _collection_data(result)
    anatomy, brain, region, middle = (data[k] for k in ("anatomy", "brain", "region", "middle"))
    figure, alt, fields = _inputs_figure(
        result, anatomy, data["reference"], brain, data["mask"], middle
    )
    figures = [("Inputs on the maps' grid", figure, alt, {"fields": fields})]
    figure, alt = _alignment_figure(result, anatomy, data["reference"], brain, middle)
    if figure is not None:
        figures.append(("Alignment of the scans", figure, alt, {}))
    figure, alt = _maps_figure(anatomy, data["images"], region, middle, data["mask"])
    figures.append(("Maps over the MT-weighted scan", figure, alt, {}))
    figure, alt = _histograms_figure(data["images"], region)
    figures.append(("Histograms in the fitted brain", figure, alt, {}))
    return figures


def _status_section(status):
    """The share solved over the fitted voxels, and the counts per status."""
    from tavni.mt_map.status import not_fitted
    from tavni.mt_map.workflows.summary import summarise

    summary = summarise(status)
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
    labels, how = tissue_classes(data["images"]["r1"], data["region"])
    if labels is None:
        classes = [("fitted brain", data["region"])]
        how = f"the fitted brain as one class ({how})"
    else:
        classes = [(name, labels == k + 1) for k, name in enumerate(_CLASSES)]
    header = ["class", "voxels"] + [
        f"{_label(label, units)} median [IQR]" for _, label, units, _ in SHOWN
    ]
    rows = []
    for name, where in classes:
        row = [name, int(where.sum())]
        for key, *_ in SHOWN:
            values = data["images"][key][where]
            values = values[np.isfinite(values)]
            if values.size:
                q25, median, q75 = np.percentile(values, [25, 50, 75])
                row.append(f"{median:.4g} [{q25:.4g}, {q75:.4g}]")
            else:
                row.append("n/a")
        rows.append(row)
    return (
        f'<p class="muted">Classes: {html.escape(how)}. IQR: the 25th and 75th percentiles.</p>'
        + _rows_table(header, rows)
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
    if data["mask"] is None:
        found.append(
            "no brain mask on the maps' grid: every voxel with a measurement was fitted, "
            "background included; the report summarises the voxels with signal"
        )
    brain = data["brain"]
    b1 = fields.get("b1")
    if b1 is not None and brain.any():
        inside = b1[brain]
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
    status_html = _status_section(data["status"])
    parts = [f"<h2>{html.escape(title)}</h2>", "<h3>Status of the fit</h3>", status_html]
    fields = {}
    for heading, figure, alt, found in collection_figures(result, data):
        fields.update(found.get("fields", {}))
        parts += [f"<h3>{html.escape(heading)}</h3>"]
        if heading.startswith("Inputs"):
            parts.append(_mask_line(result, data["mask"]))
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


def _mask_line(result, mask):
    """Where the brain mask came from, and its size."""
    origin = (result.get("brain_mask") or {}).get("Origin", "none")
    text = f"Brain mask: {origin}"
    if mask is not None:
        text += f"; {int(mask.sum())} voxels, outlined in cyan"
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
    plt = pyplot()
    across = min(4, len(GROUP_MAPS))
    down = -(-len(GROUP_MAPS) // across)
    figure, axes = plt.subplots(
        down, across, figsize=(11, 3.2 * down), squeeze=False, layout="constrained"
    )
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
