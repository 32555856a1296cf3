"""Magnetization-transfer mapping of the bound-pool fraction."""
__version__: str

from tavni.mt_map.maps import (
    fit_fraction as fit_fraction,
    predicted_ratio as predicted_ratio,
    super_lorentzian as super_lorentzian,
)
from tavni.mt_map.pulses import omega_1_rms_from_pulse as omega_1_rms_from_pulse
from tavni.mt_map.relaxometry import (
    fit_r1 as fit_r1,
    mtr as mtr,
    mtsat as mtsat,
    spgr_signal as spgr_signal,
    synthetic_reference as synthetic_reference,
)
from tavni.mt_map.status import (
    STATUS_ABOVE_BRACKET as STATUS_ABOVE_BRACKET,
    STATUS_BELOW_BRACKET as STATUS_BELOW_BRACKET,
    STATUS_INVALID_INPUT as STATUS_INVALID_INPUT,
    STATUS_MASKED as STATUS_MASKED,
    STATUS_SOLVED as STATUS_SOLVED,
    STATUS_TWO_ROOTS as STATUS_TWO_ROOTS,
)
