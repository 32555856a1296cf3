"""The participant's HTML report, for a person to look at before trusting
the maps; the participant level writes it (``participant_report``).

One self-contained page per participant (every picture inline: base64 PNG
or SVG, drawn by ``render``). Per collection: the share of the fitted
voxels solved with the counts per status; the three scans, the B1 and B0
maps and the brain mask's outline in three planes on the maps' grid (a B1
map of another head, or one misplaced, shows at a glance); an alignment
check (the MT-weighted scan's tissue edges over the registered PD- and
T1-weighted scans) and the estimated motion; the maps over the anatomy and
their histograms; medians and interquartile ranges per tissue class; the
parameters with where each came from; the inputs with their digests; the
software, command line and date; and the warnings, those of the chain and
those of the report's own checks of the inputs. Every colour range comes
from the data inside the brain mask (robust percentiles), or inside the
voxels with signal where there is no mask, so that background never sets it.
"""

import datetime
import hashlib
import html
import math
from pathlib import Path

from tavni.mt_map.bids.report import render
from tavni.mt_map.bids.report.page import page, rows_table
from tavni.mt_map.bids.report.statistics import (
    class_statistics,
    collection_data,
    input_checks,
    with_units,
)
from tavni.mt_map.defaults import ECHO_COMBINATION

__all__ = ["digest", "collection_figures", "participant_report"]


# What each echo combination does, for the report's line on the echoes.
_COMBINATIONS = {
    "te0": "each contrast extrapolated to TE = 0 with one R2* fitted over all echoes",
    "mean": "each contrast's echoes averaged (the MT-weighted scan, with fewer and earlier "
    "echoes, comes out brighter than its references: f biased low)",
    "first": "each contrast's first echo (biased where the first echo times differ)",
}


def digest(path, length: int = 12) -> str:
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


def collection_figures(result: dict, data: dict | None = None) -> list:
    """The figures of one collection's section.

    Parameters
    ----------
    result : dict
        What ``participant.map_collection`` returns, with "collected".
    data : dict, optional
        As ``statistics.collection_data`` makes it from the result.

    Returns
    -------
    list of (str, str, str, dict)
        Heading, the figure as HTML (its rows as inline PNGs with their
        colour bars, or inline SVG), alternative text and what the figure
        found: "ranges", the value range each row's colours span (per
        scan or map key); "fields", the field maps' sample in the brain,
        for the checks.
    """
    data = data or collection_data(result)
    rows, alt, fields = render.inputs_figure(data)
    found = {"fields": fields, "ranges": rows.ranges}
    figures = [("Inputs on the maps' grid", rows.html(alt), alt, found)]
    rows, alt = render.alignment_figure(data)
    if rows is not None:
        figures.append(("Alignment of the scans", rows.html(alt), alt, {"ranges": rows.ranges}))
    rows, alt = render.maps_figure(data)
    figures.append(("Maps over the MT-weighted scan", rows.html(alt), alt, {"ranges": rows.ranges}))
    picture, alt = render.histograms(data)
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
    html_text = f"<p><strong>{html.escape(line)}</strong></p>" + rows_table(
        ("status", "voxels", "share of the fitted"), rows
    )
    return html_text


def _tissue_section(data):
    """Median and IQR of each map per tissue class, from the sample."""
    how, classes = class_statistics(data)
    header = ["class", "voxels"] + [
        f"{with_units(label, units)} median [IQR]" for _, label, units, _ in data["shown"]
    ]
    rows = [
        [name, voxels]
        + [
            "n/a" if found is None else f"{found[1]:.4g} [{found[0]:.4g}, {found[2]:.4g}]"
            for found in quartiles
        ]
        for name, voxels, quartiles in classes
    ]
    stride = data["stride"]
    sampled = f" Voxels and statistics from a sample of 1 voxel in {stride}." if stride > 1 else ""
    return (
        f'<p class="muted">Classes: {html.escape(how)}. IQR: the 25th and 75th '
        f"percentiles.{sampled}</p>" + rows_table(header, rows)
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
    return rows_table(
        (
            "scan (onto the MT-weighted)",
            "translation x, y, z (mm)",
            "rotation x, y, z (deg)",
            "shift (mm)",
        ),
        rows,
    )


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
    return "<h2>Provenance</h2>" + rows_table(None, rows)


def _collection_section(result):
    data = collection_data(result)
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
        rows_table(("parameter", "value", "units", "source"), parameters),
        *_echoes_section(result.get("echoes")),
        "<h3>Inputs</h3>",
        "<ul>"
        + "".join(f"<li>{html.escape(s)}</li>" for s in result["sources"])
        + "".join(f"<li>{html.escape(n)}</li>" for n in result.get("notes", ()))
        + "</ul>",
    ]
    if files:
        parts.append(
            rows_table(("file", "sha256 (first 12)"), [(Path(p).name, digest(p)) for p in files])
        )
    warnings = list(result["warnings"]) + input_checks(data, fields)
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
    combination = echoes.get("EchoCombination", ECHO_COMBINATION)
    line = f"Echo combination: {combination}, {_COMBINATIONS.get(combination, combination)}."
    rows = [
        (contrast, len(times), ", ".join(f"{1000 * t:.3g}" for t in times))
        for contrast, times in echoes.get("EchoTimes", {}).items()
    ]
    parts = [
        "<h3>Echoes</h3>",
        f"<p>{html.escape(line)}</p>",
        rows_table(("contrast", "echoes", "echo times (ms)"), rows),
    ]
    counts = echoes.get("R2starStatus") or {}
    if counts:
        parts.append(rows_table(("R2* fit", "voxels"), [(n, c) for n, c in counts.items() if c]))
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


def participant_report(path, participant: str, results: list) -> None:
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
