"""mt-map demo: phantom, chain, per-tissue summary and a figure."""

from pathlib import Path

from tavni.mt_map.cli.options import UsageError, add_phantom_options
from tavni.mt_map.defaults import ECHO_SPACING

__all__ = ["add_parser", "run"]


def run(options):
    """Runs the demonstration in ``--directory``; returns the exit status."""
    from tavni.mt_map.workflows import demo

    if options.echoes < 1:
        raise UsageError(f"--echoes must be at least 1 (got {options.echoes})")
    try:
        result = demo.run(
            options.directory,
            voxel_size=options.voxel_size,
            anatomy=options.anatomy,
            shape=options.shape,
            snr=options.snr,
            quiet=options.quiet,
            force=options.force,
            echoes=options.echoes if options.echoes > 1 else None,
        )
    except ValueError as error:  # voxel size, SNR or grid out of range
        raise UsageError(str(error)) from None
    print("\n".join(result.lines))
    return 0


def add_parser(commands):
    """The ``demo`` command on the subparsers of ``mt-map``."""
    demo = commands.add_parser(
        "demo",
        help="phantom -> fraction map -> per-tissue summary and a figure",
        description="Writes a phantom, maps its bound-pool fraction with and without the B1 "
        "map, prints truth and estimate per tissue and draws demo.png (axial, "
        "coronal and sagittal slices).",
    )
    demo.add_argument(
        "--directory",
        type=Path,
        default=Path("mt-map-demo"),
        metavar="DIR",
        help="where to write (default ./mt-map-demo)",
    )
    add_phantom_options(demo, snr=100.0)
    demo.add_argument(
        "--echoes",
        type=int,
        default=1,
        metavar="N",
        help=f"read each scan out at N echoes, {1000 * ECHO_SPACING:g} ms apart, and let the "
        "chain extrapolate them to TE = 0 with one R2*, printed against the truth (default 1: "
        "single-echo scans)",
    )
    demo.add_argument("--quiet", action="store_true", help="no progress bars")
    demo.set_defaults(run=run)
    return demo
