"""Random calls checked against a small binder written here, independently
of the module: random mixes of positional arguments and keyword dicts, with
odd keys and odd argument objects. Each call must give the value the module
gives for the single-rounded arguments passed as plain floats, or exactly the
exception (type and text) the binding rules call for.
"""

import decimal
import math
import operator
import struct
import sys
import warnings

import pytest
from conftest import (
    MODEL_ARGS,
    PARAMETERS,
    FloatLike,
    FloatRaises,
    FloatSubclass,
    IndexOnly,
    ReturnsFloatSubclass,
    ReturnsNonFloat,
    c_call,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavni.mt_map.mpf as mpf

FUNCTIONS = list(PARAMETERS)
FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
# From FLT_MAX plus half an ulp on, rounding to single gives infinity.
OVERFLOW_THRESHOLD = float.fromhex("0x1.ffffffp127")

# ---------------------------------------------------------------------------
# The binder: what the binding and conversion rules say a call must do.


def bind(function, args, kwargs):
    """The objects bound to the parameters, in parameter order, or raises."""
    names = [sys.intern(p) for p in PARAMETERS[function]]
    display, count, given_count = function.__name__, len(names), len(args)

    def count_error(given_now):
        return TypeError(
            f"{display}() takes exactly {count} positional arguments ({given_now} given)"
        )

    if kwargs is None:
        if given_count != count:
            raise count_error(given_count)
        return list(args)
    if given_count > count:
        raise count_error(given_count)
    slots = list(args) + [None] * (count - given_count)
    for i in range(given_count, count):
        try:
            slots[i] = kwargs[names[i]]  # the dict's own hashed lookup
        except KeyError:
            raise count_error(i) from None
    if len(kwargs) > count - given_count:
        for key, value in list(kwargs.items()):
            free = range(given_count, count)
            i = next((j for j in free if key is names[j]), None)
            if i is None:
                if not isinstance(key, str):
                    raise TypeError(f"{display}() keywords must be strings")
                # Content comparison, whatever __eq__ a str subclass has.
                i = next((j for j in free if str.__eq__(key, names[j])), None)
            if i is not None:
                slots[i] = value
                continue
            text = str.__str__(key)
            if any(key is names[j] or str.__eq__(key, names[j]) for j in range(given_count)):
                raise TypeError(f"{display}() got multiple values for keyword argument '{text}'")
            raise TypeError(f"{display}() got an unexpected keyword argument '{text}'")
    return slots


def as_double(obj):
    """The interpreter's float conversion of an argument, as documented."""
    if isinstance(obj, float):
        return float.__float__(obj)  # the stored value; __float__ is not consulted
    kind = type(obj)
    if getattr(kind, "__float__", None) is not None:
        result = kind.__float__(obj)
        if not isinstance(result, float):
            raise TypeError(
                f"{kind.__name__}.__float__ returned non-float (type {type(result).__name__})"
            )
        if type(result) is not float:
            warnings.warn(
                f"{kind.__name__}.__float__ returned non-float (type {type(result).__name__}).  "
                "The ability to return an instance of a strict subclass of float is "
                "deprecated, and may be removed in a future version of Python.",
                DeprecationWarning,
                stacklevel=2,
            )
        return float.__float__(result)
    if getattr(kind, "__index__", None) is not None:
        return int.__float__(operator.index(obj))
    raise TypeError(f"must be real number, not {kind.__name__}")


def to_single(x):
    """Nearest single-precision value, as a Python float; ±inf past the range."""
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def expected_outcome(function, args, kwargs):
    """('value', bits) or ('raises', type, text) for one call."""
    try:
        values = [to_single(as_double(obj)) for obj in bind(function, args, kwargs)]
    except Exception as error:  # noqa: BLE001 - every exception is an outcome
        return ("raises", type(error), str(error))
    return outcome(lambda: function(*values))


def outcome(thunk):
    try:
        result = thunk()
    except Exception as error:  # noqa: BLE001
        return ("raises", type(error), str(error))
    assert type(result) is float
    return ("value", struct.pack("<d", result))


SPECIAL_FLOATS = [
    0.0,
    -0.0,
    0.1,
    0.45,
    1e39,
    -1e39,
    FLT_MAX,
    -FLT_MAX,
    OVERFLOW_THRESHOLD,
    -OVERFLOW_THRESHOLD,
    math.nextafter(OVERFLOW_THRESHOLD, 0.0),
    1e-46,
    1e-45,
    math.inf,
    -math.inf,
    math.nan,
    5e-324,
    1e308,
]
floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(allow_nan=True), st.floats(-1e4, 1e4))
huge_ints = st.one_of(st.integers(2**1024, 2**1030), st.integers(-(2**1030), -(2**1024)))
ints = st.one_of(st.integers(-(2**70), 2**70), st.sampled_from([2**128, 2**128 - 2**103]))
numbers = st.one_of(
    floats,
    ints,
    st.booleans(),
    floats.map(FloatSubclass),
    floats.map(FloatLike),
    ints.map(IndexOnly),
)
odd_objects = st.one_of(
    huge_ints,
    huge_ints.map(IndexOnly),
    floats.map(ReturnsFloatSubclass),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.sampled_from(
        [
            None,
            FloatRaises(),
            ReturnsNonFloat(),
            1j,
            [],
            decimal.Decimal("1.5"),
            decimal.Decimal("sNaN"),
            decimal.Decimal("-Infinity"),
        ]
    ),
)


@st.composite
def arguments(draw):
    # Mostly numbers, so that calls with ten arguments still reach the core.
    return draw(odd_objects if draw(st.integers(0, 99)) < 8 else numbers)


# ---------------------------------------------------------------------------
# Odd keys.


class StrSubclass(str):
    pass


class OtherHash(str):
    """Equal in content to a name, but hashed apart from it."""

    def __hash__(self):
        return str.__hash__(self) ^ 0x5BD1E995


class Impostor:
    """Not a string, yet the dict lookup of a name finds it."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return other == self.name


@st.composite
def key_for(draw, name):
    """Mostly a key that binds to the name, now and then one that looks like
    it but does not.
    """
    binding = [
        sys.intern(name),
        "".join(list(name)),  # equal; for longer names not interned
        StrSubclass(name),
        Impostor(name),
    ]
    near_misses = [OtherHash(name), name.swapcase(), name + "_"]
    pool = near_misses if draw(st.integers(0, 99)) < 8 else binding
    return draw(st.sampled_from(pool))


other_keys = st.one_of(
    st.text(max_size=6),
    st.sampled_from(["u", "Delta", "T2b", "f", "G", "TR", "x", ""]),
    # A second key equal in content to a name but not found by the lookup:
    # it is met in the scan of leftover keys and takes the slot over.
    st.sampled_from(["u", "Delta", "T2b", "f", "S_ratio", "flip_angle"]).map(OtherHash),
    st.integers(-3, 3),
    st.just(b"u"),
    st.just(None),
    st.tuples(st.integers(0, 2)),
)


@st.composite
def calls(draw):
    function = draw(st.sampled_from(FUNCTIONS))
    names = PARAMETERS[function]
    count = len(names)
    # Mostly the right number of arguments in all, so that the value path and
    # the subtler keyword rules are reached often.
    n = draw(st.one_of(st.integers(0, count), st.integers(0, count + 2)))
    args = [draw(arguments()) for _ in range(n)]
    if draw(st.integers(0, 4)) == 0:
        return function, args, None
    entries = []
    for i, name in enumerate(names):
        # Missing names and duplicates of positional names now and then.
        wanted = 98 if i >= n else 4
        if draw(st.integers(0, 99)) < wanted:
            entries.append((draw(key_for(name)), draw(arguments())))
    if draw(st.integers(0, 99)) < 25:
        entries.append((draw(other_keys), draw(arguments())))
    entries = draw(st.permutations(entries))
    return function, args, dict(entries)


def all_keys_are_exact_strings(kwargs):
    return kwargs is not None and all(type(key) is str for key in kwargs)


@pytest.mark.parametrize("warning_action", ["ignore", "error"])
@settings(
    max_examples=1000, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(call=calls(), through_syntax=st.booleans())
def test_random_calls_bind_and_convert_as_the_rules_say(call, through_syntax, warning_action):
    function, args, kwargs = call
    with warnings.catch_warnings():
        warnings.simplefilter(warning_action, DeprecationWarning)
        expected = expected_outcome(function, args, kwargs)
        if through_syntax and all_keys_are_exact_strings(kwargs):
            actual = outcome(lambda: function(*args, **kwargs))
        else:
            actual = outcome(lambda: c_call(function, args, kwargs))
    assert actual == expected


@settings(max_examples=1000, deadline=None, derandomize=True)
@given(st.sampled_from(FUNCTIONS), st.data())
def test_exact_floats_reach_the_core_rounded_to_single(function, data):
    # Any double: the call equals the call with its single-rounded value, and
    # the value of a float does not depend on how it is passed.
    values = [data.draw(floats) for _ in PARAMETERS[function]]
    rounded = [to_single(v) for v in values]
    expected = outcome(lambda: function(*rounded))
    assert outcome(lambda: function(*values)) == expected
    as_keywords = dict(zip(PARAMETERS[function], values))
    assert outcome(lambda: function(**as_keywords)) == expected


@settings(
    max_examples=2000, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(value=st.one_of(floats, arguments()), by_keyword=st.booleans())
def test_S_ratio_arrives_as_its_nearest_single(value, by_keyword):
    # S_ratio enters the residual alone: model = S_ratio - S_mt/S_ref in double,
    # so the result shows exactly which single-precision value arrived.
    args = list(MODEL_ARGS)
    args[1] = 0.0
    shift = mpf.model(*args)  # -S_mt/S_ref
    assert shift != 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            expected = ("value", struct.pack("<d", to_single(as_double(value)) + shift))
        except Exception as error:  # noqa: BLE001
            expected = ("raises", type(error), str(error))
        if by_keyword:
            actual = outcome(
                lambda: mpf.model(
                    *args[:1], S_ratio=value, **dict(zip(PARAMETERS[mpf.model][2:], args[2:]))
                )
            )
        else:
            args[1] = value
            actual = outcome(lambda: mpf.model(*args))
    if expected[0] == "value" and math.isnan(struct.unpack("<d", expected[1])[0]):
        assert actual[0] == "value" and math.isnan(struct.unpack("<d", actual[1])[0])
    else:
        assert actual == expected


def test_the_binder_gives_the_known_messages():
    # A slip in the binder would make the comparisons above meaningless.
    sld = mpf.super_lorentzian_differential
    cases = [
        (mpf.model, [0.0] * 9, None, "model() takes exactly 10 positional arguments (9 given)"),
        (mpf.model, [], {"f": 0.1}, "model() takes exactly 10 positional arguments (1 given)"),
        (
            sld,
            [0.3],
            {"Delta": 1.0},
            "super_lorentzian_differential() takes exactly 3 positional arguments (2 given)",
        ),
        (
            sld,
            [0.3, 1.0, 1.0],
            {"u": 1.0},
            "super_lorentzian_differential() got multiple values for keyword argument 'u'",
        ),
        (
            sld,
            [0.3, 1.0, 1.0],
            {"x": 1.0},
            "super_lorentzian_differential() got an unexpected keyword argument 'x'",
        ),
        (
            sld,
            [0.3, 1.0, 1.0, 1.0],
            {},
            "super_lorentzian_differential() takes exactly 3 positional arguments (4 given)",
        ),
    ]
    for function, args, kwargs, message in cases:
        assert expected_outcome(function, args, kwargs) == ("raises", TypeError, message)
    assert expected_outcome(sld, ["x", 1.0, 1.0], None) == (
        "raises",
        TypeError,
        "must be real number, not str",
    )
    assert to_single(0.1) == 0.10000000149011612
    assert to_single(1e39) == math.inf and to_single(-OVERFLOW_THRESHOLD) == -math.inf
    assert to_single(math.nextafter(OVERFLOW_THRESHOLD, 0.0)) == FLT_MAX
