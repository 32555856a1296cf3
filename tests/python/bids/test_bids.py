"""The BIDS App: a synthetic qMRI-BIDS dataset through participant and group
levels, locally and on a Dask cluster, and the reports in a browser.
"""

import json
import os
import shutil
import subprocess
import sys
import zlib
from pathlib import Path

import nibabel
import numpy as np
import pytest
from conftest import BIDS_ECHO_TIMES, BIDS_R2STAR, write_bids_dataset

from tavni.mt_map import cli
from tavni.mt_map.bids import base, naming
from tavni.mt_map.bids.collections import collections_of
from tavni.mt_map.bids.dataset import open_layout, participants_and_sessions
from tavni.mt_map.bids.settings import Reading
from tavni.mt_map.bids.sidecars import read_overrides

PARTICIPANTS = ("01", "02", "03")


def run_app(raw, out, *extra):
    return cli.main(
        ["bids", str(raw), str(out), *extra, "--quiet", "--protocol", str(raw / "protocol.json")]
    )


@pytest.fixture(scope="module")
def serial(tmp_path_factory):
    """A dataset and its derivatives from one serial participant and group run."""
    root = tmp_path_factory.mktemp("serial")
    raw = write_bids_dataset(root / "raw", PARTICIPANTS)
    assert run_app(raw, root / "out", "participant") == 0
    assert cli.main(["bids", str(raw), str(root / "out"), "group", "--quiet"]) == 0
    return raw, root / "out"


def derived_files(out):
    files = (p for p in out.glob("sub-*/**/*") if p.is_file() and not p.name.startswith("."))
    return sorted(p.relative_to(out) for p in files)


def test_derivatives_dataset(serial):
    raw, out = serial
    description = json.loads((out / "dataset_description.json").read_text())
    assert description["DatasetType"] == "derivative"
    assert description["GeneratedBy"][0]["Name"] == base.APP_NAME
    names = derived_files(out)
    assert len(names) == 22 * len(PARTICIPANTS)
    # Each participant folder's record lists what it holds, and its report.
    record = json.loads((out / "sub-01/.mt-map-files.json").read_text())["files"]
    ours = {n.as_posix() for n in names if n.parts[0] == "sub-01"} | {"sub-01.html"}
    assert {f for f in record if not f.endswith("/")} == ours
    # Only the custom fraction map and the status segmentation are outside
    # the schema, and .bidsignore lists them.
    ignored = (out / ".bidsignore").read_text().split()
    outside = [Path(p) for p in naming.unmatched_names(["/" + str(n) for n in names])]
    assert outside and all(any(p.match(pattern) for pattern in ignored) for p in outside)
    sidecar = json.loads((out / "sub-02/anat/sub-02_MTsat.json").read_text())
    assert sidecar["Units"] == "percent" and sidecar["EstimationReference"]
    assert "bids:raw:sub-02/anat/sub-02_flip-1_mt-on_MTS.nii.gz" in sidecar["Sources"]
    # Inherited from the dataset-level sidecar, and named as such.
    assert sidecar["Parameters"]["TR"] == {
        "Value": 0.025,
        "Units": "s",
        "Source": "RepetitionTimeExcitation in MTS.json",
    }
    assert sidecar["Parameters"]["t1w_flip_angle_deg"]["Value"] == 20.0
    summary = (out / "group/summary.tsv").read_text().splitlines()
    assert [line.split("\t")[0] for line in summary[1:]] == [f"sub-{p}" for p in PARTICIPANTS]
    header = summary[0].split("\t")
    assert {"MPFmap_median", "R1map_iqr", "share_solved", "warnings"} <= set(header)
    assert summary[1].split("\t")[header.index("warnings")] == "n/a"
    assert sidecar["B1Source"] == "TB1map (percent)"
    assert sidecar["IntensityScale"] == dict.fromkeys(("pdw", "t1w", "mtw"), "as stored")
    assert "bids:raw:sub-02/fmap/sub-02_TB1map.nii.gz" in sidecar["Sources"]


def edit_sidecar(raw, name, **changes):
    path = raw / name
    content = json.loads(path.read_text())
    content.update(changes)
    path.write_text(json.dumps({k: v for k, v in content.items() if v is not None}))


@pytest.mark.parametrize(
    "sidecar, changes, message",
    [
        ("MTS.json", {"RepetitionTimeExcitation": 25}, "MTS.json: RepetitionTimeExcitation is 25"),
        ("MTS.json", {"MTPulseDuration": 12}, "if it is 12 ms, write 0.012"),
        (
            "sub-01/anat/sub-01_flip-2_mt-off_MTS.json",
            {"FlipAngle": None},
            "sub-01/anat/sub-01_flip-2_mt-off_MTS.nii.gz: sidecar field FlipAngle is missing",
        ),
        ("MTS.json", {"MTOffsetFrequency": None}, "sidecar field MTOffsetFrequency is missing"),
        (
            "sub-01/anat/sub-01_flip-1_mt-on_MTS.json",
            {"MTState": False},
            "file name says mt-on but MTState is false",
        ),
        (
            "sub-01/anat/sub-01_flip-2_mt-off_MTS.json",
            {"FlipAngle": 6.0},
            "need two different FlipAngle values",
        ),
        (
            "sub-01/fmap/sub-01_TB1map.json",
            {"IntendedFor": 3},
            "sub-01/fmap/sub-01_TB1map.json: IntendedFor must be a path or a list of paths, not 3",
        ),
        # Text in place of the sidecar: only its participant fails.
        (
            "sub-01/anat/sub-01_flip-2_mt-off_MTS.json",
            "[20, 0.025]",
            "sub-01/anat/sub-01_flip-2_mt-off_MTS.json: not a JSON object of fields but a list",
        ),
        ("sub-01/fmap/sub-01_TB1map.json", '{"Units": ', "sub-01_TB1map.json: not valid JSON"),
        # Several fields missing: all in one message; a tissue constant not
        # given takes its default and is no complaint.
        (
            ("MTS.json", "protocol.json"),
            ({"MTOffsetFrequency": None, "MTPulseDuration": None}, {"T2_free": None}),
            "sub-01: sidecar fields missing: MTOffsetFrequency "
            "(sub-01/anat/sub-01_flip-1_mt-on_MTS.json; or --param delta_omega=HZ), "
            "MTPulseDuration (sub-01/anat/sub-01_flip-1_mt-on_MTS.json; or --param duration=S)"
            "\n",
        ),
        # Sidecars as DICOM converters write them: they run, saying which
        # field told MT-on from MT-off.
        (
            None,
            {"SequenceVariant": ("SK\\SP\\MTC", "SK\\SP")},
            "sub-01: MTState absent; MT-on read from SequenceVariant (MTC: an MT mark) of "
            "sub-01/anat/sub-01_flip-1_mt-on_MTS.json",
        ),
        (
            None,
            {"ScanOptions": (["FAST_GEMS", "MT_GEMS"], "FAST_GEMS")},
            "MT-off read from ScanOptions (FAST_GEMS: no MT mark)",
        ),
        # Neither MTState nor a mark: the file name's mt- entity says it.
        (
            None,
            {"Manufacturer": ("Philips", "Philips")},
            "MTState absent; MT-on read from the file name of sub-01/anat/sub-01_flip-1_mt-on",
        ),
    ],
)
def test_unusable_sidecars(tmp_path, capsys, sidecar, changes, message):
    text = isinstance(changes, str)
    if sidecar is None:
        raw = write_bids_dataset(tmp_path / "raw", ("01",), mt_marks=changes)
        assert run_app(raw, tmp_path / "out", "participant") == 0
        out = json.loads((tmp_path / "out/sub-01/anat/sub-01_MPFmap.json").read_text())
        assert message in "\n".join(out["ProcessingWarnings"])
        assert out["Parameters"]["TR"]["Source"] == "RepetitionTime in MTS.json"
        return
    raw = write_bids_dataset(tmp_path / "raw", ("01", "02") if text else ("01",))
    if text:
        (raw / sidecar).write_text(changes)
    else:
        for name, change in zip(*(x if isinstance(x, tuple) else (x,) for x in (sidecar, changes))):
            edit_sidecar(raw, name, **change)
    assert run_app(raw, tmp_path / "out", "participant") == 1
    assert message in capsys.readouterr().out
    assert not (tmp_path / "out/sub-01").exists()
    assert (tmp_path / "out/sub-02").exists() == text


@pytest.mark.parametrize(
    "options, origin, fitted",
    [
        ((), "computed (median Otsu)", "computed"),
        (("--no-mask",), "none (--no-mask)", "everywhere"),
        (("--mask-dir", "MASKS"), "from --mask-dir", "given"),
        (("--mask-dir", "MASKS", "--no-mask"), "from --mask-dir", "given"),
        (("BLANK",), "cannot compute a brain mask (no brain-like foreground", None),
        (("--mask-dir", "NOWHERE"), "--mask-dir '{}' is not a folder", None),
    ],
)
def test_brain_mask(tmp_path, capsys, options, origin, fitted):
    """Computed where none is given, none under --no-mask, --mask-dir's
    where it names one; the fit is confined to it.
    """
    from tavni.mt_map.status import STATUS_MASKED

    raw, out = write_bids_dataset(tmp_path / "raw", ("01",)), tmp_path / "out"
    given = np.zeros((12, 12, 8), np.uint8)
    given[3:9, 3:9, 2:6] = 1
    masks = tmp_path / "masks"
    (masks / "sub-01/anat").mkdir(parents=True)
    (masks / "dataset_description.json").write_text(
        json.dumps({"Name": "masks", "BIDSVersion": "1.9.0", "DatasetType": "derivative"})
    )
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    nibabel.save(
        nibabel.Nifti1Image(given, affine), masks / "sub-01/anat/sub-01_desc-brain_mask.nii.gz"
    )
    if "BLANK" in options:
        scan = raw / "sub-01/anat/sub-01_flip-1_mt-on_MTS.nii.gz"
        nibabel.save(nibabel.Nifti1Image(np.zeros((12, 12, 8), np.float32), affine), scan)
        assert run_app(raw, out, "participant") == 1
        assert f"{origin}: the image is blank); give one with --mask-dir" in capsys.readouterr().out
        return
    if "NOWHERE" in options:
        # A folder that is not there stops the run before any participant.
        assert run_app(raw, out, "participant", "--mask-dir", str(tmp_path / "none")) == 1
        assert origin.format(tmp_path / "none") in capsys.readouterr().err
        assert not out.exists()
        return
    options = [str(masks) if o == "MASKS" else o for o in options]
    assert run_app(raw, out, "participant", *options) == 0
    anat = out / "sub-01/anat"
    sidecar = json.loads((anat / "sub-01_MPFmap.json").read_text())
    assert sidecar["BrainMask"]["Origin"] == origin
    assert sidecar["SkullStripped"] == (fitted != "everywhere")
    computed = anat / "sub-01_desc-brain_mask.nii.gz"
    assert computed.exists() == (fitted == "computed")
    fraction, status = (
        np.asarray(nibabel.load(anat / f"sub-01_{n}.nii.gz").dataobj)
        for n in ("MPFmap", "desc-MPFstatus_dseg")
    )
    if fitted == "everywhere":
        assert not (status == STATUS_MASKED).any()
        return
    mask = np.asarray(
        nibabel.load(
            computed
            if fitted == "computed"
            else masks / "sub-01/anat/sub-01_desc-brain_mask.nii.gz"
        ).dataobj
    )
    assert 0 < mask.sum() < mask.size
    np.testing.assert_array_equal(status == STATUS_MASKED, mask == 0)
    assert np.isnan(fraction[mask == 0]).all() and np.isfinite(fraction[mask != 0]).all()
    if fitted == "computed":
        assert mask.dtype == np.uint8
        sidecar = json.loads(computed.with_name("sub-01_desc-brain_mask.json").read_text())
        assert sidecar["Type"] == "Brain"
        assert sidecar["Sources"] == ["bids:raw:sub-01/anat/sub-01_flip-1_mt-on_MTS.nii.gz"]
        assert origin in (out / "sub-01.html").read_text()


def test_dataset_of_symlinks(tmp_path):
    # As git-annex keeps it: sub-01's files link into .git/annex/objects,
    # and sub-02 is a link to a folder of a store outside the dataset.
    store = write_bids_dataset(tmp_path / "store", ("01", "02"))
    raw = tmp_path / "raw"
    objects = raw / ".git/annex/objects"
    for path in store.rglob("*"):
        target = raw / path.relative_to(store)
        if path.is_dir() or path.parts[len(store.parts)] == "sub-02":
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        if path.parent == store:
            shutil.copy(path, target)
            continue
        kept = objects / path.name / path.name
        kept.parent.mkdir(parents=True)
        shutil.copy(path, kept)
        target.symlink_to(os.path.relpath(kept, target.parent))
    (raw / "sub-02").symlink_to(store / "sub-02")
    assert run_app(raw, tmp_path / "out", "participant") == 0
    for participant in ("01", "02"):
        sidecar = tmp_path / f"out/sub-{participant}/anat/sub-{participant}_MPFmap.json"
        sources = json.loads(sidecar.read_text())["Sources"]
        assert f"bids:raw:sub-{participant}/anat/sub-{participant}_flip-1_mt-on_MTS.nii.gz" in (
            sources
        )
        assert all(s.startswith(f"bids:raw:sub-{participant}/") for s in sources)


def test_milliseconds_converted_on_request(tmp_path):
    raw = write_bids_dataset(tmp_path / "raw", ("01",))
    edit_sidecar(raw, "MTS.json", RepetitionTimeExcitation=25)
    assert run_app(raw, tmp_path / "out", "participant", "--assume-ms") == 0
    sidecar = json.loads((tmp_path / "out/sub-01/anat/sub-01_R1map.json").read_text())
    assert sidecar["Parameters"]["pdw_TR"]["Value"] == 0.025
    assert any("read as milliseconds" in w for w in sidecar["ProcessingWarnings"])


def test_failing_participant_and_resume(tmp_path, capsys):
    raw = write_bids_dataset(tmp_path / "raw", PARTICIPANTS)
    out = tmp_path / "out"
    (raw / "sub-02/anat/sub-02_flip-1_mt-on_MTS.nii.gz").write_bytes(b"not an image")
    assert run_app(raw, out, "participant", "--jobs", "2") == 1
    table = capsys.readouterr().out
    assert "sub-02       failed" in table and "sub-02_flip-1_mt-on_MTS.nii.gz" in table
    assert sorted(p.name for p in out.iterdir() if not p.name.startswith(".")) == [
        "dataset_description.json",
        "sub-01",
        "sub-01.html",
        "sub-03",
        "sub-03.html",
    ]
    # Nothing half-written, no leftovers of the failed participant.
    assert not [p for p in out.iterdir() if p.name.startswith(".sub-")]

    shutil.copy(
        raw / "sub-01/anat/sub-01_flip-1_mt-on_MTS.nii.gz",
        raw / "sub-02/anat/sub-02_flip-1_mt-on_MTS.nii.gz",
    )
    before = (out / "sub-01/anat/sub-01_MPFmap.nii.gz").stat().st_mtime_ns
    assert run_app(raw, out, "participant") == 1  # outputs exist: neither flag
    assert "use --skip-existing or --overwrite" in capsys.readouterr().out
    assert run_app(raw, out, "participant", "--skip-existing") == 0
    assert (out / "sub-02/anat/sub-02_MPFmap.nii.gz").is_file()
    assert (out / "sub-01/anat/sub-01_MPFmap.nii.gz").stat().st_mtime_ns == before
    assert run_app(raw, out, "participant", "--overwrite", "--participant-label", "01") == 0
    assert (out / "sub-01/anat/sub-01_MPFmap.nii.gz").stat().st_mtime_ns != before


def test_each_participant_is_planned_when_it_is_reached(tmp_path, monkeypatch):
    # A participant's inputs are looked up once those before it are under
    # way: a cohort's first participant does not wait for the whole plan.
    from tavni.mt_map.bids import app, participant

    raw, steps = write_bids_dataset(tmp_path / "raw", PARTICIPANTS), []
    looked_up = app.collections_of

    def collections_of(layout, label, *args):
        steps.append(f"plan {label}")
        return looked_up(layout, label, *args)

    def process_participant(job):
        steps.append(f"run {job.participant}")
        return base.Outcome(job.participant, "done", "")

    monkeypatch.setattr(app, "collections_of", collections_of)
    monkeypatch.setattr(participant, "process_participant", process_participant)
    assert run_app(raw, tmp_path / "out", "participant") == 0
    assert steps == [f"{step} {label}" for label in PARTICIPANTS for step in ("plan", "run")]


@pytest.mark.parametrize(
    "options, status, line",
    [
        (
            (),
            1,
            r"failed .* 0\.0 % of the \d+ fitted voxels solved \(below --fail-below 0\.5\); "
            r"likely cause: MTOffsetFrequency = 4 Hz in sub-01/anat/sub-01_flip-1_mt-on_MTS\.json "
            r"is unusually small for a human scanner; is it in kHz\?$",
        ),
        (("--fail-below", "0"), 0, r"done .* 0\.0%  +2$"),
    ],
)
def test_too_few_solved_fails_with_its_cause(tmp_path, capsys, options, status, line):
    """The MT offset in kHz: the maps are written, the participant fails
    with the likely cause, its warnings reach the terminal, and a rerun
    with --skip-existing redoes it once the sidecar is right.
    """
    import re

    raw, out = write_bids_dataset(tmp_path / "raw", ("01", "02")), tmp_path / "out"
    edit_sidecar(raw, "sub-01/anat/sub-01_flip-1_mt-on_MTS.json", MTOffsetFrequency=4.0)
    assert run_app(raw, out, "participant", *options) == status
    captured = capsys.readouterr()
    rows = captured.out.splitlines()
    assert re.search(line, rows[1]) and re.search(r"sub-02 +done .* 100\.0%  +0$", rows[2])
    assert "mt-map: warning: sub-01: MTOffsetFrequency = 4 Hz" in captured.err
    assert (out / "sub-01/anat/sub-01_MPFmap.nii.gz").is_file()
    edit_sidecar(raw, "sub-01/anat/sub-01_flip-1_mt-on_MTS.json", MTOffsetFrequency=None)
    assert run_app(raw, out, "participant", "--skip-existing", *options) == 0
    rows = capsys.readouterr().out.splitlines()
    assert rows[1].split()[1] == ("done" if status else "skipped")
    assert rows[2].split()[:2] == ["sub-02", "skipped"]


def test_dask_cluster_gives_the_serial_outputs(serial, tmp_path):
    distributed = pytest.importorskip("distributed")
    raw, reference = serial
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster:
        assert (
            run_app(raw, tmp_path, "participant", "--dask-scheduler", cluster.scheduler_address)
            == 0
        )
    assert derived_files(tmp_path) == derived_files(reference)
    for name in derived_files(reference):
        if name.suffix == ".gz":
            a, b = (np.asarray(nibabel.load(d / name).dataobj) for d in (reference, tmp_path))
            np.testing.assert_array_equal(a, b)
        elif name.suffix == ".json":
            a, b = (json.loads((d / name).read_text()) for d in (reference, tmp_path))
            a.pop("GeneratedBy"), b.pop("GeneratedBy")
            # The images are compared by their values, and so are the
            # statistics: their record of the compressed sizes must be the
            # sizes of the files beside them.
            for content, folder in ((a, reference), (b, tmp_path)):
                sizes = content.pop("FileBytes", {})
                assert sizes == {n: (folder / name.parent / n).stat().st_size for n in sizes}
            assert a == b


def test_vfa_sessions_and_acquisitions(tmp_path):
    """A VFA pair beside an MT-on image, told apart by FlipAngle and MTState
    alone (flip indices swapped); sessions and acq- labels carried into the
    outputs.
    """
    raw = write_bids_dataset(tmp_path / "raw", ("01",))
    anat = raw / "sub-01/anat"
    session = raw / "sub-01/ses-2/anat"
    session.mkdir(parents=True)
    (raw / "sub-01/fmap").rename(raw / "sub-01/ses-2/fmap")
    for old, new in (
        ("flip-1_mt-off_MTS", "acq-fast_flip-2_VFA"),
        ("flip-2_mt-off_MTS", "acq-fast_flip-1_VFA"),
        ("flip-1_mt-on_MTS", "acq-fast_flip-3_mt-on_MTS"),
    ):
        for extension in (".nii.gz", ".json"):
            (anat / f"sub-01_{old}{extension}").rename(session / f"sub-01_ses-2_{new}{extension}")
        if new.endswith("VFA"):
            edit_sidecar(session, f"sub-01_ses-2_{new}.json", MTState=None, RepetitionTime=0.025)
    (raw / "sub-01/ses-2/fmap/sub-01_TB1map.nii.gz").rename(
        raw / "sub-01/ses-2/fmap/sub-01_ses-2_TB1map.nii.gz"
    )
    (raw / "sub-01/ses-2/fmap/sub-01_TB1map.json").rename(
        raw / "sub-01/ses-2/fmap/sub-01_ses-2_TB1map.json"
    )
    layout = open_layout(raw)
    participants, sessions = participants_and_sessions(layout)
    assert (participants, sessions) == (layout.get_subjects(), {"01": ["2"]})
    assert sessions == {"01": layout.get_sessions(subject="01")}
    assert run_app(raw, tmp_path / "out", "participant") == 0
    sidecar = json.loads(
        (tmp_path / "out/sub-01/ses-2/anat/sub-01_ses-2_acq-fast_R1map.json").read_text()
    )
    parameters = sidecar["Parameters"]
    assert (
        parameters["pdw_flip_angle_deg"]["Value"],
        parameters["t1w_flip_angle_deg"]["Value"],
    ) == (6.0, 20.0)
    assert (
        parameters["pdw_TR"]["Source"]
        == "RepetitionTime in sub-01/ses-2/anat/sub-01_ses-2_acq-fast_flip-2_VFA.json"
    )


@pytest.mark.parametrize(
    "options, b1_files, style",
    [
        (
            "--scale 2 0.5 3 --sidecars dcm2niix --b1-scans afi",
            {
                "acq-tr1_TB1AFI": {"FlipAngle": 60.0, "RepetitionTime": 0.02},
                "acq-tr2_TB1AFI": {"FlipAngle": 60.0, "RepetitionTime": 0.1},
            },
            "dcm2niix",
        ),
        (
            "--scale 1 1 0.25 --b1-scans dam --motion 3 2 --auto-align",
            {"flip-1_TB1DAM": {"FlipAngle": 60.0}, "flip-2_TB1DAM": {"FlipAngle": 120.0}},
            "bids",
        ),
        (
            "--b1-units degrees --b1-voxel-size 9",
            {"TB1map": {"Units": "degrees", "FlipAngle": 60.0}},
            "bids",
        ),
    ],
)
def test_phantom_dataset_of_the_scanners_cases(tmp_path, options, b1_files, style):
    """Scaled scans with their sidecars, and the B1 sequence's files."""
    common = ["--participants", "1", "--shape", "12", "14", "8", "--snr", "50", "--quiet"]
    plain, raw = tmp_path / "plain", tmp_path / "ds"
    assert cli.main(["phantom", "--bids", str(plain), *common]) == 0
    assert cli.main(["phantom", "--bids", str(raw), *common, *options.split()]) == 0
    names = ["/" + p.relative_to(raw).as_posix() for p in raw.rglob("*") if p.is_file()]
    assert naming.unmatched_names(names) == []
    factors = [float(f) for f in options.split()[1:4]] if "--scale" in options else [1.0] * 3
    for entities, factor, on in zip(
        ("flip-1_mt-off", "flip-2_mt-off", "flip-3_mt-on"), factors, (0, 0, 1)
    ):
        name = f"sub-01/anat/sub-01_{entities}_MTS"
        scaled, unscaled = (
            np.asarray(nibabel.load(d / f"{name}.nii.gz").dataobj) for d in (raw, plain)
        )
        np.testing.assert_allclose(scaled, unscaled * np.float32(factor), rtol=1e-6)
        sidecar = json.loads((raw / f"{name}.json").read_text())
        if style == "dcm2niix":
            assert "MTState" not in sidecar and "RepetitionTimeExcitation" not in sidecar
            assert ("MTC" in sidecar["SequenceVariant"]) == bool(on)
            assert sidecar["PhilipsRescaleSlope"] * sidecar["PhilipsScaleSlope"] == pytest.approx(
                factor
            )
        else:
            assert sidecar["MTState"] == bool(on)
    for entities, fields in b1_files.items():
        sidecar = json.loads((raw / f"sub-01/fmap/sub-01_{entities}.json").read_text())
        assert {k: sidecar[k] for k in fields} == fields
        assert sidecar["IntendedFor"][-1] == "bids::sub-01/anat/sub-01_flip-3_mt-on_MTS.nii.gz"
    if "TB1map" in b1_files:  # in degrees of a 60 degree nominal angle, on its own grid
        b1 = nibabel.load(raw / "sub-01/fmap/sub-01_TB1map.nii.gz")
        truth = nibabel.load(plain / "sub-01/fmap/sub-01_TB1map.nii.gz")
        assert b1.shape != truth.shape and 0.8 * 60 < np.median(b1.get_fdata()) < 1.2 * 60
    else:  # the truth as a B1 derivative
        truth = raw / "derivatives/phantom-truth/sub-01/fmap/sub-01_TB1map.json"
        assert json.loads(truth.read_text())["Units"] == "relative"


def test_phantom_dataset_round_trip(tmp_path):
    """The phantom dataset is valid BIDS, and the app recovers its true
    fraction in the brain mask to single precision.
    """
    raw, out = tmp_path / "ds", tmp_path / "out"
    assert (
        cli.main(
            [
                "phantom",
                "--bids",
                str(raw),
                "--participants",
                "2",
                "--shape",
                "16",
                "18",
                "12",
                "--quiet",
            ]
        )
        == 0
    )
    names = ["/" + p.relative_to(raw).as_posix() for p in raw.rglob("*") if p.is_file()]
    assert naming.unmatched_names(names) == []
    # No --protocol: the tissue constants' defaults are the phantom's.
    args = ["bids", str(raw), str(out), "participant", "--quiet"]
    assert cli.main([*args, "--mask-dir", str(raw / "derivatives/brainmask")]) == 0
    sidecar = json.loads((out / "sub-01/anat/sub-01_MPFmap.json").read_text())
    assert all(
        "(default, from " in sidecar["Parameters"][key]["Source"] for key in ("T2_free", "T2b")
    )
    medians = []
    for label in ("01", "02"):
        truth, estimate, mask = (
            np.asarray(nibabel.load(path).dataobj)
            for path in (
                raw / f"derivatives/phantom-truth/sub-{label}/anat/sub-{label}_MPFmap.nii.gz",
                out / f"sub-{label}/anat/sub-{label}_MPFmap.nii.gz",
                raw / f"derivatives/brainmask/sub-{label}/anat/sub-{label}_desc-brain_mask.nii.gz",
            )
        )
        solved = (mask > 0) & np.isfinite(estimate)
        assert solved.sum() > 0.99 * (mask > 0).sum()
        np.testing.assert_allclose(estimate[solved], truth[solved], atol=1e-6)
        medians.append(np.median(truth[mask > 0]))
    assert medians[0] != medians[1]  # the heads differ


def validator_errors(dataset):
    """The errors of the BIDS validator on a dataset, and a text of every issue."""
    result = subprocess.run(
        [sys.executable, "-c", "import sys, bids_validator_deno as v; sys.exit(v.cli())"]
        + [str(dataset), "--format", "json"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    issues = json.loads(result.stdout)["issues"]["issues"]
    issues.sort(key=lambda i: i["severity"] != "error")  # errors first in messages
    text = "\n".join(
        f"{i['severity']} {i['code']} {i.get('subCode', '')} {i.get('location', '')}"
        for i in issues
    )
    return [i for i in issues if i["severity"] == "error"], text


def test_datasets_pass_the_bids_validator(tmp_path):
    """The phantom dataset, its derivatives and the App's pass the BIDS
    validator; every output is one gzip member, of the umask's mode, and the
    links to the raw dataset survive moving both.
    """
    old_umask = os.umask(0o022)
    try:
        raw, out = tmp_path / "before/ds", tmp_path / "before/out"
        common = ["--participants", "2", "--shape", "16", "18", "12", "--snr", "100", "--quiet"]
        assert cli.main(["phantom", "--bids", str(raw), *common]) == 0
        assert (
            cli.main(
                ["bids", str(raw), str(out), "participant", "--quiet"]
                + ["--protocol", str(raw / "code/protocol.json")]
            )
            == 0
        )
        assert cli.main(["bids", str(raw), str(out), "group", "--quiet"]) == 0
    finally:
        os.umask(old_umask)
    for dataset in (raw, raw / "derivatives/brainmask", raw / "derivatives/phantom-truth", out):
        errors, text = validator_errors(dataset)
        assert errors == [], f"{dataset}:\n{text}"
    assert json.loads((out / "sub-01/anat/sub-01_R1map.json").read_text())["SkullStripped"]
    files = [p for p in out.rglob("*") if p.is_file()]
    assert {p.stat().st_mode & 0o777 for p in files} == {0o644}
    for image in (p for p in files if p.name.endswith(".nii.gz")):
        member = zlib.decompressobj(wbits=31)
        member.decompress(image.read_bytes())
        assert member.eof and member.unused_data == b"", image
    shutil.move(tmp_path / "before", tmp_path / "after")
    out = tmp_path / "after/out"
    links = json.loads((out / "dataset_description.json").read_text())["DatasetLinks"]
    sources = json.loads((out / "sub-02/anat/sub-02_MTsat.json").read_text())["Sources"]
    for source in sources:
        assert (out / links["raw"] / source.removeprefix("bids:raw:")).is_file()


@pytest.mark.parametrize(
    "options, scans",
    [
        # (acquisition, entities, flip angle deg, TR s, MTState, echoes) per scan
        (
            "--layout mpm",
            [
                ("acq-PDw_", "flip-1_mt-off_MPM", 6.0, 0.025, False, 8),
                ("acq-T1w_", "flip-2_mt-off_MPM", 21.0, 0.025, False, 8),
                ("acq-MTw_", "flip-1_mt-on_MPM", 6.0, 0.025, True, 6),
            ],
        ),
        (
            "--echoes 2 --b1-scans dam",
            [
                ("", "flip-1_mt-off_MTS", 4.0, 0.025, False, 2),
                ("", "flip-2_mt-off_MTS", 25.0, 0.025, False, 2),
                ("", "flip-3_mt-on_MTS", 10.0, 0.028, True, 2),
            ],
        ),
        ("--echoes 1", None),  # the single-echo dataset, byte for byte
    ],
)
def test_multi_echo_phantom_datasets(tmp_path, options, scans):
    """The echoes as files with EchoTime, the MPM protocol's layout, the true
    R2*; valid BIDS.
    """
    common = ["--participants", "1", "--shape", "12", "14", "8", "--snr", "50", "--quiet"]
    raw = tmp_path / "ds"
    assert cli.main(["phantom", "--bids", str(raw), *common, *options.split()]) == 0
    files = sorted(p.relative_to(raw) for p in raw.rglob("*") if p.is_file())
    if scans is None:
        assert cli.main(["phantom", "--bids", str(tmp_path / "plain"), *common]) == 0
        plain = sorted(p.relative_to(tmp_path / "plain") for p in (tmp_path / "plain").rglob("*"))
        assert files == [p for p in plain if (tmp_path / "plain" / p).is_file()]
        assert all((raw / p).read_bytes() == (tmp_path / "plain" / p).read_bytes() for p in files)
        return
    assert naming.unmatched_names(["/" + p.as_posix() for p in files]) == []
    anat = [p.name for p in files if p.parts[:2] == ("sub-01", "anat")]
    expected = []
    for acq, entities, flip, TR, on, count in scans:
        for k in range(1, count + 1):
            name = f"sub-01_{acq}echo-{k}_{entities}"
            expected += [f"{name}.json", f"{name}.nii.gz"]
            sidecar = json.loads((raw / "sub-01/anat" / f"{name}.json").read_text())
            assert sidecar["EchoTime"] == pytest.approx(0.0023 * k, rel=1e-9)
            assert (sidecar["FlipAngle"], sidecar["RepetitionTimeExcitation"]) == (flip, TR)
            assert sidecar["MTState"] is on and ("MTOffsetFrequency" in sidecar) == (
                on and "MPM" in entities
            )
    assert sorted(anat) == sorted(expected)
    fmap = json.loads(next((raw / "sub-01/fmap").glob("*TB1*.json")).read_text())
    assert len(fmap["IntendedFor"]) == (scans[2][-1] if "dam" in options else len(expected) // 2)
    truth = raw / "derivatives/phantom-truth/sub-01/anat/sub-01_R2starmap.nii.gz"
    white = nibabel.load(raw / "derivatives/brainmask/sub-01/anat/sub-01_desc-brain_mask.nii.gz")
    assert 10 < np.median(nibabel.load(truth).get_fdata()[white.get_fdata() > 0]) < 25
    shared = json.loads(next(raw.glob("M*.json")).read_text())
    assert "EchoTime" not in shared and shared["MagneticFieldStrength"] == 3.0
    errors, text = validator_errors(raw)
    assert errors == [], text
    # The App maps the dataset as it lies, R2* near the truth (two echoes
    # 2.3 ms apart at SNR 50 see little decay: a loose bound there).
    assert cli.main(["bids", str(raw), str(tmp_path / "out"), "participant", "--quiet"]) == 0
    found = nibabel.load(next((tmp_path / "out").rglob("sub-01*_R2starmap.nii.gz"))).get_fdata()
    inside = white.get_fdata() > 0
    assert np.nanmedian(found[inside] / nibabel.load(truth).get_fdata()[inside]) == pytest.approx(
        1, abs=0.05 if scans[0][-1] > 2 else 0.2
    )


# A transmit field on a grid of its own (4 mm, shifted), and the images each
# B1 mapping sequence writes of it: name -> (data from B1, sidecar).
B1_AFFINE = np.array([[4.0, 0, 0, -6], [0, 4.0, 0, -4], [0, 0, 4.0, -2], [0, 0, 0, 1]])
TRUE_B1 = np.linspace(0.6, 1.4, 8 * 8 * 5).reshape(8, 8, 5)


def _afi(field, which, tr1=0.02, tr2=0.1):
    # The interleaved steady state of two spoiled excitations (T1 1 s).
    angle, e1, e2 = np.radians(60 * field), np.exp(-tr1), np.exp(-tr2)
    first, second = (e1, e2) if which == 1 else (e2, e1)
    return (
        500
        * np.sin(angle)
        * (1 - second + (1 - first) * second * np.cos(angle))
        / (1 - e1 * e2 * np.cos(angle) ** 2)
    )


B1_WRITTEN = {
    "percent": {"TB1map": (lambda b: 100 * b, {"Units": "percent"})},
    "degrees": {"TB1map": (lambda b: 60 * b, {"Units": "degrees", "FlipAngle": 60})},
    "tfl": {
        "acq-famp_TB1TFL": (lambda b: 800 * b, {"FlipAngle": 80}),
        "acq-anat_TB1TFL": (lambda b: 400 + 0 * b, {}),
    },
    "afi": {
        "acq-tr1_TB1AFI": (lambda b: _afi(b, 1), {"FlipAngle": 60, "RepetitionTime": 0.02}),
        "acq-tr2_TB1AFI": (lambda b: _afi(b, 2), {"FlipAngle": 60, "RepetitionTime": 0.1}),
    },
    "dam": {
        "flip-1_TB1DAM": (lambda b: 300 * np.sin(np.radians(60 * b)), {"FlipAngle": 60}),
        "flip-2_TB1DAM": (lambda b: 300 * np.sin(np.radians(120 * b)), {"FlipAngle": 120}),
    },
}
NO_FLIP = {"FlipAngle": None}


class Refused(str):
    """The message a case is refused with."""


# The --b1-dir map's sidecar, as the edits below name it from fmap/.
B1_DERIVED = "../../../b1/sub-01/fmap/sub-01_TB1map"


@pytest.mark.parametrize(
    "kinds, edits, expected",
    [
        (["percent"], {}, "TB1map (percent)"),
        (["degrees"], {}, "TB1map (degrees over nominal 60 deg)"),
        (["tfl"], {}, "TB1TFL flip-angle map (nominal 80 deg)"),
        (["afi"], {}, "TB1AFI TR 20/100 ms, nominal 60 deg"),
        (["dam"], {}, "TB1DAM flip angles 60/120 deg"),
        # The first source by precedence; the others named as unused.
        (["dam", "afi", "tfl"], {}, "TB1TFL flip-angle map (nominal 80 deg)"),
        (["dam", "percent"], {}, "TB1map (percent)"),
        (["derivative", "percent"], {}, "TB1map from --b1-dir (relative)"),
        ([], {}, "no fmap/*_TB1map, fmap/*_TB1TFL, fmap/*_TB1AFI, fmap/*_TB1DAM; flip angles"),
        (
            ["percent"],
            {"TB1map": {"Units": None}},
            Refused(
                'sub-01/fmap/sub-01_TB1map.json: sidecar field Units is missing; add it ("percent"'
            ),
        ),
        (
            ["percent"],
            {"TB1map": {"Units": "T"}},
            Refused("TB1map.json: the B1 map's Units 'T' are not"),
        ),
        (
            ["degrees"],
            {"TB1map": NO_FLIP},
            Refused("TB1map.json: sidecar field FlipAngle is missing"),
        ),
        # Every missing field at once, the MT scans' with the B1 scans'.
        (
            ["dam"],
            {
                "flip-1_TB1DAM": NO_FLIP,
                "flip-2_TB1DAM": NO_FLIP,
                "../../MTS": {"MTOffsetFrequency": None},
            },
            Refused(
                "sub-01: sidecar fields missing: MTOffsetFrequency (sub-01/anat/sub-01_flip-1_mt-on_MTS"
                ".json; or --param delta_omega=HZ), FlipAngle (sub-01/fmap/sub-01_flip-1_TB1DAM.json; "
                "the nominal flip angle, deg), FlipAngle (sub-01/fmap/sub-01_flip-2_TB1DAM.json; "
            ),
        ),
        (
            ["afi"],
            {
                "acq-tr1_TB1AFI": {"RepetitionTime": None},
                "acq-tr2_TB1AFI": {"RepetitionTime": None},
            },
            Refused(
                "sidecar fields missing: RepetitionTimeExcitation (sub-01/fmap/sub-01_acq-tr1_TB1AFI"
                ".json; s; or RepetitionTime), RepetitionTimeExcitation (sub-01/fmap/sub-01_acq-tr2"
            ),
        ),
        (
            ["tfl"],
            {"acq-famp_TB1TFL": NO_FLIP},
            Refused("acq-famp_TB1TFL.json: sidecar field FlipAngle"),
        ),
        (
            ["dam"],
            {"flip-2_TB1DAM": {"FlipAngle": 100}},
            Refused("flip angles are 60 and 100 deg; the"),
        ),
        (["afi"], {"acq-tr2_TB1AFI": {"RepetitionTime": 0.01}}, Refused("must be TR1 < TR2")),
        (
            ["dam"],
            {"flip-2_TB1DAM": "gone"},
            Refused("TB1DAM needs the flip-1 and flip-2 images; flip-2"),
        ),
        # A --b1-dir pybids cannot index refuses the participant, after
        # what its scans' sidecars are refused for.
        (["derivative"], {B1_DERIVED: {"IntendedFor": 5}}, Refused("--b1-dir '")),
        (
            ["derivative"],
            {B1_DERIVED: {"IntendedFor": 5}, "../../MTS": {"MTOffsetFrequency": "x"}},
            Refused("MTOffsetFrequency must be a number, not 'x'"),
        ),
    ],
)
def test_b1_sources(tmp_path, kinds, edits, expected):
    """Each B1 source found by precedence, made relative on its own grid;
    what is missing or inconsistent refused in one line.
    """
    from tavni.mt_map.bids import field_conversion

    raw = write_bids_dataset(tmp_path / "raw", ("01",))
    fmap = raw / "sub-01/fmap"
    for path in fmap.glob("sub-01_TB1map.*"):
        path.unlink()
    reading = Reading(raw, protocol=raw / "protocol.json")
    for kind in kinds:
        folder = fmap
        if kind == "derivative":
            folder = tmp_path / "b1/sub-01/fmap"
            reading.b1_dir = tmp_path / "b1"
            written = {"TB1map": (lambda b: b, {"Units": "relative"})}
        else:
            written = B1_WRITTEN[kind]
        folder.mkdir(parents=True, exist_ok=True)
        for stem, (data, sidecar) in written.items():
            image = nibabel.Nifti1Image(data(TRUE_B1).astype(np.float32), B1_AFFINE)
            nibabel.save(image, folder / f"sub-01_{stem}.nii.gz")
            (folder / f"sub-01_{stem}.json").write_text(json.dumps(sidecar))
    for stem, change in edits.items():
        if change == "gone":
            (fmap / f"sub-01_{stem}.nii.gz").unlink()
        else:
            edit_sidecar(fmap, f"{stem}.json" if "/" in stem else f"sub-01_{stem}.json", **change)
    layout = open_layout(raw)
    overrides = read_overrides(reading)
    if isinstance(expected, Refused):
        with pytest.raises(base.BidsError) as raised:
            collections_of(layout, "01", None, overrides, reading)
        assert expected in str(raised.value) and "\n" not in str(raised.value)
        return
    (collection,) = collections_of(layout, "01", None, overrides, reading)
    if not kinds:
        assert collection.b1 is None and expected in "\n".join(collection.warnings)
        return
    assert collection.b1_source == expected
    unused = [k for k in ("TB1TFL", "TB1AFI", "TB1DAM") if k not in expected]
    assert [w for w in collection.warnings if "present but not used" in w] == [
        f"sub-01: fmap/*_{k} present but not used ({expected.split()[0]} is)"
        for k in unused
        if any(fmap.glob(f"*_{k}.nii.gz"))
    ]
    # Every image of the source used among the inputs, and no other B1 image.
    used = [s for s in collection.sources if "/fmap/" in s]
    if reading.b1_dir is None:
        written = B1_WRITTEN[kinds[-1]]  # the rows list the source used last
        assert sorted(used) == sorted(f"bids:raw:sub-01/fmap/sub-01_{n}.nii.gz" for n in written)
    else:
        assert used == ["bids:b1:sub-01/fmap/sub-01_TB1map.nii.gz"]
    (tmp_path / "work").mkdir()
    field = nibabel.load(field_conversion.relative_field(collection, tmp_path / "work"))
    np.testing.assert_array_equal(field.affine, B1_AFFINE)
    # The AFI closed form is first order in TR/T1.
    np.testing.assert_allclose(field.get_fdata(), TRUE_B1, rtol=5e-3 if "AFI" in expected else 1e-6)


T1W_ECHO = "sub-01/anat/sub-01_acq-T1w_echo-{}_flip-2_mt-off_MPM"


@pytest.mark.parametrize(
    "layout, edits, expected",
    [
        ("MPM", {}, {"pdw": [1, 2, 3, 4], "t1w": [1, 2, 3, 4], "mtw": [1, 2]}),
        # Ordered by EchoTime, not by the echo- index.
        ("MPM", {1: {"EchoTime": 0.0046}, 2: {"EchoTime": 0.0023}}, {"t1w": [2, 1, 3, 4]}),
        (
            "MPM",
            {2: {"EchoTime": None}},
            Refused(f"{T1W_ECHO.format(2)}.nii.gz: sidecar field EchoTime is missing"),
        ),
        (
            "MPM",
            {2: {"EchoTime": "4.6 ms"}},
            Refused(f"{T1W_ECHO.format(2)}.json: EchoTime must be a number, not '4.6 ms'"),
        ),
        ("MPM", {2: {"EchoTime": 4.6}}, Refused("EchoTime is 4.6, but must be in seconds")),
        (
            "MTS",
            {3: {"EchoTime": 0.0046}},
            Refused(
                "sub-01/anat/sub-01_echo-2_flip-2_mt-off_MTS.nii.gz and sub-01/anat/sub-01_"
                "echo-3_flip-2_mt-off_MTS.nii.gz have the same EchoTime (0.0046 s)"
            ),
        ),
        ("MPM", {4: {"FlipAngle": 21.0}}, Refused("differ in FlipAngle (20.0, 21.0)")),
    ],
)
def test_echoes_found(tmp_path, layout, edits, expected):
    """The echoes of each contrast, under _MPM (acq- naming the contrast)
    or _MTS, in the order of their echo times; what is missing or
    inconsistent refused in one line.
    """
    raw = write_bids_dataset(tmp_path / "raw", ("01",), echoes=layout)
    stem = T1W_ECHO if layout == "MPM" else "sub-01/anat/sub-01_echo-{}_flip-2_mt-off_MTS"
    for echo, change in edits.items():
        edit_sidecar(raw, f"{stem.format(echo)}.json", **change)
    reading = Reading(raw, protocol=raw / "protocol.json")
    found = lambda: collections_of(  # noqa: E731
        open_layout(raw), "01", None, read_overrides(reading), reading
    )
    if isinstance(expected, Refused):
        with pytest.raises(base.BidsError) as raised:
            found()
        assert expected in str(raised.value) and "\n" not in str(raised.value)
        return
    (collection,) = found()
    assert collection.entities == {"acquisition": None, "run": None}
    for role, order in expected.items():
        echoes = collection.echoes[role]
        assert [int(Path(p).name.split("echo-")[1][0]) for p in echoes["images"]] == order
        assert echoes["echo_times"] == sorted(echoes["echo_times"])
        assert getattr(collection, role) == echoes["images"][0]
    assert len(collection.sources) == 10 + 1  # every echo and the B1 map


@pytest.mark.parametrize("layout, combination", [("MPM", "te0"), ("MTS", "mean")])
def test_echoes_mapped(serial, tmp_path, layout, combination):
    """Noiseless echoes of the serial dataset's scans: te0 gives back their
    maps and the one R2*; mean biases f low. R2*, its sd and the echo
    status are written, named in the sidecars and the report, and the
    derivatives pass the validator.
    """
    from tavni.mt_map.status import ECHO_STATUS_SOLVED

    raw, out = write_bids_dataset(tmp_path / "raw", ("01",), echoes=layout), tmp_path / "out"
    assert run_app(raw, out, "participant", "--echo-combination", combination) == 0
    anat, reference = out / "sub-01/anat", serial[1] / "sub-01/anat"

    def image(folder, name):
        return np.asarray(nibabel.load(folder / f"sub-01_{name}.nii.gz").dataobj)

    status = image(anat, "desc-R2starstatus_dseg")
    solved = status == ECHO_STATUS_SOLVED
    assert status.dtype == np.uint8 and solved.sum() > 100
    np.testing.assert_allclose(image(anat, "R2starmap")[solved], BIDS_R2STAR, rtol=1e-4)
    assert np.all(image(anat, "R2starsd")[solved] < 1e-2 * BIDS_R2STAR)
    f, truth = image(anat, "MPFmap"), image(reference, "MPFmap")
    both = np.isfinite(f) & np.isfinite(truth)
    assert both.sum() > 0.9 * np.isfinite(truth).sum()
    if combination == "te0":
        np.testing.assert_allclose(f[both], truth[both], rtol=1e-5)
    else:
        # The MT-weighted scan's two early echoes against four: about 5 %
        # brighter than its references, and f lower by more.
        assert np.median(f[both] / truth[both]) < 0.95
    times = dict(zip(("PDw", "T1w", "MTw"), (list(t) for t in BIDS_ECHO_TIMES)))
    for suffix in ("MPFmap", "R1map", "R2starmap", "R2starsd"):
        sidecar = json.loads((anat / f"sub-01_{suffix}.json").read_text())
        assert (sidecar["EchoCombination"], sidecar["EchoTimes"]) == (combination, times)
    table = (anat / "sub-01_desc-R2starstatus_dseg.tsv").read_text()
    assert table.startswith("index\tname\tdescription\n0\tsolved\t")
    report = (out / "sub-01.html").read_text()
    assert f"Echo combination: {combination}," in report and "R2* (1/s)" in report
    if combination == "te0":
        errors, text = validator_errors(out)
        assert errors == [], text


def stacked(data):
    return np.stack([data, data], axis=-1)


@pytest.mark.parametrize(
    "image, change, reason",
    [
        (
            "fmap/sub-01_TB1map",
            stacked,
            r"B1 map '.*_TB1map\.nii\.gz' is 4-D \(shape \d+ x \d+ x \d+ x 2\)",
        ),
        ("anat/sub-01_flip-1_mt-on_MTS", stacked, r"MT-weighted scan '.*' is 4-D \(shape"),
        # No flip angle: B1 named as the cause, not the flip angles and TRs.
        (
            "fmap/sub-01_TB1map",
            np.zeros_like,
            r"no voxel fitted .*; R1 could not be found .*: the B1 map '.*_TB1map.*' is zero, "
            r"negative or NaN in 100\.0 %",
        ),
    ],
)
def test_images_that_cannot_give_maps_are_named(tmp_path, capsys, image, change, reason):
    import re

    raw, out = write_bids_dataset(tmp_path / "raw", ("01", "02")), tmp_path / "out"
    path = raw / "sub-01" / f"{image}.nii.gz"
    scan = nibabel.load(path)
    nibabel.save(nibabel.Nifti1Image(change(scan.get_fdata()), scan.affine, scan.header), path)
    assert run_app(raw, out, "participant") == 1
    rows = capsys.readouterr().out.splitlines()
    assert re.search(r"sub-01 +failed .*" + reason, rows[1]), rows[1]
    assert rows[2].split()[:2] == ["sub-02", "done"]


def test_b1_scans_the_app_cannot_read_are_named(tmp_path):
    # The MPM protocol's own B1 scans (spin and stimulated echoes, TB1EPI)
    # are no B1 map: the flip angles stay nominal and the warning says why.
    raw = write_bids_dataset(tmp_path / "raw", ("01",), echoes="MPM")
    for path in (raw / "sub-01" / "fmap").glob("*_TB1map.*"):
        path.rename(path.with_name(path.name.replace("_TB1map", "_echo-1_flip-1_TB1EPI")))
    reading = Reading(raw, protocol=raw / "protocol.json")
    (collection,) = collections_of(open_layout(raw), "01", None, read_overrides(reading), reading)
    assert collection.b1 is None
    assert any("TB1EPI images are there" in w and "--b1-dir" in w for w in collection.warnings)
