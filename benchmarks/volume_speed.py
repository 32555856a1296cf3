"""Whole volumes: every speed ratio of the fraction mapping, measured in one run.

    python3 benchmarks/volume_speed.py [--directory build/volume-speed] [--repeats 3]
    python3 benchmarks/volume_speed.py --big [--max-memory 1G]
    python3 benchmarks/volume_speed.py --solver [--voxels N]   the solver's rows only

On a 176 x 240 x 256 synthetic head (head_volume.py; made once and kept in
the directory) it measures, best of --repeats runs each, all in this run:

  end to end   `mt-map fraction` (MT, reference, R1 and B1 images, fraction
               and status maps written as .nii.gz) against the I/O floor:
               decompressing its inputs and compressing its outputs with the
               gzip the package itself uses, at the level it writes; the
               same for the three-scan chain (PD-, T1- and MT-weighted scans
               and the B1 map in);
  single maps  `mt-map r1` (PD- and T1-weighted scans, B1), `mt-map mtsat` and
               `mt-map mtr` (synthetic reference) the same way, each against
               its own I/O floor;
  memory       the command's peak resident memory against the float32 size
               of its inputs;
  exact        fit_fraction (today's bit-exact solver) against a numba
               parallel Brent loop over the same model in double precision
               (numba_baselines.py), per voxel, on the head's voxels with
               their own B1;
  fast         fit_fraction(..., exact=False) against a numba parallel
               closed form of the same model, on the same voxels;
  floor        where the exact solver's time goes, per voxel on one thread
               (solver_floor.cpp, built from this tree with the package's
               flags): the work every bit-exact solve needs, against the
               whole solve, and the exact ratio a solver doing only that
               work would reach;
  start-up     `mt-map --help` against `python -c pass`.

With --big it checks streaming instead: on a 1024 x 1024 x 600 head (made
once, about 6 GB of .nii.gz) `mt-map fraction --max-memory` must stay under
its budget, and its map must equal the one made with a budget the whole
volume fits in.

The installed package is measured (pip install . first). Both sides of each
ratio use every core (numba's threads, fit_fraction's default). Timings
are wall-clock; run it on an otherwise idle machine.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

INPUTS = ("mt", "ref", "r1", "b1")
CHAIN_INPUTS = ("pdw", "t1w", "mt", "b1")
BRENT_XTOL = 1e-9  # about a tenth of a single-precision step of f near 0.1


def best(function, repeats):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def best_alternating(functions, repeats):
    """[(best seconds, last result)] of each function, run in turn: on a
    machine shared with other jobs both sides of a ratio meet the same load.
    """
    runs = [[] for _ in functions]
    for _ in range(repeats):
        for function, times in zip(functions, runs):
            times.append(best(function, 1))
    return [(min(t for t, _ in times), times[-1][1]) for times in runs]


# Runs a command as its own child and prints that child's peak resident
# memory: a child records the peak of the process it was forked from (also
# across exec), so the command is started from this small launcher, not
# from the benchmark's own large process.
# It times the command itself, so that its own start-up is not counted.
LAUNCHER = """
import os, sys, time
with open(os.devnull, "wb") as devnull:
    start = time.perf_counter()
    pid = os.posix_spawnp(sys.argv[1], sys.argv[1:], os.environ,
                          file_actions=[(os.POSIX_SPAWN_DUP2, devnull.fileno(), 1)])
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss, elapsed)
"""


def run_child(command):
    """(wall seconds, peak resident memory in bytes) of a command."""
    command = [str(part) for part in command]
    out = subprocess.run(
        [sys.executable, "-c", LAUNCHER, *command], check=True, capture_output=True, text=True
    ).stdout
    code, peak, elapsed = out.split()
    code, peak, elapsed = int(code), int(peak), float(elapsed)
    if code != 0:
        raise SystemExit(f"{' '.join(command)} failed ({code})")
    return elapsed, peak * 1024


def package_gzip():
    """(name, decompress(bytes), compress(bytes)) as the package reads and writes .gz."""
    try:
        from tavni.mt_map.io.streaming import gzip_codec
    except ImportError:  # no codec of its own: nibabel's, the standard library at level 1
        import gzip

        return (
            "zlib (gzip module), level 1",
            gzip.decompress,
            (lambda data: gzip.compress(data, compresslevel=1, mtime=0)),
        )
    return gzip_codec()


def io_floor(inputs, outputs, repeats):
    """Seconds to decompress the inputs and compress the outputs."""
    name, decompress, compress = package_gzip()
    import gzip

    raw_outputs = [gzip.decompress(Path(path).read_bytes()) for path in outputs]

    def floor():
        for path in inputs:
            decompress(Path(path).read_bytes())
        for raw in raw_outputs:
            compress(raw)

    seconds, _ = best(floor, repeats)
    return name, seconds


def end_to_end(directory, work, repeats, extra=(), chain=False):
    """(best wall seconds, largest peak memory) of `mt-map fraction` on the
    ratio path's images, or with chain the three scans'.
    """
    images = (
        [
            "--pdw",
            directory / "pdw.nii.gz",
            "--t1w",
            directory / "t1w.nii.gz",
            "--mtw",
            directory / "mt.nii.gz",
        ]
        if chain
        else [
            "--mt",
            directory / "mt.nii.gz",
            "--ref",
            directory / "ref.nii.gz",
            "--r1",
            directory / "r1.nii.gz",
        ]
    )
    command = [
        shutil.which("mt-map") or "mt-map",
        "fraction",
        *images,
        "--b1",
        directory / "b1.nii.gz",
        "--protocol",
        directory / "protocol.json",
        "--quiet",
        "--status",
        work / "status.nii.gz",
        "-o",
        work / "mpf.nii.gz",
        *extra,
    ]
    runs = [run_child(command) for _ in range(repeats)]
    return min(t for t, _ in runs), max(m for _, m in runs)


def single_maps(directory, work, repeats):
    """(name, best wall seconds, I/O floor seconds) of mt-map r1, mtsat and
    mtr on the head's scans, each map written as .nii.gz.
    """
    images = {name: directory / f"{name}.nii.gz" for name in ("pdw", "t1w", "mt", "b1")}
    protocol = json.loads((directory / "protocol.json").read_text())
    scans = [
        "--pdw",
        images["pdw"],
        "--t1w",
        images["t1w"],
        "--mtw",
        images["mt"],
        "--protocol",
        directory / "protocol.json",
    ]
    commands = {
        "r1": (
            [
                "r1",
                "--vfa",
                images["pdw"],
                images["t1w"],
                "--flip-angles",
                protocol["pdw_flip_angle_deg"],
                protocol["t1w_flip_angle_deg"],
                "--TR",
                protocol["pdw_TR"],
                protocol["t1w_TR"],
                "--m0",
                work / "m0.nii.gz",
                "--quiet",
            ],
            ["pdw", "t1w", "b1"],
            ["map", "m0"],
        ),
        "mtsat": (["mtsat", *scans], ["pdw", "t1w", "mt", "b1"], ["map"]),
        "mtr": (["mtr", *scans], ["pdw", "t1w", "mt", "b1"], ["map"]),
    }
    rows = []
    mt_map = shutil.which("mt-map") or "mt-map"
    for name, (arguments, inputs, outputs) in commands.items():
        command = [mt_map, *arguments, "--b1", images["b1"], "-o", work / "map.nii.gz"]
        wall = min(run_child(command)[0] for _ in range(repeats))
        _, floor = io_floor(
            [images[i] for i in inputs], [work / f"{o}.nii.gz" for o in outputs], repeats
        )
        rows.append((name, wall, floor))
    return rows


def solver_inputs(directory):
    """Ratio, R1 and B1 of the head's voxels, as the command computes them."""
    import nibabel

    data = {
        name: np.asarray(nibabel.load(directory / f"{name}.nii.gz").get_fdata()) for name in INPUTS
    }
    head = (data["ref"] > 0) & (data["r1"] > 0)
    ratio = data["mt"][head] / data["ref"][head]
    return ratio, data["r1"][head], data["b1"][head]


def scipy_find_root(ratio, R1, b1, protocol):
    """SciPy's vectorised bracketing root finder on the same double-precision
    model (numba_baselines' NumPy functions), all voxels at once.
    """
    import numba_baselines as nb
    from scipy.optimize import elementwise

    coefficients = nb.terms(R1, b1, *protocol)
    result = elementwise.find_root(
        nb.residual, (0.0, 0.5), args=(ratio, *coefficients), tolerances={"xatol": BRENT_XTOL}
    )
    return np.where(result.success, result.x, np.nan)


def solver_floor(work, ratio, R1, b1, protocol):
    """Per-voxel nanoseconds of the exact solver's stages (solver_floor.cpp)."""
    sources = HERE.parent / "src" / "tavni" / "mt_map"
    kernels = sources / "kernels"
    program = work / "solver_floor"
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        return None
    subprocess.run(
        [
            compiler,
            "-std=c++17",
            "-O3",
            "-ffp-contract=off",
            f"-I{sources}",
            HERE / "solver_floor.cpp",
            kernels / "residual.cpp",
            kernels / "search.cpp",
            sources / "mpf_core.cpp",
            "-o",
            program,
            "-pthread",
        ],
        check=True,
    )
    files = []
    for name, values in (("ratio", ratio), ("R1", R1), ("b1", b1)):
        files.append(work / f"{name}.f64")
        np.ascontiguousarray(values, dtype=np.float64).tofile(files[-1])
    out = subprocess.run(
        [program, *files, *map(repr, protocol)], check=True, capture_output=True, text=True
    ).stdout
    return {name: float(value) for name, value in (line.split() for line in out.splitlines())}


def numba_child(directory, repeats):
    """Times both numba baselines on the arrays saved in directory and prints
    the best seconds of each (run with NUMBA_CPU_NAME set by the parent).
    """
    import numba_baselines as nb

    ratio, R1, b1 = (np.fromfile(directory / f"{name}.f64") for name in ("ratio", "R1", "b1"))
    protocol = tuple(float(x) for x in (directory / "protocol").read_text().split())
    nb.brent_map(ratio[:100], R1[:100], b1[:100], protocol, 0.0, 0.5, BRENT_XTOL)
    nb.closed_form_map(ratio[:100], R1[:100], b1[:100], protocol, 0.0, 0.5)
    brent, _ = best(lambda: nb.brent_map(ratio, R1, b1, protocol, 0.0, 0.5, BRENT_XTOL), repeats)
    closed, _ = best(lambda: nb.closed_form_map(ratio, R1, b1, protocol, 0.0, 0.5), repeats)
    print(brent, closed)


def numba_generic(work, ratio, R1, b1, protocol, repeats):
    """(Brent seconds, closed-form seconds) of the numba baselines compiled
    for the baseline x86-64 instruction set the package is built for, not
    for this processor.
    """
    for name, values in (("ratio", ratio), ("R1", R1), ("b1", b1)):
        np.ascontiguousarray(values, dtype=np.float64).tofile(work / f"{name}.f64")
    (work / "protocol").write_text(" ".join(map(repr, protocol)))
    out = subprocess.run(
        [sys.executable, __file__, "--numba-child", str(work), "--repeats", str(repeats)],
        check=True,
        capture_output=True,
        text=True,
        env={**os.environ, "NUMBA_CPU_NAME": "generic"},
    ).stdout
    brent, closed = map(float, out.split())
    return brent, closed


def fast_build():
    """The build of the fast way that ran (fast_builds.py times each one)."""
    try:
        from tavni.mt_map._maps import fast_kernel
    except ImportError:  # one build only in this version
        return "its"
    return fast_kernel()


def startup(repeats):
    mt_map = shutil.which("mt-map") or "mt-map"
    help_time = min(run_child([mt_map, "--help"])[0] for _ in range(repeats))
    pass_time = min(run_child([sys.executable, "-c", "pass"])[0] for _ in range(repeats))
    return help_time, pass_time


def big(options):
    """Peak memory of a streamed run on a large volume against its budget."""
    import head_volume

    shape = tuple(options.big_shape)
    directory = options.directory.resolve().parent / f"volume-{'x'.join(map(str, shape))}"
    shape_file = directory / "shape"
    if not shape_file.is_file() or shape_file.read_text() != " ".join(map(str, shape)) + "\n":
        print(f"making the large volume {shape} in {directory} ...", flush=True)
        head_volume.write(directory, shape, level=1)
    budget = options.max_memory
    float32_inputs = 4 * int(np.prod(shape)) * len(INPUTS)
    with tempfile.TemporaryDirectory(dir=directory) as work:
        work = Path(work)
        maps = []
        for run, extra in (
            ("within the budget", ["--max-memory", str(budget), "--fast"]),
            ("with 64 GiB", ["--max-memory", str(64 << 30), "--fast"]),
        ):
            out = work / run.replace(" ", "-")
            out.mkdir()
            wall, peak = end_to_end(directory, out, 1, extra)
            print(
                f"{run}: {wall:.0f} s, peak memory {peak / 2**20:.0f} MiB "
                f"(float32 inputs {float32_inputs / 2**20:.0f} MiB)",
                flush=True,
            )
            maps.append((out, peak))
        same = all(
            _decompressed_digest(maps[0][0] / name) == _decompressed_digest(maps[1][0] / name)
            for name in ("mpf.nii.gz", "status.nii.gz")
        )
    print(
        f"peak memory / budget {maps[0][1] / budget:.2f} (goal <= 1); "
        f"maps {'equal' if same else 'DIFFER'}"
    )


def _decompressed_digest(path):
    import gzip
    import hashlib

    digest = hashlib.sha256()
    with gzip.open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 24), b""):
            digest.update(block)
    return digest.hexdigest()


def end_to_end_rows(directory, inputs, voxels, repeats, rows):
    """Adds the end-to-end and memory rows; returns the I/O floor, seconds."""
    with tempfile.TemporaryDirectory(dir=directory) as work:
        work = Path(work)
        wall, peak = end_to_end(directory, work, repeats)
        gzip_name, floor = io_floor(inputs, [work / "mpf.nii.gz", work / "status.nii.gz"], repeats)
        fast_wall, _ = end_to_end(directory, work, repeats, ["--fast"])
        chain_wall, chain_peak = end_to_end(directory, work, repeats, chain=True)
        chain_fast_wall, _ = end_to_end(directory, work, repeats, ["--fast"], chain=True)
        _, chain_floor = io_floor(
            [directory / f"{name}.nii.gz" for name in CHAIN_INPUTS],
            [work / "mpf.nii.gz", work / "status.nii.gz"],
            repeats,
        )
        singles = single_maps(directory, work, repeats)
    float32_inputs = 4 * voxels * len(INPUTS)
    rows.append(
        (
            "end to end / I/O floor",
            wall / floor,
            "<= 1.5",
            f"{wall:.2f} s / {floor:.2f} s ({gzip_name})",
        )
    )
    rows.append(
        ("end to end --fast / I/O floor", fast_wall / floor, "<= 1.5", f"{fast_wall:.2f} s")
    )
    rows.append(
        (
            "three-scan chain end to end / I/O floor",
            chain_wall / chain_floor,
            "<= 1.5",
            f"{chain_wall:.2f} s / {chain_floor:.2f} s (inputs {', '.join(CHAIN_INPUTS)})",
        )
    )
    rows.append(
        (
            "three-scan chain --fast / I/O floor",
            chain_fast_wall / chain_floor,
            "<= 1.5",
            f"{chain_fast_wall:.2f} s; peak memory {chain_peak / 2**20:.0f} MiB",
        )
    )
    for name, single_wall, single_floor in singles:
        rows.append(
            (
                f"  mt-map {name} end to end / I/O floor",
                single_wall / single_floor,
                "",
                f"{single_wall:.2f} s / {single_floor:.2f} s",
            )
        )
    rows.append(
        (
            "peak memory / float32 inputs",
            peak / float32_inputs,
            "<= 2",
            f"{peak / 2**20:.0f} MiB / {float32_inputs / 2**20:.0f} MiB",
        )
    )
    return floor


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--directory",
        type=Path,
        default=Path("build/volume-speed"),
        help="where the test volume is made and kept",
    )
    parser.add_argument("--shape", type=int, nargs=3, default=(176, 240, 256))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--numba-child", type=Path, help=argparse.SUPPRESS)
    parser.add_argument(
        "--big", action="store_true", help="check streaming on a 1024 x 1024 x 600 volume instead"
    )
    parser.add_argument(
        "--big-shape", type=int, nargs=3, default=(1024, 1024, 600), help=argparse.SUPPRESS
    )
    parser.add_argument(
        "--max-memory",
        type=int,
        default=200 << 20,
        help="budget of the streamed run with --big, bytes (default 200 MiB: "
        "runs of less than a plane)",
    )
    parser.add_argument(
        "--solver",
        action="store_true",
        help="only the solver's ratios (exact, fast, floor), not end to end, memory or start-up",
    )
    parser.add_argument(
        "--voxels",
        type=int,
        default=None,
        help="only the first VOXELS of the head's voxels in the solver's ratios",
    )
    options = parser.parse_args()
    if options.numba_child is not None:
        return numba_child(options.numba_child, options.repeats)
    if options.big:
        return big(options)

    import head_volume
    import numba_baselines as nb

    from tavni.mt_map import STATUS_SOLVED, fit_fraction

    directory = options.directory.resolve()
    shape_file = directory / "shape"
    wanted = " ".join(map(str, options.shape)) + "\n"
    if (
        not shape_file.is_file()
        or shape_file.read_text() != wanted
        or not all((directory / f"{name}.nii.gz").is_file() for name in CHAIN_INPUTS)
    ):
        print(f"making the test volume {options.shape} in {directory} ...", flush=True)
        head_volume.write(directory, tuple(options.shape))
    inputs = [directory / f"{name}.nii.gz" for name in INPUTS]
    voxels = int(np.prod(options.shape))
    rows = []

    if not options.solver:
        floor = end_to_end_rows(directory, inputs, voxels, options.repeats, rows)

    ratio, R1, b1 = (values[: options.voxels] for values in solver_inputs(directory))
    protocol = head_volume.protocol_of(directory)
    scalars = protocol
    threads = len(os.sched_getaffinity(0))

    def exact():
        return fit_fraction(ratio, R1, *scalars, b1=b1, threads=threads, return_status=True)

    nb.brent_map(ratio[:1000], R1[:1000], b1[:1000], protocol, 0.0, 0.5, BRENT_XTOL)  # compile
    nb.closed_form_map(ratio[:1000], R1[:1000], b1[:1000], protocol, 0.0, 0.5)
    exact_time, (f_exact, status) = best(exact, options.repeats)
    brent_time, f_brent = best(
        lambda: nb.brent_map(ratio, R1, b1, protocol, 0.0, 0.5, BRENT_XTOL), options.repeats
    )
    closed_time, f_closed = best(
        lambda: nb.closed_form_map(ratio, R1, b1, protocol, 0.0, 0.5), options.repeats
    )
    solved = status == STATUS_SOLVED
    both = solved & np.isfinite(f_brent)
    rows.append(
        (
            "exact: numba Brent / fit_fraction",
            brent_time / exact_time,
            ">= 3",
            f"{ratio.size} voxels, {threads} threads; max |f - f_Brent| "
            f"{np.max(np.abs(f_exact[both] - f_brent[both])):.1e}",
        )
    )
    sample = slice(None, None, max(1, ratio.size // 100_000))  # spread over the head
    scipy_time, f_scipy = best(
        lambda: scipy_find_root(ratio[sample], R1[sample], b1[sample], protocol), 1
    )
    scipy_per_voxel = scipy_time / f_scipy.size
    agree = solved[sample] & np.isfinite(f_scipy)
    rows.append(
        (
            "  SciPy find_root / exact fit_fraction",
            scipy_per_voxel * ratio.size / exact_time,
            "",
            f"per voxel, vectorised over {f_scipy.size} voxels; max |f - f_SciPy| "
            f"{np.max(np.abs(f_exact[sample][agree] - f_scipy[agree])):.1e}",
        )
    )
    if not options.solver:
        rows.append(
            (
                "  exact fit alone / I/O floor",
                exact_time / floor,
                "",
                "the solver's share of the end to end time cannot be hidden below this",
            )
        )
    fast_time = None
    try:
        (closed_time, f_closed), (fast_time, (f_fast, fast_status)) = best_alternating(
            [
                lambda: nb.closed_form_map(ratio, R1, b1, protocol, 0.0, 0.5),
                lambda: fit_fraction(
                    ratio, R1, *scalars, b1=b1, threads=threads, return_status=True, exact=False
                ),
            ],
            options.repeats,
        )
    except TypeError:
        rows.append(
            (
                "fast: numba closed form / fit_fraction",
                float("nan"),
                ">= 1",
                "no fast mode in this version",
            )
        )
    else:
        fast_solved = fast_status == STATUS_SOLVED
        agree = np.max(np.abs(f_fast[solved & fast_solved] - f_exact[solved & fast_solved]))
        rows.append(
            (
                "fast: numba closed form / fit_fraction",
                closed_time / fast_time,
                ">= 1",
                f"{fast_build()} build; max |f_fast - f_exact| {agree:.1e}; statuses differ in "
                f"{np.count_nonzero(fast_status != status)} voxels",
            )
        )
    rows.append(
        (
            "  (numba closed form / exact fit_fraction)",
            closed_time / exact_time,
            "",
            "for reference",
        )
    )

    with tempfile.TemporaryDirectory(dir=directory) as work:
        stages = solver_floor(Path(work), ratio, R1, b1, protocol)
        generic_brent, generic_closed = numba_generic(
            Path(work), ratio, R1, b1, protocol, options.repeats
        )
    rows.append(
        (
            "  numba, baseline x86-64: Brent / exact",
            generic_brent / exact_time,
            "",
            "numba compiled for the instruction set the package is built for",
        )
    )
    if fast_time is not None:
        rows.append(
            (
                "  numba, baseline x86-64: closed form / fast",
                generic_closed / fast_time,
                "",
                "(NUMBA_CPU_NAME=generic; the rows above use this processor's)",
            )
        )
    if stages is not None:
        rows.append(
            (
                "  exact solve / its floor, one thread",
                stages["solve"] / stages["certify"],
                "",
                f"ns per voxel: excitation {stages['excitation']:.0f}, + terms and "
                f"exact zero {stages['terms']:.0f}, + two residuals "
                f"{stages['certify']:.0f} (floor), solve {stages['solve']:.0f}",
            )
        )
        rows.append(
            (
                "  numba Brent / a solver at the floor",
                brent_time / exact_time * stages["solve"] / stages["certify"],
                "",
                "the exact ratio if the solver did only the floor's work",
            )
        )

    if not options.solver:
        help_time, pass_time = startup(max(10, options.repeats))
        rows.append(
            (
                "start-up: mt-map --help / python -c pass",
                help_time / pass_time,
                "<= 1.5",
                f"{help_time * 1e3:.0f} ms / {pass_time * 1e3:.0f} ms",
            )
        )

    print(
        f"volume {options.shape[0]}x{options.shape[1]}x{options.shape[2]} ({voxels} voxels), "
        f"inputs {', '.join(INPUTS)} as .nii.gz, best of {options.repeats}"
    )
    width = max(len(name) for name, *_ in rows)
    for name, value, goal, note in rows:
        print(f"{name:<{width}}  {value:7.2f}  {goal:<7}  {note}")


if __name__ == "__main__":
    main()
