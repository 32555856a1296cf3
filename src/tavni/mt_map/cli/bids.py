"""mt-map bids: the BIDS App on the command line."""

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING

from tavni.mt_map.cli.options import add_registration_options, share
from tavni.mt_map.defaults import DASK_TIMEOUT, ECHO_COMBINATION, FAIL_BELOW
from tavni.mt_map.protocol import ECHO_COMBINATIONS

if TYPE_CHECKING:
    from tavni.mt_map.bids.settings import AppOptions

__all__ = ["add_parser", "run", "settings_of"]


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """The ``bids`` subcommand, on the subparsers of ``mt-map``.

    Parameters
    ----------
    commands : argparse._SubParsersAction
        The subparsers of ``mt-map``.

    Returns
    -------
    argparse.ArgumentParser
    """
    parser = commands.add_parser(
        "bids",
        help="BIDS App: maps for every participant of a qMRI-BIDS dataset",
        description="Maps the bound-pool fraction, R1, M0, MTR and MTsat of each "
        "participant of a BIDS dataset (MTS, MPM or VFA + MT-on collections; "
        "multi-echo readouts with R2*) into a "
        "BIDS derivatives dataset with sidecars and an HTML report "
        "(participant level), or summarises them (group level).",
    )
    # In the order --help lists them.
    _add_selection_options(parser)
    _add_execution_options(parser)
    _add_slurm_options(parser)
    _add_existing_options(parser)
    _add_reading_options(parser)
    _add_processing_options(parser)
    parser.add_argument("--quiet", action="store_true", help="no progress lines (warnings still)")
    # Participants run side by side: the maps' messages go into their
    # sidecars and reports as they arise, not onto the terminal, where they
    # would interleave; each participant's warnings are printed together
    # once it has finished, and the App's own warnings (a repaired
    # participant, a lost scheduler) as they come.
    parser.set_defaults(run=run, messages="tavni.mt_map.bids")
    return parser


def _add_selection_options(parser):
    """The dataset, the derivatives and the participants and sessions to run."""
    parser.add_argument(
        "bids_dir", type=Path, metavar="BIDS_DIR", help="the BIDS dataset (read only)"
    )
    parser.add_argument(
        "output_dir",
        type=Path,
        metavar="OUTPUT_DIR",
        help="the derivatives dataset to write (e.g. BIDS_DIR/derivatives/mt-map)",
    )
    parser.add_argument(
        "analysis_level",
        choices=("participant", "group"),
        help="participant: maps, sidecars and a report per participant; "
        "group: OUTPUT_DIR/group/summary.tsv and report.html from them",
    )
    parser.add_argument(
        "--participant-label",
        nargs="+",
        metavar="LABEL",
        help="participants to process (without 'sub-'; default: all)",
    )
    parser.add_argument(
        "--session-label",
        nargs="+",
        metavar="LABEL",
        help="sessions to process (without 'ses-'; default: all)",
    )


def _add_execution_options(parser):
    """Where the participants run: processes here or a Dask scheduler."""
    parser.add_argument(
        "--jobs",
        type=int,
        default=1,
        metavar="N",
        help="participants processed at once on this machine; the cores "
        "are shared among them (default 1)",
    )
    parser.add_argument(
        "--dask-scheduler",
        metavar="ADDRESS",
        help="submit one task per participant to this Dask distributed "
        "scheduler (e.g. tcp://host:8786); dataset and output folder "
        "must be on a filesystem the workers share",
    )
    parser.add_argument(
        "--dask-timeout",
        type=float,
        default=DASK_TIMEOUT,
        metavar="SECONDS",
        help="with --dask-scheduler: give up when no worker has been alive "
        "for this long, at the start or while participants run; "
        f"participants not finished then are failed (default {DASK_TIMEOUT:g})",
    )


def _add_existing_options(parser):
    """What to do with participants that have outputs already."""
    again = parser.add_mutually_exclusive_group()
    again.add_argument(
        "--skip-existing",
        action="store_true",
        help="leave participants that already have outputs alone",
    )
    again.add_argument(
        "--overwrite", action="store_true", help="redo participants that already have outputs"
    )


def _add_reading_options(parser):
    """How the dataset is read: sidecar units, masks, B1 maps and parameters."""
    parser.add_argument(
        "--assume-ms",
        action="store_true",
        help="read sidecar times too large to be seconds as milliseconds "
        "(with a warning) instead of stopping",
    )
    parser.add_argument(
        "--mask-dir",
        type=Path,
        metavar="DIR",
        help="derivatives folder with a brain mask per participant "
        "(*_mask.nii.gz, desc-brain preferred); without it, a brain mask is "
        "computed from the MT-weighted scan (median filter and Otsu's threshold), "
        "written as *_desc-brain_mask.nii.gz, and the maps are fitted inside it",
    )
    # Listed beside --mask-dir, whose alternative it is; a processing setting.
    parser.add_argument(
        "--no-mask",
        action="store_true",
        help="without --mask-dir: compute no brain mask, fit every voxel",
    )
    parser.add_argument(
        "--b1-dir",
        type=Path,
        metavar="DIR",
        help="derivatives folder with a B1 map per participant (*_TB1map.nii.gz, "
        "its sidecar's Units percent, relative or degrees), used before fmap/",
    )
    parser.add_argument(
        "--protocol",
        type=Path,
        metavar="FILE.json",
        help="parameters (protocol-file keys, SI units) that complete or "
        "override the sidecars; the tissue constants T2_free and T2b (or G) "
        "default to 0.04 s and 12e-6 s (brain tissue: Sled & Pike 2001, "
        "Yarnykh 2012)",
    )
    parser.add_argument(
        "--param",
        action="append",
        metavar="KEY=VALUE",
        help="one parameter (protocol-file key), overriding sidecars and "
        "--protocol; may be repeated",
    )


def _add_processing_options(parser):
    """How each participant's maps are made."""
    parser.add_argument(
        "--fail-below",
        type=share,
        default=FAIL_BELOW,
        metavar="SHARE",
        help="a participant with less than this share of its fitted voxels "
        "(not masked, valid input) solved fails: exit status 1, its line "
        "says why, its maps stay in place and --skip-existing redoes it "
        f"(default {FAIL_BELOW:g}; 0 turns it off)",
    )
    parser.add_argument(
        "--echo-combination",
        choices=ECHO_COMBINATIONS,
        default=ECHO_COMBINATION,
        help="multi-echo scans (_MPM, or echo- images under _MTS): te0 extrapolates "
        "each contrast to TE = 0 with one R2* fitted over all echoes (default); "
        "mean averages each contrast's echoes, which biases f: "
        "the MT-weighted scan usually has fewer, earlier echoes, so it comes out "
        "brighter than its references and f 10-15 %% low; first takes each "
        "contrast's first echo (biased where the first echo times differ). R2* "
        "and its sd are written (*_R2starmap, *_R2starsd) whichever is chosen",
    )
    add_registration_options(parser)


def _add_slurm_options(parser):
    slurm = parser.add_argument_group(
        "Slurm (through dask-jobqueue; dataset and output folder on a filesystem the nodes share)"
    )
    slurm.add_argument(
        "--slurm",
        action="store_true",
        help="run each participant as a Slurm job (one participant per job at a time, "
        "on all its cores); a job that is cancelled, runs out of memory or past its "
        "walltime fails its participant with one line, the others go on",
    )
    for name, metavar, kind, text in (
        ("queue", "PARTITION", str, "partition to submit to (default: the cluster's)"),
        ("account", "ACCOUNT", str, "account to charge (default: yours)"),
        ("walltime", "HH:MM:SS", str, "time limit of each job (default 01:00:00)"),
        (
            "memory",
            "SIZE",
            str,
            "memory per job, e.g. 4GiB (default: from the largest "
            "scan's voxels, a measured participant's peak with a margin)",
        ),
        ("cores", "N", int, "cores per job: one participant's fit threads (default 4)"),
        ("max-jobs", "N", int, "most jobs at once (default 100)"),
        (
            "config",
            "FILE",
            Path,
            "YAML or JSON with these settings as keys (also "
            "job_extra_directives, job_script_prologue, interface, local_directory); "
            "the options given here win",
        ),
    ):
        slurm.add_argument(f"--slurm-{name}", type=kind, metavar=metavar, help=text)


def settings_of(options: argparse.Namespace) -> "AppOptions":
    """The BIDS App's settings, section by section, from the parsed options.

    Parameters
    ----------
    options : argparse.Namespace
        As :func:`add_parser`'s parser gives them.

    Returns
    -------
    bids.settings.AppOptions
    """
    from tavni.mt_map.bids import settings

    # Each setting is the option of its name (--slurm-<name> for Slurm's);
    # only where the two differ is the value given here.
    slurm = _section(settings.Slurm, options, prefix="slurm_") if options.slurm else None
    return settings.AppOptions(
        _section(settings.Selection, options),
        _section(settings.Reading, options),
        _section(settings.Processing, options, compute_mask=not options.no_mask),
        _section(settings.Existing, options),
        _section(settings.Execution, options, slurm=slurm),
    )


def _section(kind, options, prefix="", **given):
    """A settings section filled from the parsed options by its field names."""
    import dataclasses

    names = (field.name for field in dataclasses.fields(kind))
    return kind(**{n: given[n] if n in given else getattr(options, prefix + n) for n in names})


def run(options: argparse.Namespace) -> int:
    """Runs the BIDS App on the parsed options; returns its exit status."""
    from tavni.mt_map import bids

    app = settings_of(options)
    quiet = app.execution.quiet
    if app.selection.analysis_level == "group":
        bids.app.check_settings(app.execution, app.processing)
        rows = bids.summarise_group(app.selection)
        if not quiet:
            print(
                f"{len(rows)} participant/session rows in "
                f"{Path(app.selection.output_dir) / 'group' / 'summary.tsv'}"
            )
        return 0
    from tavni.mt_map.bids.engines import ClusterLost
    from tavni.mt_map.bids.engines.progress import table

    def on_done(outcome, done, total):
        if not quiet:
            _progress(outcome, done, total)
        _warnings(outcome)

    try:
        outcomes = bids.run_participants(app, on_done=on_done)
    except ClusterLost as error:
        # The table first, then the one line saying why the run ended.
        print(table(error.outcomes))
        raise
    print(table(outcomes))
    return 1 if any(o.state == "failed" for o in outcomes) else 0


def _progress(outcome, done, total):
    """One line on stderr per finished participant."""
    reason = f": {outcome.reason}" if outcome.state == "failed" else ""
    print(
        f"[{done}/{total}] sub-{outcome.participant} {outcome.state} "
        f"({outcome.seconds:.1f} s){reason}",
        file=sys.stderr,
        flush=True,
    )


def _warnings(outcome):
    """A finished participant's warnings on stderr, one line each."""
    for warning in outcome.warnings:
        print(f"mt-map: warning: sub-{outcome.participant}: {warning}", file=sys.stderr)
    sys.stderr.flush()
