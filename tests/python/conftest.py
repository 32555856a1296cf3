import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[2] / "src" / "tavni" / "mt_map"


def build_claiming_version(version, directory):
    """The extension built from this tree into directory, claiming to be
    built for another interpreter version.

    Only one interpreter runs here, so a mismatch between the built-for and
    the running version has to be staged by the build. MPF_TEST_CXXFLAGS
    adds flags (the sanitizer run instruments the variant with them).
    """
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the variant with")
    target = Path(directory) / ("mpf" + sysconfig.get_config_var("EXT_SUFFIX"))
    # The compiler itself runs without any preloaded sanitizer runtime.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(
        [compiler, "-std=c++17", "-O1", "-fPIC", "-shared", "-ffp-contract=off",
         *shlex.split(os.environ.get("MPF_TEST_CXXFLAGS", "")),
         "-I" + sysconfig.get_paths()["include"], f'-DMPF_CLAIMED_BUILD_VERSION="{version}"',
         str(SOURCES / "mpf.cpp"), str(SOURCES / "mpf_core.cpp"), "-o", str(target)],
        check=True, env=env,
    )
    return target


@pytest.fixture(scope="session")
def claimed_version_module(tmp_path_factory):
    """The extension claiming to be built for 3.12."""
    return build_claiming_version("3.12", tmp_path_factory.mktemp("claims-3.12"))


def run_python(code, *interpreter_options):
    """Runs code in a fresh interpreter; returns its completed process."""
    return subprocess.run(
        [sys.executable, *interpreter_options, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
    )
