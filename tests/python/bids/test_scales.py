"""The scans' intensity scales from the converters' sidecar fields."""

import pytest

from tavni.mt_map.bids import scales

SLOPES = {"PhilipsRescaleSlope": 4.0, "PhilipsScaleSlope": 2.5}


@pytest.mark.parametrize(
    "sidecar, factor, description",
    [
        ({}, 1.0, "as stored"),
        # Data multiplied by s carry RS * SS = s.
        ({"PhilipsRescaleSlope": 2.0, "PhilipsScaleSlope": 0.5}, 1.0, "1/(RS*SS) = 1"),
        ({**SLOPES, "PhilipsRescaleIntercept": 0}, 0.1, "1/(RS*SS) = 0.1"),
        ({**SLOPES, "UsePhilipsFloatNotDisplayScaling": 1}, 1.0, "as stored (UsePhilips"),
        ({"PhilipsRescaleSlope": 4.0}, None, "PhilipsScaleSlope is missing"),
        ({"PhilipsRescaleSlope": 4.0, "PhilipsScaleSlope": 0}, None, "finite and positive"),
        ({"PhilipsRescaleSlope": "4", "PhilipsScaleSlope": 1}, None, "must be a number"),
    ],
)
def test_intensity_scale(sidecar, factor, description):
    if factor is None:
        with pytest.raises(ValueError, match=description):
            scales.intensity_scale(sidecar)
        return
    found, text = scales.intensity_scale(sidecar)
    assert found == pytest.approx(factor, rel=1e-12)
    assert description in text


PHILIPS = {"Manufacturer": "Philips", "PhilipsRescaleSlope": 2.0, "PhilipsScaleSlope": 1.0}


@pytest.mark.parametrize(
    "changes, expected",
    [
        ({}, []),
        ({"b": {"EchoTime": 0.0025000001}}, []),  # the same echo, rounded otherwise
        ({"b": {"EchoTime": 0.005}}, ["EchoTime differs between the scans (a 0.0025, b 0.005"]),
        ({"c": {"EchoTime": None}}, []),  # compared among the scans that have it
        ({"c": {"ReceiveCoilName": "Body"}}, ["ReceiveCoilName differs"]),
        ({"a": {"CoilString": "HEA;HEP"}, "b": {"CoilString": "BC"}}, ["CoilString differs"]),
        ({"a": {"Manufacturer": "GE"}}, ["Manufacturer differs"]),
        (
            {"c": {"ImageType": "ORIGINAL\\PRIMARY\\M\\NORM\\DIS2D"}},
            ["NORM (prescan normalised) for c but not for a, b"],
        ),
        ({k: {"ImageType": ["ORIGINAL", "NORM"]} for k in "abc"}, []),
        (
            {"a": PHILIPS, "b": {**PHILIPS, "EchoTime": 0.004}},
            ["a, b carry Philips scale fields and c do not", "Manufacturer differs", "EchoTime"],
        ),
    ],
)
def test_scale_warnings(changes, expected):
    sidecars = {
        name: {"Manufacturer": "Siemens", "EchoTime": 0.0025, "ReceiveCoilName": "Head_32"}
        for name in "abc"
    }
    for name, change in changes.items():
        sidecars[name].update(change)
        sidecars[name] = {k: v for k, v in sidecars[name].items() if v is not None}
    found = scales.scale_warnings(sidecars)
    assert len(found) == len(expected)
    for line, part in zip(found, expected):
        assert part in line
