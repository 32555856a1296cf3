"""mt-map mtsat and mt-map mtr: the semi-quantitative MT maps."""

from pathlib import Path

from tavni.mt_map import protocol
from tavni.mt_map.cli import parameters
from tavni.mt_map.cli.options import add_common_map_options, add_scan_inputs

__all__ = ["add_parser", "run"]


def run(options):
    """Maps MTsat or MTR, as ``options.command`` says; returns the exit status."""
    from tavni.mt_map import workflows

    given = {}
    if options.pdw is not None or options.t1w is not None:
        given = parameters.gather(options, protocol.SCAN_KEYS)
    workflows.semi_quantitative_map(
        options.command,
        options.mtw,
        given,
        {options.command: options.output},
        pdw=options.pdw,
        t1w=options.t1w,
        ref=getattr(options, "ref", None),
        b1=options.b1,
        mask=options.mask,
        b1_correction=getattr(options, "b1_correction", None),
        options=workflows.MapOptions(
            threads=options.threads,
            max_memory=options.max_memory,
            register=options.register,
            protocol_path=options.protocol,
        ),
    )
    return 0


def add_parser(commands):
    """The ``mtsat`` and ``mtr`` commands on the subparsers of ``mt-map``."""
    mtsat = commands.add_parser(
        "mtsat",
        help="MT saturation map from PD-, T1- and MT-weighted scans",
        description="MT saturation (percent units; Helms et al. 2008, small-angle "
        "approximations) from the three SPGR scans.",
    )
    add_scan_inputs(mtsat, required=True)
    mtsat.add_argument(
        "--b1-correction",
        type=float,
        metavar="C",
        help="empirical B1 correction MTsat (1 - C)/(1 - C B1) (Weiskopf et "
        "al. 2013: C = 0.4); needs --b1",
    )
    add_common_map_options(mtsat)
    parameters.add_options(mtsat, protocol.SCAN_KEYS)
    mtsat.add_argument(
        "-o",
        "--output",
        type=Path,
        required=True,
        metavar="MTSAT.nii.gz",
        help="MTsat map to write (float32)",
    )
    mtsat.set_defaults(run=run)

    mtr = commands.add_parser(
        "mtr",
        help="MT ratio map, against a measured or a synthetic reference",
        description="MT ratio 100 (REF - MT)/REF, percent, with REF a measured reference "
        "(--ref) or the synthetic one from the PD- and T1-weighted scans.",
    )
    mtr.add_argument(
        "--mtw", type=Path, required=True, metavar="MTW.nii.gz", help="MT-weighted scan"
    )
    mtr.add_argument(
        "--ref",
        type=Path,
        metavar="REF.nii.gz",
        help="measured reference: the same scan without saturation",
    )
    mtr.add_argument(
        "--pdw",
        type=Path,
        metavar="PDW.nii.gz",
        help="PD-weighted scan (for the synthetic reference)",
    )
    mtr.add_argument(
        "--t1w",
        type=Path,
        metavar="T1W.nii.gz",
        help="T1-weighted scan (for the synthetic reference)",
    )
    add_common_map_options(mtr)
    parameters.add_options(mtr, protocol.SCAN_KEYS)
    mtr.add_argument(
        "-o",
        "--output",
        type=Path,
        required=True,
        metavar="MTR.nii.gz",
        help="MTR map to write, percent (float32)",
    )
    mtr.set_defaults(run=run)
    return mtsat, mtr
