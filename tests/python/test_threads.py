"""Several threads calling both functions at once get exactly what a lone
caller gets: the same values to the bit, the same exceptions with the same
text and traceback entries.
"""

import random
import struct
import sys
import threading
import time
import traceback

import pytest
from conftest import PARAMETERS, SLD, TYPICAL

import tavni.mt_map.mpf as mpf

THREADS = 6
ROUNDS = 3


class YieldsDuringConversion:
    """Lets other threads run in the middle of a call's conversion."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class CallsBackIn:
    """A conversion that calls the module again on the same thread."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return SLD(self.value, 1000.0, 1e-5) + mpf.model(*TYPICAL[mpf.model])


class FailsAfterYielding:
    def __float__(self):
        time.sleep(0)
        raise ArithmeticError("gave up")


def workload(seed, size=400):
    """(function, args, kwargs) triples: good calls with perturbed typical
    values passed in every way, and failing ones of every kind.
    """
    rng = random.Random(seed)
    calls = []
    for _ in range(size):
        function = rng.choice(list(PARAMETERS))
        names = PARAMETERS[function]
        values = [v * rng.uniform(0.5, 1.5) for v in TYPICAL[function]]
        i = rng.randrange(len(values))
        kind = rng.randrange(8)
        if kind == 1:
            values[i] = YieldsDuringConversion(values[i])
        elif kind == 2:
            values[i] = CallsBackIn(values[i])
        elif kind == 3:
            values[i] = rng.choice([FailsAfterYielding(), "1.0", None, 10**400])
        n = rng.randrange(len(values) + 1)
        args, kwargs = tuple(values[:n]), dict(zip(names[n:], values[n:]))
        if kind == 4:  # a parameter missing
            if kwargs:
                del kwargs[rng.choice(list(kwargs))]
            else:
                args = args[:-1]
        elif kind == 5 and n:  # a positional parameter named again
            kwargs[names[rng.randrange(n)]] = 1.0
        elif kind == 6:
            kwargs["unknown"] = 1.0
        calls.append((function, args, kwargs))
    return calls


def outcome(function, args, kwargs):
    try:
        result = function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - every exception is an outcome
        entries = tuple(entry.name for entry in traceback.extract_tb(error.__traceback__))
        return ("raises", type(error), str(error), entries)
    return ("value", type(result), struct.pack("<d", result))


def run_all(calls):
    return [outcome(*call) for call in calls]


@pytest.fixture
def frequent_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_concurrent_callers_get_what_a_lone_caller_gets(frequent_switches):
    calls = workload(seed=20260)
    lone = run_all(calls)
    assert {o[0] for o in lone} == {"value", "raises"}  # both paths are exercised

    start = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def worker(index):
        try:
            # Each thread goes through the calls in an order of its own.
            order = list(range(len(calls)))
            random.Random(index).shuffle(order)
            start.wait()
            seen = {}
            for _ in range(ROUNDS):
                for k in order:
                    got = outcome(*calls[k])
                    if seen.setdefault(k, got) != got:
                        raise AssertionError(f"call {k} changed within thread {index}")
            results[index] = [seen[k] for k in range(len(calls))]
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for index, result in enumerate(results):
        mismatches = [k for k, (a, b) in enumerate(zip(result, lone)) if a != b]
        assert mismatches == [], f"thread {index} differs from the lone caller"
    assert run_all(calls) == lone


def test_a_fit_while_another_thread_imports_numpy_ma(monkeypatch):
    # Another thread importing numpy.ma leaves its modules in sys.modules
    # before they define their names: an array fitted meanwhile is no
    # masked array (none can exist yet), not an AttributeError.
    import types

    import numpy as np

    from tavni.mt_map import fit_fraction

    for name in ("numpy.ma", "numpy.ma.core"):
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    f = fit_fraction(np.full(3, 0.6), *TYPICAL[mpf.model][2:])
    assert np.all(np.isfinite(f))
