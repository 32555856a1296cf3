"""How many threads: the one place that counts cores and checks a thread count.

The C++ kernels split each array among worker threads; every front end
(array functions, workflows, the BIDS App's participants) asks here how
many cores there are and whether a requested count is usable.
"""

import operator
import os
from typing import SupportsIndex

__all__ = ["MAX_THREADS", "available_cores", "thread_count"]

MAX_THREADS = 1024
"""More worker threads than this is a mistake, not a machine."""


def available_cores() -> int:
    """The cores this process may run on (its CPU affinity), at least 1.

    Returns
    -------
    int
    """
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def thread_count(threads: SupportsIndex | None, limit: int | None = None) -> int:
    """The worker threads a ``threads`` argument asks for.

    Parameters
    ----------
    threads : int or None
        A positive count; None: every available core. The kernels start no
        more threads than they have work for, so a count beyond the cores
        costs nothing.
    limit : int, optional
        The largest count accepted (the workflows refuse more than
        :data:`MAX_THREADS`, which is a typing mistake, not a machine).

    Returns
    -------
    int

    Raises
    ------
    TypeError
        Not an integer (a bool is not a count).
    ValueError
        Below 1, or above ``limit``.
    """
    if threads is None:
        return available_cores()
    if isinstance(threads, bool) or type(threads).__name__ == "bool_":
        raise TypeError(f"threads must be a positive integer, got {threads!r}")
    try:
        threads = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be a positive integer, got {threads!r}") from None
    if limit is not None and not 1 <= threads <= limit:
        raise ValueError(f"threads must be between 1 and {limit} (got {threads})")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return threads
