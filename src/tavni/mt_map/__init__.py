"""Magnetization-transfer mapping of the bound-pool fraction.

The signal model of one voxel lives in the extension module
:mod:`tavni.mt_map.mpf`; the array functions named here (from
:mod:`~tavni.mt_map.maps`, :mod:`~tavni.mt_map.relaxometry`,
:mod:`~tavni.mt_map.pulses` and :mod:`~tavni.mt_map.status`) are loaded on
first use, so that importing the package imports neither NumPy nor the
extension modules. Messages for a person go to the ``tavni.mt_map`` logger,
silent unless the caller configures logging.
"""

import logging

# Messages for a person (warnings, summaries) go to this logger; a library
# stays silent unless its caller configures logging (the command line does).
logging.getLogger(__name__).addHandler(logging.NullHandler())

# Whole-image functions, by the module that defines them. Loaded on first
# use, so that importing the package (and mpf with it) does not import NumPy.
_LAZY_NAMES = {
    "maps": frozenset({"super_lorentzian", "fit_fraction", "predicted_ratio"}),
    "status": frozenset(
        {
            "STATUS_SOLVED",
            "STATUS_BELOW_BRACKET",
            "STATUS_ABOVE_BRACKET",
            "STATUS_INVALID_INPUT",
            "STATUS_MASKED",
            "STATUS_TWO_ROOTS",
        }
    ),
    "relaxometry": frozenset({"spgr_signal", "fit_r1", "synthetic_reference", "mtr", "mtsat"}),
    "pulses": frozenset({"omega_1_rms_from_pulse"}),
}


__all__ = [
    "super_lorentzian",
    "fit_fraction",
    "predicted_ratio",
    "spgr_signal",
    "fit_r1",
    "synthetic_reference",
    "mtr",
    "mtsat",
    "omega_1_rms_from_pulse",
    "STATUS_SOLVED",
    "STATUS_BELOW_BRACKET",
    "STATUS_ABOVE_BRACKET",
    "STATUS_INVALID_INPUT",
    "STATUS_MASKED",
    "STATUS_TWO_ROOTS",
]


def __getattr__(name):
    if name == "__version__":
        from tavni.mt_map._version import version

        globals()["__version__"] = version()
        return globals()["__version__"]
    for module_name, names in _LAZY_NAMES.items():
        if name in names:
            from importlib import import_module

            return getattr(import_module(f"{__name__}.{module_name}"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()).union(*_LAZY_NAMES.values(), {"__version__"}))
