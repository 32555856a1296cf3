"""mt-map: bound-pool fraction maps from MT-weighted images on the command line.

    mt-map fraction --mt MT.nii.gz --ref REF.nii.gz --r1 R1.nii.gz ... -o MPF.nii.gz
    mt-map phantom DIR
    mt-map demo
    mt-map voxel --S-ratio 0.5 --R1 1.0 ...
    mt-map bids BIDS_DIR OUTPUT_DIR participant|group ...

This module only parses the command line and dispatches to the workflows
(``pipeline``, ``phantom``). What callers rely on: every failure ends in one
line "mt-map: error: ..." on stderr and exit status 1 (2 for usage errors,
from argparse), 3 when ``--fail-below`` finds too few voxels solved, 130 on
an interrupt, 141 (quietly) when the reader of stdout goes away; no
traceback. Imports stay light until a command runs, so
that ``mt-map --help`` answers at once.

Units throughout: times in seconds, offsets in Hz, the saturation amplitude
omega_1_rms in rad/s, R1 in 1/s, flip angles in degrees.
"""
import argparse
import os
import sys
from pathlib import Path

from tavni.mt_map import protocol

# Exit status when the share of solved voxels is below --fail-below.
EXIT_TOO_FEW_SOLVED = 3


class UsageError(Exception):
    """A problem with what the user asked for; the message says what."""


class Parser(argparse.ArgumentParser):
    """An argument parser whose epilog may be computed when help is shown
    (the status codes come from the extension module, loaded only then)."""

    def __init__(self, *args, epilog_factory=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.epilog_factory = epilog_factory

    def format_help(self):
        if self.epilog_factory is not None:
            self.epilog = self.epilog_factory()
        return super().format_help()


class VersionAction(argparse.Action):
    def __init__(self, option_strings, dest=argparse.SUPPRESS, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        from tavni.mt_map import __version__

        print(f"mt-map {__version__}")
        parser.exit()


def status_epilog():
    import textwrap

    from tavni.mt_map.pipeline import status_table

    lines = ["status codes (--status):"]
    for code, _, text in sorted(status_table()):
        lines.append(textwrap.fill(text, 78, initial_indent=f"  {code}  ",
                                   subsequent_indent="     "))
    lines.append("")
    lines.append(textwrap.fill(
        "exit status: 0 maps written, 1 failed (nothing written), 2 usage error, 3 maps "
        f"written but fewer voxels solved than --fail-below asks", 78))
    return "\n".join(lines)


def share(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be a share between 0 and 1, not {text!r}")
    return value


def run_fraction(options):
    from tavni.mt_map import pipeline

    given = protocol.gather(options, protocol.SEQUENCE + protocol.LINESHAPE)
    images = {name: getattr(options, name) for name, _ in pipeline.FRACTION_IMAGES}
    summary, _, _ = pipeline.fraction_map(
        images, options.output, given, protocol_path=options.protocol,
        status_output=options.status, threads=options.threads, clip=options.clip,
        quiet=options.quiet, allow_affine_mismatch=options.allow_affine_mismatch)
    if options.fail_below is not None and summary.solved_share < options.fail_below:
        print(f"mt-map: {100 * summary.solved_share:.1f} % of the fitted voxels solved, "
              f"fewer than --fail-below {options.fail_below:g} asks", file=sys.stderr)
        return EXIT_TOO_FEW_SOLVED
    return 0


def run_phantom(options):
    from tavni.mt_map import phantom

    phantom.write(options.directory, tuple(options.shape), noise=options.noise,
                  seed=options.seed, force=options.force)
    if not options.quiet:
        print(f"phantom written to {options.directory}/: mt, ref, r1, b1, truth, labels "
              f"(.nii.gz) and protocol.json")
    return 0


def run_demo(options):
    from tavni.mt_map import pipeline

    pipeline.demo(options.directory, tuple(options.shape), noise=options.noise,
                  quiet=options.quiet, force=options.force)
    return 0


def run_voxel(options):
    from tavni.mt_map import pipeline

    given = protocol.gather(options, ("S_ratio", "R1") + protocol.SEQUENCE + protocol.LINESHAPE)
    f = pipeline.fraction_of_voxel(given, tuple(options.bracket))
    print(f"f = {f:.6f}")
    return 0


def add_phantom_options(parser, noise):
    parser.add_argument("--shape", type=int, nargs=3, default=(64, 64, 20),
                        metavar=("X", "Y", "Z"), help="voxels per axis (default 64 64 20)")
    parser.add_argument("--noise", type=float, default=noise, metavar="SIGMA",
                        help="Gaussian noise, relative to the brightest reference voxel "
                             f"(default {noise})")
    parser.add_argument("--force", action="store_true",
                        help="replace files of an earlier run (refused otherwise)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="mt-map",
        description="Bound-pool (macromolecular proton) fraction maps from one MT-weighted "
                    "image, its reference image without saturation, and an R1 map, with "
                    "the two-pool pulsed steady-state model. Units: times in seconds, "
                    "offsets in Hz, omega_1_rms in rad/s, R1 in 1/s, flip angles in degrees.")
    parser.add_argument("--version", action=VersionAction, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=Parser)

    fraction = commands.add_parser(
        "fraction", help="fraction map from MT, reference and R1 images",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog_factory=status_epilog,
        description="Fraction map from an MT-weighted image, its reference image and an R1 "
                    "map (NIfTI .nii/.nii.gz or NumPy .npy, all of one shape and position).\n"
                    "The measured ratio is MT/REF voxel by voxel. Voxels without a valid "
                    "measurement\n(REF <= 0, R1 <= 0, NaN) and voxels no fraction in [0, 0.5] "
                    "explains get NaN;\n--status says which is which. A summary of the "
                    "voxels solved follows on stderr.")
    fraction.add_argument("--mt", type=Path, required=True, metavar="MT.nii.gz",
                          help="MT-weighted image")
    fraction.add_argument("--ref", type=Path, required=True, metavar="REF.nii.gz",
                          help="reference image: the same sequence without saturation")
    fraction.add_argument("--r1", type=Path, required=True, metavar="R1.nii.gz",
                          help="longitudinal relaxation rate map, 1/s")
    fraction.add_argument("--b1", type=Path, metavar="B1.nii.gz",
                          help="relative transmit field (actual/nominal flip angle); scales "
                               "the flip angle and the saturation amplitude")
    fraction.add_argument("--mask", type=Path, metavar="MASK.nii.gz",
                          help="voxels to fit (nonzero); the others get NaN")
    fraction.add_argument("--allow-affine-mismatch", action="store_true",
                          help="map images of one shape even where their positions or voxel "
                               "sizes differ")
    protocol.add_options(fraction, protocol.SEQUENCE + protocol.LINESHAPE)
    fraction.add_argument("--threads", type=int, metavar="N",
                          help="worker threads (default: all cores)")
    fraction.add_argument("--clip", action="store_true",
                          help="voxels whose ratio no fraction in [0, 0.5] explains get the "
                               "nearer end (0 or 0.5) instead of NaN; their status still "
                               "says so")
    fraction.add_argument("--status", type=Path, metavar="STATUS.nii.gz",
                          help="also write the per-voxel status codes (uint8)")
    fraction.add_argument("--fail-below", type=share, metavar="SHARE",
                          help=f"exit with status {EXIT_TOO_FEW_SOLVED} (the maps written) "
                               "when fewer than this share of the fitted voxels (not masked, "
                               "valid input) is solved")
    fraction.add_argument("--quiet", action="store_true",
                          help="no progress bar and no summary (warnings still)")
    fraction.add_argument("-o", "--output", type=Path, required=True, metavar="MPF.nii.gz",
                          help="fraction map to write (float32, geometry of the MT image)")
    fraction.set_defaults(run=run_fraction)

    phantom = commands.add_parser(
        "phantom", help="write a synthetic head phantom with its protocol",
        description="Writes a small synthetic head (white matter, grey matter, fluid) as "
                    "NIfTI images mt, ref, r1, b1, truth and labels, and protocol.json.")
    phantom.add_argument("directory", type=Path, metavar="DIR")
    add_phantom_options(phantom, noise=0.0)
    phantom.add_argument("--seed", type=int, default=0, help="seed of the noise")
    phantom.add_argument("--quiet", action="store_true", help="print nothing")
    phantom.set_defaults(run=run_phantom)

    demo = commands.add_parser(
        "demo", help="phantom -> fraction map -> per-tissue summary and a figure",
        description="Writes a phantom, maps its bound-pool fraction, prints true and "
                    "estimated mean fractions per tissue and draws demo.png.")
    demo.add_argument("--directory", type=Path, default=Path("mt-map-demo"), metavar="DIR",
                      help="where to write (default ./mt-map-demo)")
    add_phantom_options(demo, noise=0.002)
    demo.add_argument("--quiet", action="store_true", help="no progress bar, no summary")
    demo.set_defaults(run=run_demo)

    voxel = commands.add_parser(
        "voxel", help="fraction of one voxel from its measured MT ratio",
        description="Finds the fraction f in the bracket at which the model explains one "
                    "measured ratio S_mt/S_ref, and prints it.")
    voxel.add_argument("--S-ratio", dest="S_ratio", type=float, required=True,
                       metavar="RATIO", help=protocol.PARAMETERS["S_ratio"].help)
    voxel.add_argument("--R1", type=float, required=True, metavar="PER_S",
                       help=protocol.PARAMETERS["R1"].help)
    protocol.add_options(voxel, protocol.SEQUENCE + protocol.LINESHAPE)
    voxel.add_argument("--bracket", type=float, nargs=2, default=(0.0, 0.5),
                       metavar=("LOW", "HIGH"), help="interval searched for f (default 0 0.5)")
    voxel.set_defaults(run=run_voxel)

    from tavni.mt_map.bids import add_bids_parser

    add_bids_parser(commands)
    return parser


def main(argv=None):
    options = build_parser().parse_args(argv)
    from tavni.mt_map.bids import BidsError
    from tavni.mt_map.volumes import VolumeError

    def fail(message):
        print(f"mt-map: error: {message}", file=sys.stderr)
        return 1

    try:
        return options.run(options)
    except (UsageError, protocol.ParameterError, VolumeError, BidsError) as error:
        return fail(error)
    except BrokenPipeError:
        # The reader of stdout (a pager, head) left: not an error of ours.
        # Point stdout at nothing so that the interpreter's final flush is quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except MemoryError:
        return fail("out of memory; try a smaller volume or free some memory")
    except OSError as error:
        where = f" '{error.filename}'" if error.filename else ""
        return fail(f"{error.strerror or error}{where}")
    except KeyboardInterrupt:
        return 130
    except Exception as error:
        # A fault of this program, not of the input: still one line, unless
        # MT_MAP_TRACEBACK asks for the whole story.
        if os.environ.get("MT_MAP_TRACEBACK"):
            raise
        first_line = (str(error).splitlines() or [""])[0]
        return fail(f"internal error ({type(error).__name__}: {first_line}); "
                    "MT_MAP_TRACEBACK=1 shows where")
