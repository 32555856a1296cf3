"""How the array functions take their inputs: real numbers as scalars or
arrays of any layout, read where they lie, broadcast without being expanded.

For the array functions of :mod:`~tavni.mt_map.maps`,
:mod:`~tavni.mt_map.relaxometry` and :mod:`~tavni.mt_map.pulses`: the types
their arguments and results have (``RealArrayLike``, ``Floats``) and the
checks that turn an argument into what the C++ kernels read (a float32 or
float64 array in this machine's byte order, its ``numpy.ma`` mask apart), with
the messages a caller sees for a wrong one.
"""

import sys
from collections.abc import Sequence
from typing import Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

__all__ = ["Real", "RealArrayLike", "broadcast_shape", "real_array", "mask_for"]

Real: TypeAlias = bool | int | float | np.bool_ | np.integer[Any] | np.floating[Any]
"""A real number: what every input of the array functions may be."""
RealArrayLike: TypeAlias = (
    Real
    | NDArray[np.bool_ | np.integer[Any] | np.floating[Any]]
    | Sequence[Real]
    | Sequence[Sequence[Real]]
    | Sequence[Sequence[Sequence[Real]]]
)
"""Real numbers as a scalar, an array (masked ones included) or nested lists;
strings, complex numbers and objects are refused.
"""
Floats: TypeAlias = NDArray[np.float64]
"""What the array functions return for array input."""


def broadcast_shape(named_arrays: dict[str, np.ndarray]) -> tuple[int, ...]:
    """The shape the named arrays broadcast to.

    Parameters
    ----------
    named_arrays : dict of str to numpy.ndarray
        The inputs by argument name.

    Returns
    -------
    tuple of int

    Raises
    ------
    ValueError
        Shapes that do not broadcast together; the message names each
        input that is not a scalar, with its shape.
    """
    try:
        return np.broadcast_shapes(*(array.shape for array in named_arrays.values()))
    except ValueError:
        shapes = ", ".join(
            f"{name} {array.shape}" for name, array in named_arrays.items() if array.ndim > 0
        )
        raise ValueError(f"input shapes do not broadcast together: {shapes}") from None


def _is_masked_array(value: object) -> bool:
    """Whether value is a ``numpy.ma`` array, without importing ``numpy.ma``
    (tens of milliseconds) when nothing has: then none can exist.

    The class is looked up where it is defined, and only once defined:
    while another thread imports ``numpy.ma``, its modules stand in
    ``sys.modules`` before their names do, and until the class statement
    has run no masked array can exist either.
    """
    masked_array = getattr(sys.modules.get("numpy.ma.core"), "MaskedArray", None)
    return masked_array is not None and isinstance(value, masked_array)


def real_array(value: Any, name: str) -> tuple[np.ndarray, np.ndarray | None]:
    """An argument as an array the kernels can read in place, and its mask.

    Real numbers only (bool and integers included). float32 (and float16)
    becomes float32, every other real type float64, in this machine's byte
    order and aligned: a copy, of the input's own size, only where it is not
    so already.

    Parameters
    ----------
    value : scalar, array_like or numpy.ma.MaskedArray
        The argument.
    name : str
        Its name, for the message.

    Returns
    -------
    array : numpy.ndarray
        float32 or float64, of the argument's shape.
    masked : numpy.ndarray of bool or None
        The mask of a ``numpy.ma`` array, True where masked; None if nothing
        is.

    Raises
    ------
    TypeError
        An argument that is not real numbers (strings, complex, objects).
    """
    masked = None
    if _is_masked_array(value):
        masked = np.ma.getmask(value)
        masked = None if masked is np.ma.nomask or not masked.any() else masked
        value = np.ma.getdata(value)
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got an array of {array.dtype}")
    single = array.dtype.kind == "f" and array.dtype.itemsize <= 4
    return np.require(array, np.float32 if single else np.float64, "A"), masked


def _mask_array(mask: Any) -> np.ndarray:
    """The voxels a ``mask`` argument lets through, as booleans of its own
    shape: nonzero and not NaN, and not masked where it is a ``numpy.ma``
    array.
    """
    masked = None
    if _is_masked_array(mask):
        masked, mask = np.ma.getmaskarray(mask), np.ma.getdata(mask)
    array = np.asarray(mask)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"mask must be booleans or real numbers, got an array of {array.dtype}")
    if array.dtype.kind != "b":
        array = (array != 0) & ~np.isnan(array) if array.dtype.kind == "f" else array != 0
    return array if masked is None else array & ~masked


def mask_for(mask: Any, shape: tuple[int, ...]) -> np.ndarray:
    """The voxels a ``mask`` argument lets through, checked to broadcast to
    the inputs' shape without widening it.

    Parameters
    ----------
    mask : array_like or numpy.ma.MaskedArray
        True (or nonzero and not NaN) where a voxel is fitted; a voxel
        masked in a ``numpy.ma`` array is not.
    shape : tuple of int
        The inputs' broadcast shape.

    Returns
    -------
    numpy.ndarray of bool
        Of the mask's own shape.

    Raises
    ------
    TypeError
        A mask that is not booleans or real numbers.
    ValueError
        A mask that does not broadcast to ``shape`` without widening it.
    """
    mask_array = _mask_array(mask)
    try:
        fits = np.broadcast_shapes(mask_array.shape, shape) == shape
    except ValueError:
        fits = False
    if not fits:
        raise ValueError(f"mask has shape {mask_array.shape}; the inputs broadcast to {shape}")
    return mask_array
