"""The BIDS App under injected faults: kill -9 at each rename of a
participant's replacement, output folders that are (or lie in) raw data,
two runs at once, a disk that fills at each write, damaged participants at
the group level. After each: the raw data byte-identical, every participant
the old or the new complete set, and an exit status and message that say
what happened.
"""

import gzip
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from conftest import write_bids_dataset

from tavni.mt_map import cli

# Runs mt-map with os.replace (and the folder exchange) counted where they
# move a participant's folder or report, or commit it: at the
# KILL_AT-th the process kills itself with SIGKILL, at PAUSE_AT it waits.
CHILD = """
import os, signal, sys, time
from pathlib import Path
from tavni.mt_map import cli
from tavni.mt_map.bids import commit
out, count = Path(sys.argv[3]).absolute(), [0]
def hook(real, *paths):
    def counted(source, target, *rest):
        ends = [Path(source), Path(target)]
        if any(p.parent == out and p.name.startswith("sub-") for p in ends) or (
            ends[1].name == "commit.json"
        ):
            count[0] += 1
            if count[0] == int(os.environ.get("KILL_AT", 0)):
                os.kill(os.getpid(), signal.SIGKILL)
            if count[0] == int(os.environ.get("PAUSE_AT", 0)):
                (out.parent / "paused").touch()
                time.sleep(60)
        return real(source, target, *rest)
    return counted
os.replace = hook(os.replace)
real = (lambda a, b: False) if os.environ.get("NO_EXCHANGE") else commit._exchange
commit._exchange = hook(real)
sys.argv = ["mt-map", *sys.argv[1:]]
sys.exit(cli.main(sys.argv[1:]))
"""


def participant_level(raw, out, *extra):
    """The App's participant level on the toy heads (too small to hold a
    brain: no mask is computed).
    """
    return [
        "bids", str(raw), str(out), "participant", "--quiet", "--no-mask",
        "--protocol", str(raw / "protocol.json"), *extra,
    ]  # fmt: skip


def child(raw, out, *extra, wait=True, **env):
    command = [sys.executable, "-c", CHILD, *participant_level(raw, out, *extra)]
    # A fixed report date, so that two runs write the same report.
    environment = {"SOURCE_DATE_EPOCH": "0", **os.environ, **{k: str(v) for k, v in env.items()}}
    if not wait:
        return subprocess.Popen(command, env=environment)
    return subprocess.run(command, env=environment, capture_output=True, text=True, timeout=300)


def snapshot(folder, *patterns):
    """Hashes of the files (images decompressed: gzip stamps the time; the
    statistics' record of the compressed sizes checked against the files
    beside it and left out likewise).
    """
    hashes = {}
    for path in sorted(p for pattern in patterns or ["**/*"] for p in Path(folder).glob(pattern)):
        if path.is_file():
            data = path.read_bytes()
            if path.name.endswith("_desc-stats_MPFmap.json"):
                data = without_file_bytes(path)
            hashes[str(path.relative_to(folder))] = hashlib.sha256(
                gzip.decompress(data) if path.suffix == ".gz" else data
            ).hexdigest()
    return hashes


def without_file_bytes(stats):
    """The statistics file's content without "FileBytes", once those are
    the sizes of the files beside it.
    """
    content = json.loads(stats.read_text())
    sizes = content.pop("FileBytes")
    assert sizes == {name: (stats.parent / name).stat().st_size for name in sizes}
    return json.dumps(content, sort_keys=True).encode()


SHAPE = (6, 6, 4)
ONE = ("sub-01/**/*", "sub-01.html")


def group(raw, out, capsys):
    status = cli.main(["bids", str(raw), str(out), "group", "--quiet"])
    return status, capsys.readouterr().err


@pytest.fixture(scope="module")
def done(tmp_path_factory):
    """Two participants, their first outputs and the sets a clean
    --overwrite of sub-01 leaves.
    """
    root = tmp_path_factory.mktemp("faults")
    raw, out = write_bids_dataset(root / "raw", ("01", "02"), SHAPE), root / "out"
    assert child(raw, out).returncode == 0
    shutil.copytree(out, root / "first")
    old = snapshot(out, *ONE)
    assert child(raw, out, "--overwrite", "--participant-label", "01").returncode == 0
    assert snapshot(out, *ONE) != old
    return raw, out, root / "first", old, snapshot(out, *ONE), snapshot(raw)


def restore(out, first):
    shutil.rmtree(out)
    shutil.copytree(first, out)


@pytest.mark.parametrize(
    "kill_at, exchange, rerun",
    # 1 the journal, 2 the folder swap (without one: 3 old aside, 4 new in),
    # then the report; 0: no kill, beside folders of the user's named as
    # work folders are (eight characters after the label).
    [(1, True, False), (2, True, True), (3, True, False)]
    + [(4, False, True), (5, False, False), (0, False, False)],
)
def test_kill_at_each_rename(done, capsys, kill_at, exchange, rerun):
    raw, out, first, old, new, raw_hashes = done
    restore(out, first)
    env = {"KILL_AT": kill_at} | ({} if exchange else {"NO_EXCHANGE": 1})
    users = [".sub-01.original", ".sub-01.backup01"] if kill_at == 0 else []
    for name in users:
        (out / name / "previous").mkdir(parents=True)
        (out / name / "previous/notes.txt").write_text(name)
    mine = snapshot(out, ".sub-01.*/**/*")
    code = child(raw, out, "--overwrite", "--participant-label", "01", **env).returncode
    assert code == (0 if kill_at == 0 else -9)
    if rerun:  # the next participant run finishes or clears what the dead one left
        assert child(raw, out, "--skip-existing").returncode == 0
    assert group(raw, out, capsys)[0] == 0
    summary = (out / "group/summary.tsv").read_text().splitlines()
    assert [line.split("\t")[0] for line in summary[1:]] == ["sub-01", "sub-02"]
    assert snapshot(out, *ONE) == (old if kill_at == 1 else new)
    assert sorted(p.name for p in out.glob(".sub-*")) == sorted(users)
    assert snapshot(out, ".sub-01.*/**/*") == mine and snapshot(raw) == raw_hashes


@pytest.mark.parametrize(
    "kill_at, lost, what",
    # Killed with the journal in place (2: before the folder swap, 3: before
    # the report's rename), then a piece it names lost.
    [
        (2, "sub-01", "the new folder of sub-01 is gone"),
        (3, "sub-01.html", "the new report of sub-01 is gone"),
        (2, "commit.json", "its journal is unreadable"),
    ],
)
def test_broken_journal_names_what_to_delete(done, kill_at, lost, what):
    raw, out, first, old, new, raw_hashes = done
    restore(out, first)
    assert child(raw, out, "--overwrite", "--participant-label", "01", KILL_AT=kill_at).returncode
    (work,) = out.glob(".sub-01.*")
    journal = work / "commit.json"
    if lost == "commit.json":
        journal.write_text("{")
    elif lost.endswith(".html"):
        (work / lost).unlink()
    else:
        shutil.rmtree(work / lost)
    refused = child(raw, out, "--skip-existing")
    assert refused.returncode == 1
    assert refused.stderr.strip().splitlines() == [
        f"mt-map: error: cannot finish the commit a stopped run left in '{work}': {what}; "
        f"delete '{journal}' to give it up, then run sub-01 again with --overwrite"
    ]
    journal.unlink()
    assert child(raw, out, "--overwrite", "--participant-label", "01").returncode == 0
    assert snapshot(out, *ONE) == new and not list(out.glob(".sub-*"))
    assert snapshot(raw) == raw_hashes


def test_location_refused(tmp_path, capsys):
    raw = write_bids_dataset(tmp_path / "raw", ("01",), SHAPE)
    other = write_bids_dataset(tmp_path / "other", ("01",), SHAPE)
    bare = write_bids_dataset(tmp_path / "bare", ("01",), SHAPE)
    (bare / "dataset_description.json").unlink()
    (raw / "sourcedata").mkdir()
    sidecar = raw / "sub-01/anat/sub-01_flip-1_mt-on_MTS.json"
    # Derivatives of other tools beside ours: one whose description names
    # this program (as the phantom's truth does), one without description.
    for name, generator in (("truth", [{"Name": "tavni-mt-map"}]), ("tool", None)):
        maps = raw / f"derivatives/{name}/sub-01/anat"
        maps.mkdir(parents=True)
        shutil.copy(
            raw / "sub-01/anat/sub-01_flip-1_mt-on_MTS.nii.gz", maps / "sub-01_MPFmap.nii.gz"
        )
        if generator:
            description = {"Name": name, "DatasetType": "derivative", "GeneratedBy": generator}
            (maps.parent.parent / "dataset_description.json").write_text(json.dumps(description))
    links = {"link": raw, "lnsub": raw / "sub-01", "lnsrc": raw / "sourcedata"}
    links["lnanat"] = raw / "sub-01/anat"
    for name, target in links.items():
        (tmp_path / name).symlink_to(target)
    for name, lock in (("locklink", "symlink_to"), ("lockhard", "hardlink_to")):
        (tmp_path / name).mkdir()
        getattr(tmp_path / name / ".mt-map.lock", lock)(sidecar)
    inside = "lies inside the BIDS dataset"
    cases = [
        (tmp_path / "link", "is the BIDS dataset"),
        (other, "is a raw BIDS dataset (its dataset_description.json has no DatasetType)"),
        (bare, "holds '"),
        (raw / "sub-01/anat", inside),
        (tmp_path, "contains the BIDS dataset"),
        (tmp_path / "lnsub/out", f"{inside} '{raw}' (as its folder 'sub-01')"),
        (tmp_path / "lnsrc", "(as its folder 'sourcedata')"),
        (f"{tmp_path}/lnanat/../newout", "(as its folder 'sub-01')"),
        (raw / "derivatives/truth", "without mt-map's record of the files it wrote"),
        (raw / "derivatives/tool", "holds '"),
        (raw / "derivatives/truth/sub-01/new", "/derivatives/truth', a derivatives dataset"),
        (tmp_path / "locklink", "mt-map.lock' is a link"),
        (tmp_path / "lockhard", "is a file of other names too"),
    ]
    mounts = []
    if os.geteuid() == 0:
        for name, target, message in (
            ("bind", raw, "is the BIDS dataset"),
            ("bsub", raw / "sub-01", "reached through a link or mount at"),
        ):
            (tmp_path / name).mkdir()
            subprocess.run(["mount", "--bind", str(target), str(tmp_path / name)], check=True)
            mounts.append(tmp_path / name)
            cases.append((tmp_path / name / ("out" if name == "bsub" else ""), message))
    try:
        hashes = {d: snapshot(d) for d in (raw, other, bare)}
        for out, message in cases:
            assert cli.main(participant_level(raw, out, "--overwrite")) == 1
            assert message in capsys.readouterr().err, out
            assert {d: snapshot(d) for d in hashes} == hashes
        assert not (tmp_path / "newout").exists() and not (tmp_path / "lnsub/out").exists()
        out = raw / "derivatives/mt-map"  # the usual place inside a dataset
        assert child(raw, out).returncode == 0 and (out / "sub-01.html").is_file()
        # A run whose output lies in that one's would be replaced by its next run.
        assert cli.main(participant_level(raw, out / "sub-01/nested")) == 1
        assert "the output folder of another mt-map run" in capsys.readouterr().err
    finally:
        for mount in mounts:
            subprocess.run(["umount", str(mount)], check=True)


@pytest.mark.parametrize(
    "level, first_step, mine, named",
    # Files of the user's where the App would write, at every level: each
    # refused, nothing of the folder replaced.
    [
        ("participant", "remove sub-01", "sub-01.html", "sub-01.html"),
        ("participant", "remove sub-01", "sub-01", "sub-01"),
        ("participant", None, "sub-01/anat/notes.txt", "sub-01/anat/notes.txt"),
        ("group", None, "group/summary.tsv", "group"),
        ("group", "group", "group/old/report.html", "group/old"),
    ],
)
def test_files_not_written_by_the_app_kept(done, capsys, level, first_step, mine, named):
    raw, out, first, *_ = done
    restore(out, first)
    group_level = ["bids", str(raw), str(out), "group", "--quiet"]
    if first_step == "group":
        assert cli.main(group_level) == 0
    elif first_step:
        shutil.rmtree(out / "sub-01")
        (out / "sub-01.html").unlink()
    (out / mine).parent.mkdir(exist_ok=True)
    (out / mine).write_text("the user's")
    before = snapshot(out)
    command = participant_level(raw, out, "--overwrite") if level == "participant" else []
    assert cli.main(command or group_level) == 1
    error = capsys.readouterr().err
    assert f"holds '{out / named}', which mt-map did not write" in error
    assert snapshot(out) == before


def test_a_link_in_place_of_the_group_report_is_not_written_through(done):
    raw, out, first, *_ = done
    restore(out, first)
    group_level = ["bids", str(raw), str(out), "group", "--quiet"]
    assert cli.main(group_level) == 0
    sidecar = next(raw.glob("sub-01/anat/*.json"))
    kept = sidecar.read_bytes()
    (out / "group/report.html").unlink()
    (out / "group/report.html").symlink_to(sidecar)
    assert cli.main(group_level) == 0
    assert sidecar.read_bytes() == kept
    assert not (out / "group/report.html").is_symlink()


@pytest.mark.parametrize("stop, status", [(signal.SIGKILL, -9), (signal.SIGTERM, 130)])
def test_two_runs_at_once(tmp_path, capsys, stop, status):
    raw, out = write_bids_dataset(tmp_path / "raw", ("01",), SHAPE), tmp_path / "out"
    first = child(raw, out, wait=False, PAUSE_AT=1)
    try:
        deadline = time.monotonic() + 120
        while not (tmp_path / "paused").exists() and first.poll() is None:
            assert time.monotonic() < deadline
            time.sleep(0.1)
        assert cli.main(participant_level(raw, out, "--overwrite")) == 1
        assert f"in use by another run (process {first.pid} on host" in capsys.readouterr().err
    finally:
        first.send_signal(stop)
        assert first.wait() == status
    # SIGTERM ends a run as Ctrl-C does, removing its work folder; after
    # SIGKILL the next run does. The dead run's lock is gone with it.
    assert (stop == signal.SIGKILL) == bool(list(out.glob(".sub-*")))
    assert child(raw, out).returncode == 0
    assert [p.name for p in out.glob(".sub-*")] == [] and (out / "sub-01.html").is_file()


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a tmpfs needs root")
@pytest.mark.parametrize("free_pages", range(5))
def test_disk_full_at_each_write(tmp_path, capsys, free_pages):
    raw, disk = write_bids_dataset(tmp_path / "raw", ("01",), SHAPE), tmp_path / "disk"
    disk.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(disk)], check=True)
    try:
        with open(disk / "filler", "wb") as filler:
            with pytest.raises(OSError):
                while True:
                    filler.write(b"\0" * 65536)
                    filler.flush()
            filler.truncate(filler.tell() - 4096 * free_pages)
        out = disk / "out"
        assert cli.main(participant_level(raw, out)) == 1
        captured = capsys.readouterr()
        assert f"'{out}" in captured.err + captured.out  # the message names the file
        for name in ("dataset_description.json", ".bidsignore"):
            assert not (out / name).exists() or (out / name).stat().st_size > 0
        (disk / "filler").unlink()
        assert cli.main(participant_level(raw, out)) == 0
        json.loads((out / "dataset_description.json").read_text())
        assert "*_MPFmap.nii.gz" in (out / ".bidsignore").read_text()
        hidden = [".bidsignore", ".mt-map-files.json", ".mt-map.lock"]
        assert sorted(p.name for p in out.glob(".*")) == hidden
    finally:
        subprocess.run(["umount", str(disk)], check=True)


@pytest.mark.parametrize(
    "damage, message",
    [
        ("sub-02/anat/sub-02_MPFmap.json", "sub-02_MPFmap.json' is not JSON (empty)"),
        ("sub-02/anat/sub-02_MPFmap.nii.gz", "sub-02_MPFmap.nii.gz"),
        ("sub-02.html", "sub-02: incomplete (no report"),
        ("sub-02", "sub-02: incomplete (report without its folder)"),
    ],
)
def test_damaged_participant_at_group_level(done, capsys, damage, message):
    raw, out, first, *_ = done
    restore(out, first)
    path = out / damage
    if path.is_dir():
        shutil.rmtree(path)
    elif path.suffix == ".html":
        path.unlink()
    else:
        path.write_bytes(b"")
    status, error = group(raw, out, capsys)
    assert status == 1 and "summarises 1 of 2 participants" in error and message in error
    rows = (out / "group/summary.tsv").read_text().splitlines()[1:]
    assert [row.split("\t")[0] for row in rows] == ["sub-01"]
