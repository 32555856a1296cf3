# The package's top-level names, each from the module that defines it: the
# one list of them. A type checker reads it as the package's interface, and
# the package reads it (``__init__.py``) to load each name on first use.

from tavni.mt_map.maps import fit_fraction as fit_fraction
from tavni.mt_map.maps import predicted_ratio as predicted_ratio
from tavni.mt_map.maps import super_lorentzian as super_lorentzian
from tavni.mt_map.pulses import omega_1_rms_from_pulse as omega_1_rms_from_pulse
from tavni.mt_map.relaxometry import fit_r1 as fit_r1
from tavni.mt_map.relaxometry import mtr as mtr
from tavni.mt_map.relaxometry import mtsat as mtsat
from tavni.mt_map.relaxometry import spgr_signal as spgr_signal
from tavni.mt_map.relaxometry import synthetic_reference as synthetic_reference
from tavni.mt_map.status import STATUS_ABOVE_BRACKET as STATUS_ABOVE_BRACKET
from tavni.mt_map.status import STATUS_BELOW_BRACKET as STATUS_BELOW_BRACKET
from tavni.mt_map.status import STATUS_INVALID_INPUT as STATUS_INVALID_INPUT
from tavni.mt_map.status import STATUS_MASKED as STATUS_MASKED
from tavni.mt_map.status import STATUS_SOLVED as STATUS_SOLVED
from tavni.mt_map.status import STATUS_TWO_ROOTS as STATUS_TWO_ROOTS

__version__: str
