"""The type stubs: they match the installed modules, and a type checker
accepts the documented calls and rejects wrong ones.
"""

import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")
if os.environ.get("MPF_SANITIZED"):
    pytest.skip(
        "mypy under the sanitizer runtimes is slow and tests nothing new", allow_module_level=True
    )


def run(*arguments, cwd):
    return subprocess.run(
        [sys.executable, "-m", *arguments], capture_output=True, text=True, cwd=cwd, timeout=300
    )


@pytest.mark.parametrize(
    "module",
    [
        "tavni.mt_map.mpf",
        "tavni.mt_map.maps",
        "tavni.mt_map._maps",
        "tavni.mt_map.relaxometry",
        "tavni.mt_map.pulses",
    ],
)
def test_stubs_match_the_modules(module, tmp_path):
    result = run("mypy.stubtest", module, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_sees_the_signatures(tmp_path):
    program = tmp_path / "use.py"
    program.write_text(
        textwrap.dedent("""\
        import numpy as np
        from tavni.mt_map import STATUS_SOLVED, fit_fraction, mpf, super_lorentzian

        residual: float = mpf.model(0.1, 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2)
        weight: float = mpf.super_lorentzian_differential(u=0.2, Delta=1000.0, T2b=1e-5)
        G = super_lorentzian(np.array([1000.0, 2000.0]), 12e-6)
        f, status = fit_fraction(np.ones(3), 1.0, 0.04, 4000, 1500, G[0], 0.028, 0.012, 0.17,
                                 b1=np.ones(3), return_status=True)
        solved: int = STATUS_SOLVED
        one: float = fit_fraction(0.5, 1.0, 0.04, 4000, 1500, 1e-5, 0.028, 0.012, 0.17)
        mpf.model("0.1", 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2)  # line 11
        fit_fraction(0.5, 1.0, 0.04, 4000, 1500, 1e-5, 0.028, 0.012, 0.17, 2)  # line 12
        super_lorentzian("4000", 1e-5)  # line 13
        """)
    )
    result = run("mypy", "--no-error-summary", "--no-incremental", str(program), cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["11", "12", "13"], result.stdout
