"""A million mixed calls, good and failing, leave the process's resident
memory and the reference counts of everything passed in as they were.
"""

import gc
import os
import subprocess
import sys
import warnings

from conftest import (
    MODEL_NAMES,
    SLD,
    FloatLike,
    FloatRaises,
    IndexOnly,
    ReturnsFloatSubclass,
    c_call,
)

import tavni.mt_map.mpf as mpf

# Fewer calls only where each is far slower (tests/valgrind sets this).
CALLS = int(os.environ.get("MPF_LEAK_TEST_CALLS", "1000000"))
# Under AddressSanitizer or valgrind freed memory is held back for a while,
# so resident memory says nothing there; reference counts still do.
CHECKED_ALLOCATOR = any(
    runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("libasan", "vgpreload_memcheck")
)


class Name(str):
    pass


def mixed_calls():
    """(callable, args, kwargs, exception or None): each item one call. The
    values are made here, at run time, so that they are objects of their own
    whose reference counts nothing else touches.
    """
    u, delta, t2b = float("0.3"), float("1000.5"), float("1e-5")
    model_args = tuple(
        float(x) for x in ("0.1", "0.5", "1", "0.05", "2000", "2000", "1e-5", "0.03", "0.01", "0.2")
    )
    huge = int("9" * 400)
    big = int("12345678901234567890")
    odd_key = "".join(["De", "lta"])
    calls = [
        # Good calls: positional, keywords, mixed, non-float numbers.
        (SLD, (u, delta, t2b), {}, None),
        (SLD, (u,), {"T2b": t2b, "Delta": delta}, None),
        (SLD, (), {"u": u, odd_key: delta, Name("T2b"): t2b}, None),
        (SLD, (big, True, IndexOnly()), {}, None),
        (SLD, (FloatLike(), delta, t2b), {}, None),
        (SLD, (ReturnsFloatSubclass(), delta, t2b), {}, None),
        (mpf.model, model_args, {}, None),
        (mpf.model, (), dict(zip(MODEL_NAMES, model_args)), None),
        (mpf.model, model_args[:4], dict(zip(MODEL_NAMES[4:], model_args[4:])), None),
        # Failing calls: every kind of binding error and conversion error.
        (SLD, (u, delta), {}, TypeError),
        (SLD, (u, delta, t2b, u), {}, TypeError),
        (SLD, (u,), {"Delta": delta}, TypeError),
        (SLD, (u, delta, t2b), {"u": u}, TypeError),
        (SLD, (u, delta, t2b), {"x": u}, TypeError),
        (mpf.model, model_args[:9], {}, TypeError),
        (mpf.model, (), {"f": u}, TypeError),
        (SLD, ("0.3", delta, t2b), {}, TypeError),
        (SLD, (u, None, t2b), {}, TypeError),
        (SLD, (u, delta, b"1"), {}, TypeError),
        (SLD, (huge, delta, t2b), {}, OverflowError),
        (SLD, (u, FloatRaises(), t2b), {}, ArithmeticError),
        (mpf.model, model_args[:9] + (FloatRaises(),), {}, ArithmeticError),
        (mpf.model, (), dict(zip(MODEL_NAMES, model_args[:9] + (huge,))), OverflowError),
    ]
    # Through the C API: a dict with a key that is not a string, and dicts the
    # callee sees as they are.
    calls += [
        (c_call, (SLD, (u, delta, t2b), {1: u}), {}, TypeError),
        (c_call, (SLD, (u,), {"Delta": delta, "T2b": t2b, (1,): u}), {}, TypeError),
        (c_call, (SLD, (), {"u": u, "Delta": delta, "T2b": t2b}), {}, None),
    ]
    return calls


def run(calls, count):
    done = 0
    while done < count:
        for function, args, kwargs, error in calls:
            if error is None:
                function(*args, **kwargs)
            else:
                try:
                    function(*args, **kwargs)
                except error:
                    pass
                else:
                    raise AssertionError(f"{function.__name__}{args} did not fail")
        done += len(calls)
    return done


def referenced_objects(calls):
    """Every object a call hands to the module, and the module's own."""
    seen = {}

    def visit(obj):
        if id(obj) in seen:
            return
        seen[id(obj)] = obj
        if type(obj) is tuple:
            for item in obj:
                visit(item)
        elif type(obj) is dict:
            for key, value in obj.items():
                visit(key)
                visit(value)

    for function, args, kwargs, _ in calls:
        visit(function)
        visit(args)
        visit(kwargs)
    for name in (
        "u",
        "Delta",
        "T2b",
        *MODEL_NAMES,
        "model",
        "super_lorentzian_differential",
        "tavni.mt_map.mpf",
        "__test__",
        "nan",
    ):
        visit(sys.intern(name))
    visit(mpf)
    visit(vars(mpf))
    # The interpreter itself moves the counts of its singletons all the time.
    return [obj for obj in seen.values() if obj is not None and type(obj) is not bool]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def check_a_million_mixed_calls():
    calls = mixed_calls()
    watched = referenced_objects(calls)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        run(calls, max(CALLS // 10, len(calls)))  # warm-up: caches, free lists, arenas
        gc.collect()
        # The interpreter's attribute cache holds references to the names it
        # has looked up, and drops them as entries are replaced: empty it
        # before counting, or the counts of the shared names wander.
        sys._clear_type_cache()
        counts_before = [sys.getrefcount(obj) for obj in watched]
        resident_before = resident_bytes()
        done = run(calls, CALLS)
        gc.collect()
        resident_after = resident_bytes()
        sys._clear_type_cache()
        counts_after = [sys.getrefcount(obj) for obj in watched]
    assert done >= CALLS
    drifted = [(obj, b, a) for obj, b, a in zip(watched, counts_before, counts_after) if a != b]
    assert drifted == [], [(repr(o)[:60], b, a) for o, b, a in drifted]
    if not CHECKED_ALLOCATOR:
        # Even 2 bytes kept per call would show as 2 MB here.
        assert resident_after - resident_before < CALLS * 2, (resident_before, resident_after)


def test_a_million_mixed_calls_leak_nothing():
    # In an interpreter of its own: threads and garbage that other tests
    # leave behind must not move the counts of the interned parameter names
    # that the whole process shares.
    result = subprocess.run([sys.executable, __file__], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-3000:]


if __name__ == "__main__":
    check_a_million_mixed_calls()
