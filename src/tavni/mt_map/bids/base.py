"""What the BIDS App's modules share: its errors and the plain data that travels with one participant's task (to another process or a cluster worker)."""

from dataclasses import dataclass, field

APP_NAME = "tavni-mt-map"


class BidsError(Exception):
    """A dataset, sidecar or option the BIDS App cannot use; the message
    says which file and field, and how to fix it.
    """


@dataclass
class Collection:
    """One set of scans mapped together: what the chain needs, and where
    each piece came from.
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


@dataclass
class Job:
    """Everything one participant's task needs; plain data, so that it
    travels to another process or a cluster worker.
    """

    participant: str
    output_dir: str
    collections: list
    generated_by: dict
    overwrite: bool = False
    skip_existing: bool = False
    threads: int | None = None
    error: str | None = None  # found while planning: nothing to run


@dataclass
class Outcome:
    """How one participant ended: 'done', 'skipped' or 'failed'."""

    participant: str
    state: str
    reason: str = ""
    seconds: float = 0.0
    warnings: list = field(default_factory=list)


def one_line(error):
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
