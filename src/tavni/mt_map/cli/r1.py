"""mt-map r1: R1 and M0 maps by variable flip angle."""

from pathlib import Path

from tavni.mt_map.cli.options import add_common_map_options

__all__ = ["add_parser", "run"]


def run(options):
    """Maps R1 (and M0) from the ``--vfa`` scans; returns the exit status."""
    from tavni.mt_map import workflows

    workflows.r1_map(
        options.vfa,
        options.flip_angles,
        options.TR,
        {"r1": options.output, "m0": options.m0, "status": options.status},
        b1=options.b1,
        mask=options.mask,
        options=workflows.MapOptions(
            threads=options.threads,
            max_memory=options.max_memory,
            quiet=options.quiet,
            register=options.register,
        ),
    )
    return 0


def add_parser(commands):
    """The ``r1`` command on the subparsers of ``mt-map``."""
    r1 = commands.add_parser(
        "r1",
        help="R1 and M0 maps from SPGR scans of two or more flip angles",
        description="R1 (1/s) and M0 from spoiled gradient-echo scans of two or more flip "
        "angles (variable flip angle): closed form when the scans share TR "
        "(least squares for more than two), a root per voxel when two differ.",
    )
    r1.add_argument(
        "--vfa", type=Path, nargs="+", required=True, metavar="IMG", help="the scans, one geometry"
    )
    r1.add_argument(
        "--flip-angles",
        type=float,
        nargs="+",
        required=True,
        metavar="DEG",
        help="each scan's nominal flip angle, degrees",
    )
    r1.add_argument(
        "--TR",
        type=float,
        nargs="+",
        required=True,
        metavar="S",
        help="each scan's repetition time, s",
    )
    add_common_map_options(r1)
    r1.add_argument("--m0", type=Path, metavar="M0.nii.gz", help="also write M0 (float32)")
    r1.add_argument(
        "--status",
        type=Path,
        metavar="STATUS.nii.gz",
        help="also write the status of the R1 fit per voxel (uint8)",
    )
    r1.add_argument("--quiet", action="store_true", help="no summary")
    r1.add_argument(
        "-o",
        "--output",
        type=Path,
        required=True,
        metavar="R1.nii.gz",
        help="R1 map to write, 1/s (float32)",
    )
    r1.set_defaults(run=run)
    return r1
