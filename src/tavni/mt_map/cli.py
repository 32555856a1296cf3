"""mt-map: bound-pool fraction maps from MT-weighted images on the command line.

    mt-map fraction --mt MT.nii.gz --ref REF.nii.gz --r1 R1.nii.gz ... -o MPF.nii.gz
    mt-map fraction --pdw PDW.nii.gz --t1w T1W.nii.gz --mtw MTW.nii.gz ... -o MPF.nii.gz
    mt-map r1 --vfa PDW.nii.gz T1W.nii.gz --flip-angles 4 25 --TR 0.025 0.011 -o R1.nii.gz
    mt-map mtsat / mt-map mtr ...
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
        "written but fewer voxels solved than --fail-below asks", 78))
    return "\n".join(lines)


def share(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be a share between 0 and 1, not {text!r}")
    return value


def memory_size(text):
    """Bytes from a size such as 2G, 500M, 64k or 1000000 (powers of 1024)."""
    units = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
    number, unit = text.strip(), ""
    if number[-1:].lower() in units and number[-1:].isalpha():
        number, unit = number[:-1], number[-1].lower()
    try:
        value = float(number) * units[unit]
    except (ValueError, KeyError):
        value = float("nan")
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a size such as 2G, 500M or a number of "
                                         f"bytes, not {text!r}")
    return int(value)


# The options of the two ways to a fraction map.
RATIO_INPUTS = ("mt", "ref", "r1")
SCAN_INPUTS = ("pdw", "t1w", "mtw")
CHAIN_ONLY = ("b0", "r1_out", "m0_out", "mtr_out", "mtsat_out")


def option_names(names):
    return ", ".join("--" + name.replace("_", "-") for name in names)


def exit_status(summary, fail_below):
    if fail_below is not None and summary.solved_share < fail_below:
        print(f"mt-map: {100 * summary.solved_share:.1f} % of the fitted voxels solved, "
              f"fewer than --fail-below {fail_below:g} asks", file=sys.stderr)
        return EXIT_TOO_FEW_SOLVED
    return 0


def run_fraction(options):
    from tavni.mt_map import pipeline

    from_scans = [name for name in SCAN_INPUTS if getattr(options, name) is not None]
    from_ratio = [name for name in RATIO_INPUTS if getattr(options, name) is not None]
    if from_scans and from_ratio:
        raise UsageError(f"give the three scans ({option_names(SCAN_INPUTS)}) or an MT "
                         f"image, its reference and an R1 map ({option_names(RATIO_INPUTS)}), "
                         "not both")
    if from_scans:
        missing = [name for name in SCAN_INPUTS if name not in from_scans]
        if missing:
            raise UsageError(f"the three-scan chain also needs {option_names(missing)}")
        given = protocol.gather(options, pipeline.CHAIN_PARAMETERS)
        outputs = {"fraction": options.output, "status": options.status,
                   "r1": options.r1_out, "m0": options.m0_out, "mtr": options.mtr_out,
                   "mtsat": options.mtsat_out, "uncertainty": options.uncertainty_out,
                   "sensitivity": options.sensitivity_out}
        summary = pipeline.fraction_from_scans(
            options.pdw, options.t1w, options.mtw, given, outputs, b1=options.b1,
            b0=options.b0, mask=options.mask, threads=options.threads, clip=options.clip,
            exact=not options.fast, max_memory=options.max_memory, quiet=options.quiet,
            protocol_path=options.protocol, allow_affine_mismatch=options.allow_affine_mismatch,
            noise_sd=options.noise_sd)
        return exit_status(summary, options.fail_below)
    missing = [name for name in RATIO_INPUTS if name not in from_ratio]
    if missing:
        raise UsageError(f"missing {option_names(missing)} (or give the three scans "
                         f"{option_names(SCAN_INPUTS)})")
    chain_only = [name for name in CHAIN_ONLY if getattr(options, name) is not None]
    if chain_only:
        raise UsageError(f"{option_names(chain_only)} need the three scans "
                         f"({option_names(SCAN_INPUTS)})")
    given = protocol.gather(options, protocol.SEQUENCE + protocol.LINESHAPE)
    images = {name: getattr(options, name) for name, _ in pipeline.FRACTION_IMAGES}
    summary = pipeline.fraction_map(
        images, options.output, given, protocol_path=options.protocol,
        status_output=options.status, threads=options.threads, clip=options.clip,
        exact=not options.fast, max_memory=options.max_memory, quiet=options.quiet,
        allow_affine_mismatch=options.allow_affine_mismatch,
        uncertainty_output=options.uncertainty_out, sensitivity_prefix=options.sensitivity_out,
        noise_sd=options.noise_sd)
    return exit_status(summary, options.fail_below)


def run_r1(options):
    from tavni.mt_map import pipeline

    pipeline.r1_map(options.vfa, options.flip_angles, options.TR,
                    {"r1": options.output, "m0": options.m0, "status": options.status},
                    b1=options.b1, mask=options.mask, threads=options.threads,
                    quiet=options.quiet, allow_affine_mismatch=options.allow_affine_mismatch,
                    max_memory=options.max_memory)
    return 0


def run_semi_quantitative(options):
    from tavni.mt_map import pipeline

    given = {}
    if options.pdw is not None or options.t1w is not None:
        given = protocol.gather(options, pipeline.SCAN_PARAMETERS)
    pipeline.semi_quantitative_map(
        options.command, options.mtw, given, options.output, pdw=options.pdw, t1w=options.t1w,
        ref=getattr(options, "ref", None), b1=options.b1, mask=options.mask,
        b1_correction=getattr(options, "b1_correction", None), threads=options.threads,
        protocol_path=options.protocol, allow_affine_mismatch=options.allow_affine_mismatch,
        max_memory=options.max_memory)
    return 0


def run_phantom(options):
    from tavni.mt_map import phantom

    if (options.directory is None) == (options.bids is None):
        raise UsageError("give either DIR (one phantom) or --bids DIR (a BIDS dataset)")
    if options.bids is not None:
        return run_phantom_dataset(options)
    try:
        head = phantom.make(options.voxel_size, anatomy=options.anatomy, shape=options.shape,
                            snr=options.snr, seed=options.seed)
    except ValueError as error:  # voxel size, SNR, seed or grid out of range
        raise UsageError(str(error)) from None
    phantom.write(options.directory, head, force=options.force)
    if not options.quiet:
        for note in head.notes:
            print(note)
        print(f"phantom ({head.description}) written to {options.directory}/: "
              f"{', '.join(head.volumes)} (.nii.gz) and protocol.json")
    return 0


def run_phantom_dataset(options):
    from tavni.mt_map import bids

    try:
        notes = bids.write_phantom_dataset(
            options.bids, options.participants, voxel_size=options.voxel_size,
            anatomy=options.anatomy, shape=options.shape, snr=options.snr, seed=options.seed)
    except ValueError as error:  # voxel size, SNR, seed or grid out of range
        raise UsageError(str(error)) from None
    if not options.quiet:
        print("\n".join(notes + [f"BIDS dataset of {options.participants} phantom heads "
                                  f"written to {options.bids}/"]))
    return 0


def add_bids_parser(commands):
    """The ``bids`` subcommand, on the subparsers of ``mt-map``."""
    parser = commands.add_parser(
        "bids", help="BIDS App: maps for every participant of a qMRI-BIDS dataset",
        description="Maps the bound-pool fraction, R1, M0, MTR and MTsat of each "
                    "participant of a BIDS dataset (MTS or VFA + MT-on collections) into a "
                    "BIDS derivatives dataset with sidecars and an HTML report "
                    "(participant level), or summarises them (group level).")
    parser.add_argument("bids_dir", type=Path, metavar="BIDS_DIR",
                        help="the BIDS dataset (read only)")
    parser.add_argument("output_dir", type=Path, metavar="OUTPUT_DIR",
                        help="the derivatives dataset to write (e.g. "
                             "BIDS_DIR/derivatives/mt-map)")
    parser.add_argument("analysis_level", choices=("participant", "group"),
                        help="participant: maps, sidecars and a report per participant; "
                             "group: OUTPUT_DIR/group/summary.tsv and report.html from them")
    parser.add_argument("--participant-label", nargs="+", metavar="LABEL",
                        help="participants to process (without 'sub-'; default: all)")
    parser.add_argument("--session-label", nargs="+", metavar="LABEL",
                        help="sessions to process (without 'ses-'; default: all)")
    parser.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="participants processed at once on this machine; the cores "
                             "are shared among them (default 1)")
    parser.add_argument("--dask-scheduler", metavar="ADDRESS",
                        help="submit one task per participant to this Dask distributed "
                             "scheduler (e.g. tcp://host:8786); dataset and output folder "
                             "must be on a filesystem the workers share")
    again = parser.add_mutually_exclusive_group()
    again.add_argument("--skip-existing", action="store_true",
                       help="leave participants that already have outputs alone")
    again.add_argument("--overwrite", action="store_true",
                       help="redo participants that already have outputs")
    parser.add_argument("--assume-ms", action="store_true",
                        help="read sidecar times too large to be seconds as milliseconds "
                             "(with a warning) instead of stopping")
    parser.add_argument("--mask-dir", type=Path, metavar="DIR",
                        help="derivatives folder with a brain mask per participant "
                             "(*_mask.nii.gz, desc-brain preferred)")
    parser.add_argument("--protocol", type=Path, metavar="FILE.json",
                        help="parameters (protocol-file keys, SI units) that complete or "
                             "override the sidecars; needed at least for T2_free and T2b "
                             "or G")
    parser.add_argument("--param", action="append", metavar="KEY=VALUE",
                        help="one parameter (protocol-file key), overriding sidecars and "
                             "--protocol; may be repeated")
    parser.add_argument("--quiet", action="store_true", help="no progress lines")
    parser.set_defaults(run=run_bids)
    return parser


def run_bids(options):
    from tavni.mt_map import bids

    return bids.run(options)


def run_demo(options):
    from tavni.mt_map import demo

    try:
        demo.run(options.directory, voxel_size=options.voxel_size, anatomy=options.anatomy,
                 shape=options.shape, snr=options.snr, quiet=options.quiet, force=options.force)
    except ValueError as error:  # voxel size, SNR or grid out of range
        raise UsageError(str(error)) from None
    return 0


def run_voxel(options):
    from tavni.mt_map import pipeline

    given = protocol.gather(options, ("S_ratio", "R1") + protocol.SEQUENCE + protocol.LINESHAPE)
    f = pipeline.fraction_of_voxel(given, tuple(options.bracket))
    print(f"f = {f:.6f}")
    return 0


# The scans' flip angles and TRs (the MT-weighted scan's are flip_angle_deg, TR).
SCAN_KEYS = protocol.SCANS + ("flip_angle_deg", "TR")


def add_scan_inputs(parser, required=False):
    for name, what in (("pdw", "PD-weighted"), ("t1w", "T1-weighted"), ("mtw", "MT-weighted")):
        parser.add_argument(f"--{name}", type=Path, required=required,
                            metavar=f"{name.upper()}.nii.gz", help=f"{what} SPGR scan")


def add_common_map_options(parser):
    parser.add_argument("--b1", type=Path, metavar="B1.nii.gz",
                        help="relative transmit field (actual/nominal flip angle)")
    parser.add_argument("--mask", type=Path, metavar="MASK.nii.gz",
                        help="voxels to map (nonzero); the others get NaN")
    parser.add_argument("--allow-affine-mismatch", action="store_true",
                        help="map images of one shape even where their positions differ")
    parser.add_argument("--threads", type=int, metavar="N",
                        help="worker threads (default: all cores)")
    add_max_memory(parser)


def add_max_memory(parser, verb="mapped"):
    parser.add_argument("--max-memory", type=memory_size, metavar="SIZE",
                        help="memory the command may use, e.g. 2G or 500M (default: half "
                             f"of the available memory); images are read, {verb} and "
                             "written a few planes at a time within it")


def add_phantom_options(parser, snr):
    parser.add_argument("--voxel-size", type=float, default=2.0, metavar="MM",
                        help="voxel edge in mm; the brain comes at 1 mm, coarser grids "
                             "average it (default 2)")
    parser.add_argument("--snr", type=float, default=snr, metavar="SNR",
                        help="Rician noise: mean white-matter signal of the PDw scan over the "
                             "noise's standard deviation per channel; inf: no noise (default: "
                             + ("no noise" if snr is None else f"{snr:g}") + ")")
    parser.add_argument("--anatomy", choices=("auto", "brain", "geometric"), default="auto",
                        help="the MNI ICBM152 brain (needs nilearn) or nested ellipsoids; "
                             "auto: the brain when nilearn is installed")
    parser.add_argument("--shape", type=int, nargs=3, metavar=("X", "Y", "Z"),
                        help="a geometric head of this many voxels (tiny volumes for tests)")
    parser.add_argument("--force", action="store_true",
                        help="replace files of an earlier run (refused otherwise)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="mt-map",
        description="Bound-pool (macromolecular proton) fraction maps from PD-, T1- and "
                    "MT-weighted SPGR scans (or from one MT-weighted image, its reference "
                    "image without saturation, and an R1 map), with the two-pool pulsed "
                    "steady-state model; R1, M0, MTR and MTsat maps on the way. Units: "
                    "times in seconds, "
                    "offsets in Hz, omega_1_rms in rad/s, R1 in 1/s, flip angles in degrees.")
    parser.add_argument("--version", action=VersionAction, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=Parser)

    fraction = commands.add_parser(
        "fraction", help="fraction map from three SPGR scans, or MT, reference and R1 images",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog_factory=status_epilog,
        description="Fraction map from PD-, T1- and MT-weighted SPGR scans (R1 and M0 by "
                    "variable flip angle,\nthe MT scan's reference computed from them), or "
                    "from an MT-weighted image, its\nreference image and an R1 map (NIfTI "
                    ".nii/.nii.gz or NumPy .npy, all of one shape and position).\n"
                    "The measured ratio is MT/REF voxel by voxel. Voxels without a valid "
                    "measurement\n(REF <= 0, R1 <= 0, NaN) and voxels no fraction in [0, 0.5] "
                    "explains get NaN;\n--status says which is which. A summary of the "
                    "voxels solved follows on stderr.")
    ratio_path = fraction.add_argument_group(
        "from an MT image, its reference and an R1 map")
    ratio_path.add_argument("--mt", type=Path, metavar="MT.nii.gz", help="MT-weighted image")
    ratio_path.add_argument("--ref", type=Path, metavar="REF.nii.gz",
                            help="reference image: the same sequence without saturation")
    ratio_path.add_argument("--r1", type=Path, metavar="R1.nii.gz",
                            help="longitudinal relaxation rate map, 1/s")
    chain = fraction.add_argument_group(
        "or from three SPGR scans (R1, M0 and the reference are computed)")
    add_scan_inputs(chain)
    chain.add_argument("--b0", type=Path, metavar="B0.nii.gz",
                       help="off-resonance map, Hz: shifts the saturation offset per voxel "
                            "(needs --T2b)")
    for name, what in (("r1", "R1 map, 1/s"), ("m0", "M0 map, signal units"),
                       ("mtr", "MTR map against the synthetic reference, percent"),
                       ("mtsat", "MTsat map, percent units")):
        chain.add_argument(f"--{name}-out", type=Path, metavar=f"{name.upper()}.nii.gz",
                           help=f"also write the {what} (float32)")
    fraction.add_argument("--b1", type=Path, metavar="B1.nii.gz",
                          help="relative transmit field (actual/nominal flip angle); scales "
                               "the flip angle and the saturation amplitude")
    fraction.add_argument("--mask", type=Path, metavar="MASK.nii.gz",
                          help="voxels to fit (nonzero); the others get NaN")
    fraction.add_argument("--allow-affine-mismatch", action="store_true",
                          help="map images of one shape even where their positions or voxel "
                               "sizes differ")
    protocol.add_options(fraction, protocol.SCANS + protocol.SEQUENCE + protocol.LINESHAPE)
    fraction.add_argument("--threads", type=int, metavar="N",
                          help="worker threads (default: all cores)")
    fraction.add_argument("--clip", action="store_true",
                          help="voxels whose ratio no fraction in [0, 0.5] explains get the "
                               "nearer end (0 or 0.5) instead of NaN; their status still "
                               "says so")
    fraction.add_argument("--fast", action="store_true",
                          help="solve the model in exact arithmetic from its closed form, "
                               "several times faster; f agrees with the default search to "
                               "1e-6, but is not reproducible to the bit across machines")
    add_max_memory(fraction, "fitted")
    fraction.add_argument("--status", type=Path, metavar="STATUS.nii.gz",
                          help="also write the per-voxel status codes (uint8)")
    fraction.add_argument("--uncertainty-out", type=Path, metavar="SD.nii.gz",
                          help="standard deviation of f from the images' noise, to first "
                               "order (float32, NaN where not solved)")
    fraction.add_argument("--sensitivity-out", type=Path, metavar="PREFIX",
                          help="writes PREFIX_R1 and PREFIX_B1 (suffix of -o): the change of f "
                               "when R1 or B1 is 1%% too high")
    fraction.add_argument("--noise-sd", type=float, nargs="+", metavar="SIGMA",
                          help="noise standard deviation of the images (one for all, or one "
                               "each: MT and REF, or PDW, T1W and MTW), image units; default: "
                               "estimated from each image's background outside the head (or "
                               "--mask)")
    fraction.add_argument("--fail-below", type=share, metavar="SHARE",
                          help=f"exit with status {EXIT_TOO_FEW_SOLVED} (the maps written) "
                               "when fewer than this share of the fitted voxels (not masked, "
                               "valid input) is solved")
    fraction.add_argument("--quiet", action="store_true",
                          help="no progress bar and no summary (warnings still)")
    fraction.add_argument("-o", "--output", type=Path, required=True, metavar="MPF.nii.gz",
                          help="fraction map to write (float32, geometry of the MT image)")
    fraction.set_defaults(run=run_fraction)

    r1 = commands.add_parser(
        "r1", help="R1 and M0 maps from SPGR scans of two or more flip angles",
        description="R1 (1/s) and M0 from spoiled gradient-echo scans of two or more flip "
                    "angles (variable flip angle): closed form when the scans share TR "
                    "(least squares for more than two), a root per voxel when two differ.")
    r1.add_argument("--vfa", type=Path, nargs="+", required=True, metavar="IMG",
                    help="the scans, one geometry")
    r1.add_argument("--flip-angles", type=float, nargs="+", required=True, metavar="DEG",
                    help="each scan's nominal flip angle, degrees")
    r1.add_argument("--TR", type=float, nargs="+", required=True, metavar="S",
                    help="each scan's repetition time, s")
    add_common_map_options(r1)
    r1.add_argument("--m0", type=Path, metavar="M0.nii.gz", help="also write M0 (float32)")
    r1.add_argument("--status", type=Path, metavar="STATUS.nii.gz",
                    help="also write the status of the R1 fit per voxel (uint8)")
    r1.add_argument("--quiet", action="store_true", help="no summary")
    r1.add_argument("-o", "--output", type=Path, required=True, metavar="R1.nii.gz",
                    help="R1 map to write, 1/s (float32)")
    r1.set_defaults(run=run_r1)

    mtsat = commands.add_parser(
        "mtsat", help="MT saturation map from PD-, T1- and MT-weighted scans",
        description="MT saturation (percent units; Helms et al. 2008, small-angle "
                    "approximations) from the three SPGR scans.")
    add_scan_inputs(mtsat, required=True)
    mtsat.add_argument("--b1-correction", type=float, metavar="C",
                       help="empirical B1 correction MTsat (1 - C)/(1 - C B1) (Weiskopf et "
                            "al. 2013: C = 0.4); needs --b1")
    add_common_map_options(mtsat)
    protocol.add_options(mtsat, SCAN_KEYS)
    mtsat.add_argument("-o", "--output", type=Path, required=True, metavar="MTSAT.nii.gz",
                       help="MTsat map to write (float32)")
    mtsat.set_defaults(run=run_semi_quantitative)

    mtr = commands.add_parser(
        "mtr", help="MT ratio map, against a measured or a synthetic reference",
        description="MT ratio 100 (REF - MT)/REF, percent, with REF a measured reference "
                    "(--ref) or the synthetic one from the PD- and T1-weighted scans.")
    mtr.add_argument("--mtw", type=Path, required=True, metavar="MTW.nii.gz",
                     help="MT-weighted scan")
    mtr.add_argument("--ref", type=Path, metavar="REF.nii.gz",
                     help="measured reference: the same scan without saturation")
    mtr.add_argument("--pdw", type=Path, metavar="PDW.nii.gz",
                     help="PD-weighted scan (for the synthetic reference)")
    mtr.add_argument("--t1w", type=Path, metavar="T1W.nii.gz",
                     help="T1-weighted scan (for the synthetic reference)")
    add_common_map_options(mtr)
    protocol.add_options(mtr, SCAN_KEYS)
    mtr.add_argument("-o", "--output", type=Path, required=True, metavar="MTR.nii.gz",
                     help="MTR map to write, percent (float32)")
    mtr.set_defaults(run=run_semi_quantitative)

    phantom = commands.add_parser(
        "phantom", help="write a synthetic head phantom with its protocol",
        description="Writes a synthetic head (a human brain's white matter, grey matter and "
                    "CSF by partial volume) as NIfTI images: the three SPGR scans pdw, t1w and "
                    "mtw, ref (the MT scan without saturation), b1 (relative), b0 (Hz), the "
                    "truth truth_f, truth_r1 (1/s) and truth_m0, labels and the tissue "
                    "probability maps tissue_wm, tissue_gm and tissue_csf; and protocol.json.")
    phantom.add_argument("directory", type=Path, metavar="DIR", nargs="?")
    phantom.add_argument("--bids", type=Path, metavar="DIR",
                         help="instead, write a qMRI-BIDS dataset of --participants slightly "
                              "different heads into DIR (new or empty), for mt-map bids")
    phantom.add_argument("--participants", type=int, default=3, metavar="N",
                         help="heads in the --bids dataset (default 3)")
    add_phantom_options(phantom, snr=None)
    phantom.add_argument("--seed", type=int, default=0, help="seed of the noise (default 0)")
    phantom.add_argument("--quiet", action="store_true", help="print nothing")
    phantom.set_defaults(run=run_phantom)

    demo = commands.add_parser(
        "demo", help="phantom -> fraction map -> per-tissue summary and a figure",
        description="Writes a phantom, maps its bound-pool fraction with and without the B1 "
                    "map, prints truth and estimate per tissue and draws demo.png (axial, "
                    "coronal and sagittal slices).")
    demo.add_argument("--directory", type=Path, default=Path("mt-map-demo"), metavar="DIR",
                      help="where to write (default ./mt-map-demo)")
    add_phantom_options(demo, snr=100.0)
    demo.add_argument("--quiet", action="store_true", help="no progress bars")
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
