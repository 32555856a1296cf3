from collections.abc import Sequence
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "spgr_signal",
    "synthetic_reference",
    "fit_r1",
    "mtr",
    "mtsat",
    "fit_echoes",
]

# Scalars in, a float out; anything else, an array.
@overload
def spgr_signal(
    M0: float,
    R1: float,
    flip_angle: float,
    TR: float,
    *,  # type: ignore[overload-overlap]
    b1: float | None = None,
    threads: int | None = None,
) -> float: ...
@overload
def spgr_signal(
    M0: ArrayLike,
    R1: ArrayLike,
    flip_angle: ArrayLike,
    TR: ArrayLike,
    *,
    b1: ArrayLike | None = None,
    threads: int | None = None,
) -> NDArray[np.float64]: ...
@overload
def synthetic_reference(
    M0: float,
    R1: float,
    flip_angle: float,  # type: ignore[overload-overlap]
    TR: float,
    *,
    b1: float | None = None,
    threads: int | None = None,
) -> float: ...
@overload
def synthetic_reference(
    M0: ArrayLike,
    R1: ArrayLike,
    flip_angle: ArrayLike,
    TR: ArrayLike,
    *,
    b1: ArrayLike | None = None,
    threads: int | None = None,
) -> NDArray[np.float64]: ...
@overload
def fit_r1(
    signals: Sequence[ArrayLike],
    flip_angles: Sequence[float],
    TRs: Sequence[float],
    *,
    b1: ArrayLike | None = None,
    mask: ArrayLike | None = None,
    return_status: Literal[False] = False,
    threads: int | None = None,
) -> tuple[Any, Any]: ...
@overload
def fit_r1(
    signals: Sequence[ArrayLike],
    flip_angles: Sequence[float],
    TRs: Sequence[float],
    *,
    b1: ArrayLike | None = None,
    mask: ArrayLike | None = None,
    return_status: Literal[True],
    threads: int | None = None,
) -> tuple[Any, Any, Any]: ...
@overload
def mtr(S_mt: float, S_ref: float) -> float: ...  # type: ignore[overload-overlap]
@overload
def mtr(S_mt: ArrayLike, S_ref: ArrayLike) -> NDArray[np.float64]: ...
@overload
def mtsat(
    S_pd: float,
    S_t1: float,
    S_mt: float,  # type: ignore[overload-overlap]
    flip_pd: float,
    flip_t1: float,
    flip_mt: float,
    TR_pd: float,
    TR_t1: float,
    TR_mt: float,
    *,
    b1: float | None = None,
    b1_correction: float | None = None,
    threads: int | None = None,
) -> float: ...
@overload
def mtsat(
    S_pd: ArrayLike,
    S_t1: ArrayLike,
    S_mt: ArrayLike,
    flip_pd: float,
    flip_t1: float,
    flip_mt: float,
    TR_pd: float,
    TR_t1: float,
    TR_mt: float,
    *,
    b1: ArrayLike | None = None,
    b1_correction: float | None = None,
    threads: int | None = None,
) -> NDArray[np.float64]: ...
def fit_echoes(
    signals: Sequence[ArrayLike],
    echo_times: Sequence[ArrayLike],
    *,
    threads: int | None = None,
) -> tuple[NDArray[np.float64], Any, Any, Any]: ...
