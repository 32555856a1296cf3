"""The BIDS App: a quantitative-MRI BIDS dataset in, a BIDS derivatives
dataset of bound-pool fraction, R1, M0, MTR and MTsat maps out.

::

    mt-map bids BIDS_DIR OUTPUT_DIR participant [--participant-label 01 02 ...]
    mt-map bids BIDS_DIR OUTPUT_DIR group

From Python: :func:`~tavni.mt_map.bids.app.plan` the participants' jobs
from an :class:`~tavni.mt_map.bids.settings.AppOptions`, run one with
:func:`~tavni.mt_map.bids.participant.process_participant` (or all with
:func:`~tavni.mt_map.bids.app.run`), and summarise the group with
:func:`~tavni.mt_map.bids.group.summarise_group`; these names and the plain
data of a job (``BidsError``, ``Collection``, ``Job``, ``Outcome``) are
imported here.

The modules, from the dataset to the derivatives (each imports only those
before it): ``settings`` (the run's settings in sections), ``base``
(errors and the plain data of a job), ``naming`` (file names from the
schema and the output catalogue), reading the dataset (``fields``: the
sidecar field names; ``sidecars``: the scans read from their sidecars;
``dataset``: a session's files found with pybids; ``scales``: the
vendors' intensity scales; ``collections``: the
field maps chosen and the collections assembled), the derivatives
dataset (``derivatives``: where it may lie, its lock, its description and
files written whole; ``ownership``: what in it is the App's), ``report``
(HTML), ``commit`` (a participant's results into place,
atomically, and the recovery of interrupted commits), ``mapping`` (one
collection through the chain), ``participant`` (one participant),
``group``, ``engines`` (local processes, a Dask cluster or Slurm jobs), ``app`` (planning and
the whole run); ``phantom_dataset`` writes a dataset to try it on.
"""

from tavni.mt_map.bids.app import plan, run, run_participants
from tavni.mt_map.bids.base import BidsError, Collection, Job, Outcome
from tavni.mt_map.bids.group import summarise_group
from tavni.mt_map.bids.participant import process_participant
from tavni.mt_map.bids.phantom_dataset import write_phantom_dataset
from tavni.mt_map.bids.settings import AppOptions

__all__ = [
    "AppOptions",
    "BidsError",
    "Collection",
    "Job",
    "Outcome",
    "plan",
    "process_participant",
    "run",
    "run_participants",
    "summarise_group",
    "write_phantom_dataset",
]
