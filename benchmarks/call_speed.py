"""Cost of one call of tavni.mt_map.mpf.model, beside baselines.

    python3 benchmarks/call_speed.py [--tree] [--rounds N] [--no-core]

Builds, in a temporary directory, the baseline extension call_baseline.c
(never installed) and times, interleaved round by round:

  model by position and by keyword, super_lorentzian_differential;
  (a) parse_only: the ten arguments parsed by PyArg_ParseTupleAndKeywords
      with "ffffffffff", as a typical hand-written extension does;
  (b) the same model in plain double-precision Python (pure_model.py);
  (c) floor: ten floats converted straight from the tuple, or from the
      keyword dict's values without looking at the names.

Every figure is the time of one call: the best of all rounds of a timing
loop, less the best time of the empty loop. The clock is this thread's CPU
time, and other processes only ever add to it (through caches and shared
cores), so the best of many short rounds is the least disturbed one;
medians are shown beside it. Then the numerical core alone is timed with Google Benchmark
(benchmarks/CMakeLists.txt), unless --no-core is given.

By default the installed package is measured; --tree builds the extension
module from this source tree instead (same CMake project, same flags) and
measures that, without installing anything.
"""

import argparse
import glob
import importlib.machinery
import importlib.util
import json
import math
import os
import random
import shlex
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import pure_model  # noqa: E402

# A white-matter-like tissue and a typical MT-weighted spoiled gradient echo.
MODEL_ARGUMENTS = {
    "f": 0.1,
    "S_ratio": 0.5,
    "R1": 1.0,
    "T2_free": 0.05,
    "delta_omega": 2000.0,
    "omega_1_rms": 2000.0,
    "G": 1e-5,
    "TR": 0.03,
    "duration": 0.01,
    "flip_angle": 0.2,
}
INTEGRAND_ARGUMENTS = {"u": 0.3, "Delta": 1000.0, "T2b": 1e-5}

# Target seconds per timing sample: long enough to swamp the clock's
# resolution, short enough that many samples run between two interruptions.
SAMPLE_SECONDS = 0.002


def run(command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


def build_baseline(build_dir):
    """Compiles call_baseline.c the way distutils builds an extension."""
    var = sysconfig.get_config_var
    source = os.path.join(HERE, "call_baseline.c")
    obj = os.path.join(build_dir, "call_baseline.o")
    target = os.path.join(build_dir, "call_baseline" + var("EXT_SUFFIX"))
    include = sysconfig.get_paths()["include"]
    run(
        shlex.split(var("CC"))
        + shlex.split(var("CFLAGS"))
        + shlex.split(var("CCSHARED"))
        + ["-I", include, "-c", source, "-o", obj]
    )
    run(shlex.split(var("LDSHARED")) + [obj, "-o", target])
    return load_extension("call_baseline", target)


def build_module_from_tree(build_dir):
    binary = os.path.join(build_dir, "module")
    run(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            binary,
            "-DMT_MAP_BUILD_MODULE=ON",
            "-DBUILD_TESTING=OFF",
            "-DCMAKE_BUILD_TYPE=Release",
        ],
        stdout=subprocess.DEVNULL,
    )
    run(["cmake", "--build", binary, "--target", "mpf", "-j2"], stdout=subprocess.DEVNULL)
    (path,) = glob.glob(os.path.join(binary, "mpf*" + sysconfig.get_config_var("EXT_SUFFIX")))
    return load_extension("tavni.mt_map.mpf", path)


def load_extension(name, path):
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def check_agreement(mpf, baseline):
    """The timed functions must compute what they claim to."""
    args = list(MODEL_ARGUMENTS.values())
    extension = mpf.model(*args)
    python = pure_model.model(*args)
    # The extension rounds every step to single precision; the Python model
    # does not. Their ratios S_mt/S_ref agree to a few single-precision ulps.
    if not math.isclose(extension, python, rel_tol=0.0, abs_tol=1e-6):
        sys.exit(f"mpf.model gives {extension!r}, the Python model {python!r}")
    if mpf.model(**MODEL_ARGUMENTS) != extension:
        sys.exit("mpf.model by keyword differs from mpf.model by position")
    single_f = baseline.floor(*args)
    if (
        baseline.parse_only(*args) != single_f
        or baseline.parse_only(**MODEL_ARGUMENTS) != single_f
        or baseline.floor(**MODEL_ARGUMENTS) != single_f
    ):
        sys.exit("a baseline does not take f first")


def make_timers(mpf, baseline):
    """Timing loops; the arguments are local variables of the loop."""
    setup = "; ".join(
        f"{name} = {value!r}" for name, value in {**MODEL_ARGUMENTS, **INTEGRAND_ARGUMENTS}.items()
    )
    positional = ", ".join(MODEL_ARGUMENTS)
    keyword = ", ".join(f"{name}={name}" for name in MODEL_ARGUMENTS)
    functions = {
        "model": mpf.model,
        "sld": mpf.super_lorentzian_differential,
        "parse_only": baseline.parse_only,
        "floor": baseline.floor,
        "pure": pure_model.model,
    }
    statements = {
        "empty loop": "pass",
        "model, by position": f"model({positional})",
        "model, by keyword": f"model({keyword})",
        "super_lorentzian_differential": "sld(u, Delta, T2b)",
        "(a) parse-only, by position": f"parse_only({positional})",
        "(a) parse-only, by keyword": f"parse_only({keyword})",
        "(b) pure Python, by position": f"pure({positional})",
        "(c) floor, by position": f"floor({positional})",
        "(c) floor, by keyword": f"floor({keyword})",
    }
    # CPU time of this thread: time spent while other processes had the
    # core does not count.
    return {
        label: timeit.Timer(statement, setup, timer=time.thread_time, globals=functions)
        for label, statement in statements.items()
    }


def calibrate(timer):
    """Loop count for which one sample takes about SAMPLE_SECONDS."""
    number = 1000
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= SAMPLE_SECONDS / 4:
            return max(1, int(number * SAMPLE_SECONDS / elapsed))
        number *= 4


def measure(timers, rounds):
    """Seconds per loop iteration: every round runs every timer once, in a
    fresh random order, so that slow phases of the machine hit all alike.
    """
    numbers = {label: calibrate(timer) for label, timer in timers.items()}
    samples = {label: [] for label in timers}
    order = list(timers)
    shuffle = random.Random(4).shuffle
    for _ in range(rounds):
        shuffle(order)
        for label in order:
            samples[label].append(timers[label].timeit(numbers[label]) / numbers[label])
    return samples


def per_call(samples, statistic):
    overhead = statistic(samples["empty loop"])
    return {
        label: statistic(times) - overhead
        for label, times in samples.items()
        if label != "empty loop"
    }


def report(samples):
    best = per_call(samples, min)
    median = per_call(samples, statistics.median)
    print(f"{'ns per call':32s} {'best':>8s} {'median':>8s}")
    for label in best:
        print(f"{label:32s} {best[label] * 1e9:8.1f} {median[label] * 1e9:8.1f}")
    print(f"(empty timing loop, subtracted: {min(samples['empty loop']) * 1e9:.1f} ns)")

    def ratios(t):
        return [
            (
                "model / (a), by position",
                t["model, by position"] / t["(a) parse-only, by position"],
                "<=",
                0.70,
            ),
            (
                "model / (a), by keyword",
                t["model, by keyword"] / t["(a) parse-only, by keyword"],
                "<=",
                0.40,
            ),
            (
                "(b) / model",
                t["(b) pure Python, by position"] / t["model, by position"],
                ">=",
                20.0,
            ),
            ("model / (c)", t["model, by position"] / t["(c) floor, by position"], None, None),
            # What a function that computes nothing would reach: the bounds
            # of the three goals under this calling convention.
            (
                "(c) / (a), by position",
                t["(c) floor, by position"] / t["(a) parse-only, by position"],
                None,
                None,
            ),
            (
                "(c) / (a), by keyword",
                t["(c) floor, by keyword"] / t["(a) parse-only, by keyword"],
                None,
                None,
            ),
            (
                "(b) / (c)",
                t["(b) pure Python, by position"] / t["(c) floor, by position"],
                None,
                None,
            ),
        ]

    print()
    print(f"{'ratio':32s} {'best':>8s} {'median':>8s}  goal")
    for (label, value, relation, goal), (_, value_median, _, _) in zip(
        ratios(best), ratios(median)
    ):
        if goal is None:
            verdict = ""
        else:
            met = value <= goal if relation == "<=" else value >= goal
            verdict = f"{relation} {goal:.2f}  {'met' if met else 'MISSED'}"
        print(f"{label:32s} {value:8.2f} {value_median:8.2f}  {verdict}")


def core_benchmark(build_dir):
    binary = os.path.join(build_dir, "core")
    try:
        run(
            ["cmake", "-S", HERE, "-B", binary, "-DCMAKE_BUILD_TYPE=Release"],
            stdout=subprocess.DEVNULL,
        )
        run(
            ["cmake", "--build", binary, "--target", "core_speed", "-j2"], stdout=subprocess.DEVNULL
        )
    except subprocess.CalledProcessError:
        print("core benchmark not built (needs Google Benchmark: apt-get install libbenchmark-dev)")
        return
    result = subprocess.run(
        [
            os.path.join(binary, "core_speed"),
            "--benchmark_repetitions=9",
            "--benchmark_format=json",
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    best = {}
    for entry in json.loads(result.stdout)["benchmarks"]:
        if entry.get("run_type") == "iteration":
            assert entry["time_unit"] == "ns"
            name = entry["run_name"]
            best[name] = min(best.get(name, math.inf), entry["cpu_time"])
    print("\nnumerical core alone, Google Benchmark    ns per call, best of 9")
    for name, time_ns in best.items():
        print(f"{name:32s} {time_ns:8.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--tree",
        action="store_true",
        help="build the extension from this source tree instead of importing the installed one",
    )
    parser.add_argument(
        "--module", metavar="PATH", help="measure this built extension module file instead"
    )
    parser.add_argument("--rounds", type=int, default=200, help="interleaved rounds (default 200)")
    parser.add_argument("--no-core", action="store_true", help="skip the Google Benchmark part")
    parser.add_argument(
        "--build-dir", help="keep build products here instead of a temporary directory"
    )
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="mt_map_bench_") as scratch:
        build_dir = os.path.abspath(options.build_dir or scratch)
        os.makedirs(build_dir, exist_ok=True)
        baseline = build_baseline(build_dir)
        if options.module:
            mpf = load_extension("tavni.mt_map.mpf", options.module)
        elif options.tree:
            mpf = build_module_from_tree(build_dir)
        else:
            from tavni.mt_map import mpf
        print(f"mpf: {mpf.__file__}")
        check_agreement(mpf, baseline)
        report(measure(make_timers(mpf, baseline), options.rounds))
        if not options.no_core:
            core_benchmark(build_dir)


if __name__ == "__main__":
    main()
