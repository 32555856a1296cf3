"""Import of the extension: namespace, re-import, interpreters, failures."""

import builtins
import importlib
import os
import sys
import types

import pytest
from conftest import run_python

import tavni.mt_map.mpf as mpf

MISMATCH = (
    "compiletime version 3.12 of module 'tavni.mt_map.mpf' does not match runtime version 3.11"
)


def test_namespace():
    names = [n for n in vars(mpf) if not n.startswith("__") or n in ("__test__", "__builtins__")]
    assert names == ["__builtins__", "super_lorentzian_differential", "model", "__test__"]
    assert mpf.__test__ == {} and type(mpf.__test__) is dict
    assert mpf.__builtins__ is builtins
    assert mpf.__doc__ is None
    assert mpf.__package__ == "tavni.mt_map"
    assert mpf.__file__ == mpf.__spec__.origin
    assert mpf.__loader__ is mpf.__spec__.loader
    assert not hasattr(mpf, "__path__")
    assert sys.modules["tavni.mt_map.mpf"] is mpf


@pytest.mark.parametrize("name", ["super_lorentzian_differential", "model"])
def test_exported_functions(name):
    function = getattr(mpf, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__name__ == name
    assert function.__module__ == "tavni.mt_map.mpf"
    assert function.__doc__ is None
    assert function.__self__ is None


def test_reimport_gives_the_same_module_and_keeps_names():
    mpf.bound_by_caller = 42
    try:
        del sys.modules["tavni.mt_map.mpf"]
        again = importlib.import_module("tavni.mt_map.mpf")
        assert again is mpf
        assert again.bound_by_caller == 42
        assert again.model is mpf.model
        assert sys.modules["tavni.mt_map.mpf"] is mpf
    finally:
        sys.modules["tavni.mt_map.mpf"] = mpf
        del mpf.bound_by_caller


def test_subinterpreter_is_refused_and_main_keeps_working():
    import _xxsubinterpreters as interpreters

    read_end, write_end = os.pipe()
    interpreter = interpreters.create()
    try:
        interpreters.run_string(
            interpreter,
            f"""if True:
            import os
            try:
                import tavni.mt_map.mpf
                outcome = "imported"
            except ImportError as error:
                outcome = "ImportError: " + str(error)
            os.write({write_end}, outcome.encode())
        """,
        )
    finally:
        interpreters.destroy(interpreter)
        os.close(write_end)
    with os.fdopen(read_end) as pipe:
        assert pipe.read() == (
            "ImportError: Interpreter change detected - this module can "
            "only be loaded into one interpreter per process."
        )
    assert mpf.model(0.1, 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2) == -0.0031462604281025097


# The module's create step runs once per process, so variants of the import
# spec are tried in fresh interpreters, loading the extension by hand.
@pytest.mark.parametrize(
    "spec_fields, expected",
    [
        # Absent spec attributes are skipped: the new module keeps its defaults.
        ("origin=path", {"__file__": "path", "__loader__": None, "__package__": None}),
        (
            "origin=path, loader='L', parent=None, submodule_search_locations=None",
            {"__file__": "path", "__loader__": "L", "__package__": None},
        ),
        (
            "origin=path, parent='tavni.mt_map', submodule_search_locations=['here']",
            {
                "__file__": "path",
                "__loader__": None,
                "__package__": "tavni.mt_map",
                "__path__": ["here"],
            },
        ),
    ],
)
def test_module_attributes_come_from_the_spec(spec_fields, expected):
    result = run_python(f"""
        import _imp, importlib.util, types
        path = importlib.util.find_spec("tavni.mt_map.mpf").origin
        spec = types.SimpleNamespace(name="tavni.mt_map.mpf", {spec_fields})
        module = _imp.create_dynamic(spec)
        _imp.exec_dynamic(module)
        copied = {{k: v for k, v in vars(module).items()
                  if k in ("__file__", "__loader__", "__package__", "__path__")}}
        if copied.get("__file__") == path:
            copied["__file__"] = "path"
        print(repr(copied))
        print(module.model(0.1, 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2))
    """)
    assert result.returncode == 0, result.stderr
    attributes, value = result.stdout.splitlines()
    assert eval(attributes) == expected
    assert float(value) == -0.0031462604281025097


def test_spec_errors_other_than_missing_attributes_fail_creation():
    result = run_python("""
        import _imp, importlib.util
        class Spec:
            name = "tavni.mt_map.mpf"
            origin = importlib.util.find_spec("tavni.mt_map.mpf").origin
            @property
            def loader(self):
                raise LookupError("no loader today")
        try:
            _imp.create_dynamic(Spec())
        except LookupError as error:
            print("LookupError", error)
    """)
    assert result.stdout.strip() == "LookupError no loader today", result.stderr


def test_exec_with_another_module_is_refused():
    result = run_python("""
        import ctypes, types
        import tavni.mt_map.mpf as mpf
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        try:
            api.PyModule_ExecDef(types.ModuleType("impostor"), api.PyModule_GetDef(mpf))
        except RuntimeError as error:
            print(error)
    """)
    assert result.stdout.strip() == (
        "Module 'mpf' has already been imported. Re-initialisation is not supported."
    ), result.stderr


def test_failed_exec_adds_an_init_entry_and_a_later_import_starts_afresh():
    result = run_python("""
        import sys, traceback
        sys.modules["builtins"] = None  # the module can no longer fetch builtins
        try:
            import tavni.mt_map.mpf
        except ImportError as error:
            names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
            print(names[-1])
        sys.modules["builtins"] = __builtins__
        sys.modules.pop("tavni.mt_map.mpf", None)
        import tavni.mt_map.mpf as mpf
        print(sorted(n for n in vars(mpf) if not n.startswith("__")))
        print(mpf.model(0.1, 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2))
    """)
    assert result.stdout.splitlines() == [
        "init tavni.mt_map.mpf",
        "['model', 'super_lorentzian_differential']",
        "-0.0031462604281025097",
    ], result.stderr


LOAD_VARIANT = """
    import importlib.util, sys, warnings
    def load(path):
        spec = importlib.util.spec_from_file_location("tavni.mt_map.mpf", path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        try:
            spec.loader.exec_module(module)
        except BaseException:
            del sys.modules[spec.name]
            raise
        return module
"""


def test_version_mismatch_warns_once_and_imports(claimed_version_module):
    result = run_python(
        LOAD_VARIANT
        + f"""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        module = load({str(claimed_version_module)!r})
    print(len(caught), caught[0].category.__name__, caught[0].message)
    print(module.super_lorentzian_differential(0.3, 1000, 1e-5))
    """
    )
    assert result.stdout.splitlines() == [
        f"1 RuntimeWarning {MISMATCH}",
        "1.3497161551331618",
    ], result.stderr


def test_version_mismatch_under_warnings_as_errors_fails_then_imports(claimed_version_module):
    result = run_python(
        LOAD_VARIANT
        + f"""
    try:
        load({str(claimed_version_module)!r})
    except RuntimeWarning as error:
        print("failed:", error)
    warnings.resetwarnings()
    warnings.simplefilter("ignore")
    module = load({str(claimed_version_module)!r})
    print(module.model(0.1, 0.5, 1, 0.05, 2000, 2000, 1e-5, 0.03, 0.01, 0.2))
    """,
        "-W",
        "error",
    )
    assert result.stdout.splitlines() == [
        f"failed: {MISMATCH}",
        "-0.0031462604281025097",
    ], result.stderr


def test_top_level_names_load_from_their_modules_on_first_use():
    # The names come from __init__.pyi; a typo there, or a name its module
    # lacks, fails here. Importing the package alone loads no NumPy.
    result = run_python("""
        import importlib, sys
        import tavni.mt_map as package
        print("numpy" in sys.modules)
        wrong = [name for name in package.__all__
                 if getattr(package, name)
                 is not getattr(importlib.import_module(package._TOP_LEVEL[name]), name)]
        namespace = {}
        exec("from tavni.mt_map import *", namespace)
        print(wrong, sorted(set(package.__all__) - set(namespace)), len(package.__all__))
        print(set(package.__all__) <= set(dir(package)))
    """)
    assert result.stdout.splitlines() == ["False", "[] [] 15", "True"], result.stderr
