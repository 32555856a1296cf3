"""mt-map phantom: a synthetic head, or a BIDS dataset of them."""

from pathlib import Path

from tavni.mt_map.cli.options import UsageError, add_phantom_options

__all__ = ["add_parser", "run"]


def run(options):
    """Writes one phantom, or with ``--bids`` a dataset of them; returns the
    exit status.
    """
    from tavni.mt_map.sim import phantom

    if (options.directory is None) == (options.bids is None):
        raise UsageError("give either DIR (one phantom) or --bids DIR (a BIDS dataset)")
    if options.bids is not None:
        return _run_dataset(options)
    try:
        head = phantom.make(
            options.voxel_size,
            anatomy=options.anatomy,
            shape=options.shape,
            snr=options.snr,
            seed=options.seed,
        )
    except ValueError as error:  # voxel size, SNR, seed or grid out of range
        raise UsageError(str(error)) from None
    phantom.write(options.directory, head, force=options.force)
    if not options.quiet:
        for note in head.notes:
            print(note)
        print(
            f"phantom ({head.description}) written to {options.directory}/: "
            f"{', '.join(head.volumes)} (.nii.gz) and protocol.json"
        )
    return 0


def _run_dataset(options):
    from tavni.mt_map import bids

    try:
        notes = bids.write_phantom_dataset(
            options.bids,
            options.participants,
            voxel_size=options.voxel_size,
            anatomy=options.anatomy,
            shape=options.shape,
            snr=options.snr,
            seed=options.seed,
        )
    except ValueError as error:  # voxel size, SNR, seed or grid out of range
        raise UsageError(str(error)) from None
    if not options.quiet:
        print(
            "\n".join(
                notes
                + [
                    f"BIDS dataset of {options.participants} phantom heads "
                    f"written to {options.bids}/"
                ]
            )
        )
    return 0


def add_parser(commands):
    """The ``phantom`` command on the subparsers of ``mt-map``."""
    phantom = commands.add_parser(
        "phantom",
        help="write a synthetic head phantom with its protocol",
        description="Writes a synthetic head (a human brain's white matter, grey matter and "
        "CSF by partial volume) as NIfTI images: the three SPGR scans pdw, t1w and "
        "mtw, ref (the MT scan without saturation), b1 (relative), b0 (Hz), the "
        "truth truth_f, truth_r1 (1/s) and truth_m0, labels and the tissue "
        "probability maps tissue_wm, tissue_gm and tissue_csf; and protocol.json.",
    )
    phantom.add_argument("directory", type=Path, metavar="DIR", nargs="?")
    phantom.add_argument(
        "--bids",
        type=Path,
        metavar="DIR",
        help="instead, write a qMRI-BIDS dataset of --participants slightly "
        "different heads into DIR (new or empty), for mt-map bids",
    )
    phantom.add_argument(
        "--participants",
        type=int,
        default=3,
        metavar="N",
        help="heads in the --bids dataset (default 3)",
    )
    add_phantom_options(phantom, snr=None)
    phantom.add_argument("--seed", type=int, default=0, help="seed of the noise (default 0)")
    phantom.add_argument("--quiet", action="store_true", help="print nothing")
    phantom.set_defaults(run=run)
    return phantom
