"""mt-map: bound-pool fraction maps from MT-weighted images on the command line.

::

    mt-map fraction --mt MT.nii.gz --ref REF.nii.gz --r1 R1.nii.gz ... -o MPF.nii.gz
    mt-map fraction --pdw PDW.nii.gz --t1w T1W.nii.gz --mtw MTW.nii.gz ... -o MPF.nii.gz
    mt-map r1 --vfa PDW.nii.gz T1W.nii.gz --flip-angles 4 25 --TR 0.025 0.011 -o R1.nii.gz
    mt-map mtsat / mt-map mtr ...
    mt-map phantom DIR
    mt-map demo
    mt-map voxel --S-ratio 0.5 --R1 1.0 ...
    mt-map bids BIDS_DIR OUTPUT_DIR participant|group ...

This package only parses the command line (one module per command, each
with ``add_parser`` and ``run``) and dispatches to the workflows, the
phantom and the BIDS App; it alone turns their errors, warnings and log
lines into lines on stderr and exit statuses. What callers rely on: every
failure ends in one line "mt-map: error: ..." on stderr and exit status 1
(2 for usage errors, from argparse), 3 when ``--fail-below`` finds too few
voxels solved, 130 on an interrupt, 141 (quietly) when the reader of
stdout goes away; no traceback. Run as a program (:func:`program`),
output that cannot be written once the command is done (a full disk) is a
failure too. Imports stay light until a command runs, so that
``mt-map --help`` answers at once.

Units throughout: times in seconds, offsets in Hz, the saturation amplitude
omega_1_rms in rad/s, R1 in 1/s, flip angles in degrees.
"""

import atexit
import contextlib
import logging
import os
import sys

from tavni.mt_map import protocol
from tavni.mt_map.cli import bids, demo, fraction, phantom, r1, semi_quantitative, voxel
from tavni.mt_map.cli.options import Parser, UsageError, VersionAction

__all__ = [
    "build_parser",
    "main",
    "program",
]


def build_parser():
    """The ``mt-map`` argument parser, with every command's subparser.

    Returns
    -------
    argparse.ArgumentParser
        Parsed options carry ``run``, the command's function, and
        ``messages`` (False where the command keeps its log lines off the
        terminal).
    """
    parser = Parser(
        prog="mt-map",
        description="Bound-pool (macromolecular proton) fraction maps from PD-, T1- and "
        "MT-weighted SPGR scans (or from one MT-weighted image, its reference "
        "image without saturation, and an R1 map), with the two-pool pulsed "
        "steady-state model; R1, M0, MTR and MTsat maps on the way. Units: "
        "times in seconds, "
        "offsets in Hz, omega_1_rms in rad/s, R1 in 1/s, flip angles in degrees.",
    )
    parser.add_argument("--version", action=VersionAction, help="show the version and exit")
    commands = parser.add_subparsers(
        dest="command", required=True, metavar="COMMAND", parser_class=Parser
    )

    for command in (fraction, r1, semi_quantitative, phantom, demo, voxel, bids):
        command.add_parser(commands)
    return parser


class _Lines(logging.Formatter):
    """The library's log records as the command's lines on stderr."""

    def format(self, record):
        if record.levelno >= logging.WARNING:
            return f"mt-map: warning: {record.getMessage()}"
        return f"mt-map: {record.getMessage()}"


# Keyword arguments that library messages suggest ("force=True"), and the
# options of the commands that set them.
_SWITCHES = {"register=False": "--no-register", "force=True": "--force"}


def _flag_named(error):
    """An error's message with the Python keywords it names as the options."""
    message = str(error)
    parameter = getattr(error, "parameter", None)
    if parameter and message.startswith(parameter):
        message = "--" + parameter.replace("_", "-") + message[len(parameter) :]
    for keyword, option in _SWITCHES.items():
        message = message.replace(keyword, option)
    return message


def main(argv=None):
    """Runs the ``mt-map`` command line.

    While the command runs, the ``tavni.mt_map`` logger's records go to
    stderr as ``mt-map: ...`` lines (``mt-map: warning: ...`` from WARNING
    up).

    Parameters
    ----------
    argv : list of str, optional
        The arguments; default ``sys.argv[1:]``.

    Returns
    -------
    int
        The exit status: 0, 1 for a failure (one line
        ``mt-map: error: ...`` on stderr), 3 when ``--fail-below`` finds too
        few voxels solved, 130 on an interrupt, 141 when the reader of
        stdout went away. Usage errors exit with status 2 (``SystemExit``,
        from argparse), as do ``--help`` and ``--version`` with 0.
    """
    options = build_parser().parse_args(argv)
    # Which of the library's messages this command shows: by default all of
    # them (warnings and summaries); a command may name a narrower logger
    # and show only its warnings.
    messages = getattr(options, "messages", "tavni.mt_map")
    logger = logging.getLogger(messages)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_Lines())
    handler.setLevel(logging.INFO if messages == "tavni.mt_map" else logging.WARNING)
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        return _run(options)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(logging.NOTSET)


def program():
    """``mt-map`` as a program: runs :func:`main`, then ends the process with
    its exit status.

    Once the command has returned, its output is flushed and every exit
    handler of what it loaded has run, the process ends without the
    interpreter's teardown: freeing the objects of SciPy, pybids and Dask
    one by one takes 0.2 to 0.4 s, only to give back memory the system
    takes back anyway. Output that cannot be written at the end (a full
    disk, a closed pipe) is an error, as it would be during the command.
    """
    status = []

    def end_now():
        if not status:  # ended by an exception: the interpreter reports it
            return
        logging.shutdown()
        code = status[0]
        try:
            sys.stdout.flush()
        except OSError as error:
            failed = _output_failed(error)  # said even after a failed command
            code = code or failed
        with contextlib.suppress(Exception):
            sys.stderr.flush()
        os._exit(code)

    # Registered before the command imports anything: exit handlers run
    # last registered first, so this one comes after those of every module
    # the command loads.
    atexit.register(end_now)
    try:
        status.append(main())
    except SystemExit as ended:
        # argparse ends --help, --version and usage errors so: their output
        # is flushed at the end, as any command's.
        status.append(_exit_status(ended.code))
    except OSError as error:  # writing --help or --version
        status.append(_output_failed(error))
    sys.exit(status[0])


def _exit_status(code):
    """The exit status ``sys.exit(code)`` gives: 0 for None, a number as it
    is, and 1 for anything else, which is printed on stderr.
    """
    if code is None or isinstance(code, int):
        return code or 0
    print(code, file=sys.stderr)
    return 1


def _stdout_to_nothing():
    """Points stdout at nothing, so that flushing what is left for a reader
    that went away is quiet.
    """
    nothing = os.open(os.devnull, os.O_WRONLY)
    os.dup2(nothing, sys.stdout.fileno())
    os.close(nothing)


def _output_failed(error):
    """The status of output that could not be written: 141, quietly, when
    its reader went away (a pager, head); otherwise 1, said in one line.
    """
    if isinstance(error, BrokenPipeError):
        _stdout_to_nothing()
        return 141
    print(f"mt-map: error: cannot write the output: {error.strerror}", file=sys.stderr)
    return 1


@contextlib.contextmanager
def _interrupts_kept():
    """Ctrl-C (or the BIDS App's SIGTERM) that lands while the interpreter
    runs a finalizer, such as pybids' database objects freed by the garbage
    collector, raises inside it, where the interpreter drops it with an
    "Exception ignored" report: the command would go on and end as if never
    interrupted. Such an interrupt is delivered again to the main thread,
    at the latest as the command returns.
    """
    import _thread
    import threading

    previous, lock, dropped = sys.unraisablehook, threading.Lock(), [False]

    def deliver():
        with lock:
            if dropped[0]:
                dropped[0] = False
                _thread.interrupt_main()

    def redeliver(unraisable):
        if issubclass(unraisable.exc_type, KeyboardInterrupt):
            # Not raised from here: the main thread would take it inside
            # this hook and drop it again. From a timer, once the hook and
            # the finalizer have returned (a timer of its own should it land
            # in another).
            with lock:
                dropped[0] = True
            threading.Timer(0.01, deliver).start()
        else:
            previous(unraisable)

    sys.unraisablehook = redeliver
    try:
        yield
    finally:
        sys.unraisablehook = previous
        # An interrupt the timer handed over is taken at the latest here,
        # once the lock is free; one it has not is raised now.
        with lock:
            pending, dropped[0] = dropped[0], False
    if pending:
        raise KeyboardInterrupt


def _bids_error(error):
    # The BIDS App's errors, without importing the App for the other
    # commands: a BidsError can only come from a loaded module.
    base = sys.modules.get("tavni.mt_map.bids.base")
    return base is not None and isinstance(error, base.BidsError)


def _run(options):
    from tavni.mt_map.io.volumes import VolumeError

    def fail(message):
        print(f"mt-map: error: {message}", file=sys.stderr)
        return 1

    try:
        with _interrupts_kept():
            return options.run(options)
    except (UsageError, protocol.ParameterError, VolumeError) as error:
        return fail(_flag_named(error))
    except BrokenPipeError:
        # The reader of stdout (a pager, head) left: not an error of ours.
        # Point stdout at nothing so that the interpreter's final flush is quiet.
        _stdout_to_nothing()
        return 141
    except MemoryError:
        return fail("out of memory; try a smaller volume or free some memory")
    except OSError as error:
        where = f" '{error.filename}'" if error.filename else ""
        return fail(f"{error.strerror or error}{where}")
    except KeyboardInterrupt:
        return 130
    except Exception as error:
        if _bids_error(error):
            return fail(_flag_named(error))
        # A fault of this program, not of the input: still one line, unless
        # MT_MAP_TRACEBACK asks for the whole story.
        if os.environ.get("MT_MAP_TRACEBACK"):
            raise
        first_line = (str(error).splitlines() or [""])[0]
        return fail(
            f"internal error ({type(error).__name__}: {first_line}); MT_MAP_TRACEBACK=1 shows where"
        )
