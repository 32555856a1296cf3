"""The types the package declares: the stubs of the compiled modules match
them, every public function of the Python modules is annotated, and a type
checker accepts the documented calls and rejects wrong ones.
"""

import importlib
import inspect
import os
import site
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")
if os.environ.get("MPF_SANITIZED"):
    pytest.skip(
        "mypy under the sanitizer runtimes is slow and tests nothing new", allow_module_level=True
    )


def run(*arguments, cwd):
    """Run mypy on the package this interpreter imports: a tree on the import path
    (not installed) is handed to mypy, which would otherwise read the
    installed copy, if any.
    """
    import tavni.mt_map

    root = str(Path(tavni.mt_map.__file__).parents[2])
    environment = dict(os.environ)
    if root not in {Path(path).as_posix() for path in site.getsitepackages()}:
        environment["MYPYPATH"] = root
    return subprocess.run(
        [sys.executable, "-m", *arguments],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=300,
        env=environment,
    )


@pytest.mark.parametrize("module", ["tavni.mt_map.mpf", "tavni.mt_map._maps"])
def test_stubs_match_the_compiled_modules(module, tmp_path):
    result = run("mypy.stubtest", module, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    "module",
    ["maps", "relaxometry", "pulses", "uncertainty", "status", "outputs", "parallel"],
)
def test_public_functions_are_annotated(module):
    namespace = importlib.import_module(f"tavni.mt_map.{module}")
    unannotated = [
        f"{name}({parameter.name})" if parameter else f"{name} -> ?"
        for name in namespace.__all__
        if inspect.isfunction(function := getattr(namespace, name))
        for signature in [inspect.signature(function)]
        for parameter in [*signature.parameters.values(), None]
        if (parameter.annotation if parameter else signature.return_annotation)
        is inspect.Parameter.empty
    ]
    assert unannotated == []


def test_type_checker_sees_the_signatures(tmp_path):
    program = tmp_path / "use.py"
    program.write_text(
        textwrap.dedent("""\
        import numpy as np
        from tavni.mt_map import STATUS_SOLVED, fit_fraction, mpf, super_lorentzian
        from tavni.mt_map import fit_r1, mtr, omega_1_rms_from_pulse
        from tavni.mt_map.parallel import thread_count
        from tavni.mt_map.uncertainty import ratio_uncertainty

        residual: float = mpf.model(0.1, 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2)
        weight: float = mpf.super_lorentzian_differential(u=0.2, Delta=1000.0, T2b=1e-5)
        G = super_lorentzian(np.array([1000.0, 2000.0]), 12e-6)
        f, status = fit_fraction(np.ones(3), 1.0, 0.04, 4000, 1500, G[0], 0.028, 0.012, 0.17,
                                 b1=np.ones(3), return_status=True)
        solved: int = STATUS_SOLVED
        one: float = fit_fraction(0.5, 1.0, 0.04, 4000, 1500, 1e-5, 0.028, 0.012, 0.17)
        mpf.model("0.1", 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2)  # rejected
        fit_fraction(0.5, 1.0, 0.04, 4000, 1500, 1e-5, 0.028, 0.012, 0.17, 2)  # rejected
        super_lorentzian("4000", 1e-5)  # rejected
        R1, M0 = fit_r1([np.ones(3), np.ones(3)], [0.07, 0.44], [0.025, 0.025])
        ratio = mtr(np.ones(3), np.ones(3)) + omega_1_rms_from_pulse(8.7, 0.012)
        sd = ratio_uncertainty(fit_fraction(np.ones(3), 1.0, 0.04, 4000, 1500, 1e-5, 0.028,
                               0.012, 0.17, return_derivatives=True)[1],
                               np.ones(3), np.ones(3), 1.0, 0.01, 0.01).sd
        mtr("0.5", 1.0)  # rejected
        omega_1_rms_from_pulse(8.7, 0.012, shape=3)  # rejected
        thread_count("4")  # rejected
        """)
    )
    result = run("mypy", "--no-error-summary", "--no-incremental", str(program), cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    rejected = [
        str(number)
        for number, line in enumerate(program.read_text().splitlines(), 1)
        if line.endswith("# rejected")
    ]
    assert [line.split(":")[1] for line in errors] == rejected, result.stdout
