"""Faults of the engines that run participants: a local process killed as by
the out-of-memory killer, a Dask cluster left without workers, a Dask
scheduler lost mid-run.
"""

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
from conftest import write_bids_dataset

# Put first on PYTHONPATH, this runs in every interpreter the run starts (its
# local processes, the Dask workers) and wraps one participant's mapping:
# "LABEL:kill:N" kills the process in the middle of the participant, on its
# first N attempts; "LABEL:slow:S" marks its start and waits S seconds
# before mapping, as a long participant.
SITECUSTOMIZE = """
import os
fault = os.environ.get("MT_MAP_TEST_FAULT")
if fault:
    import signal, time
    from tavni.mt_map.bids import participant
    label, what, times = (fault.split(":") + ["0"])[:3]
    kills, mapped = os.environ["MT_MAP_TEST_KILLS"], participant.map_collection

    def map_collection(job, *args):
        if what == "kill" and job.participant == label and len(os.listdir(kills)) < int(times):
            open(os.path.join(kills, str(len(os.listdir(kills)))), "x").close()
            os.kill(os.getpid(), signal.SIGKILL)
        if what == "slow" and job.participant == label:
            open(os.path.join(kills, "slow"), "w").close()
            time.sleep(float(times))
        return mapped(job, *args)

    participant.map_collection = map_collection
"""


@pytest.fixture
def app(tmp_path, monkeypatch):
    """``app(fault, *options, timeout=, started=)``: ``mt-map bids`` with a
    fault in a subprocess, ``started(process)`` run meanwhile; gives the exit
    status, stdout and stderr.
    """
    raw = write_bids_dataset(tmp_path / "raw", ("01", "02"), shape=(8, 8, 4))
    hooks, kills = tmp_path / "hooks", tmp_path / "kills"
    hooks.mkdir(), kills.mkdir()
    (hooks / "sitecustomize.py").write_text(SITECUSTOMIZE)
    path = os.pathsep.join([str(hooks), *filter(None, [os.environ.get("PYTHONPATH")])])
    # Here too, for the Dask workers this process starts.
    monkeypatch.setenv("PYTHONPATH", path)
    monkeypatch.setenv("MT_MAP_TEST_KILLS", str(kills))

    def run(fault, *options, timeout=120, started=None):
        env = dict(os.environ, MT_MAP_TEST_FAULT=fault)
        command = [sys.executable, "-m", "tavni.mt_map", "bids", str(raw), str(tmp_path / "out")]
        command += ["participant", "--protocol", str(raw / "protocol.json"), "--no-mask", *options]
        with subprocess.Popen(command, env=env, stdout=-1, stderr=-1, text=True) as process:
            if started is not None:
                started(process)
            try:
                out, err = process.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                pytest.fail(f"still running after {timeout} s")
        return process.returncode, out, err

    run.out = tmp_path / "out"
    return run


def outcomes(table):
    """Each table row as "sub-XX state reason"."""
    return [" ".join(row.split()[:2] + row.split()[5:]) for row in table.splitlines()[1:-1]]


@pytest.mark.parametrize(
    ("kills", "status", "sub_02"),
    [
        (1, 0, "sub-02 done started again: its process was killed by SIGKILL"),
        (2, 1, "sub-02 failed its process was killed by SIGKILL (as by the out-of-memory"),
    ],
)
def test_a_killed_process_ends_only_its_participant(app, kills, status, sub_02):
    code, out, err = app(f"02:kill:{kills}", "--jobs", "2")
    assert code == status
    first, second = outcomes(out)
    assert first == "sub-01 done" and second.startswith(sub_02)
    # The killed attempts leave no work folder behind.
    assert not list(app.out.glob(".sub-*"))
    assert (app.out / "sub-02").exists() == (status == 0)


@contextlib.contextmanager
def local_cluster(**workers):
    distributed = pytest.importorskip("distributed")
    import dask

    # Closing a cluster whose scheduler is gone waits for this.
    with (
        dask.config.set({"distributed.comm.timeouts.connect": "3s"}),
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, host="127.0.0.1", dashboard_address=None, **workers
        ) as cluster,
    ):
        yield cluster
        no_workers(cluster, wait=False)  # a hanging one would hold up the closing


def wait_for(condition):
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def no_workers(cluster, wait=True):
    """Kills every worker process, its nanny told not to start another."""
    from distributed.core import Status

    for nanny in cluster.workers.values():
        nanny.status = Status.closing_gracefully
        if nanny.pid is not None:
            os.kill(nanny.pid, signal.SIGKILL)
    if wait:
        wait_for(lambda: not cluster.scheduler.workers)


def scheduler_lost(cluster, out):
    """Closes the scheduler once sub-01 is in place and sub-02 under way."""

    def started(process):
        wait_for(lambda: (out / "sub-01.html").exists() and (out.parent / "kills/slow").exists())
        cluster.sync(cluster.scheduler.close)

    return started


def stamps(folder):
    """Every path below the folder, hidden ones included, with its size and
    modification time.
    """
    found = {}
    for root, folders, files in os.walk(folder):
        for name in folders + files:
            info = os.lstat(os.path.join(root, name))
            found[os.path.join(root, name)] = (info.st_size, info.st_mtime_ns)
    return found


LOST = "lost the Dask scheduler at {}"


@pytest.mark.parametrize(
    ("fault", "before", "during", "status", "message", "expected"),
    [
        ("", no_workers, None, 1, "no Dask worker joined the scheduler at {} within 3 s", []),
        # sub-02 is still mapping on a worker that outlives its scheduler:
        # it is never committed, neither now nor once the run has ended.
        ("02:slow:3", None, scheduler_lost, 1, LOST, ["sub-01 done", f"sub-02 failed {LOST}"]),
        # The worker dies in sub-02 and its nanny starts another, on which
        # the task is run again: the dead attempt's partial maps go.
        ("02:kill:1", None, None, 0, None, ["sub-01 done", "sub-02 done"]),
    ],
)
def test_dask_faults(app, monkeypatch, fault, before, during, status, message, expected):
    monkeypatch.setenv("MT_MAP_TEST_FAULT", fault)  # before the workers start
    with local_cluster() as cluster:
        if before is not None:
            before(cluster)
        address, started = cluster.scheduler_address, time.monotonic()
        options = ["--dask-scheduler", address, "--dask-timeout", "3"]
        code, out, err = app(
            fault, *options, timeout=60, started=during and during(cluster, app.out)
        )
        assert time.monotonic() - started < 30
        # Nothing reaches the output folder once the run has ended, while
        # the workers are still there.
        after = stamps(app.out)
        time.sleep(5 if during else 0)
        assert stamps(app.out) == after
    assert code == status
    if message is not None:
        last = err.strip().splitlines()[-1]
        assert last.startswith("mt-map: error: " + message.format(address))
    assert "Traceback" not in err
    assert outcomes(out) == [line.format(address) for line in expected]
    # The participants done are committed, and only they.
    done = [line.split()[0] for line in expected if line.split()[1] == "done"]
    assert sorted(p.name for p in app.out.glob("sub-*")) == [
        n + e for n in done for e in ("", ".html")
    ]
    assert not list(app.out.glob(".sub-*"))


@pytest.mark.parametrize(
    ("options", "message"),
    [
        # Port 9 (discard) has no scheduler: the connection is refused.
        (["--dask-timeout", "3"], "cannot reach the Dask scheduler at tcp://127.0.0.1:9: "),
        (["--dask-timeout", "0"], "--dask-timeout must be positive (got 0.0)"),
        # The dataset's error while the client is still connecting.
        (["--participant-label", "07"], "no participant 07 in "),
    ],
)
def test_dask_options_and_dataset_errors_end_with_one_line(app, options, message):
    started = time.monotonic()
    code, out, err = app("", "--dask-scheduler", "tcp://127.0.0.1:9", *options, timeout=60)
    assert time.monotonic() - started < 30
    assert code == 1 and out == ""
    assert err.strip().splitlines() == [err.strip().splitlines()[-1]]
    assert err.strip().startswith("mt-map: error: " + message)


def test_dask_workers_import_a_participants_modules_before_it():
    from distributed import Client

    from tavni.mt_map.bids.engines.dask import DaskConnection
    from tavni.mt_map.bids.engines.local import PRELOAD

    def missing():
        return [name for name in PRELOAD if name not in sys.modules]

    with local_cluster() as cluster:
        with Client(cluster) as client:
            assert client.run(missing)  # a fresh worker has none of them
        connection = DaskConnection(cluster.scheduler_address, 30)
        try:
            # The worker's one thread takes the imports first.
            assert connection.client().submit(missing, pure=False).result() == []
        finally:
            connection.close()
        connection.close()
    # A worker started with the package's preload has them as it joins.
    with local_cluster(preload=["tavni.mt_map.bids.engines.dask"]) as cluster:
        with Client(cluster) as client:
            assert list(client.run(missing).values()) == [[]]


def test_a_participant_imports_nothing_beyond_the_preloaded(tmp_path):
    """What a participant's process needs is loaded once, before it forks."""
    raw = write_bids_dataset(tmp_path / "raw", ("01",))
    script = f"""
import importlib, pathlib, sys
from tavni.mt_map.bids import app
from tavni.mt_map.bids.engines.local import PRELOAD
from tavni.mt_map.bids.participant import process_participant
from tavni.mt_map.bids.settings import AppOptions, Reading, Selection
selection = Selection({str(raw)!r}, {str(tmp_path / "out")!r})
(job,) = app.plan(AppOptions(selection, Reading({str(raw)!r}, protocol={str(raw / "protocol.json")!r})))
pathlib.Path(selection.output_dir).mkdir()
for name in PRELOAD:
    importlib.import_module(name)
before = set(sys.modules)
job.threads = 1
outcome = process_participant(job)
state = outcome.state if outcome.state == "done" else outcome.reason
print(state, sorted(name for name in set(sys.modules) - before
                    if name.split(".")[0] in ("tavni", "nibabel", "PIL", "scipy", "dipy")))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.stdout.split(maxsplit=1) == ["done", "[]\n"], done.stderr


def test_local_processes_fork_from_a_server_ended_with_the_run():
    import multiprocessing

    from tavni.mt_map.bids.engines import start
    from tavni.mt_map.bids.settings import Execution

    with start(Execution(jobs=2)) as engine:
        server = engine.server.process
        assert server.is_alive()
    # Waited for, so that its CPU time counts in this process's children's.
    assert server.exitcode is not None and server not in multiprocessing.active_children()


@pytest.mark.parametrize(
    ("nthreads", "resources", "threads"),
    [(1, {}, 1), (2, None, 1), (4, {"participants": 1}, 4), (4, {"participants": 2}, 2)],
)
def test_a_dask_task_takes_its_workers_share_of_threads(nthreads, resources, threads):
    from tavni.mt_map.bids.engines.dask import task_threads

    assert task_threads(nthreads, resources) == threads


@pytest.mark.parametrize(
    ("config", "given", "expected"),
    [
        ("queue: long\ncores: 8\n", {"cores": 2}, {"queue": "long", "cores": 2, "max_jobs": 100}),
        ('{"max-jobs": 3, "account": "lab"}', {}, {"max_jobs": 3, "account": "lab"}),
        ("qeue: long\n", {}, "unknown Slurm setting qeue"),
        ("cores: 0\n", {}, "cores must be a whole number of at least 1"),
    ],
)
def test_slurm_settings_command_line_over_file(tmp_path, config, given, expected):
    from tavni.mt_map.bids.base import BidsError
    from tavni.mt_map.bids.engines.slurm import slurm_settings
    from tavni.mt_map.bids.settings import Slurm

    (tmp_path / "slurm.yaml").write_text(config)
    slurm = Slurm(config=tmp_path / "slurm.yaml", **given)
    if isinstance(expected, str):
        with pytest.raises(BidsError, match=expected):
            slurm_settings(slurm)
    else:
        settings = slurm_settings(slurm)
        assert {key: settings[key] for key in expected} == expected


# In CI a Slurm cluster is always there (tests/run-all starts one).
needs_slurm = pytest.mark.skipif(
    shutil.which("sinfo") is None and os.environ.get("CI") != "true",
    reason="no Slurm on this machine (sinfo not on PATH); tests/slurm/start runs one",
)
SLURM = ["--slurm", "--slurm-cores", "1", "--slurm-walltime", "00:10:00"]
if os.environ.get("MPF_SANITIZED"):
    # Under the sanitizers every allocation carries shadow memory and red
    # zones, beyond the default job memory's model of a participant.
    SLURM += ["--slurm-memory", "4GiB"]


@needs_slurm
def test_slurm_maps_equal_local_ones(tmp_path):
    raw = tmp_path / "raw"
    subprocess.run(
        [sys.executable, "-m", "tavni.mt_map", "phantom", "--bids", str(raw), "--participants"]
        + ["2", "--voxel-size", "4", "--snr", "100"],
        check=True,
        capture_output=True,
    )
    maps = {}
    for where, options in (("local", []), ("slurm", SLURM)):
        command = [sys.executable, "-m", "tavni.mt_map", "bids", str(raw), str(tmp_path / where)]
        command += ["participant", "--protocol", str(raw / "code" / "protocol.json"), *options]
        done = subprocess.run(command, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr
        found = sorted((tmp_path / where).rglob("sub-*/**/*.nii.gz"))
        maps[where] = {p.relative_to(tmp_path / where): p.read_bytes() for p in found}
    assert len(maps["local"]) >= 18 and maps["slurm"].keys() == maps["local"].keys()
    assert [name for name in maps["local"] if maps["local"][name] != maps["slurm"][name]] == []


@needs_slurm
def test_a_slurm_job_killed_fails_only_its_participant(app):
    # The job's worker killed in the middle of sub-02, as by a memory limit.
    code, out, err = app("02:kill:1", *SLURM, timeout=300)
    assert code == 1
    first, second = outcomes(out)
    assert first == "sub-01 done"
    assert second.startswith("sub-02 failed its Slurm job ended or its worker died")
    assert "Traceback" not in err
