"""mt-map fraction: the bound-pool fraction map from three SPGR scans, or from an MT
image, its reference and an R1 map.
"""

import argparse
import contextlib
import os
import sys
import tempfile
from pathlib import Path

from tavni.mt_map import protocol
from tavni.mt_map.cli import parameters
from tavni.mt_map.cli.options import (
    EXIT_TOO_FEW_SOLVED,
    UsageError,
    add_max_memory,
    add_registration_options,
    add_scan_inputs,
    scans_with_echoes,
    share,
)
from tavni.mt_map.defaults import FAIL_BELOW
from tavni.mt_map.outputs import MAPS
from tavni.mt_map.scans import ROLES

__all__ = ["add_parser", "run"]


def _status_epilog():
    import textwrap

    from tavni.mt_map.status import status_table

    lines = ["status codes (--status):"]
    for code, _, text in sorted(status_table()):
        lines.append(
            textwrap.fill(text, 78, initial_indent=f"  {code}  ", subsequent_indent="     ")
        )
    lines.append("")
    lines.append(
        textwrap.fill(
            "exit status: 0 maps written, 1 failed (nothing written), 2 usage error, 3 maps "
            "written but fewer voxels solved than --fail-below asks",
            78,
        )
    )
    return "\n".join(lines)


# The options of the two ways to a fraction map.
RATIO_INPUTS = ("mt", "ref", "r1")
SCAN_INPUTS = ROLES
# The maps only the chain makes, each asked for by its option (--r1-out ...).
CHAIN_MAPS = tuple(row for row in MAPS if row.needs_scans)
CHAIN_ONLY = (
    "b0",
    "echo_times",
    "pdw_echo_times",
    "t1w_echo_times",
    "mtw_echo_times",
    "brain_mask_out",
) + tuple(row.flag[2:].replace("-", "_") for row in CHAIN_MAPS)


def _option_names(names):
    return ", ".join("--" + name.replace("_", "-") for name in names)


def _exit_status(summary, fail_below):
    """0, or EXIT_TOO_FEW_SOLVED with one line saying so and naming the
    likely cause, when fewer than ``fail_below`` of the fitted voxels solved.
    """
    if summary.solved_share >= fail_below:
        return 0
    solved = (
        f"{100 * summary.solved_share:.1f} % of the {summary.fitted} fitted voxels solved"
        if summary.fitted
        else "no voxel fitted (every voxel masked or without valid input)"
    )
    cause = f"; likely cause: {summary.cause}" if summary.cause else ""
    print(
        f"mt-map: {solved}, fewer than --fail-below {fail_below:g} asks "
        f"(the maps are written; --fail-below 0 accepts any share){cause}",
        file=sys.stderr,
    )
    return EXIT_TOO_FEW_SOLVED


@contextlib.contextmanager
def _brain_mask(options, scans, outputs):
    """The mask to fit within: ``--mask``, or with ``--brain-mask-out`` one
    computed from the MT-weighted scan (its first echo), written under a
    temporary name beside its target and moved into place once the maps
    are written, so that a failed run leaves no mask behind.
    """
    target = options.brain_mask_out
    if target is None:
        yield options.mask
        return
    if options.mask is not None:
        raise UsageError("give --mask or --brain-mask-out, not both")
    from tavni.mt_map.io import volumes
    from tavni.mt_map.preprocess.mask import write_brain_mask

    mtw = scans["mtw"].images[0] if hasattr(scans["mtw"], "images") else scans["mtw"]
    given = {name: getattr(options, name) for name in ROLES + ("b1", "b0")}
    inputs = [
        (f"--{name} image", path)
        for name, paths in given.items()
        for path in (paths if isinstance(paths, (list, tuple)) else [paths])
        if path is not None
    ]
    inputs += [("protocol", options.protocol)] if options.protocol else []
    inputs += [(f"{name} output", path) for name, path in outputs.items() if path is not None]
    volumes.check_outputs([volumes.Output(target, "brain mask output", None)], inputs)
    # The temporary name keeps the target's format: .nii.gz, .nii or .npy.
    suffix = ".nii.gz" if target.name.endswith(".nii.gz") else target.suffix
    handle, pending = tempfile.mkstemp(prefix=f".{target.name}.", suffix=suffix, dir=target.parent)
    os.close(handle)
    try:
        try:
            write_brain_mask(mtw, pending, "MT-weighted scan")
        except ValueError as error:
            raise volumes.VolumeError(
                f"cannot compute a brain mask from '{mtw}' ({error}); give one with --mask"
            ) from None
        yield pending
        os.replace(pending, target)
    finally:
        Path(pending).unlink(missing_ok=True)


def run(options):
    """Maps the fraction by the chain or the ratio path, whichever the
    options' images ask for; returns the exit status (3 below
    ``--fail-below``).
    """
    from tavni.mt_map import workflows

    from_scans = [name for name in SCAN_INPUTS if getattr(options, name) is not None]
    from_ratio = [name for name in RATIO_INPUTS if getattr(options, name) is not None]
    if from_scans and from_ratio:
        raise UsageError(
            f"give the three scans ({_option_names(SCAN_INPUTS)}) or an MT "
            f"image, its reference and an R1 map ({_option_names(RATIO_INPUTS)}), "
            "not both"
        )
    if from_scans:
        missing = [name for name in SCAN_INPUTS if name not in from_scans]
        if missing:
            raise UsageError(f"the three-scan chain also needs {_option_names(missing)}")
        given = parameters.gather(options, workflows.CHAIN_PARAMETERS)
        outputs = {
            "fraction": options.output,
            "status": options.status,
            **{row.key: getattr(options, row.flag[2:].replace("-", "_")) for row in CHAIN_MAPS},
            "uncertainty": options.uncertainty_out,
            "sensitivity": options.sensitivity_out,
        }
        scans = scans_with_echoes(options)
        with _brain_mask(options, scans, outputs) as mask:
            summary = workflows.fraction_from_scans(
                scans["pdw"],
                scans["t1w"],
                scans["mtw"],
                given,
                outputs,
                b1=options.b1,
                b0=options.b0,
                mask=mask,
                options=_map_options(options),
                noise_sd=options.noise_sd,
                echo_combination=options.echo_combination,
            )
        return _exit_status(summary, options.fail_below)
    missing = [name for name in RATIO_INPUTS if name not in from_ratio]
    if missing:
        raise UsageError(
            f"missing {_option_names(missing)} (or give the three scans {_option_names(SCAN_INPUTS)})"
        )
    chain_only = [name for name in CHAIN_ONLY if getattr(options, name) is not None]
    if chain_only:
        raise UsageError(
            f"{_option_names(chain_only)} need the three scans ({_option_names(SCAN_INPUTS)})"
        )
    given = parameters.gather(options, protocol.SEQUENCE + protocol.LINESHAPE)
    images = {name: getattr(options, name) for name, _ in workflows.FRACTION_IMAGES}
    outputs = {
        "fraction": options.output,
        "status": options.status,
        "uncertainty": options.uncertainty_out,
        "sensitivity": options.sensitivity_out,
    }
    summary = workflows.fraction_map(
        images, outputs, given, options=_map_options(options), noise_sd=options.noise_sd
    )
    return _exit_status(summary, options.fail_below)


def _map_options(options):
    """The workflows' options from the command line's."""
    from tavni.mt_map.workflows import MapOptions

    return MapOptions(
        threads=options.threads,
        max_memory=options.max_memory,
        quiet=options.quiet,
        register=options.register,
        clip=options.clip,
        exact=not options.fast,
        protocol_path=options.protocol,
    )


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """The ``fraction`` command on the subparsers of ``mt-map``."""
    fraction = commands.add_parser(
        "fraction",
        help="fraction map from three SPGR scans, or MT, reference and R1 images",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog_factory=_status_epilog,
        description="Fraction map from PD-, T1- and MT-weighted SPGR scans (R1 and M0 by "
        "variable flip angle,\nthe MT scan's reference computed from them), or "
        "from an MT-weighted image, its\nreference image and an R1 map (NIfTI "
        ".nii/.nii.gz or NumPy .npy, all of one shape and position).\n"
        "The measured ratio is MT/REF voxel by voxel. Voxels without a valid "
        "measurement\n(REF <= 0, R1 <= 0, NaN) and voxels no fraction in [0, 0.5] "
        "explains get NaN;\n--status says which is which. A summary of the "
        "voxels solved follows on stderr.",
    )
    _add_ratio_inputs(fraction)
    _add_chain_inputs(fraction)
    _add_fit_options(fraction)
    _add_outputs(fraction)
    fraction.set_defaults(run=run)
    return fraction


def _add_ratio_inputs(parser: argparse.ArgumentParser) -> None:
    """The images of the ratio path: --mt, --ref, --r1."""
    ratio_path = parser.add_argument_group("from an MT image, its reference and an R1 map")
    ratio_path.add_argument("--mt", type=Path, metavar="MT.nii.gz", help="MT-weighted image")
    ratio_path.add_argument(
        "--ref",
        type=Path,
        metavar="REF.nii.gz",
        help="reference image: the same sequence without saturation",
    )
    ratio_path.add_argument(
        "--r1", type=Path, metavar="R1.nii.gz", help="longitudinal relaxation rate map, 1/s"
    )


def _add_chain_inputs(parser: argparse.ArgumentParser) -> None:
    """The three scans of the chain, --b0 and the maps only the chain makes."""
    chain = parser.add_argument_group(
        "or from three SPGR scans (R1, M0 and the reference are computed)"
    )
    add_scan_inputs(chain, echoes=True)
    chain.add_argument(
        "--b0",
        type=Path,
        metavar="B0.nii.gz",
        help="off-resonance map, Hz: shifts the saturation offset per voxel (needs --T2b)",
    )
    for row in CHAIN_MAPS:
        chain.add_argument(
            row.flag,
            type=Path,
            metavar=f"{row.short.upper()}.nii.gz",
            help=f"also write the map of {row.descrip} ({row.dtype})",
        )


def _add_fit_options(parser: argparse.ArgumentParser) -> None:
    """What the fit takes besides the images: B1, mask, registration, the
    parameters, threads, --clip and --fast.
    """
    parser.add_argument(
        "--b1",
        type=Path,
        metavar="B1.nii.gz",
        help="relative transmit field (actual/nominal flip angle); scales "
        "the flip angle and the saturation amplitude",
    )
    parser.add_argument(
        "--mask",
        type=Path,
        metavar="MASK.nii.gz",
        help="voxels to fit (nonzero); the others get NaN",
    )
    parser.add_argument(
        "--brain-mask-out",
        type=Path,
        metavar="MASK.nii.gz",
        help="compute a brain mask from the MT-weighted scan (median filter, Otsu's "
        "threshold, morphology sized in mm: the BIDS App's), fit within it and write it "
        "here; instead of --mask",
    )
    add_registration_options(parser)
    parameters.add_options(parser, protocol.SCANS + protocol.SEQUENCE + protocol.LINESHAPE)
    parser.add_argument(
        "--threads", type=int, metavar="N", help="worker threads (default: all cores)"
    )
    parser.add_argument(
        "--clip",
        action="store_true",
        help="voxels whose ratio no fraction in [0, 0.5] explains get the "
        "nearer end (0 or 0.5) instead of NaN; their status still "
        "says so",
    )
    parser.add_argument(
        "--fast",
        action="store_true",
        help="solve the model in exact arithmetic from its closed form, "
        "several times faster, with the same statuses; f agrees with the "
        "default search to within 4 units in the last single-precision place "
        "of the ratio divided by the ratio's slope in f: 1e-6 or better in "
        "tissue at a few kHz, more where the ratio hardly changes with f "
        "(offsets above 10 kHz, weak saturation); not reproducible to the bit "
        "across machines",
    )


def _add_outputs(parser: argparse.ArgumentParser) -> None:
    """The memory budget, the outputs besides the map, --noise-sd, --fail-below,
    --quiet and -o.
    """
    add_max_memory(parser, "fitted")
    parser.add_argument(
        "--status",
        type=Path,
        metavar="STATUS.nii.gz",
        help="also write the per-voxel status codes (uint8)",
    )
    parser.add_argument(
        "--uncertainty-out",
        type=Path,
        metavar="SD.nii.gz",
        help="standard deviation of f from the images' noise, to first "
        "order (float32, NaN where not solved)",
    )
    parser.add_argument(
        "--sensitivity-out",
        type=Path,
        metavar="PREFIX",
        help="writes PREFIX_R1 and PREFIX_B1 (suffix of -o): the change of f "
        "when R1 or B1 is 1%% too high",
    )
    parser.add_argument(
        "--noise-sd",
        type=float,
        nargs="+",
        metavar="SIGMA",
        help="noise standard deviation of the images (one for all, or one "
        "each: MT and REF, or PDW, T1W and MTW), image units; default: "
        "estimated from each image's background outside the head (or "
        "--mask)",
    )
    parser.add_argument(
        "--fail-below",
        type=share,
        default=FAIL_BELOW,
        metavar="SHARE",
        help=f"exit with status {EXIT_TOO_FEW_SOLVED} (the maps written) "
        "when fewer than this share of the fitted voxels (not masked, "
        f"valid input) is solved, as the BIDS App does (default {FAIL_BELOW:g}; "
        "0 accepts any share)",
    )
    parser.add_argument(
        "--quiet", action="store_true", help="no progress bar and no summary (warnings still)"
    )
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        required=True,
        metavar="MPF.nii.gz",
        help="fraction map to write (float32, geometry of the MT image)",
    )
