from typing import Any

STATUS_SOLVED: int
STATUS_BELOW_BRACKET: int
STATUS_ABOVE_BRACKET: int
STATUS_INVALID_INPUT: int
STATUS_MASKED: int
STATUS_TWO_ROOTS: int

def super_lorentzian(Delta: Any, T2b: Any, out: Any, threads: int, /) -> None: ...
def fit_fraction(inputs: tuple[Any, ...], b1: Any | None, masks: tuple[Any, ...], lo: float,
                 hi: float, clip: bool, threads: int, f: Any, status: Any, /) -> None: ...
