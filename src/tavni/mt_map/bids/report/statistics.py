"""The numbers of the BIDS App's reports, computed from what the chain's pass
collected: no drawing here. The participant page, the group page and the
rendering module read them, and the participant level writes the group
level's statistics (``group_statistics``) beside the maps.

What the sections show (``SHOWN``, ``shown``) and how a map is named with
its unit; the colour ranges (robust percentiles inside the brain, or inside
the voxels with signal where there is no mask, so that background never
sets them); the voxels with signal (Otsu's threshold); the tissue classes of
the R1 map and each map's quartiles per class; the report's own checks of
the field maps; the cohort's outliers (Tukey's fences).
"""

import math

import numpy as np

from tavni.mt_map.outputs import GROUP_MAPS, MAPS

__all__ = [
    "SHOWN",
    "PERCENTILES",
    "with_units",
    "shown",
    "display_range",
    "scan_range",
    "centred_range",
    "signal_threshold",
    "signal_region",
    "tissue_classes",
    "class_statistics",
    "collection_data",
    "input_checks",
    "outliers",
    "row_name",
    "cohort_outliers",
    "group_statistics",
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

PERCENTILES = (2.0, 98.0)
"""The percentiles of the values inside the brain (or the voxels with
signal) that bound every colour range: a few hot or dead voxels do not
squeeze the scale, and background never sets it."""

# Relative B1 inside the brain beyond which the map more likely belongs to
# another head, another position or another unit than to the transmit field
# (a head coil's field stays within about +-30 % of nominal at 3 T).
_B1_PLAUSIBLE = (0.7, 1.3)
_B1_COVERED = 0.95  # share of the brain the B1 map must cover


def with_units(label: str, units: str) -> str:
    """A map's or scan's name with its unit in brackets, where it has one.

    Parameters
    ----------
    label : str
    units : str
        Empty for a quantity without unit.

    Returns
    -------
    str
    """
    return f"{label} ({units})" if units else label


def shown(result: dict) -> tuple:
    """The maps a collection's section shows: ``SHOWN``, and R2* where the
    scans had echoes.

    Parameters
    ----------
    result : dict
        What ``participant.map_collection`` returns ("outputs" read).

    Returns
    -------
    tuple of (str, str, str, str)
        Key, label, unit and colour map of each map, as in ``SHOWN``.
    """
    return SHOWN + tuple(row for row in _ECHO_SHOWN if row[0] in result["outputs"])


def display_range(
    values: np.ndarray, region: np.ndarray | None = None, percentiles=PERCENTILES
) -> tuple[float, float]:
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


def scan_range(data: dict, role: str) -> tuple[float, float]:
    """A scan's grey range from the brain, computed once for the figures
    that show it.

    Parameters
    ----------
    data : dict
        As ``collection_data`` makes it; the range is kept in it.
    role : str
        The scan's role (``scans.ROLES``).

    Returns
    -------
    (float, float)
        As ``display_range``.
    """
    ranges = data.setdefault("scan_ranges", {})
    if role not in ranges:
        ranges[role] = display_range(data["samples"][role][data["brain"]])
    return ranges[role]


def centred_range(values: np.ndarray, relative: bool) -> tuple[float, float]:
    """A field map's range centred on the nominal field (relative B1 1,
    B0 0 Hz) and spanning its display range, so that the deviation's sign
    reads off the colour.

    Parameters
    ----------
    values : numpy.ndarray
        The field map's values in the brain.
    relative : bool
        A relative B1 map (nominal 1); else an off-resonance map (nominal 0).

    Returns
    -------
    (float, float)
    """
    low, high = display_range(values)
    nominal = 1.0 if relative else 0.0
    half = max(abs(low - nominal), abs(high - nominal)) or 0.1
    return nominal - half, nominal + half


def signal_threshold(values: np.ndarray, bins: int = 128) -> float:
    """Otsu's threshold of the finite positive values: above it, voxels
    with signal (the background of a magnitude image is noise well below
    tissue). NaN when fewer than two such values.

    Parameters
    ----------
    values : numpy.ndarray
    bins : int

    Returns
    -------
    float
    """
    values = np.asarray(values, dtype=np.float64)
    values = values[np.isfinite(values) & (values > 0)]
    if values.size < 2:
        return math.nan
    counts, edges = np.histogram(values, bins=bins)
    centres = (edges[:-1] + edges[1:]) / 2
    weight = np.cumsum(counts).astype(float)
    total = weight[-1]
    mean = np.cumsum(counts * centres)
    with np.errstate(invalid="ignore", divide="ignore"):
        between = (mean[-1] * weight / total - mean) ** 2 / (weight * (total - weight))
    return float(centres[int(np.nanargmax(between[:-1]))])


def signal_region(image: np.ndarray) -> np.ndarray:
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


def tissue_classes(
    r1: np.ndarray, region: np.ndarray, iterations: int = 30
) -> tuple[np.ndarray | None, str]:
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


def collection_data(result: dict) -> dict:
    """What a collection's section shows, from what the pass collected
    (``result["collected"]``, a ``collect.Collected``): the planes, the
    samples and where the brain and the fitted brain are in both.

    Parameters
    ----------
    result : dict
        What ``participant.map_collection`` returns, with "collected".

    Returns
    -------
    dict
        "shown" (as ``shown``), "planes" and "samples" (the collected),
        "stride", "brain" and "region" (the brain and the fitted brain in
        the sample), "region_planes" (the fitted brain in the planes),
        "outlines" (the mask's planes, None without a mask) and
        "mask_voxels" (None without a mask).
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
        "shown": shown(result),
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


def class_statistics(data: dict) -> tuple[str, list]:
    """Each shown map's quartiles per tissue class, from the sample.

    Parameters
    ----------
    data : dict
        As ``collection_data`` makes it.

    Returns
    -------
    how : str
        How the classes were found (the fitted brain as one class where
        the R1 values form no three).
    rows : list of (str, int, list)
        Per class: its name, its voxels (each sampled voxel stands for
        ``stride`` voxels), and per shown map its 25th, 50th and 75th
        percentiles of the finite values, or None where there is none.
    """
    region, samples, stride = data["region"], data["samples"], data["stride"]
    labels, how = tissue_classes(samples["r1"][region], np.ones(int(region.sum()), bool))
    if labels is None:
        classes = [("fitted brain", np.ones(int(region.sum()), bool))]
        how = f"the fitted brain as one class ({how})"
    else:
        classes = [(name, labels == k + 1) for k, name in enumerate(_CLASSES)]
    rows = []
    for name, where in classes:
        quartiles = []
        for key, *_ in data["shown"]:
            values = samples[key][region][where]
            values = values[np.isfinite(values)]
            quartiles.append(np.percentile(values, [25, 50, 75]) if values.size else None)
        rows.append((name, int(where.sum()) * stride, quartiles))
    return how, rows


def input_checks(data: dict, fields: dict) -> list[str]:
    """What the report itself finds questionable in the inputs (a low share
    solved is the chain's own warning already).

    Parameters
    ----------
    data : dict
        As ``collection_data`` makes it.
    fields : dict of str to numpy.ndarray
        The field maps' sample in the brain ("b1" read).

    Returns
    -------
    list of str
        One warning each, in words.
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


def outliers(values, names) -> list[str]:
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


def row_name(row: dict) -> str:
    """A group row's name: participant, session, acquisition and run.

    Parameters
    ----------
    row : dict
        A row of ``group.summarise_group`` ("n/a" where an entity is absent).

    Returns
    -------
    str
    """
    parts = [row["participant_id"]]
    if row.get("session_id", "n/a") != "n/a":
        parts.append(row["session_id"])
    parts += [f"{k}-{row[k]}" for k in ("acq", "run") if row.get(k, "n/a") != "n/a"]
    return " ".join(parts)


def cohort_outliers(rows: list) -> dict:
    """Per map of the group, the rows whose per-participant median is an
    outlier of the cohort (see ``outliers``).

    Parameters
    ----------
    rows : list of dict
        The rows of ``group.summarise_group``.

    Returns
    -------
    dict of str to list of str
        Per map suffix (``outputs.GROUP_MAPS``), the names (``row_name``)
        of its outliers.
    """
    names = [row_name(row) for row in rows]
    return {
        kind.suffix: outliers(
            np.array([row[f"{kind.suffix}_median"] for row in rows], dtype=float), names
        )
        for kind in GROUP_MAPS
    }


def group_statistics(collected, counts: dict, group_maps) -> dict:
    """The group level's row of one collection: the fitted voxels, the
    share solved, and each map's median and interquartile range over the
    sample of the fitted voxels.

    Parameters
    ----------
    collected : Collected
    counts : dict of str to int
        Voxels per status (the chain's summary).
    group_maps : sequence of outputs.OutputMap
        The maps summarised (``outputs.GROUP_MAPS``).

    Returns
    -------
    dict
        JSON-able: "voxels", "share_solved", ``<suffix>_median`` and
        ``<suffix>_iqr`` (None where NaN), and "SampleStride".
    """
    from tavni.mt_map.status import fitted
    from tavni.mt_map.workflows.summary import Summary

    summary = Summary(dict(counts or {}))
    status = collected.samples.get("status")
    region = fitted(status) if status is not None else np.zeros(0, bool)
    row = {
        "voxels": summary.fitted,
        "share_solved": summary.solved_share if summary.fitted else None,
    }
    for kind in group_maps:
        values = collected.samples.get(kind.key, np.zeros(region.size))[region]
        values = values[np.isfinite(values)].astype(np.float64)
        if values.size:
            q25, median, q75 = (float(v) for v in np.percentile(values, [25, 50, 75]))
            row[f"{kind.suffix}_median"], row[f"{kind.suffix}_iqr"] = median, q75 - q25
        else:
            row[f"{kind.suffix}_median"] = row[f"{kind.suffix}_iqr"] = None
    row["SampleStride"] = collected.stride
    return row
