"""Option types, shared option groups and the errors of the mt-map command line."""

import argparse
import sys
from pathlib import Path

from tavni.mt_map.defaults import ECHO_COMBINATION
from tavni.mt_map.protocol import ECHO_COMBINATIONS
from tavni.mt_map.scans import ROLES

__all__ = [
    "EXIT_TOO_FEW_SOLVED",
    "UsageError",
    "Parser",
    "VersionAction",
    "share",
    "memory_size",
    "add_scan_inputs",
    "add_common_map_options",
    "add_max_memory",
    "add_phantom_options",
]

EXIT_TOO_FEW_SOLVED = 3
"""Exit status when the share of solved voxels is below ``--fail-below``."""


class UsageError(Exception):
    """A problem with what the user asked for; the message says what."""


class Parser(argparse.ArgumentParser):
    """An argument parser whose epilog may be computed when help is shown
    (the status codes come from the extension module, loaded only then).
    """

    def __init__(self, *args, epilog_factory=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.epilog_factory = epilog_factory

    def format_help(self):
        """The help text, with the epilog made now."""
        if self.epilog_factory is not None:
            self.epilog = self.epilog_factory()
        return super().format_help()

    def print_help(self, file=None):
        """Writes the help to ``file`` (default stdout); a failure to write
        it raises (argparse's own drops it, and --help would end with status 0
        on a full disk).
        """
        (sys.stdout if file is None else file).write(self.format_help())


class VersionAction(argparse.Action):
    """``--version``: prints ``mt-map <version>`` and exits, importing the
    version only then.
    """

    def __init__(self, option_strings, dest=argparse.SUPPRESS, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        """Prints the installed version and exits with status 0."""
        from tavni.mt_map import __version__

        print(f"mt-map {__version__}")
        parser.exit()


def share(text):
    """An option's share between 0 and 1 (argparse type).

    Parameters
    ----------
    text : str

    Returns
    -------
    float

    Raises
    ------
    argparse.ArgumentTypeError
        Not a number in [0, 1].
    """
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be a share between 0 and 1, not {text!r}")
    return value


def memory_size(text):
    """Bytes from a size such as 2G, 500M, 64k or 1000000 (argparse type).

    Parameters
    ----------
    text : str
        A number, optionally followed by k, M, G or T (powers of 1024, in
        either case).

    Returns
    -------
    int

    Raises
    ------
    argparse.ArgumentTypeError
        Not a positive finite size.
    """
    units = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
    number, unit = text.strip(), ""
    if number[-1:].lower() in units and number[-1:].isalpha():
        number, unit = number[:-1], number[-1].lower()
    try:
        value = float(number) * units[unit]
    except (ValueError, KeyError):
        value = float("nan")
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(
            f"must be a size such as 2G, 500M or a number of bytes, not {text!r}"
        )
    return int(value)


_WEIGHTINGS = ("PD-weighted", "T1-weighted", "MT-weighted")
"""The scans of ``scans.ROLES`` as the help names them."""


def add_scan_inputs(parser, required=False, echoes=False):
    """Adds ``--pdw``, ``--t1w`` and ``--mtw``, the three SPGR scans.

    Parameters
    ----------
    parser : argparse.ArgumentParser or argument group
    required : bool
    echoes : bool
        Each scan may be several images (one per echo) or a 4-D image, with
        ``--echo-times``, ``--echo-combination`` and per-scan echo times.
    """
    for name, what in zip(ROLES, _WEIGHTINGS):
        parser.add_argument(
            f"--{name}",
            type=Path,
            required=required,
            nargs="+" if echoes else None,
            metavar=f"{name.upper()}.nii.gz",
            help=f"{what} SPGR scan"
            + ("; for a multi-echo scan one image per echo, or one 4-D image" if echoes else ""),
        )
    if not echoes:
        return
    parser.add_argument(
        "--echo-times",
        type=float,
        nargs="+",
        metavar="TE",
        help="echo times of multi-echo scans, seconds; each scan takes as many of them, "
        "from the first, as it has echoes",
    )
    for name, what in zip(ROLES, _WEIGHTINGS):
        parser.add_argument(
            f"--{name}-echo-times",
            type=float,
            nargs="+",
            metavar="TE",
            help=f"the {what} scan's own echo times, seconds (instead of --echo-times)",
        )
    parser.add_argument(
        "--echo-combination",
        choices=ECHO_COMBINATIONS,
        default=ECHO_COMBINATION,
        help="how each multi-echo scan becomes one image: te0 (default) extrapolates the "
        "three scans to TE = 0 with one R2* fitted to all their echoes; mean averages each "
        "scan's echoes, which is biased where the echo times differ (6 MT-weighted echoes "
        "against 8 reference echoes make the MT-weighted image 4-5 %% brighter and f "
        "10-15 %% lower); first takes each scan's first echo",
    )


def scans_with_echoes(options):
    """The three scans as the chain takes them: a path each, or ``Echoes``.

    Parameters
    ----------
    options : argparse.Namespace
        With the options of ``add_scan_inputs(..., echoes=True)``.

    Returns
    -------
    dict of str to path or workflows.echoes.Echoes

    Raises
    ------
    UsageError
        Echo images without echo times, or fewer echo times than echoes.
    """
    from tavni.mt_map.io import volumes
    from tavni.mt_map.workflows.echoes import Echoes

    shared = options.echo_times
    own = {name: getattr(options, f"{name}_echo_times") for name in ROLES}
    images = {name: list(getattr(options, name)) for name in ROLES}
    if shared is None and not any(own.values()):
        several = [f"--{n}" for n, files in images.items() if len(files) > 1]
        if several:
            raise UsageError(
                f"{', '.join(several)} name several images: the echoes of a multi-echo "
                "scan need --echo-times (seconds)"
            )
        return {name: files[0] for name, files in images.items()}
    scans = {}
    for name, files in images.items():
        count = len(files)
        if count == 1:
            shape = volumes.probe(files[0], f"--{name} image").shape
            count = shape[3] if len(shape) == 4 else 1
        times = own[name] or shared
        if times is None or len(times) < count:
            raise UsageError(
                f"--{name} has {count} echo(es); "
                + (
                    f"--echo-times names {len(times)}"
                    if times is not None
                    else f"give --echo-times or --{name}-echo-times"
                )
            )
        scans[name] = Echoes(tuple(files), tuple(times[:count]))
    return scans


def add_common_map_options(parser):
    """Adds ``--b1``, ``--mask``, ``--no-register``, ``--threads`` and
    ``--max-memory``, the options of every map command.

    Parameters
    ----------
    parser : argparse.ArgumentParser
    """
    parser.add_argument(
        "--b1",
        type=Path,
        metavar="B1.nii.gz",
        help="relative transmit field (actual/nominal flip angle)",
    )
    parser.add_argument(
        "--mask",
        type=Path,
        metavar="MASK.nii.gz",
        help="voxels to map (nonzero); the others get NaN",
    )
    add_registration_options(parser)
    parser.add_argument(
        "--threads", type=int, metavar="N", help="worker threads (default: all cores)"
    )
    add_max_memory(parser)


class _Deprecated(argparse.Action):
    """A flag kept so that old command lines still run: a warning, no effect."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        import sys

        print(
            f"mt-map: warning: {option_string} is deprecated and has no effect: every image "
            "is brought onto the MT-weighted scan's grid through its affine",
            file=sys.stderr,
        )


def add_registration_options(parser):
    """Adds ``--no-register``, and ``--allow-affine-mismatch`` as a
    deprecated flag without effect (hidden from the help).

    Parameters
    ----------
    parser : argparse.ArgumentParser
    """
    parser.add_argument(
        "--no-register",
        dest="register",
        action="store_false",
        help="do not register the scans onto the MT-weighted (or first) scan; by default "
        "a rigid registration undoes head motion between the scans, and images on "
        "other grids are resampled onto it through their affines either way",
    )
    parser.add_argument("--allow-affine-mismatch", action=_Deprecated, help=argparse.SUPPRESS)


def add_max_memory(parser, verb="mapped"):
    """Adds ``--max-memory`` (bytes, see ``memory_size``).

    Parameters
    ----------
    parser : argparse.ArgumentParser
    verb : str
        What is done to the images between reading and writing, for the
        help text.
    """
    parser.add_argument(
        "--max-memory",
        type=memory_size,
        metavar="SIZE",
        help="memory the command may use, e.g. 2G or 500M (default: half "
        f"of the available memory); images are read, {verb} and "
        "written a few planes at a time within it",
    )


def add_phantom_options(parser, snr):
    """Adds the phantom's options: ``--voxel-size``, ``--snr``,
    ``--anatomy``, ``--shape`` and ``--force``.

    Parameters
    ----------
    parser : argparse.ArgumentParser
    snr : float or None
        The default of ``--snr`` (None: no noise).
    """
    parser.add_argument(
        "--voxel-size",
        type=float,
        default=2.0,
        metavar="MM",
        help="voxel edge in mm; the brain comes at 1 mm, coarser grids average it (default 2)",
    )
    parser.add_argument(
        "--snr",
        type=float,
        default=snr,
        metavar="SNR",
        help="Rician noise: mean white-matter signal of the PDw scan over the "
        "noise's standard deviation per channel; inf: no noise (default: "
        + ("no noise" if snr is None else f"{snr:g}")
        + ")",
    )
    parser.add_argument(
        "--anatomy",
        choices=("auto", "brain", "geometric"),
        default="auto",
        help="the MNI ICBM152 brain (needs nilearn) or nested ellipsoids; "
        "auto: the brain when nilearn is installed",
    )
    parser.add_argument(
        "--shape",
        type=int,
        nargs=3,
        metavar=("X", "Y", "Z"),
        help="a geometric head of this many voxels (tiny volumes for tests)",
    )
    parser.add_argument(
        "--force", action="store_true", help="replace files of an earlier run (refused otherwise)"
    )
