"""What the BIDS App's modules share: its errors and the plain data that travels with one participant's task (to another process or a cluster worker)."""

from dataclasses import dataclass, field

from tavni.mt_map.bids.settings import Existing, Processing

__all__ = [
    "APP_NAME",
    "BidsError",
    "Collection",
    "Job",
    "Outcome",
    "one_line",
]

APP_NAME = "tavni-mt-map"
"""The name the derivatives give their generator."""


class BidsError(Exception):
    """A dataset, sidecar or option the BIDS App cannot use; the message
    says which file and field, and how to fix it.
    """


@dataclass
class Collection:
    """One set of scans mapped together: what the chain needs, and where
    each piece came from.

    Attributes
    ----------
    session : str or None
        The session label, without ``ses-``.
    entities : dict
        ``acquisition`` and ``run`` of the outputs (None where absent).
    pdw, t1w, mtw : str
        Paths of the PD-, T1- and MT-weighted scans.
    parameters : dict of str to protocol.Given
        The chain's parameters, each naming its sidecar field or option.
    sources : list of str
        BIDS URIs of the input files.
    b1, b0, mask : str or None
        Paths of the transmit field map, the B0 field map and the brain
        mask, where there are some.
    b1_units, b0_units : str or None
        Their sidecars' ``Units``.
    b1_kind : str or None
        Where the transmit field comes from: "TB1map", "TB1TFL", "TB1AFI",
        "TB1DAM" (the raw dataset's fmap/) or "derivative" (``--b1-dir``).
    b1_files : list of str
        The images it is computed from (b1 is the first).
    b1_settings : dict
        What the computation needs from the sidecars: ``units``,
        ``nominal_deg`` (deg), ``alpha1_deg`` (deg), ``tr1``, ``tr2`` (s).
    b1_source : str or None
        The source in words, for the sidecars and the report.
    scales : dict of str to float
        Each scan's intensity factor ("pdw", "t1w", "mtw").
    scale_notes : dict of str to str
        The scale each scan is put on, in words.
    echoes : dict
        For multi-echo scans, role ("pdw", "t1w", "mtw") to ``{"images":
        [paths], "echo_times": [s]}`` in echo order (``pdw``, ``t1w`` and
        ``mtw`` are then the first echoes); empty for single-echo scans.
    warnings : list of str
        What reading the dataset found worth saying.
    """

    session: str | None
    entities: dict  # acquisition, run of the outputs
    pdw: str
    t1w: str
    mtw: str
    parameters: dict  # chain's parameter key -> protocol.Given
    sources: list  # BIDS URIs of the input files
    b1: str | None = None
    b1_units: str | None = None
    b0: str | None = None
    b0_units: str | None = None
    mask: str | None = None
    warnings: list = field(default_factory=list)
    b1_kind: str | None = None
    b1_files: list = field(default_factory=list)
    b1_settings: dict = field(default_factory=dict)
    b1_source: str | None = None
    scales: dict = field(default_factory=dict)  # "pdw", "t1w", "mtw" -> factor
    scale_notes: dict = field(default_factory=dict)
    echoes: dict = field(default_factory=dict)  # role -> images, echo_times


@dataclass
class Job:
    """Everything one participant's task needs; plain data, so that it
    travels to another process or a cluster worker.

    Attributes
    ----------
    participant : str
        The label, without ``sub-``.
    output_dir : str
        The derivatives dataset.
    collections : list of Collection
    generated_by : dict
        The ``GeneratedBy`` entry of the sidecars.
    processing : Processing
        How its maps are made.
    existing : Existing
        What to do when the participant has outputs already.
    threads : int or None
        Worker threads of the fits; set by the engine.
    error : str or None
        Why the participant cannot be run, found while planning.
    work : str or None
        The work folder the run made for the participant, inside the
        derivatives dataset: each attempt maps into a new folder in it, and
        only the run that holds the output folder's lock commits one. None:
        the process that runs the participant commits it itself.
    """

    participant: str
    output_dir: str
    collections: list
    generated_by: dict
    processing: Processing = field(default_factory=Processing)
    existing: Existing = field(default_factory=Existing)
    threads: int | None = None
    error: str | None = None  # found while planning: nothing to run
    work: str | None = None


@dataclass
class Outcome:
    """How one participant ended.

    Attributes
    ----------
    participant : str
        The label, without ``sub-``.
    state : {"done", "skipped", "failed"}
    reason : str
        Why, for "skipped" and "failed": one line.
    seconds : float
        Time taken, s.
    warnings : list of str
    solved : float or None
        The smallest share of fitted voxels solved among its collections,
        where its maps were made.
    work : str or None
        The finished attempt, inside the job's work folder, for the run to
        commit (``participant.commit_participant``); None once committed or
        when there is nothing to commit.
    """

    participant: str
    state: str
    reason: str = ""
    seconds: float = 0.0
    warnings: list = field(default_factory=list)
    solved: float | None = None
    work: str | None = None


def one_line(error):
    """An exception as one line: its message's first line, else its type's name.

    Parameters
    ----------
    error : BaseException

    Returns
    -------
    str
    """
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
