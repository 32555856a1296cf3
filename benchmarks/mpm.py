"""Multi-echo (MPM) data: how each echo combination maps f, R1 and R2*.

One phantom dataset in the multi-parameter-mapping layout (``mt-map phantom
--bids --layout mpm``: the MNI brain at 2 mm, PD-, T1- and MT-weighted scans
of 8, 8 and 6 echoes 2.3 ms apart, Rician noise at SNR 100 in every echo)
goes through ``mt-map bids`` once per ``--echo-combination``; the maps are
compared with the truth in white and grey matter (tissue probability above
0.9): the median error of f, R1 and R2* in percent, and the spread of f's
error (5th to 95th percentile, percentage points), which shows what the
noise of the combined images does. Every number comes from this run.

    python3 benchmarks/mpm.py [--combinations te0 mean first] [--keep DIR]
"""

import argparse
import tempfile
from pathlib import Path

import nibabel
import numpy as np
from scanner_data import PHANTOM, mt_map, tissues  # this folder's phantom runner

from tavni.mt_map.protocol import ECHO_COMBINATIONS


def measure(ds, out, combination, regions):
    seconds = mt_map(
        "bids",
        str(ds),
        str(out),
        "participant",
        "--mask-dir",
        str(ds / "derivatives" / "brainmask"),
        "--echo-combination",
        combination,
    )
    anat, truth = out / "sub-01" / "anat", ds / "derivatives" / "phantom-truth" / "sub-01" / "anat"
    row = {"seconds": seconds}
    for suffix in ("MPFmap", "R1map", "R2starmap"):
        found = nibabel.load(anat / f"sub-01_{suffix}.nii.gz").get_fdata()
        true = nibabel.load(truth / f"sub-01_{suffix}.nii.gz").get_fdata()
        for tissue in ("WM", "GM"):
            inside = regions[tissue]
            error = 100 * (found[inside] / true[inside] - 1)
            row[tissue, suffix] = float(np.nanmedian(error))
            if suffix == "MPFmap":
                low, high = np.nanpercentile(error, [5, 95])
                row[tissue, "spread"] = float(high - low)
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--combinations", nargs="+", choices=ECHO_COMBINATIONS, default=list(ECHO_COMBINATIONS)
    )
    parser.add_argument("--keep", type=Path, help="keep the dataset and maps in this folder")
    options = parser.parse_args()
    regions = tissues()
    with tempfile.TemporaryDirectory() as temporary:
        root = options.keep or Path(temporary)
        root.mkdir(parents=True, exist_ok=True)
        ds = root / "mpm"
        mt_map("phantom", "--bids", str(ds), *PHANTOM, "--layout", "mpm")
        rows = {c: measure(ds, root / f"out-{c}", c, regions) for c in options.combinations}
    columns = [(t, s) for t in ("WM", "GM") for s in ("MPFmap", "R1map", "R2starmap", "spread")]
    names = {"MPFmap": "f", "R1map": "R1", "R2starmap": "R2*", "spread": "f 5-95"}
    print("median error against the truth, percent (tissue probability > 0.9)")
    print(
        f"{'combination':12}" + "".join(f"{t + ' ' + names[s]:>10}" for t, s in columns) + "      s"
    )
    for combination, row in rows.items():
        print(
            f"{combination:12}"
            + "".join(f"{row[column]:10.2f}" for column in columns)
            + f"{row['seconds']:7.1f}"
        )


if __name__ == "__main__":
    main()
