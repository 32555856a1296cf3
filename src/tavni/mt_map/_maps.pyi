from typing import Any

STATUS_SOLVED: int
STATUS_BELOW_BRACKET: int
STATUS_ABOVE_BRACKET: int
STATUS_INVALID_INPUT: int
STATUS_MASKED: int
STATUS_TWO_ROOTS: int
R1_STATUS_SOLVED: int
R1_STATUS_BELOW_RANGE: int
R1_STATUS_ABOVE_RANGE: int
R1_STATUS_INVALID_INPUT: int
R1_STATUS_MASKED: int
R1_STATUS_TWO_ROOTS: int
ECHO_STATUS_SOLVED: int
ECHO_STATUS_NEGATIVE_R2STAR: int
ECHO_STATUS_TOO_FEW_ECHOES: int
ECHO_STATUS_INVALID_INPUT: int
ECHO_MAX_CONTRASTS: int
ECHO_MAX_ECHOES: int

def super_lorentzian(Delta: Any, T2b: Any, out: Any, threads: int, /) -> None: ...
def fit_fraction(
    inputs: tuple[Any, ...],
    b1: Any | None,
    masks: tuple[Any, ...],
    lo: float,
    hi: float,
    clip: bool,
    exact: bool,
    threads: int,
    f: Any,
    status: Any,
    derivatives: tuple[Any, Any, Any] | None = None,
    /,
) -> None: ...
def predicted_ratio(inputs: tuple[Any, ...], threads: int, ratio: Any, /) -> None: ...
def spgr_signal(
    M0: Any, R1: Any, flip_angle: Any, TR: Any, b1: Any | None, threads: int, S: Any, /
) -> None: ...
def spgr_log_derivatives(
    R1: Any,
    flip_angle: Any,
    TR: Any,
    b1: Any | None,
    threads: int,
    d_R1: Any,
    d_log_b1: Any | None,
    /,
) -> None: ...
def fit_r1(
    signals: tuple[Any, ...],
    flip_angles: tuple[float, ...],
    TRs: tuple[float, ...],
    b1: Any | None,
    masks: tuple[Any, ...],
    threads: int,
    R1: Any,
    M0: Any,
    status: Any,
    /,
) -> None: ...
def mtsat(
    signals: tuple[Any, ...],
    flip_angles: tuple[float, ...],
    TRs: tuple[float, ...],
    b1: Any | None,
    correction: float,
    threads: int,
    saturation: Any,
    /,
) -> None: ...
def fit_echoes(
    signals: tuple[Any, ...],
    echo_times: tuple[Any, ...],
    threads: int,
    S0: Any,
    R2star: Any,
    R2star_sd: Any,
    status: Any,
    /,
) -> None: ...
def fast_kernels() -> tuple[str, ...]: ...
def fast_kernel(name: str | None = None, /) -> str: ...
