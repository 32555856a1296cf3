"""Binding of call arguments, conversion to single precision, error reports."""

import math
import random
import struct
import sys
import traceback

import pytest
from conftest import (
    MODEL_ARGS,
    MODEL_NAMES,
    SLD,
    SOURCES,
    FloatLike,
    FloatRaises,
    FloatSubclass,
    IndexOnly,
    ReturnsNonFloat,
    c_call,
)

import tavni.mt_map.mpf as mpf

MODEL_VALUE = -0.0031462604281025097
SLD_VALUE = 1.3497161551331618


def not_interned(name):
    copy = "".join(list(name))
    assert copy == name and copy is not name or len(name) == 1
    return copy


class Str(str):
    pass


def count_error(name, n, given):
    return f"{name}() takes exactly {n} positional arguments ({given} given)"


FAILURES = [
    # function, positional args, keyword dict or None, message
    (mpf.model, MODEL_ARGS[:9], None, count_error("model", 10, 9)),
    (mpf.model, [*MODEL_ARGS, 1.0], None, count_error("model", 10, 11)),
    (mpf.model, [], None, count_error("model", 10, 0)),
    (mpf.model, [], {"f": 0.1}, count_error("model", 10, 1)),
    (mpf.model, [], {"f": 0.1, "x": 1.0}, count_error("model", 10, 1)),
    (mpf.model, MODEL_ARGS[:3], {"T2_free": 0.05, "G": 1e-5}, count_error("model", 10, 4)),
    (SLD, [0.3], {"Delta": 1000.0}, count_error("super_lorentzian_differential", 3, 2)),
    (SLD, [0.3, 1000.0, 1e-5, 1.0], None, count_error("super_lorentzian_differential", 3, 4)),
    (SLD, [0.3, 1000.0, 1e-5, 1.0], {"u": 0.3}, count_error("super_lorentzian_differential", 3, 4)),
    # Missing parameters are found before duplicate or unknown keywords.
    (SLD, [0.3], {"u": 0.3, "T2b": 1e-5}, count_error("super_lorentzian_differential", 3, 1)),
    (
        SLD,
        [0.3, 1000.0, 1e-5],
        {"u": 0.3},
        "super_lorentzian_differential() got multiple values for keyword argument 'u'",
    ),
    (
        SLD,
        [0.3, 1000.0, 1e-5],
        {not_interned("Delta"): 0.3},
        "super_lorentzian_differential() got multiple values for keyword argument 'Delta'",
    ),
    (
        SLD,
        [0.3, 1000.0, 1e-5],
        {"x": 1.0},
        "super_lorentzian_differential() got an unexpected keyword argument 'x'",
    ),
    (
        SLD,
        [0.3],
        {"Delta": 1000.0, "T2b": 1e-5, "delta": 1.0},
        "super_lorentzian_differential() got an unexpected keyword argument 'delta'",
    ),
    (
        mpf.model,
        MODEL_ARGS[:8],
        {"duration": 0.01, "flip_angle": 0.2, "S_ratio": 0.5},
        "model() got multiple values for keyword argument 'S_ratio'",
    ),
    # Extra keys are judged in the dict's own order.
    (
        SLD,
        [0.3, 1000.0, 1e-5],
        {"x": 1.0, "u": 0.3},
        "super_lorentzian_differential() got an unexpected keyword argument 'x'",
    ),
    (
        SLD,
        [0.3, 1000.0, 1e-5],
        {"u": 0.3, 1: 1.0},
        "super_lorentzian_differential() got multiple values for keyword argument 'u'",
    ),
    (
        SLD,
        [0.3, 1000.0, 1e-5],
        {1: 1.0, "u": 0.3},
        "super_lorentzian_differential() keywords must be strings",
    ),
    (
        SLD,
        [0.3],
        {"Delta": 1000.0, "T2b": 1e-5, (1, 2): 1.0},
        "super_lorentzian_differential() keywords must be strings",
    ),
    (
        mpf.model,
        [],
        dict(zip(MODEL_NAMES, MODEL_ARGS), **{"": 1.0}),
        "model() got an unexpected keyword argument ''",
    ),
]


@pytest.mark.parametrize("function, args, kwargs, message", FAILURES)
def test_binding_failures(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        if kwargs is None:
            function(*args)
        else:
            c_call(function, args, kwargs)
    assert str(caught.value) == message
    assert type(caught.value) is TypeError
    entries = traceback.extract_tb(caught.value.__traceback__)
    assert entries[-1].name == f"tavni.mt_map.mpf.{function.__name__}"
    # Its line is where that function's wrapper saw the failure.
    source = (SOURCES / "mpf.cpp").read_text().splitlines()
    assert "call_failed" in source[entries[-1].lineno - 1]
    wrapper = next(
        line for line in reversed(source[: entries[-1].lineno]) if line.startswith("PyObject *")
    )
    assert wrapper.startswith(f"PyObject *{function.__name__}(")


@pytest.mark.parametrize("keyword_count", range(11))
def test_keywords_bind_like_positions_in_any_order(keyword_count):
    rng = random.Random(keyword_count)
    positional = MODEL_ARGS[: 10 - keyword_count]
    for _ in range(20):
        keywords = list(zip(MODEL_NAMES, MODEL_ARGS))[10 - keyword_count :]
        rng.shuffle(keywords)
        assert mpf.model(*positional, **dict(keywords)) == MODEL_VALUE


@pytest.mark.parametrize("make_key", [str, not_interned, Str], ids=["interned", "copy", "subclass"])
def test_keyword_names_match_by_content(make_key):
    kwargs = {make_key("Delta"): 1000.0, make_key("T2b"): 1e-5}
    assert c_call(SLD, [0.3], kwargs) == SLD_VALUE
    kwargs[make_key("u")] = 0.3
    assert c_call(SLD, [], kwargs) == SLD_VALUE


def test_empty_keyword_dict():
    assert c_call(SLD, [0.3, 1000.0, 1e-5], {}) == SLD_VALUE
    with pytest.raises(TypeError, match=r"\(2 given\)"):
        c_call(SLD, [0.3, 1000.0], {})


def single(x):
    """X rounded to single precision, as the module rounds its arguments."""
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.mark.parametrize(
    "argument, received",
    [
        (0.1, 0.10000000149011612),
        (0.45, single(0.45)),
        (2, 2.0),
        (True, 1.0),
        (FloatLike(), 0.5),
        (IndexOnly(), 2.0),
        (FloatSubclass(0.1), 0.10000000149011612),
        (1e39, math.inf),
        (-1e39, -math.inf),
        (10**300, math.inf),
        # Past the largest single, but nearer to it than to the overflow point.
        (3.4028235e38, 3.4028234663852886e38),
        (3.4028235677973366e38, math.inf),  # halfway: ties go to even, infinity
    ],
)
def test_arguments_arrive_rounded_to_single(argument, received):
    # Without saturation power both signals are equal and the residual is
    # exactly S_ratio - 1, which shows the value S_ratio arrived as.
    args = list(MODEL_ARGS)
    args[1], args[5] = argument, 0.0
    assert mpf.model(*args) + 1.0 == received


def test_nan_argument_stays_nan():
    args = list(MODEL_ARGS)
    args[1] = math.nan
    assert math.isnan(mpf.model(*args))


@pytest.mark.parametrize(
    "argument, error, message",
    [
        ("0.5", TypeError, "must be real number, not str"),
        (b"0.5", TypeError, "must be real number, not bytes"),
        (None, TypeError, "must be real number, not NoneType"),
        (1j, TypeError, "must be real number, not complex"),
        (10**400, OverflowError, "int too large to convert to float"),
        (FloatRaises(), ArithmeticError, "no float"),
        (ReturnsNonFloat(), TypeError, "ReturnsNonFloat.__float__ returned non-float (type str)"),
    ],
)
@pytest.mark.parametrize("function, position, arity", [(mpf.model, 3, 10), (SLD, 1, 3)])
def test_conversion_errors_pass_through(argument, error, message, function, position, arity):
    args = [0.1] * arity
    args[position] = argument
    args[-1] = "the first failing conversion wins" if position < arity - 1 else args[-1]
    with pytest.raises(error) as caught:
        function(*args)
    assert str(caught.value) == message
    # The function's entry follows the caller's; a failing __float__ adds its own after it.
    names = [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]
    assert names[1] == f"tavni.mt_map.mpf.{function.__name__}"


def test_binding_errors_come_before_conversion_errors():
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
        SLD("not a number", None)


def test_conversion_runs_in_parameter_order():
    seen = []

    class Recorder:
        def __init__(self, name):
            self.name = name

        def __float__(self):
            seen.append(self.name)
            return 0.5

    SLD(T2b=Recorder("T2b"), u=Recorder("u"), Delta=Recorder("Delta"))
    assert seen == ["u", "Delta", "T2b"]


def test_keyword_dict_emptied_during_conversion():
    # A C caller may hand in a dict it still owns; code run by a conversion
    # can empty it while the remaining values are still to be read.
    kwargs = {}

    class Clears:
        def __float__(self):
            kwargs.clear()
            return 0.3

    kwargs.update(u=Clears(), Delta=FloatLike(), T2b=FloatLike())
    expected = SLD(0.3, 0.5, 0.5)
    assert c_call(SLD, [], kwargs) == expected


def test_failed_calls_keep_reference_counts():
    value, key = 12345.678, "not_a_parameter"
    before = sys.getrefcount(value), sys.getrefcount(key)
    for _ in range(1000):
        with pytest.raises(TypeError):
            c_call(SLD, [value, value, value], {key: value})
        with pytest.raises(TypeError):
            mpf.model(value, value, "x", *MODEL_ARGS[3:])
        mpf.model(value, value, *MODEL_ARGS[2:])
    assert (sys.getrefcount(value), sys.getrefcount(key)) == before
