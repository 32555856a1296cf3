"""mt-map voxel: one measured MT ratio into a bound-pool fraction."""

import math

import pytest

from tavni.mt_map import predicted_ratio
from tavni.mt_map.cli import main

PROTOCOL = dict(
    R1=1.0,
    T2_free=0.05,
    delta_omega=2000.0,
    omega_1_rms=2000.0,
    G=1e-5,
    TR=0.03,
    duration=0.01,
    flip_angle=10.0,
)


def command_line(S_ratio):
    args = ["voxel", f"--S-ratio={S_ratio!r}"]
    for name, value in PROTOCOL.items():
        args.append(f"--{name.replace('_', '-')}={value!r}")
    return args


def ratio_of(f):
    p = dict(PROTOCOL, flip_angle=math.radians(PROTOCOL["flip_angle"]))
    return predicted_ratio(f, *p.values())


@pytest.mark.parametrize("f", [0.0, 1e-6, 0.05, 0.12, 0.3, 0.5])
def test_recovers_the_fraction_behind_a_ratio(f, capsys):
    assert main(command_line(ratio_of(f))) == 0
    printed = capsys.readouterr().out
    assert printed.startswith("f = ")
    assert float(printed[4:]) == pytest.approx(f, abs=1e-5)


@pytest.mark.parametrize("S_ratio", [1.2, 0.0])
def test_unexplainable_ratio_fails_cleanly(S_ratio, capsys):
    assert main(command_line(S_ratio)) == 1
    assert capsys.readouterr().err.startswith("mt-map: error: no bound-pool fraction")
