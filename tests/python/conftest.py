import ctypes
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import tavni.mt_map.mpf as mpf

SOURCES = Path(__file__).resolve().parents[2] / "src" / "tavni" / "mt_map"


def build_claiming_version(version, directory):
    """The extension built from this tree into directory, claiming to be
    built for another interpreter version.

    Only one interpreter runs here, so a mismatch between the built-for and
    the running version has to be staged by the build. MPF_TEST_CXXFLAGS
    adds flags (the sanitizer run instruments the variant with them).
    """
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the variant with")
    target = Path(directory) / ("mpf" + sysconfig.get_config_var("EXT_SUFFIX"))
    # The compiler itself runs without any preloaded sanitizer runtime.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(
        [
            compiler,
            "-std=c++17",
            "-O1",
            "-fPIC",
            "-shared",
            "-ffp-contract=off",
            *shlex.split(os.environ.get("MPF_TEST_CXXFLAGS", "")),
            "-I" + sysconfig.get_paths()["include"],
            f'-DMPF_CLAIMED_BUILD_VERSION="{version}"',
            str(SOURCES / "mpf.cpp"),
            str(SOURCES / "mpf_core.cpp"),
            "-o",
            str(target),
        ],
        check=True,
        env=env,
    )
    return target


@pytest.fixture(scope="session")
def claimed_version_module(tmp_path_factory):
    """The extension claiming to be built for 3.12."""
    return build_claiming_version("3.12", tmp_path_factory.mktemp("claims-3.12"))


def run_python(code, *interpreter_options):
    """Runs code in a fresh interpreter; returns its completed process."""
    return subprocess.run(
        [sys.executable, *interpreter_options, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


# ---------------------------------------------------------------------------
# The mpf functions, their parameters and typical arguments.

SLD = mpf.super_lorentzian_differential
PARAMETERS = {
    SLD: ("u", "Delta", "T2b"),
    mpf.model: (
        "f",
        "S_ratio",
        "R1",
        "T2_free",
        "delta_omega",
        "omega_1_rms",
        "G",
        "TR",
        "duration",
        "flip_angle",
    ),
}
MODEL_NAMES = PARAMETERS[mpf.model]
TYPICAL = {
    SLD: (0.3, 1000.0, 1e-5),
    mpf.model: (0.1, 0.5, 1.0, 0.05, 2000.0, 2000.0, 1e-5, 0.03, 0.01, 0.2),
}
MODEL_ARGS = TYPICAL[mpf.model]

_PyObject_Call = ctypes.pythonapi.PyObject_Call
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def c_call(function, args, kwargs):
    """PyObject_Call from C: the callee sees this very dict, whatever its
    keys (Python syntax only passes string keys), or no dict for None.
    """
    return _PyObject_Call(function, tuple(args), ctypes.py_object() if kwargs is None else kwargs)


# ---------------------------------------------------------------------------
# Arguments that convert to float in each way the interpreter allows, or
# fail to.


class FloatLike:
    def __init__(self, value=0.5):
        self.value = value

    def __float__(self):
        return self.value


class IndexOnly:
    def __init__(self, value=2):
        self.value = value

    def __index__(self):
        return self.value


class FloatSubclass(float):
    def __float__(self):  # never consulted for a float subclass
        raise AssertionError("float subclass converted through __float__")


class ReturnsFloatSubclass:
    def __init__(self, value=0.5):
        self.value = value

    def __float__(self):
        return FloatSubclass(self.value)


class FloatRaises:
    def __float__(self):
        raise ArithmeticError("no float")


class ReturnsNonFloat:
    def __init__(self, value="0.5"):
        self.value = value

    def __float__(self):
        return self.value


# A small qMRI-BIDS dataset: per participant the three MTS scans (PD-, T1- and
# MT-weighted spoiled gradient echoes of a sphere of tissue) and a TB1map in
# percent. The fields every scan shares sit in a dataset-level MTS.json, so
# that reading them exercises sidecar inheritance.
BIDS_SHARED = {
    "RepetitionTimeExcitation": 0.025,
    "MTOffsetFrequency": 4000.0,
    "MTPulseDuration": 0.012,
    "MTNumberOfPulses": 1,
    "MTPulseShape": "GAUSSIAN",
    "MTPulseBandwidth": 250.0,
    "MTPulseFlipAngle": 540.0,
}
BIDS_SCANS = (
    ("flip-1_mt-off", 6.0, False),
    ("flip-2_mt-off", 20.0, True),
    ("flip-1_mt-on", 6.0, None),
)
BIDS_PROTOCOL = {"T2_free": 0.04, "T2b": 12e-6}


# Multi-echo readouts of the same scans: echo times (s) per contrast, and
# the one R2* (1/s) by which every echo decays.
BIDS_ECHO_TIMES = (
    (0.0023, 0.0046, 0.0069, 0.0092),
    (0.0023, 0.0046, 0.0069, 0.0092),
    (0.0023, 0.0046),
)
BIDS_R2STAR = 25.0
BIDS_CONTRASTS = ("PDw", "T1w", "MTw")


def write_bids_dataset(
    root, participants=("01", "02", "03"), shape=(12, 12, 8), mt_marks=None, echoes=None
):
    """The dataset; mt_marks {field: (MT-on value, MT-off value)} writes the
    sidecars as DICOM converters do: that field in place of MTState, and
    RepetitionTime in place of RepetitionTimeExcitation. echoes "MPM" or
    "MTS" writes each scan as noiseless echoes (``BIDS_ECHO_TIMES``, decay
    ``BIDS_R2STAR``): ``acq-<contrast>_echo-<k>_..._MPM`` or
    ``echo-<k>_..._MTS``, each echo's sidecar with its EchoTime.
    """
    import json

    import nibabel
    import numpy as np

    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    (root / "dataset_description.json").write_text(
        json.dumps({"Name": "test", "BIDSVersion": "1.9.0"})
    )
    shared = dict(BIDS_SHARED)
    if mt_marks:
        shared["RepetitionTime"] = shared.pop("RepetitionTimeExcitation")
    (root / f"{echoes or 'MTS'}.json").write_text(json.dumps(shared))
    grid = np.meshgrid(*(np.linspace(-1, 1, n) for n in shape), indexing="ij")
    inside = sum(axis**2 for axis in grid) <= 0.8
    for number, participant in enumerate(participants):
        anat, fmap = root / f"sub-{participant}" / "anat", root / f"sub-{participant}" / "fmap"
        anat.mkdir(parents=True)
        fmap.mkdir(parents=True)
        R1 = 0.8 + 0.1 * number + 0.3 * grid[0]
        for (entities, flip, t1_weighted), contrast, times in zip(
            BIDS_SCANS, BIDS_CONTRASTS, BIDS_ECHO_TIMES
        ):
            E1, angle = np.exp(-0.025 * R1), np.radians(flip)
            signal = 1000 * np.sin(angle) * (1 - E1) / (1 - np.cos(angle) * E1)
            if t1_weighted is None:
                signal *= 0.6 - 0.02 * number
            marks = {"MTState": t1_weighted is None}
            if mt_marks:
                marks = {k: v[t1_weighted is not None] for k, v in mt_marks.items()}
            written = [(f"sub-{participant}_{entities}_MTS", signal, {})]
            if echoes:
                acq = f"acq-{contrast}_" if echoes == "MPM" else ""
                written = [
                    (
                        f"sub-{participant}_{acq}echo-{k + 1}_{entities}_{echoes}",
                        signal * np.exp(-BIDS_R2STAR * te),
                        {"EchoTime": te},
                    )
                    for k, te in enumerate(times)
                ]
            for name, data, echo in written:
                nibabel.save(
                    nibabel.Nifti1Image(
                        np.where(inside, data, 0).astype(np.float32), np.diag([2.0, 2.0, 2.0, 1.0])
                    ),
                    anat / f"{name}.nii.gz",
                )
                (anat / f"{name}.json").write_text(json.dumps({"FlipAngle": flip, **marks, **echo}))
        b1 = np.where(inside, 100 * (1.05 - 0.1 * grid[1] ** 2), 0).astype(np.float32)
        nibabel.save(
            nibabel.Nifti1Image(b1, np.diag([2.0, 2.0, 2.0, 1.0])),
            fmap / f"sub-{participant}_TB1map.nii.gz",
        )
        (fmap / f"sub-{participant}_TB1map.json").write_text(json.dumps({"Units": "percent"}))
    (root / "protocol.json").write_text(json.dumps(BIDS_PROTOCOL))
    return root
