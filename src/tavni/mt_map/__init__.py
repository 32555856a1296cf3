"""Magnetization-transfer mapping of the bound-pool fraction.

The signal model lives in the extension module :mod:`tavni.mt_map.mpf`.
"""

# Whole-image functions, from tavni.mt_map.maps. Loaded on first use, so that
# importing the package (and mpf with it) does not import NumPy.
_MAP_NAMES = frozenset({
    "super_lorentzian", "fit_fraction",
    "STATUS_SOLVED", "STATUS_BELOW_BRACKET", "STATUS_ABOVE_BRACKET",
    "STATUS_INVALID_INPUT", "STATUS_MASKED", "STATUS_TWO_ROOTS",
})


def _version():
    """The installed distribution's version: the one source of truth."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tavni-mt-map")
    except PackageNotFoundError:  # imported from a source tree never installed
        return "0+unknown"


def __getattr__(name):
    if name == "__version__":
        globals()["__version__"] = _version()
        return globals()["__version__"]
    if name in _MAP_NAMES:
        from tavni.mt_map import maps

        return getattr(maps, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | _MAP_NAMES | {"__version__"})
