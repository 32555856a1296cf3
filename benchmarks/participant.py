"""One participant through the BIDS App against ``mt-map fraction`` writing
the same nine maps, and the chain against its I/O floor.

    mt-map phantom --bids DS --participants 1 --voxel-size 1
    python3 benchmarks/participant.py DS [--rounds 2]

Each round runs, interleaved, in fresh processes (CPU time and peak memory
from the children's rusage, one child at a time):
  (a) ``mt-map bids DS OUT participant`` (the report included);
  (b) ``mt-map fraction`` with the App's inputs: the same scans, its B1 and
      B0 maps, the parameters its map's sidecar records, the same nine maps
      and the brain mask computed and written as the App does
      (``--brain-mask-out``);
  (c) the nine-map chain alone: ``mt-map fraction`` with the App's brain
      mask given and no registration (the scans taken as aligned), the
      same nine maps;
  (d) the I/O floor: the same inputs read and the nine maps written as
      .nii.gz with nothing computed (float32 reads, run by run).
Prints each side's CPU, wall and peak RSS (the best of the rounds by CPU),
the ratios App / fraction (goal: at most 1.2 in CPU and in memory; also the
median of the rounds' CPU ratios, each round's sides run one after the other
on the machine as it then is) and the chain / floor in wall time, the median
of the rounds' ratios (goal: at most 1.3). One more App run, its report timed in the process, gives the report's
share of the participant's time (goal: at most 10 %).
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MAPS = {
    "--output": "MPFmap",
    "--status": "desc-MPFstatus_dseg",
    "--r1-out": "R1map",
    "--m0-out": "M0map",
    "--mtr-out": "MTRmap",
    "--mtsat-out": "MTsat",
    "--uncertainty-out": "MPFsd",
}

FLOOR = """
import sys, numpy as np
from tavni.mt_map.io import streaming, volumes
inputs = dict(arg.split("=", 1) for arg in sys.argv[1:] if not arg.startswith("out="))
outputs = [arg[4:] for arg in sys.argv[1:] if arg.startswith("out=")]
like = volumes.probe(inputs["mtw"])
header = volumes.geometry_header(like, like.shape, "floor")[0]
streamed = {f"o{k}": (p, "map", np.float32, header) for k, p in enumerate(outputs)}
def copy(values):
    run = values["mtw"]
    return {name: run for name in streamed}
streaming.run({n: (p, n) for n, p in inputs.items()}, streamed, copy, shape=like.shape)
"""

# The App with its report timed: wall and CPU of the report and of the whole
# run, printed last.
TIMED_REPORT = """
import sys, time
from tavni.mt_map import cli
from tavni.mt_map.bids.report import participant_page
spent = [0.0, 0.0]
draw = participant_page.participant_report
def timed(*args, **kwargs):
    wall, cpu = time.perf_counter(), time.process_time()
    try:
        return draw(*args, **kwargs)
    finally:
        spent[0] += time.perf_counter() - wall
        spent[1] += time.process_time() - cpu
participant_page.participant_report = timed
wall, cpu = time.perf_counter(), time.process_time()
code = cli.main(sys.argv[1:])
print(spent[0], spent[1], time.perf_counter() - wall, time.process_time() - cpu)
sys.exit(code)
"""


def measured(command, env):
    """(CPU s, wall s, peak RSS MiB) of one child process."""
    start = time.perf_counter()
    pid = os.posix_spawnp(command[0], command, env)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(command)}")
    cpu = usage.ru_utime + usage.ru_stime
    return cpu, wall, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dataset", type=Path)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    env = dict(os.environ)
    mt_map = [sys.executable, "-m", "tavni.mt_map"]
    work = Path(tempfile.mkdtemp(prefix="participant-bench-"))
    try:
        first = work / "app0"
        subprocess.run([*mt_map, "bids", str(args.dataset), str(first), "participant"], check=True)
        anat = next(first.glob("sub-*/**/anat"))
        maps = [p for p in anat.glob("*_MPFmap.json") if "_desc-" not in p.name]
        sidecar = json.loads(maps[0].read_text())
        protocol = work / "protocol.json"
        protocol.write_text(
            json.dumps({k: v["Value"] for k, v in sidecar["Parameters"].items()}, indent=1)
        )
        raw = {
            Path(s.split(":", 2)[2]).name: args.dataset / s.split(":", 2)[2]
            for s in sidecar["Sources"]
        }
        scans = sorted(str(p) for n, p in raw.items() if n.endswith("_MTS.nii.gz"))
        pdw, t1w, mtw = (
            next(s for s in scans if tag in s) for tag in ("flip-1", "flip-2", "flip-3")
        )
        b1 = next(str(p) for n, p in raw.items() if "TB1" in n)
        b0 = next((str(p) for n, p in raw.items() if "fieldmap" in n), None)
        mask = str(next(anat.glob("*desc-brain_mask.nii.gz")))
        inputs = dict(pdw=pdw, t1w=t1w, mtw=mtw, b1=b1, mask=mask, **({"b0": b0} if b0 else {}))
        rows = {"app": [], "fraction": [], "chain": [], "floor": []}
        for round_ in range(args.rounds):
            out = work / f"app{round_ + 1}"
            rows["app"].append(
                measured([*mt_map, "bids", str(args.dataset), str(out), "participant"], env)
            )
            maps = work / f"maps{round_}"
            maps.mkdir()
            command = [*mt_map, "fraction", "--protocol", str(protocol), "--quiet"]
            command += [f"--{n}={p}" for n, p in inputs.items() if n != "mask"]
            command += [f"--brain-mask-out={maps / 'brain_mask.nii.gz'}"]
            command += [f"{flag}={maps / (name + '.nii.gz')}" for flag, name in MAPS.items()]
            command += [f"--sensitivity-out={maps / 'MPFsens.nii.gz'}"]
            rows["fraction"].append(measured(command, env))
            chain = [*mt_map, "fraction", "--protocol", str(protocol), "--quiet", "--no-register"]
            chain += [f"--{n}={p}" for n, p in inputs.items()]
            chain += [
                f"{flag}={maps / ('chain_' + name + '.nii.gz')}" for flag, name in MAPS.items()
            ]
            chain += [f"--sensitivity-out={maps / 'chain_MPFsens.nii.gz'}"]
            rows["chain"].append(measured(chain, env))
            floor = [sys.executable, "-c", FLOOR] + [f"{n}={p}" for n, p in inputs.items()]
            floor += [f"out={work / f'floor{round_}_{k}.nii.gz'}" for k in range(9)]
            rows["floor"].append(measured(floor, env))
            shutil.rmtree(out)
            shutil.rmtree(maps)
        timed = subprocess.run(
            [sys.executable, "-c", TIMED_REPORT, "bids", str(args.dataset), str(work / "timed")]
            + ["participant", "--quiet"],
            check=True,
            capture_output=True,
            text=True,
        )
        report_wall, report_cpu, run_wall, run_cpu = map(float, timed.stdout.split()[-4:])
        best = {side: min(r, key=lambda row: row[0]) for side, r in rows.items()}
        for side, (cpu, wall, rss) in best.items():
            print(f"{side:9s} CPU {cpu:6.2f} s  wall {wall:6.2f} s  peak {rss:7.0f} MiB")
        app, fraction, floor = best["app"], best["fraction"], best["floor"]
        print(
            f"App / fraction: CPU {app[0] / fraction[0]:.2f}x, peak memory {app[2] / fraction[2]:.2f}x"
        )
        cpus = sorted(a[0] / f[0] for a, f in zip(rows["app"], rows["fraction"]))
        print(
            f"App / fraction, round by round: CPU {statistics.median(cpus):.2f}x "
            f"(rounds: {', '.join(f'{c:.2f}' for c in cpus)})"
        )
        print(f"fraction / I/O floor: wall {fraction[1] / floor[1]:.2f}x")
        walls = sorted(c[1] / f[1] for c, f in zip(rows["chain"], rows["floor"]))
        print(
            f"chain / I/O floor: wall {statistics.median(walls):.2f}x "
            f"(rounds: {', '.join(f'{w:.2f}' for w in walls)})"
        )
        print(
            f"report: wall {report_wall:.2f} s of {run_wall:.2f} s "
            f"({100 * report_wall / run_wall:.1f} %), "
            f"CPU {report_cpu:.2f} s of {run_cpu:.2f} s ({100 * report_cpu / run_cpu:.1f} %)"
        )
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
