"""mt-map: bound-pool fraction maps from MT-weighted images on the command line.

    mt-map fraction --mt MT.nii.gz --ref REF.nii.gz --r1 R1.nii.gz ... -o MPF.nii.gz
    mt-map phantom DIR
    mt-map demo
    mt-map voxel --S-ratio 0.5 --R1 1.0 ...
    mt-map bids BIDS_DIR OUTPUT_DIR participant|group ...

Units throughout: times in seconds, offsets in Hz, the saturation amplitude
omega_1_rms in rad/s, R1 in 1/s, flip angles in degrees.
"""
import argparse
import json
import math
import sys
from pathlib import Path

import numpy as np

# The sequence parameters: (option, protocol key, metavar, help).
SEQUENCE = [
    ("--delta-omega", "delta_omega", "HZ", "offset frequency of the saturation pulse, Hz"),
    ("--omega-1-rms", "omega_1_rms", "RAD_PER_S", "RMS amplitude of the saturation pulse, rad/s"),
    ("--duration", "duration", "S", "duration of the saturation pulse, s"),
    ("--TR", "TR", "S", "repetition time, s"),
    ("--flip-angle", "flip_angle_deg", "DEG", "excitation flip angle, degrees"),
    ("--T2-free", "T2_free", "S", "transverse relaxation time of the free pool, s"),
]
LINESHAPE = [
    ("--T2b", "T2b", "S", "transverse relaxation time of the bound pool, s; "
                          "G is computed from it with the super-Lorentzian lineshape"),
    ("--G", "G", "S", "bound-pool absorption lineshape value at the offset, s"),
]
MUST_BE_POSITIVE = ("TR", "duration")

# Volumes at least this large are solved in chunks, so that a progress bar
# can follow them.
CHUNK_VOXELS = 1 << 18


class UsageError(Exception):
    """A problem with what the user asked for; the message says what."""


def add_sequence_options(parser):
    group = parser.add_argument_group("sequence and tissue parameters")
    for option, key, metavar, help_text in SEQUENCE:
        group.add_argument(option, dest=key, type=float, metavar=metavar, help=help_text)
    lineshape = group.add_mutually_exclusive_group()
    for option, key, metavar, help_text in LINESHAPE:
        lineshape.add_argument(option, dest=key, type=float, metavar=metavar, help=help_text)
    group.add_argument("--protocol", type=Path, metavar="FILE.json",
                       help="JSON file with the parameters above under the keys "
                            + ", ".join(key for _, key, _, _ in SEQUENCE + LINESHAPE)
                            + "; options given on the command line win")


def read_protocol(path):
    try:
        protocol = json.loads(Path(path).read_text())
    except OSError as error:
        raise UsageError(f"cannot read protocol '{path}': {error.strerror}") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise UsageError(f"protocol '{path}' is not valid JSON: {error}") from None
    if not isinstance(protocol, dict):
        raise UsageError(f"protocol '{path}' must hold a JSON object")
    return protocol


def resolve_parameters(options):
    """Sequence parameters from the command line, completed by the protocol file.

    Returns a dict with delta_omega, omega_1_rms, duration, TR, flip_angle
    (in radians), T2_free and G.
    """
    protocol = read_protocol(options.protocol) if options.protocol else {}
    source = f"protocol '{options.protocol}'" if options.protocol else "the command line"
    # One lineshape source: a G or T2b given on the command line beats both
    # keys of the protocol.
    if options.G is not None or options.T2b is not None:
        protocol.pop("G", None)
        protocol.pop("T2b", None)
    values = {}
    for option, key, _, _ in SEQUENCE + LINESHAPE:
        value = getattr(options, key)
        if value is None and key in protocol:
            value = protocol[key]
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise UsageError(f"{key} in {source} must be a number, not {value!r}")
        if value is not None:
            if not math.isfinite(value):
                raise UsageError(f"{option} must be a finite number (got {value})")
            values[key] = float(value)
    missing = [option for option, key, _, _ in SEQUENCE if key not in values]
    if "G" not in values and "T2b" not in values:
        missing.append("--T2b or --G")
    if missing:
        raise UsageError(f"missing parameter{'s' if len(missing) > 1 else ''} "
                         f"{', '.join(missing)} (give on the command line or in --protocol)")
    for key in MUST_BE_POSITIVE:
        if values[key] <= 0:
            raise UsageError(f"{key} must be positive (got {values[key]} s)")
    if "G" not in values:
        if values["T2b"] <= 0:
            raise UsageError(f"T2b must be positive (got {values['T2b']} s)")
        from tavni.mt_map import super_lorentzian

        values["G"] = float(super_lorentzian(values["delta_omega"], values.pop("T2b")))
    values.pop("T2b", None)
    values["flip_angle"] = math.radians(values.pop("flip_angle_deg"))
    return values


def fit_volume(ratio, R1, parameters, b1=None, mask=None, threads=None, clip=False,
               quiet=False):
    """Fraction and status per voxel; a progress bar on stderr for large volumes."""
    from tavni.mt_map import fit_fraction

    p = parameters

    def fit(ratio, R1, b1, mask):
        return fit_fraction(ratio, R1, p["T2_free"], p["delta_omega"], p["omega_1_rms"],
                            p["G"], p["TR"], p["duration"], p["flip_angle"], b1=b1, mask=mask,
                            clip=clip, threads=threads, return_status=True)

    if ratio.size < CHUNK_VOXELS:
        return fit(ratio, R1, b1, mask)

    from tqdm import tqdm

    shape = ratio.shape
    flat = [None if a is None else a.reshape(-1) for a in (ratio, R1, b1, mask)]
    fraction = np.empty(ratio.size)
    status = None
    with tqdm(total=ratio.size, unit="voxel", unit_scale=True, delay=1.0, file=sys.stderr,
              disable=quiet or not sys.stderr.isatty(), desc="fitting") as progress:
        for start in range(0, ratio.size, CHUNK_VOXELS):
            part = slice(start, start + CHUNK_VOXELS)
            f, s = fit(*(None if a is None else a[part] for a in flat))
            if status is None:
                status = np.empty(ratio.size, dtype=s.dtype)
            fraction[part], status[part] = f, s
            progress.update(f.size)
    return fraction.reshape(shape), status.reshape(shape)


def check_output_path(path, option):
    name = str(path)
    if not (name.endswith(".nii") or name.endswith(".nii.gz") or name.endswith(".npy")):
        raise UsageError(f"{option} '{path}' must end in .nii, .nii.gz or .npy")


def run_fraction(options):
    from tavni.mt_map import volumes

    check_output_path(options.output, "-o")
    if options.status is not None:
        check_output_path(options.status, "--status")
    parameters = resolve_parameters(options)
    if options.threads is not None and options.threads < 1:
        raise UsageError(f"--threads must be at least 1 (got {options.threads})")

    images = {"MT image": options.mt, "reference image": options.ref, "R1 map": options.r1,
              "B1 map": options.b1, "mask": options.mask}
    loaded = {what: volumes.load(path, what) for what, path in images.items() if path is not None}
    mt = loaded["MT image"]
    for what, volume in loaded.items():
        if volume.data.shape != mt.data.shape:
            raise UsageError(f"{what} has shape {volume.data.shape}, "
                             f"the MT image {mt.data.shape}")

    # Background of real data gives no measurement: no reference signal, no
    # positive R1, or NaN anywhere. Those voxels get NaN and the
    # invalid-input status from the solver.
    reference = loaded["reference image"].data
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(reference > 0, mt.data / reference, np.nan)
    R1 = loaded["R1 map"].data
    R1 = np.where(R1 > 0, R1, np.nan)
    b1 = loaded["B1 map"].data if "B1 map" in loaded else None
    if b1 is not None:
        b1 = np.where(b1 > 0, b1, np.nan)
    mask = None
    if "mask" in loaded:
        mask = np.nan_to_num(loaded["mask"].data) != 0

    fraction, status = fit_volume(ratio, R1, parameters, b1, mask, options.threads, options.clip,
                                  options.quiet)

    outputs = [(options.output, fraction, np.float32, mt)]
    if options.status is not None:
        outputs.append((options.status, status, np.uint8, mt))
    volumes.save_all(outputs)
    return fraction, status


def run_phantom(options):
    from tavni.mt_map import phantom

    phantom.write(options.directory, tuple(options.shape), noise=options.noise, seed=options.seed)
    if not options.quiet:
        print(f"phantom written to {options.directory}/: mt, ref, r1, b1, truth, labels "
              f"(.nii.gz) and protocol.json")


def run_demo(options):
    from tavni.mt_map import phantom

    directory = Path(options.directory)
    truth = phantom.write(directory, tuple(options.shape), noise=options.noise, seed=0)
    fraction_options = build_parser().parse_args([
        "fraction", "--mt", str(directory / "mt.nii.gz"), "--ref", str(directory / "ref.nii.gz"),
        "--r1", str(directory / "r1.nii.gz"), "--b1", str(directory / "b1.nii.gz"),
        "--protocol", str(directory / "protocol.json"),
        "--status", str(directory / "status.nii.gz"), "-o", str(directory / "mpf.nii.gz"),
        # With noise, half the fluid voxels measure a ratio above that of no
        # bound pool at all: they are fluid, f = 0.
        "--clip",
    ] + (["--quiet"] if options.quiet else []))
    fraction, status = run_fraction(fraction_options)

    print(f"{'tissue':<14}{'voxels':>8}{'true f':>10}{'estimated f':>14}{'clipped':>10}")
    for name, count, true_mean, estimated_mean, clipped in phantom.summary(
            truth["labels"], truth["truth"], fraction, status):
        print(f"{name:<14}{count:>8}{true_mean:>10.4f}{estimated_mean:>14.4f}{clipped:>10}")
    figure = directory / "demo.png"
    draw_comparison(truth["truth"], fraction, truth["labels"] > 0, figure)
    print(f"maps in {directory}/, figure in {figure}")


def draw_comparison(truth, estimate, head, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    middle = truth.shape[2] // 2
    shown = [np.where(head, truth, np.nan)[:, :, middle],
             np.where(head, estimate, np.nan)[:, :, middle]]
    figure, axes = plt.subplots(1, 3, figsize=(11, 3.8), constrained_layout=True)
    for axis, image, title in zip(axes, shown, ("true f", "estimated f")):
        drawn = axis.imshow(image.T, origin="lower", cmap="magma", vmin=0, vmax=0.2)
        axis.set_title(title)
    figure.colorbar(drawn, ax=axes[:2], shrink=0.8, label="bound-pool fraction")
    difference = axes[2].imshow((shown[1] - shown[0]).T, origin="lower", cmap="coolwarm",
                                vmin=-0.01, vmax=0.01)
    axes[2].set_title("estimated - true")
    figure.colorbar(difference, ax=axes[2], shrink=0.8)
    for axis in axes:
        axis.set_axis_off()
    figure.savefig(path, dpi=90)
    plt.close(figure)


def run_voxel(options):
    from tavni.mt_map import STATUS_SOLVED, STATUS_TWO_ROOTS, fit_fraction

    low, high = options.bracket
    try:
        f, status = fit_fraction(options.S_ratio, options.R1, options.T2_free,
                                 options.delta_omega, options.omega_1_rms, options.G, options.TR,
                                 options.duration, math.radians(options.flip_angle_deg),
                                 bracket=(low, high), threads=1, return_status=True)
    except ValueError as error:
        raise UsageError(str(error)) from None
    if status not in (STATUS_SOLVED, STATUS_TWO_ROOTS):
        raise UsageError(f"no bound-pool fraction in [{low}, {high}] "
                         f"explains S_ratio = {options.S_ratio}")
    print(f"f = {f:.6f}")
    if status == STATUS_TWO_ROOTS:
        print(f"(a larger fraction in [{low}, {high}] explains it too)", file=sys.stderr)


def add_phantom_options(parser, noise):
    parser.add_argument("--shape", type=int, nargs=3, default=(64, 64, 20),
                        metavar=("X", "Y", "Z"), help="voxels per axis (default 64 64 20)")
    parser.add_argument("--noise", type=float, default=noise, metavar="SIGMA",
                        help="Gaussian noise, relative to the brightest reference voxel "
                             f"(default {noise})")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="mt-map",
        description="Bound-pool (macromolecular proton) fraction maps from one MT-weighted "
                    "image, its reference image without saturation, and an R1 map, with "
                    "the two-pool pulsed steady-state model. Units: times in seconds, "
                    "offsets in Hz, omega_1_rms in rad/s, R1 in 1/s, flip angles in degrees.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fraction = commands.add_parser(
        "fraction", help="fraction map from MT, reference and R1 images",
        description="Fraction map from an MT-weighted image, its reference image and an R1 "
                    "map (NIfTI .nii/.nii.gz or NumPy .npy, all of one shape). The measured "
                    "ratio is MT/REF voxel by voxel. Voxels without a valid measurement "
                    "(REF <= 0, R1 <= 0, NaN) and voxels no fraction in [0, 0.5] explains "
                    "get NaN; --status says which is which.")
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
    add_sequence_options(fraction)
    fraction.add_argument("--threads", type=int, metavar="N",
                          help="worker threads (default: all cores)")
    fraction.add_argument("--clip", action="store_true",
                          help="voxels whose ratio no fraction in [0, 0.5] explains get the "
                               "nearer end (0 or 0.5) instead of NaN; their status still "
                               "says so")
    fraction.add_argument("--status", type=Path, metavar="STATUS.nii.gz",
                          help="also write the per-voxel status codes (uint8)")
    fraction.add_argument("--quiet", action="store_true", help="no progress bar")
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
    demo.add_argument("--quiet", action="store_true", help="no progress bar")
    demo.set_defaults(run=run_demo)

    voxel = commands.add_parser(
        "voxel", help="fraction of one voxel from its measured MT ratio",
        description="Finds the fraction f in the bracket at which the model explains one "
                    "measured ratio S_mt/S_ref, and prints it.")
    voxel.add_argument("--S-ratio", dest="S_ratio", type=float, required=True,
                       help="measured ratio S_mt/S_ref")
    voxel.add_argument("--R1", type=float, required=True, help="longitudinal relaxation rate, 1/s")
    for option, key, metavar, help_text in SEQUENCE:
        voxel.add_argument(option, dest=key, type=float, metavar=metavar, required=True,
                           help=help_text)
    voxel.add_argument("--G", type=float, required=True, metavar="S",
                       help="bound-pool absorption lineshape value at the offset, s")
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

    try:
        status = options.run(options)
    except (UsageError, VolumeError, BidsError) as error:
        print(f"mt-map: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    # Commands that judge their own outcome (the BIDS App) return a status.
    return status if isinstance(status, int) else 0
