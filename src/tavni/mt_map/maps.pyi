from collections.abc import Sequence
from typing import Any, Literal, NamedTuple, TypeAlias, overload

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "FractionDerivatives",
    "super_lorentzian",
    "fit_fraction",
    "predicted_ratio",
    "LINESHAPE_GRID_STEP",
    "LINESHAPE_GRID_POINTS",
    "lineshape_at_offsets",
    "lineshape_grid",
    "STATUS_SOLVED",
    "STATUS_BELOW_BRACKET",
    "STATUS_ABOVE_BRACKET",
    "STATUS_INVALID_INPUT",
    "STATUS_MASKED",
    "STATUS_TWO_ROOTS",
]

# Real numbers, as scalars, arrays (masked ones included) or nested lists;
# strings, complex numbers and objects are refused.
_Real: TypeAlias = bool | int | float | np.bool_ | np.integer[Any] | np.floating[Any]
_RealArray: TypeAlias = (
    _Real
    | NDArray[np.bool_ | np.integer[Any] | np.floating[Any]]
    | Sequence[_Real]
    | Sequence[Sequence[_Real]]
    | Sequence[Sequence[Sequence[_Real]]]
)

STATUS_SOLVED: int
STATUS_BELOW_BRACKET: int
STATUS_ABOVE_BRACKET: int
STATUS_INVALID_INPUT: int
STATUS_MASKED: int
STATUS_TWO_ROOTS: int

class FractionDerivatives(NamedTuple):
    S_ratio: Any
    R1: Any
    b1: Any

# Scalars in, a float out; anything else, an array.
@overload
def super_lorentzian(delta_omega: float, T2b: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def super_lorentzian(delta_omega: _RealArray, T2b: _RealArray) -> NDArray[np.float64]: ...
@overload
def fit_fraction(  # type: ignore[overload-overlap]
    S_ratio: float,
    R1: float,
    T2_free: float,
    delta_omega: float,
    omega_1_rms: float,
    G: float,
    TR: float,
    duration: float,
    flip_angle: float,
    *,
    b1: float | None = None,
    mask: bool | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: Literal[False] = False,
    return_derivatives: Literal[False] = False,
) -> float: ...
@overload
def fit_fraction(  # type: ignore[overload-overlap]
    S_ratio: float,
    R1: float,
    T2_free: float,
    delta_omega: float,
    omega_1_rms: float,
    G: float,
    TR: float,
    duration: float,
    flip_angle: float,
    *,
    b1: float | None = None,
    mask: bool | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: Literal[True],
    return_derivatives: Literal[False] = False,
) -> tuple[float, int]: ...
@overload
def fit_fraction(
    S_ratio: _RealArray,
    R1: _RealArray,
    T2_free: _RealArray,
    delta_omega: _RealArray,
    omega_1_rms: _RealArray,
    G: _RealArray,
    TR: _RealArray,
    duration: _RealArray,
    flip_angle: _RealArray,
    *,
    b1: _RealArray | None = None,
    mask: _RealArray | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: Literal[False] = False,
    return_derivatives: Literal[False] = False,
) -> NDArray[np.float64]: ...
@overload
def fit_fraction(
    S_ratio: _RealArray,
    R1: _RealArray,
    T2_free: _RealArray,
    delta_omega: _RealArray,
    omega_1_rms: _RealArray,
    G: _RealArray,
    TR: _RealArray,
    duration: _RealArray,
    flip_angle: _RealArray,
    *,
    b1: _RealArray | None = None,
    mask: _RealArray | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: Literal[True],
    return_derivatives: Literal[False] = False,
) -> tuple[NDArray[np.float64], NDArray[np.uint8]]: ...
@overload
def fit_fraction(
    S_ratio: _RealArray,
    R1: _RealArray,
    T2_free: _RealArray,
    delta_omega: _RealArray,
    omega_1_rms: _RealArray,
    G: _RealArray,
    TR: _RealArray,
    duration: _RealArray,
    flip_angle: _RealArray,
    *,
    b1: _RealArray | None = None,
    mask: _RealArray | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: Literal[False] = False,
    return_derivatives: Literal[True],
) -> tuple[Any, FractionDerivatives]: ...
@overload
def fit_fraction(
    S_ratio: _RealArray,
    R1: _RealArray,
    T2_free: _RealArray,
    delta_omega: _RealArray,
    omega_1_rms: _RealArray,
    G: _RealArray,
    TR: _RealArray,
    duration: _RealArray,
    flip_angle: _RealArray,
    *,
    b1: _RealArray | None = None,
    mask: _RealArray | None = None,
    bracket: tuple[float, float] = (0.0, 0.5),
    clip: bool = False,
    exact: bool = True,
    threads: int | None = None,
    return_status: Literal[True],
    return_derivatives: Literal[True],
) -> tuple[Any, Any, FractionDerivatives]: ...
@overload
def predicted_ratio(  # type: ignore[overload-overlap]
    f: float,
    R1: float,
    T2_free: float,
    delta_omega: float,
    omega_1_rms: float,
    G: float,
    TR: float,
    duration: float,
    flip_angle: float,
    *,
    threads: int | None = None,
) -> float: ...
@overload
def predicted_ratio(
    f: _RealArray,
    R1: _RealArray,
    T2_free: _RealArray,
    delta_omega: _RealArray,
    omega_1_rms: _RealArray,
    G: _RealArray,
    TR: _RealArray,
    duration: _RealArray,
    flip_angle: _RealArray,
    *,
    threads: int | None = None,
) -> NDArray[np.float64]: ...

LINESHAPE_GRID_STEP: float
LINESHAPE_GRID_POINTS: int

def lineshape_at_offsets(
    offsets: _RealArray,
    T2b: float | None,
    grid: tuple[NDArray[np.float64], NDArray[np.float64]] | None = None,
) -> NDArray[np.float64]: ...
def lineshape_grid(
    lo: float, hi: float, T2b: float
) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
