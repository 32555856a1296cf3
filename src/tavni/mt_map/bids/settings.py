"""A run of the BIDS App as settings in sections: each step takes its own.

The command line fills one :class:`AppOptions`; planning reads the dataset
with its :class:`Reading` section, each participant's maps are made with its
:class:`Processing` section, what to do with earlier results follows its
:class:`Existing` section, and the engines run the participants as its
:class:`Execution` section says. Plain data, light to import (no NumPy), so
that a job travels to another process or a cluster worker.
"""

from dataclasses import dataclass, field
from pathlib import Path

from tavni.mt_map.defaults import DASK_TIMEOUT, ECHO_COMBINATION, FAIL_BELOW

__all__ = ["AppOptions", "Execution", "Existing", "Processing", "Reading", "Selection", "Slurm"]


@dataclass
class Selection:
    """Which dataset, where its derivatives go, and what of it to run.

    Attributes
    ----------
    bids_dir, output_dir : path-like
        The BIDS dataset (read only) and the derivatives dataset to write.
    analysis_level : {"participant", "group"}
    participant_label, session_label : list of str, optional
        Participants and sessions to process (without ``sub-``/``ses-``);
        default all.
    """

    bids_dir: Path
    output_dir: Path
    analysis_level: str = "participant"
    participant_label: list | None = None
    session_label: list | None = None


@dataclass
class Reading:
    """How the dataset's scans, sidecars and derivatives are read.

    Attributes
    ----------
    bids_dir : path-like
        The BIDS dataset.
    assume_ms : bool
        Read sidecar times too large to be seconds as milliseconds.
    mask_dir : path-like, optional
        Derivatives folder with a brain mask per participant.
    b1_dir : path-like, optional
        Derivatives folder with a B1 map (``*_TB1map``, its sidecar's
        ``Units``) per participant, used before the raw dataset's.
    protocol : path-like, optional
        Protocol file completing or overriding the sidecars.
    param : list of str, optional
        ``KEY=VALUE`` parameters overriding sidecars and ``protocol``.
    """

    bids_dir: Path
    assume_ms: bool = False
    mask_dir: Path | None = None
    b1_dir: Path | None = None
    protocol: Path | None = None
    param: list | None = None


@dataclass
class Processing:
    """How each participant's maps are made.

    Attributes
    ----------
    register : bool
        Register the PD- and T1-weighted scans onto the MT-weighted one.
    compute_mask : bool
        Whether a collection without a given mask gets a brain mask computed
        from its MT-weighted scan (else every voxel is fitted).
    fail_below : float
        A participant with a collection whose share of fitted voxels solved
        is below this fails, its maps kept.
    echo_combination : {"te0", "mean", "first"}
        How the echoes of multi-echo scans become one image per contrast.
    """

    register: bool = True
    compute_mask: bool = True
    fail_below: float = FAIL_BELOW
    echo_combination: str = ECHO_COMBINATION


@dataclass
class Existing:
    """What to do with a participant that has outputs already.

    Attributes
    ----------
    skip_existing, overwrite : bool
        Leave it as it is, or replace it; with neither, it fails.
    """

    skip_existing: bool = False
    overwrite: bool = False


@dataclass
class Slurm:
    """How participants run as Slurm jobs (None: from ``config`` or the
    engine's defaults).

    Attributes
    ----------
    queue, account, walltime, memory : str, optional
    cores, max_jobs : int, optional
    config : path-like, optional
        A file with the same settings.
    """

    queue: str | None = None
    account: str | None = None
    walltime: str | None = None
    memory: str | None = None
    cores: int | None = None
    max_jobs: int | None = None
    config: Path | None = None


@dataclass
class Execution:
    """Where and how the participants run.

    Attributes
    ----------
    jobs : int
        Participants processed at once on this machine.
    dask_scheduler : str, optional
        Address of a Dask distributed scheduler to run participants on.
    dask_timeout : float
        Seconds to wait there while no worker is alive.
    slurm : Slurm, optional
        Run participants as Slurm jobs through a Dask cluster of the App's own.
    quiet : bool
        No progress lines.
    """

    jobs: int = 1
    dask_scheduler: str | None = None
    dask_timeout: float = DASK_TIMEOUT
    slurm: Slurm | None = None
    quiet: bool = False


@dataclass
class AppOptions:
    """What a run of the BIDS App is asked to do, section by section.

    Attributes
    ----------
    selection : Selection
    reading : Reading
    processing : Processing
    existing : Existing
    execution : Execution
    """

    selection: Selection
    reading: Reading
    processing: Processing = field(default_factory=Processing)
    existing: Existing = field(default_factory=Existing)
    execution: Execution = field(default_factory=Execution)
