"""Import paths beyond the first import: re-imports, reloads, and failed
imports followed by a successful one, with nothing kept or lost on the way.
"""

import importlib
import subprocess
import sys
import textwrap

import pytest
from conftest import build_claiming_version

import tavni.mt_map.mpf as mpf

NAME = "tavni.mt_map.mpf"
REFERENCE_VALUE = "-0.0031462604281025097"


def test_repeated_reimports_and_reloads_keep_the_module_and_its_counts():
    def counts():
        return [
            sys.getrefcount(obj)
            for obj in (mpf, vars(mpf), mpf.model, mpf.super_lorentzian_differential)
        ]

    functions = (mpf.model, mpf.super_lorentzian_differential)
    before = counts()
    try:
        for _ in range(200):
            del sys.modules[NAME]
            assert importlib.import_module(NAME) is mpf
            assert importlib.reload(mpf) is mpf
    finally:
        sys.modules[NAME] = mpf
    assert (mpf.model, mpf.super_lorentzian_differential) == functions
    assert counts() == before
    assert repr(mpf.model(0.1, 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2)) == REFERENCE_VALUE


@pytest.fixture(scope="module")
def mismatched_build(tmp_path_factory):
    """The module from this tree, built claiming another interpreter version,
    so that exec fails when warnings are errors.
    """
    return build_claiming_version("3.10", tmp_path_factory.mktemp("mismatch"))


SCRIPT = """
import gc, importlib.util, sys, warnings, weakref

def attempt(path):
    spec = importlib.util.spec_from_file_location(NAME, path)
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except BaseException as error:
        failure = type(error).__name__ + ": " + str(error)
    else:
        return module
    # The error and its traceback are gone; nothing else may hold the module.
    assert sys.modules.get(NAME) is None, "a failed import left a module behind"
    alive = weakref.ref(module)
    del module
    gc.collect()
    assert alive() is None, "the module of a failed import was kept"
    return failure

# Version mismatch under warnings-as-errors: exec fails before it records
# anything; twice, so that the second attempt starts from a clean state.
for _ in range(2):
    print(attempt(PATH))

# A failure after the module was recorded: no builtins module to be had.
warnings.simplefilter("ignore")
builtins = sys.modules["builtins"]
sys.modules["builtins"] = None
print(attempt(PATH))
sys.modules["builtins"] = builtins

module = attempt(PATH)
print(module.model(0.1, 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2))
try:
    module.model(0.1, "x", 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2)
except TypeError as error:
    print(error)
del sys.modules[NAME]
again = attempt(PATH)
print(again is module, again.model is module.model)
"""


def test_failed_imports_then_a_successful_one(mismatched_build):
    code = f"NAME = {NAME!r}\nPATH = {str(mismatched_build)!r}\n" + SCRIPT
    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    mismatch = (
        f"RuntimeWarning: compiletime version 3.10 of module '{NAME}' "
        "does not match runtime version 3.11"
    )
    assert result.stdout.splitlines() == [
        mismatch,
        mismatch,
        "ModuleNotFoundError: import of builtins halted; None in sys.modules",
        REFERENCE_VALUE,
        "must be real number, not str",
        "True True",
    ], result.stderr
    assert result.returncode == 0, result.stderr
