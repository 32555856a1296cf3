from collections.abc import Callable
from typing import NamedTuple, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["SHAPES", "PulseShape", "omega_1_rms_from_pulse"]

class PulseShape(NamedTuple):
    name: str
    rms: Callable[..., float]
    needs: tuple[str, ...] = ()

SHAPES: dict[str, PulseShape]

# Scalars in, a float out; anything else, an array.
@overload
def omega_1_rms_from_pulse(  # type: ignore[overload-overlap]
    flip_angle: float,
    pulse_duration: float,
    shape: str = "hard",
    bandwidth: float | None = None,
) -> float: ...
@overload
def omega_1_rms_from_pulse(
    flip_angle: ArrayLike,
    pulse_duration: ArrayLike,
    shape: str = "hard",
    bandwidth: ArrayLike | None = None,
) -> NDArray[np.float64]: ...
