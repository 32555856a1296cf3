from typing import Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

STATUS_SOLVED: int
STATUS_BELOW_BRACKET: int
STATUS_ABOVE_BRACKET: int
STATUS_INVALID_INPUT: int
STATUS_MASKED: int
STATUS_TWO_ROOTS: int


# Scalars in, a float out; anything else, an array.
@overload
def super_lorentzian(delta_omega: float, T2b: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def super_lorentzian(delta_omega: ArrayLike, T2b: ArrayLike) -> NDArray[np.float64]: ...
@overload
def fit_fraction(  # type: ignore[overload-overlap]
    S_ratio: float, R1: float, T2_free: float, delta_omega: float, omega_1_rms: float,
    G: float, TR: float, duration: float, flip_angle: float, *, b1: float | None = None,
    mask: bool | None = None, bracket: tuple[float, float] = (0.0, 0.5), clip: bool = False,
    threads: int | None = None, return_status: Literal[False] = False) -> float: ...
@overload
def fit_fraction(  # type: ignore[overload-overlap]
    S_ratio: float, R1: float, T2_free: float, delta_omega: float, omega_1_rms: float,
    G: float, TR: float, duration: float, flip_angle: float, *, b1: float | None = None,
    mask: bool | None = None, bracket: tuple[float, float] = (0.0, 0.5), clip: bool = False,
    threads: int | None = None, return_status: Literal[True]) -> tuple[float, int]: ...
@overload
def fit_fraction(
    S_ratio: ArrayLike, R1: ArrayLike, T2_free: ArrayLike, delta_omega: ArrayLike,
    omega_1_rms: ArrayLike, G: ArrayLike, TR: ArrayLike, duration: ArrayLike,
    flip_angle: ArrayLike, *, b1: ArrayLike | None = None, mask: ArrayLike | None = None,
    bracket: tuple[float, float] = (0.0, 0.5), clip: bool = False, threads: int | None = None,
    return_status: Literal[False] = False) -> NDArray[np.float64]: ...
@overload
def fit_fraction(
    S_ratio: ArrayLike, R1: ArrayLike, T2_free: ArrayLike, delta_omega: ArrayLike,
    omega_1_rms: ArrayLike, G: ArrayLike, TR: ArrayLike, duration: ArrayLike,
    flip_angle: ArrayLike, *, b1: ArrayLike | None = None, mask: ArrayLike | None = None,
    bracket: tuple[float, float] = (0.0, 0.5), clip: bool = False, threads: int | None = None,
    return_status: Literal[True]) -> tuple[NDArray[np.float64], NDArray[np.uint8]]: ...
