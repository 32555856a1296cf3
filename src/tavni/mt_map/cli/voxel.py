"""mt-map voxel: the fraction of one voxel from its measured ratio."""

from tavni.mt_map import protocol
from tavni.mt_map.cli import parameters
from tavni.mt_map.registry import PARAMETERS

__all__ = ["add_parser", "run"]


def run(options):
    """Prints the fraction of one voxel; returns the exit status."""
    from tavni.mt_map import workflows

    given = parameters.gather(options, ("S_ratio", "R1") + protocol.SEQUENCE + protocol.LINESHAPE)
    f = workflows.fraction_of_voxel(given, tuple(options.bracket))
    print(f"f = {f:.6f}")
    return 0


def add_parser(commands):
    """The ``voxel`` command on the subparsers of ``mt-map``."""
    voxel = commands.add_parser(
        "voxel",
        help="fraction of one voxel from its measured MT ratio",
        description="Finds the fraction f in the bracket at which the model explains one "
        "measured ratio S_mt/S_ref, and prints it.",
    )
    voxel.add_argument(
        "--S-ratio",
        dest="S_ratio",
        type=float,
        required=True,
        metavar="RATIO",
        help=PARAMETERS["S_ratio"].help,
    )
    voxel.add_argument(
        "--R1", type=float, required=True, metavar="PER_S", help=PARAMETERS["R1"].help
    )
    parameters.add_options(voxel, protocol.SEQUENCE + protocol.LINESHAPE)
    voxel.add_argument(
        "--bracket",
        type=float,
        nargs=2,
        default=(0.0, 0.5),
        metavar=("LOW", "HIGH"),
        help="interval searched for f (default 0 0.5)",
    )
    voxel.set_defaults(run=run)
    return voxel
