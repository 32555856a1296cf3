import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[2] / "src" / "tavni" / "mt_map"


@pytest.fixture(scope="session")
def claimed_version_module(tmp_path_factory):
    """The extension built from this tree, claiming to be built for 3.12.

    Only one interpreter runs here, so a mismatch between the built-for and
    the running version has to be staged by the build.
    """
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the variant with")
    target = tmp_path_factory.mktemp("claims-3.12") / ("mpf" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(
        [compiler, "-std=c++17", "-O1", "-fPIC", "-shared", "-ffp-contract=off",
         "-I" + sysconfig.get_paths()["include"], '-DMPF_CLAIMED_BUILD_VERSION="3.12"',
         str(SOURCES / "mpf.cpp"), str(SOURCES / "mpf_core.cpp"), "-o", str(target)],
        check=True,
    )
    return target


def run_python(code, *interpreter_options):
    """Runs code in a fresh interpreter; returns its completed process."""
    return subprocess.run(
        [sys.executable, *interpreter_options, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
    )
