"""mt-map bids: the BIDS App on the command line."""

import sys
from pathlib import Path

from tavni.mt_map.cli.options import add_registration_options, share
from tavni.mt_map.protocol import ECHO_COMBINATIONS

__all__ = ["add_parser", "run"]


def add_parser(commands):
    """The ``bids`` subcommand, on the subparsers of ``mt-map``."""
    parser = commands.add_parser(
        "bids",
        help="BIDS App: maps for every participant of a qMRI-BIDS dataset",
        description="Maps the bound-pool fraction, R1, M0, MTR and MTsat of each "
        "participant of a BIDS dataset (MTS, MPM or VFA + MT-on collections; "
        "multi-echo readouts with R2*) into a "
        "BIDS derivatives dataset with sidecars and an HTML report "
        "(participant level), or summarises them (group level).",
    )
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
        default=300.0,
        metavar="SECONDS",
        help="with --dask-scheduler: give up when no worker has been alive "
        "for this long, at the start or while participants run; "
        "participants not finished then are failed (default 300)",
    )
    _add_slurm_options(parser)
    again = parser.add_mutually_exclusive_group()
    again.add_argument(
        "--skip-existing",
        action="store_true",
        help="leave participants that already have outputs alone",
    )
    again.add_argument(
        "--overwrite", action="store_true", help="redo participants that already have outputs"
    )
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
    parser.add_argument(
        "--fail-below",
        type=share,
        default=0.5,
        metavar="SHARE",
        help="a participant with less than this share of its fitted voxels "
        "(not masked, valid input) solved fails: exit status 1, its line "
        "says why, its maps stay in place and --skip-existing redoes it "
        "(default 0.5; 0 turns it off)",
    )
    parser.add_argument(
        "--echo-combination",
        choices=ECHO_COMBINATIONS,
        default=ECHO_COMBINATIONS[0],
        help="multi-echo scans (_MPM, or echo- images under _MTS): te0 extrapolates "
        "each contrast to TE = 0 with one R2* fitted over all echoes (default); "
        "mean averages each contrast's echoes, which biases f: "
        "the MT-weighted scan usually has fewer, earlier echoes, so it comes out "
        "brighter than its references and f 10-15 %% low; first takes each "
        "contrast's first echo (biased where the first echo times differ). R2* "
        "and its sd are written (*_R2starmap, *_R2starsd) whichever is chosen",
    )
    add_registration_options(parser)
    parser.add_argument("--quiet", action="store_true", help="no progress lines (warnings still)")
    # Participants run side by side: the maps' messages go into their
    # sidecars and reports as they arise, not onto the terminal, where they
    # would interleave; each participant's warnings are printed together
    # once it has finished, and the App's own warnings (a repaired
    # participant, a lost scheduler) as they come.
    parser.set_defaults(run=run, messages="tavni.mt_map.bids")
    return parser


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


def run(options):
    """Runs the BIDS App on the parsed options; returns its exit status."""
    import dataclasses

    from tavni.mt_map import bids

    fields = [f.name for f in dataclasses.fields(bids.AppOptions)]
    app = bids.AppOptions(**{name: getattr(options, name) for name in fields})
    if app.analysis_level == "group":
        bids.app.check_jobs(app)
        rows = bids.summarise_group(app)
        if not app.quiet:
            print(
                f"{len(rows)} participant/session rows in {Path(app.output_dir) / 'group' / 'summary.tsv'}"
            )
        return 0
    from tavni.mt_map.bids.engines import ClusterLost
    from tavni.mt_map.bids.engines.progress import table

    def on_done(outcome, done, total):
        if not app.quiet:
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
