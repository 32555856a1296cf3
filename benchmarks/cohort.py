"""A cohort through the BIDS App: serial, local processes, a Dask cluster.

    python3 benchmarks/cohort.py [--participants 6] [--voxel-size 2] [--rounds 1]
                                 [--dataset DIR] [--modes serial jobs dask ...]

A phantom dataset (``mt-map phantom --bids``, SNR 100) of --participants
heads at --voxel-size mm goes through ``mt-map bids ... participant`` three
ways, interleaved round by round:
  serial  one participant after another, each fit on every core;
  jobs    ``--jobs 2``: two participants at once in local processes, each
          fit on half the cores;
  dask    ``--dask-scheduler``: a LocalCluster on loopback of two workers
          with one thread each (the nanny's environment as Dask sets it),
          started before the clock and closed after it; the workers import
          a participant's modules in the run, beside its indexing;
  dask-preloaded
          the same, the workers started with ``--preload
          tavni.mt_map.bids.engines.dask`` as the documentation says: they
          import those modules as they start, as a cluster that stays up
          for many runs has them.
For each: wall time, and CPU time (user + system) of everything that ran
the participants: the App's process and its children (rusage), and for
Dask the two worker processes and this process's scheduler. Prints each
mode's times and its ratios against serial from the same round, and at the
end each mode's median of those ratios over the rounds. Each round starts
with the next mode.
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def own_cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def app(dataset, output, *options):
    command = [sys.executable, "-m", "tavni.mt_map", "bids", str(dataset), str(output)]
    command += ["participant", "--protocol", str(dataset / "code" / "protocol.json"), "--quiet"]
    done = subprocess.run([*command, *options], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"cohort: {' '.join(options) or 'serial'} failed:\n{done.stdout}{done.stderr}")


def timed(run):
    """Wall and CPU seconds of run(), which returns extra CPU seconds."""
    wall, cpu = time.perf_counter(), children_cpu()
    extra = run() or 0.0
    return time.perf_counter() - wall, children_cpu() - cpu + extra


def serial(dataset, output):
    return timed(lambda: app(dataset, output))


def jobs(dataset, output):
    return timed(lambda: app(dataset, output, "--jobs", "2"))


def dask(dataset, output, preload=()):
    import distributed
    import psutil

    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        host="127.0.0.1",
        dashboard_address=None,
        preload=list(preload),
    ) as cluster:
        with distributed.Client(cluster) as client:
            client.wait_for_workers(2)
            pids = list(client.run(os.getpid).values())
        workers = [psutil.Process(pid) for pid in pids]

        def cpu_of_workers():
            times = [w.cpu_times() for w in workers]
            return sum(t.user + t.system + t.children_user + t.children_system for t in times)

        def run():
            before, scheduler = cpu_of_workers(), own_cpu()
            app(dataset, output, "--dask-scheduler", cluster.scheduler_address)
            return cpu_of_workers() - before + own_cpu() - scheduler

        return timed(run)


def dask_preloaded(dataset, output):
    return dask(dataset, output, preload=["tavni.mt_map.bids.engines.dask"])


MODES = {"serial": serial, "jobs": jobs, "dask": dask, "dask-preloaded": dask_preloaded}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--participants", type=int, default=6)
    parser.add_argument("--voxel-size", type=float, default=2.0)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--dataset", type=Path, help="a phantom dataset to reuse (made if absent)")
    parser.add_argument("--modes", nargs="+", choices=list(MODES), default=list(MODES))
    options = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="mt-map-cohort."))
    dataset = options.dataset or work / "ds"
    if not (dataset / "dataset_description.json").exists():
        subprocess.run(
            [sys.executable, "-m", "tavni.mt_map", "phantom", "--bids", str(dataset)]
            + ["--participants", str(options.participants), "--voxel-size"]
            + [str(options.voxel_size), "--snr", "100"],
            check=True,
            capture_output=True,
        )
    print(
        f"{options.participants} participants at {options.voxel_size:g} mm, {os.cpu_count()} cores"
    )
    ratios = {mode: [] for mode in options.modes if mode != "serial"}
    try:
        for round_ in range(options.rounds):
            # Each round starts with another mode, so that none always runs
            # after the same one (the machine's state drifts within a round).
            shift = round_ % len(options.modes)
            results = {}
            for mode in options.modes[shift:] + options.modes[:shift]:
                output = work / f"out-{mode}"
                shutil.rmtree(output, ignore_errors=True)
                results[mode] = MODES[mode](dataset, output)
            base = results.get("serial")
            for mode in options.modes:
                wall, cpu = results[mode]
                line = f"round {round_ + 1}  {mode:<14}  wall {wall:7.1f} s  cpu {cpu:7.1f} s"
                if base is not None and mode != "serial":
                    line += f"  speed-up {base[0] / wall:4.2f}x  cpu {cpu / base[1]:4.2f}x serial's"
                    ratios[mode].append((base[0] / wall, cpu / base[1]))
                print(line, flush=True)
        for mode, found in ratios.items():
            if found:
                speed, cpu = (statistics.median(r[i] for r in found) for i in (0, 1))
                print(
                    f"median of {len(found)} rounds  {mode:<14}  speed-up {speed:4.2f}x  cpu {cpu:4.2f}x"
                )
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
