"""mt-map phantom: a synthetic head, or a BIDS dataset of them."""

from pathlib import Path

from tavni.mt_map.cli.options import UsageError, add_phantom_options
from tavni.mt_map.defaults import B1_SCANS, ECHO_SPACING

_SPACING_MS = f"{1000 * ECHO_SPACING:g}"

__all__ = ["add_parser", "run"]


def run(options):
    """Writes one phantom, or with ``--bids`` a dataset of them; returns the
    exit status.
    """
    from tavni.mt_map.sim import phantom

    if (options.directory is None) == (options.bids is None):
        raise UsageError("give either DIR (one phantom) or --bids DIR (a BIDS dataset)")
    if options.auto_align and options.motion is None:
        raise UsageError("--auto-align follows the head's motion: give --motion DEG MM too")
    if options.echoes is not None and options.echoes < 1:
        raise UsageError(f"--echoes must be at least 1 (got {options.echoes})")
    if options.bids is not None:
        return _run_dataset(options)
    for flag, value in (("--sidecars", options.sidecars), ("--b1-units", options.b1_units)):
        if value is not None:
            raise UsageError(f"{flag} is about the sidecars of a --bids dataset")
    if options.layout is not None:
        raise UsageError("--layout is about the files of a --bids dataset")
    try:
        head = phantom.make(
            options.voxel_size,
            anatomy=options.anatomy,
            shape=options.shape,
            snr=options.snr,
            seed=options.seed,
            **_acquisition(options),
        )
    except ValueError as error:  # voxel size, SNR, seed or grid out of range
        raise UsageError(str(error)) from None
    phantom.write(options.directory, head, force=options.force)
    if not options.quiet:
        for note in head.notes:
            print(note)
        written = ", ".join(f"{key}.json" for key in ["protocol", *head.metadata])
        print(
            f"phantom ({head.description}) written to {options.directory}/: "
            f"{', '.join(head.volumes)} (.nii.gz) and {written}"
        )
    return 0


def _acquisition(options):
    """The scanner's cases asked for, as ``phantom.make``'s keywords."""
    return dict(
        head=options.head,
        motion=options.motion,
        auto_align=options.auto_align,
        b1_voxel_size=options.b1_voxel_size,
        b1_scans=options.b1_scans,
        scale=options.scale,
        # One echo is the single-echo phantom of old, without decay.
        echoes=options.echoes if options.echoes != 1 else None,
    )


def _run_dataset(options):
    from tavni.mt_map import bids

    acquisition = _acquisition(options)
    layout = options.layout or "mts"
    if layout == "mpm":  # one echo is one echo there; none given: the protocol's
        acquisition["echoes"] = options.echoes
    try:
        notes = bids.write_phantom_dataset(
            options.bids,
            options.participants,
            voxel_size=options.voxel_size,
            anatomy=options.anatomy,
            shape=options.shape,
            snr=options.snr,
            seed=options.seed,
            sidecars=options.sidecars or "bids",
            b1_units=options.b1_units,
            layout=layout,
            **acquisition,
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
        "probability maps tissue_wm, tissue_gm and tissue_csf; and protocol.json. "
        "With --echoes N each scan is N echoes (pdw_echo-1, ...), the truth gains "
        "truth_r2star and echoes.json holds the echo times.",
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
    _add_scanner_options(phantom)
    phantom.add_argument("--seed", type=int, default=0, help="seed of the noise (default 0)")
    phantom.add_argument("--quiet", action="store_true", help="print nothing")
    phantom.set_defaults(run=run)
    return phantom


def _add_scanner_options(parser):
    """The scanner's cases: head, motion, B1 grid and scans, scales, sidecars."""
    scanner = parser.add_argument_group("the scanner's cases (default: none of them)")
    scanner.add_argument(
        "--head",
        action="store_true",
        help="a skull and a scalp around the brain (brain_mask: the brain alone)",
    )
    scanner.add_argument(
        "--motion",
        type=float,
        nargs=2,
        metavar=("DEG", "MM"),
        help="the head moved between the MT-weighted scan and the others: the PDw "
        "scan's nodded by +DEG about x and moved MM up, the T1w scan's turned by "
        "-DEG about z and moved MM right (written to motion.json)",
    )
    scanner.add_argument(
        "--auto-align",
        action="store_true",
        help="with --motion: the scanner followed the head (the moved scans' affines "
        "carry the motion; without it the head moved inside one field of view)",
    )
    scanner.add_argument(
        "--b1-voxel-size",
        type=float,
        metavar="MM",
        help="the B1 map (and B1 scans) on its own sagittal grid of MM voxels "
        "(default: on the scans' grid)",
    )
    scanner.add_argument(
        "--b1-scans",
        choices=B1_SCANS,
        default=B1_SCANS[0],
        help="what the B1 sequence gives: a relative map, or the images of the "
        "double-angle method, actual flip-angle imaging or a flip-angle map (default map)",
    )
    scanner.add_argument(
        "--scale",
        type=float,
        nargs=3,
        metavar=("PDW", "T1W", "MTW"),
        help="multiply each scan by its factor, as a vendor's per-series scaling does "
        "(default 1 1 1)",
    )
    scanner.add_argument(
        "--echoes",
        type=int,
        metavar="N",
        help=f"read each scan out at N echoes, {_SPACING_MS} ms apart from TE {_SPACING_MS} ms, "
        "decaying with the tissues' R2* (default 1: one image per scan, without decay; "
        "with --layout mpm 8, 8 and 6 for the PDw, T1w and MTw scans)",
    )
    scanner.add_argument(
        "--layout",
        type=str.lower,
        choices=("mts", "mpm"),
        help="with --bids: the scans as MTS files (flip-1, flip-2, flip-3; with "
        "--echoes also echo-K), or as the multi-parameter-mapping protocol's MPM files "
        "(acq-PDw, acq-T1w, acq-MTw, each echo-1 ... with its EchoTime; flip angles "
        "6, 21 and 6 deg, TR 25 ms) (default mts)",
    )
    scanner.add_argument(
        "--sidecars",
        choices=("bids", "dcm2niix"),
        help="with --bids: the scans' sidecars as BIDS names the fields, or as dcm2niix "
        "writes a Philips series (MT in SequenceVariant, RepetitionTime, scale "
        "slopes; default bids)",
    )
    scanner.add_argument(
        "--b1-units",
        choices=("relative", "percent", "degrees"),
        help="with --bids: the TB1map's values and its sidecar's Units (default: "
        "relative, without Units)",
    )
