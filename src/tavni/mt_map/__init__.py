"""Magnetization-transfer mapping of the bound-pool fraction.

The signal model of one voxel lives in the extension module
:mod:`tavni.mt_map.mpf`; the array functions and status codes at the top
level (from :mod:`~tavni.mt_map.maps`, :mod:`~tavni.mt_map.relaxometry`,
:mod:`~tavni.mt_map.pulses` and :mod:`~tavni.mt_map.status`, as
``__init__.pyi`` lists them) are loaded on first use, so that importing the
package imports neither NumPy nor the extension modules. Messages for a person go to the ``tavni.mt_map`` logger,
silent unless the caller configures logging.
"""

import logging

# Messages for a person (warnings, summaries) go to this logger; a library
# stays silent unless its caller configures logging (the command line does).
logging.getLogger(__name__).addHandler(logging.NullHandler())


def _top_level_names():
    """The top-level names by the module that defines them, as
    ``__init__.pyi`` lists them (``from MODULE import NAME as NAME``); read
    once, on the first use of one of them.
    """
    import ast
    from pathlib import Path

    tree = ast.parse(Path(__file__).with_name("__init__.pyi").read_text(encoding="utf-8"))
    names = {}
    for node in tree.body:
        if isinstance(node, ast.ImportFrom):
            for alias in node.names:
                names[alias.asname or alias.name] = node.module
    globals()["_TOP_LEVEL"] = names
    return names


def __getattr__(name):
    if name == "__version__":
        from tavni.mt_map._version import version

        globals()["__version__"] = version()
        return globals()["__version__"]
    names = globals().get("_TOP_LEVEL") or _top_level_names()
    if name == "__all__":
        return list(names)
    if name in names:
        from importlib import import_module

        return getattr(import_module(names[name]), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    names = globals().get("_TOP_LEVEL") or _top_level_names()
    return sorted(set(globals()).union(names, {"__all__", "__version__"}))
