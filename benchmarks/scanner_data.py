"""Maps from scanner-like data: B1 on its own grid, head motion, raw B1
scans, no mask given.

Each case writes a one-participant phantom BIDS dataset (the MNI brain at
2 mm, Rician noise at SNR 100), runs ``mt-map bids`` on it, and compares the
fraction and R1 maps with the truth in white and grey matter (tissue
probability above 0.9): the median error, the 5th-95th percentile spread of
f's error against the same data without the complication (the ratio is
printed), and the share of brain voxels solved. Every number comes from
this run.

    python3 benchmarks/scanner_data.py [--cases motion dam ...] [--keep DIR]
    python3 benchmarks/scanner_data.py --timing

``--timing`` instead times one participant at 1 mm (a head with scalp and
skull, 3 degrees and 2 mm of motion, B1 at 4 mm, no mask given): the whole
run, and the steps the scanner's data add (the brain mask, registration,
resampling) on their own, beside the rest of the run.
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import nibabel
import numpy as np

from tavni.mt_map.sim import phantom

# name: (phantom options, App options, the case without its complication)
CASES = {
    "plain": ([], ["--mask-dir", "{ds}/derivatives/brainmask"], None),
    "b1-4mm": (
        ["--b1-voxel-size", "4"],
        ["--mask-dir", "{ds}/derivatives/brainmask"],
        "plain",
    ),
    "motion": (["--motion", "3", "2"], ["--mask-dir", "{ds}/derivatives/brainmask"], "plain"),
    "motion-auto-align": (
        ["--motion", "3", "2", "--auto-align"],
        ["--mask-dir", "{ds}/derivatives/brainmask"],
        "plain",
    ),
    "dam": (
        ["--b1-voxel-size", "4", "--b1-scans", "dam"],
        ["--mask-dir", "{ds}/derivatives/brainmask"],
        "plain",
    ),
    "afi": (
        ["--b1-voxel-size", "4", "--b1-scans", "afi"],
        ["--mask-dir", "{ds}/derivatives/brainmask"],
        "plain",
    ),
    "tfl": (
        ["--b1-voxel-size", "4", "--b1-scans", "tfl"],
        ["--mask-dir", "{ds}/derivatives/brainmask"],
        "plain",
    ),
    "no-mask": (["--head"], [], "plain"),
}

PHANTOM = ["--participants", "1", "--voxel-size", "2", "--snr", "100", "--anatomy", "brain"]


def mt_map(*arguments):
    started = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-m", "tavni.mt_map", *arguments], capture_output=True, text=True
    )
    if done.returncode != 0:
        sys.exit(f"mt-map {' '.join(arguments)} failed:\n{done.stderr}")
    return time.perf_counter() - started


def tissues():
    """WM and GM (probability above 0.9) and the brain of participant 01."""
    head = phantom.make(
        2.0, anatomy="brain", snr=100, seed=0, participant=phantom.vary(0, 0)
    ).volumes
    return {
        "WM": head["tissue_wm"] > 0.9,
        "GM": head["tissue_gm"] > 0.9,
        "brain": head["tissue_wm"] + head["tissue_gm"] + head["tissue_csf"] > 0.5,
    }


def measure(root, name, regions):
    phantom_options, app_options, _ = CASES[name]
    ds, out = root / name, root / f"{name}-out"
    mt_map("phantom", "--bids", str(ds), *PHANTOM, *phantom_options)
    seconds = mt_map(
        "bids",
        str(ds),
        str(out),
        "participant",
        "--protocol",
        str(ds / "code" / "protocol.json"),
        *[a.format(ds=ds) for a in app_options],
    )
    anat, truth = out / "sub-01" / "anat", ds / "derivatives" / "phantom-truth" / "sub-01" / "anat"
    f = nibabel.load(anat / "sub-01_MPFmap.nii.gz").get_fdata()
    r1 = nibabel.load(anat / "sub-01_R1map.nii.gz").get_fdata()
    true_f = nibabel.load(truth / "sub-01_MPFmap.nii.gz").get_fdata()
    true_r1 = nibabel.load(truth / "sub-01_R1map.nii.gz").get_fdata()
    row = {"seconds": seconds, "solved": float(np.isfinite(f[regions["brain"]]).mean())}
    for tissue in ("WM", "GM"):
        inside = regions[tissue]
        error_f = 100 * (f[inside] / true_f[inside] - 1)
        error_r1 = 100 * (r1[inside] / true_r1[inside] - 1)
        low, high = np.nanpercentile(error_f, [5, 95])
        row[tissue] = {
            "f": float(np.nanmedian(error_f)),
            "R1": float(np.nanmedian(error_r1)),
            "spread": float(high - low),
        }
    sidecar = json.loads((anat / "sub-01_MPFmap.json").read_text())
    found = sidecar.get("Registration", {}).get("Motion", {})
    applied_file = truth.parent / "sub-01_motion.json"
    applied = json.loads(applied_file.read_text()) if applied_file.exists() else {}
    row["motion"] = {}
    for scan, motion in found.items():
        # The estimate's error: the rotation left over and the displacement
        # it leaves at the brain's centre.
        truth_matrix = np.array(applied[scan]["matrix"]) if scan in applied else np.eye(4)
        centre = np.array(applied[scan]["centre_mm"] if scan in applied else [0.0, 0.0, 0.0])
        error = np.linalg.inv(truth_matrix) @ np.array(motion["Matrix"])
        angle = np.degrees(np.arccos(np.clip((np.trace(error[:3, :3]) - 1) / 2, -1, 1)))
        shift = np.linalg.norm(error[:3, :3] @ centre + error[:3, 3] - centre)
        row["motion"][scan] = (round(float(shift), 2), round(float(angle), 2))
    return row


def timing(root):
    """One 1 mm participant from scanner data: the whole run, and within the
    same session the steps it adds (mask, registration, resampling) timed
    on their own.
    """
    from tavni.mt_map.io import volumes
    from tavni.mt_map.preprocess import grid
    from tavni.mt_map.preprocess.mask import brain_mask
    from tavni.mt_map.workflows import align

    ds = root / "scanner"
    mt_map(
        "phantom",
        "--bids",
        str(ds),
        "--participants",
        "1",
        "--voxel-size",
        "1",
        "--snr",
        "100",
        "--anatomy",
        "brain",
        "--head",
        "--motion",
        "3",
        "2",
        "--b1-voxel-size",
        "4",
    )
    whole = mt_map(
        "bids",
        str(ds),
        str(root / "out"),
        "participant",
        "--protocol",
        str(ds / "code" / "protocol.json"),
    )
    anat, fmap = ds / "sub-01" / "anat", ds / "sub-01" / "fmap"
    probes = {
        "mtw": volumes.probe(anat / "sub-01_flip-3_mt-on_MTS.nii.gz", "MT-weighted scan"),
        "pdw": volumes.probe(anat / "sub-01_flip-1_mt-off_MTS.nii.gz", "PD-weighted scan"),
        "t1w": volumes.probe(anat / "sub-01_flip-2_mt-off_MTS.nii.gz", "T1-weighted scan"),
        "b1": volumes.probe(fmap / "sub-01_TB1map.nii.gz", "B1 map"),
    }
    started = time.perf_counter()
    brain_mask(volumes.load(probes["mtw"]).data, grid.voxel_sizes(probes["mtw"].affine))
    masked = time.perf_counter()
    roles = {"pdw": align.SCAN, "t1w": align.SCAN, "b1": align.FIELD}
    align.align(probes, roles)
    added = time.perf_counter() - started
    print(
        f"1 mm participant from scanner data: {whole:.1f} s in all; the brain mask "
        f"{masked - started:.1f} s, registration of two scans and resampling with the B1 "
        f"map {added - (masked - started):.1f} s: {added:.1f} s, {added / (whole - added):.2f} x "
        f"the rest of the run ({whole - added:.1f} s)"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", nargs="+", choices=list(CASES), default=list(CASES))
    parser.add_argument("--keep", type=Path, help="keep the datasets in this folder")
    parser.add_argument("--timing", action="store_true", help="time a 1 mm participant instead")
    options = parser.parse_args()
    if options.timing:
        with tempfile.TemporaryDirectory() as temporary:
            timing(options.keep or Path(temporary))
        return
    wanted = list(dict.fromkeys(["plain", *options.cases]))
    regions = tissues()
    with tempfile.TemporaryDirectory() as temporary:
        root = options.keep or Path(temporary)
        root.mkdir(parents=True, exist_ok=True)
        rows = {name: measure(root, name, regions) for name in wanted}
    print(
        f"{'case':18} {'WM f %':>7} {'WM R1 %':>8} {'GM f %':>7} {'GM R1 %':>8} "
        f"{'WM spread x':>11} {'GM spread x':>11} {'solved':>7} {'s':>5}  motion error (mm, deg)"
    )
    for name, row in rows.items():
        base = rows[CASES[name][2] or name]
        print(
            f"{name:18} {row['WM']['f']:7.2f} {row['WM']['R1']:8.2f} {row['GM']['f']:7.2f} "
            f"{row['GM']['R1']:8.2f} {row['WM']['spread'] / base['WM']['spread']:11.2f} "
            f"{row['GM']['spread'] / base['GM']['spread']:11.2f} {100 * row['solved']:6.1f}% "
            f"{row['seconds']:5.1f}  {row['motion']}"
        )


if __name__ == "__main__":
    main()
