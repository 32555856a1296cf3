"""The BIDS App's reports as a person sees them: rendered in a browser, no
label over another, colour ranges set by the brain, the share solved over
the fitted voxels, the outliers of a cohort named; the colour tables the
participant report draws with, against matplotlib's maps.
"""

import base64
import csv
import io
import math
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

from tavni.mt_map import cli
from tavni.mt_map.bids.report import participant_page, render, statistics
from tavni.mt_map.outputs import BIDS_MAPS, MAPS


def _moved(value, work, out):
    """Paths into a participant's work folder, once it is committed."""
    if isinstance(value, dict):
        return {k: _moved(v, work, out) for k, v in value.items()}
    if isinstance(value, list):
        return [_moved(v, work, out) for v in value]
    if isinstance(value, str) and value.startswith(work):
        return out + value[len(work) :]
    return value


def _run(raw, out, *extra):
    """The participant level in this process: each collection's result
    (paths as committed) with the figures of its report, drawn while the
    work folder's inputs (B1 made relative) were there.
    """
    captured = []
    write = participant_page.participant_report

    def keep(path, participant, results):
        for result in results:
            figures = participant_page.collection_figures(result)
            captured.append((_moved(result, str(path.parent), str(out)), figures))
        write(path, participant, results)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(participant_page, "participant_report", keep)
        protocol = str(raw / "code/protocol.json")
        arguments = ["bids", str(raw), str(out), "participant", "--quiet", "--protocol", protocol]
        assert cli.main([*arguments, *extra]) == 0
    return captured


@pytest.fixture(scope="module")
def derived(tmp_path_factory):
    """A noisy phantom dataset (background of Rician noise), its derivatives
    with computed masks and the group level, and one participant without a
    mask.
    """
    root = tmp_path_factory.mktemp("report")
    raw = root / "raw"
    shape = ["--shape", "24", "24", "16", "--snr", "100", "--quiet"]
    assert cli.main(["phantom", "--bids", str(raw), "--participants", "2", *shape]) == 0
    masked = _run(raw, root / "out")
    assert cli.main(["bids", str(raw), str(root / "out"), "group", "--quiet"]) == 0
    unmasked = _run(raw, root / "nomask", "--no-mask", "--participant-label", "01")
    return root / "out", masked, unmasked


def _drawn_texts(figure):
    """The texts a figure draws, with their boxes in pixels."""
    import matplotlib.text

    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    ticks, shown = set(), []
    for axes in figure.axes:
        for axis in (axes.xaxis, axes.yaxis):
            low, high = sorted(axis.get_view_interval())
            slack = 1e-9 * max(abs(low), abs(high), 1.0)
            for tick in axis.get_major_ticks() + axis.get_minor_ticks():
                ticks.update((id(tick.label1), id(tick.label2)))
                # Ticks outside the view keep their labels, undrawn.
                if low - slack <= tick.get_loc() <= high + slack:
                    shown += [t for t in (tick.label1, tick.label2) if t.get_visible()]
    shown += [t for t in figure.findobj(matplotlib.text.Text) if id(t) not in ticks]
    return [
        (t.get_text(), t.get_window_extent(renderer))
        for t in shown
        if t.get_visible() and t.get_text().strip()
    ]


def _overlaps(figure):
    boxes = _drawn_texts(figure)
    return [
        (a, b)
        for i, (a, first) in enumerate(boxes)
        for b, second in boxes[i + 1 :]
        # One pixel of touching is not an overlap.
        if first.x0 < second.x1 - 1
        and second.x0 < first.x1 - 1
        and first.y0 < second.y1 - 1
        and second.y0 < first.y1 - 1
    ]


def _rows(out):
    with open(out / "group/summary.tsv") as stream:
        return list(csv.DictReader(stream, delimiter="\t"))


def _cohort(medians):
    """Group rows whose every map has the given per-participant medians."""
    return [
        {
            "participant_id": f"sub-{i:02d}",
            "session_id": "n/a",
            "acq": "n/a",
            "run": "n/a",
            "share_solved": 0.99,
            "warnings": "n/a",
            **{f"{kind.suffix}_median": value for kind in BIDS_MAPS},
        }
        for i, value in enumerate(medians, 1)
    ]


def test_no_text_over_another(derived):
    """Every figure of both reports is there with its alternative text; in
    the group report's, no label, title or tick runs into another (the
    participant report's texts are HTML, laid out by the browser).
    """
    out, masked, unmasked = derived
    rows = [
        {
            k: float(v) if k.endswith(("_median", "_iqr", "share_solved")) else v
            for k, v in r.items()
        }
        for r in _rows(out)
    ]
    checked = 0
    for _, figures in masked + unmasked:
        for heading, picture, alt, _ in figures:
            assert len(alt) > 40 and ("<img " in picture or "<svg " in picture), heading
            checked += 1
    for group in (rows, _cohort([0.1, 0.11, 0.12, 0.105, 0.4, 0.02])):
        named = statistics.cohort_outliers(group)
        figure, _ = render.group_figure(group, named)
        assert _overlaps(figure) == []
    # The inputs, the alignment, the maps, the histograms of each run; and
    # the cohort's outliers above and below named.
    assert checked == 4 * len(masked + unmasked)
    assert named[BIDS_MAPS[0].suffix] == ["sub-05", "sub-06"]


def test_colour_ranges_from_the_brain(derived):
    """Without a mask the background's noise is fitted (R1 far beyond
    tissue's), yet every map's colours span the brain's values alone,
    the sd map's included.
    """
    _, _, ((result, figures),) = derived
    (images,) = [found["ranges"] for heading, _, _, found in figures if heading.startswith("Maps")]
    assert set(images) == {key for key, *_ in statistics.SHOWN}
    from tavni.mt_map.bids.derivatives import read_image
    from tavni.mt_map.status import fitted

    status = read_image(result["outputs"]["status"], "status").data
    brain = statistics.signal_region(read_image(result["anatomy"], "MT-weighted").data)
    r1 = read_image(result["outputs"]["r1"], "R1").data
    assert np.nanmax(r1[fitted(status) & ~brain]) > 5  # the background was fitted
    for key, (low, high) in images.items():
        values = read_image(result["outputs"][key], key).data[fitted(status) & brain]
        inside = np.percentile(values[np.isfinite(values)], [1, 99])
        assert inside[0] <= low < high <= inside[1], key
    assert images["uncertainty"][1] < 0.01  # not the fixed 0-0.02 of old


def test_share_solved_over_fitted_voxels(derived):
    """The report's share is the group table's: solved over fitted, not
    over the whole volume with its masked voxels.
    """
    out, _, _ = derived
    page = (out / "sub-01.html").read_text()
    share, fitted, outside, total = re.search(
        r"Solved: ([\d.]+) % of (\d+) fitted voxels \((\d+) of (\d+) not fitted", page
    ).groups()
    (row,) = [r for r in _rows(out) if r["participant_id"] == "sub-01"]
    assert int(fitted) == int(row["voxels"]) and int(fitted) + int(outside) == int(total)
    assert float(share) == pytest.approx(100 * float(row["share_solved"]), abs=0.05)
    assert float(share) > 80 and int(fitted) < int(total) / 2


@pytest.mark.parametrize(
    "values, expected",
    [
        ([1.0, 1.1, 0.9, 1.05, 3.0], ["e"]),
        ([1.0, 1.1, math.nan, 0.95, 1.05, -2.0], ["f"]),
        ([1.0, 5.0, 1.1], []),  # too few for quartiles
        ([1.0, 1.0, 1.0, 1.0], []),
    ],
)
def test_outliers(values, expected):
    assert statistics.outliers(values, "abcdef"[: len(values)]) == expected


def test_tissue_classes(derived):
    """R1 in the brain splits into CSF < grey < white matter; a flat map
    into nothing, and says so.
    """
    from tavni.mt_map.bids.derivatives import read_image

    _, ((result, _), _), _ = derived
    r1 = read_image(result["outputs"]["r1"], "R1").data
    region = np.isfinite(r1) & (read_image(result["mask"], "mask").data > 0)
    labels, how = statistics.tissue_classes(r1, region)
    medians = [np.median(r1[labels == k]) for k in (1, 2, 3)]
    assert medians == sorted(medians) and "k-means" in how
    assert statistics.tissue_classes(np.ones_like(r1), region) == (
        None,
        "the R1 values form no three classes",
    )


@pytest.mark.parametrize(
    "page, pictures", [("sub-01.html", (4, 11)), ("group/report.html", (0, 1))]
)
def test_reports_render(derived, tmp_path, page, pictures):
    """Both reports in headless Chromium: figures drawn (colour over a
    visible share of the page), every picture (PNG or SVG) with its
    alternative text; the participant's rows show the mask's outline
    (cyan) and the alignment check's lines (orange).
    """
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("no chromium (apt-get install chromium)")
    page = derived[0] / page
    shot = tmp_path / "shot.png"
    # The browser runs without the sanitizer runtimes the test process may
    # have preloaded: they are for our modules, not for chromium.
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
    }
    subprocess.run(
        [
            browser,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            f"--screenshot={shot}",
            "--window-size=1200,2400",
            page.as_uri(),
        ],
        check=True,
        capture_output=True,
        timeout=120,
        env=env,
    )
    from PIL import Image

    pixels = np.asarray(Image.open(shot).convert("RGB")) / 255.0
    assert pixels.std() > 0.05  # not a blank page
    # The figures' colour maps and filled boxes cover a visible share of the
    # page; text, tables and broken-image icons are (nearly) grey.
    chroma = pixels.max(axis=-1) - pixels.min(axis=-1)
    assert (chroma > 0.25).mean() > 0.01
    text = page.read_text()
    pngs = re.findall(
        r'<img alt="([^"]*)" (?:width="\d+" )?src="data:image/png;base64,([^"]+)"', text
    )
    svgs = re.findall(r'<svg [^>]*role="img" aria-label="([^"]*)"', text)
    assert text.count("<img ") == len(pngs) and text.count("<svg") == len(svgs)
    assert (len(svgs), len(pngs)) == pictures
    assert all(len(alt) > 40 for alt, _ in pngs) and all(len(alt) > 40 for alt in svgs)
    if svgs:
        # Pixels of the lines' colours: the outline in every input row, the
        # iso-intensity lines in both alignment rows.
        rows = [
            np.asarray(Image.open(io.BytesIO(base64.b64decode(data))).convert("RGB"))
            for _, data in pngs
        ]
        for colour, shown in (((0, 204, 255), range(5)), ((255, 68, 0), range(5, 7))):
            for row in (rows[k] for k in shown):
                assert (row == colour).all(axis=-1).sum() > 100, colour


@pytest.mark.parametrize("run", [7, 24, 48, 100, 24 * 9 * 3])
def test_collector_planes_and_sample(run):
    """Runs of any length (parts of a plane, whole planes, across planes)
    give the planes through the centre and the mask's sample of the volume.
    """
    from tavni.mt_map.bids.report.collect import Collector

    rng = np.random.default_rng(1)
    shape, middle = (24, 9, 7), (5, 3, 4)
    volume = rng.normal(size=shape).astype(np.float32)
    mask = rng.random(shape) > 0.4
    flat, inside = volume.reshape(-1, order="F"), mask.reshape(-1, order="F")
    collector = Collector(shape, middle, ["fraction"], inside.sum(), sample=100)
    for start in range(0, flat.size, run):
        part = slice(start, start + run)
        collector(start, {"mtw": flat[part], "mask": inside[part]}, {"fraction": -flat[part]})
    found = collector.finish()
    x, y, z = middle
    expected = [volume[x, :, :].T, volume[:, y, :].T, volume[:, :, z].T]
    for name, sign in (("mtw", 1), ("fraction", -1)):
        for plane, truth in zip(found.planes[name], expected):
            np.testing.assert_array_equal(plane, sign * truth)
    assert found.stride == inside.sum() // 100 and found.mask_voxels == inside.sum()
    np.testing.assert_array_equal(found.samples["mtw"], flat[inside][:: found.stride])


def test_participant_without_pyplot_and_group_from_its_statistics(derived, tmp_path):
    """A participant run imports no matplotlib; the group level's numbers,
    from the statistics written beside the maps, are those of the maps.
    """
    import sys

    from tavni.mt_map.bids import group

    out = tmp_path / "out"
    raw = derived[0].parent / "raw"
    script = (
        "import sys; from tavni.mt_map import cli; "
        f"code = cli.main(['bids', {str(raw)!r}, {str(out)!r}, 'participant', '--quiet', "
        f"'--participant-label', '01', '--protocol', {str(raw / 'code/protocol.json')!r}]); "
        "print(code, 'matplotlib' in sys.modules)"
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=os.environ
    )
    assert done.stdout.splitlines()[-1].split() == ["0", "False"], done.stderr
    assert cli.main(["bids", str(raw), str(out), "group", "--quiet"]) == 0
    (row,) = _rows(out)
    stem = str(out / "sub-01/anat/sub-01")
    outputs = {kind.key: f"{stem}_{kind.suffix}.nii.gz" for kind in BIDS_MAPS}
    exact = group.map_statistics({**outputs, "status": f"{stem}_desc-MPFstatus_dseg.nii.gz"})
    for key, value in exact.items():
        assert float(row[key]) == pytest.approx(value, rel=1e-5), key


@pytest.mark.parametrize(
    "name", ["gray", "RdBu_r", "PuOr_r", *sorted({row.display[1] for row in MAPS if row.display})]
)
def test_colour_tables_follow_matplotlib(name):
    """Each colour table against matplotlib's map of the same name, values
    beyond the range and NaN included: at most 0.02 off in any channel.
    """
    import matplotlib

    from tavni.mt_map.bids.report import colours

    values = np.append(np.linspace(-0.3, 1.3, 2001), np.nan).astype(np.float32)
    drawn = colours.coloured(values, name, 0.0, 1.0) / 255.0
    expected = matplotlib.colormaps[name](values[:-1])[:, :3]
    assert np.abs(drawn[:-1] - expected).max() < 0.02
    assert drawn[-1].tolist() == [1.0, 1.0, 1.0]  # NaN shows the page
