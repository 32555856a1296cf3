"""Keyword dicts that change while a call binds them.

A C caller can hand its own dict to a function, and a key's __eq__, run by
the dict lookup, can rewrite that dict before binding is done.
"""

import sys

import pytest
from conftest import c_call

import tavni.mt_map.mpf as mpf


class RewritesDict:
    """Hashes like a parameter name; comparing it empties the dict and puts
    fresh values back under every name but the first one.
    """

    def __init__(self, kwargs, name, refill):
        self.kwargs, self.name, self.refill = kwargs, name, refill

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        kwargs, self.kwargs = self.kwargs, None
        if kwargs is not None:
            kwargs.clear()
            for name, text in self.refill:
                kwargs[name] = float(text)  # new objects, possibly in freed memory
        return False


@pytest.mark.parametrize(
    "make_u", [lambda: float("0.3"), lambda: int("7" * 30)], ids=["float", "int"]
)
def test_value_bound_before_a_key_rewrites_the_dict_stays_valid(make_u):
    sld = mpf.super_lorentzian_differential
    u = make_u()
    expected = sld(float(u), 2.0, 1e-5)
    kwargs = {"u": u}
    del u  # from here on only the dict holds it
    kwargs[RewritesDict(kwargs, "Delta", [("Delta", "2.0"), ("T2b", "1e-5")])] = 1.0
    assert c_call(sld, [], kwargs) == expected


def test_dict_rewritten_during_lookup_then_missing_name():
    sld = mpf.super_lorentzian_differential
    kwargs = {"u": float("0.3")}
    kwargs[RewritesDict(kwargs, "Delta", [("Delta", "2.0")])] = 1.0
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
        c_call(sld, [], kwargs)


class RaisesOnCompare:
    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise LookupError("compared")


def test_error_from_a_key_comparison_ends_the_call_and_releases_what_was_bound():
    sld = mpf.super_lorentzian_differential
    u = float("0.3")
    kwargs = {"u": u, RaisesOnCompare("T2b"): 1.0, "Delta": 2.0}
    before = sys.getrefcount(u)
    for _ in range(100):
        with pytest.raises(LookupError, match="^compared$"):
            c_call(sld, [], kwargs)
    assert sys.getrefcount(u) == before
