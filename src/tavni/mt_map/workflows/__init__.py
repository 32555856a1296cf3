"""The mt-map workflows on volumes: read, derive, fit, write, summarise.

This is where the command line, the BIDS App and any other front end make
maps. Each workflow checks everything it can before reading an image
(outputs that would replace an input, output directories, parameters,
geometry from the headers), writes all its outputs or none, and returns a
:class:`~tavni.mt_map.workflows.summary.Summary` of how many voxels were
solved. Every map streams its images through the computation a run of
voxels at a time within a memory budget (:mod:`tavni.mt_map.io.streaming`).

Failures raise ``protocol.ParameterError`` or ``io.volumes.VolumeError``
with one line. What a person should know goes to the ``tavni.mt_map``
logger: warnings (a parameter outside its typical range, few voxels solved
and the likely cause) at WARNING, the summary line and its notes at INFO.
The returned summary carries the warnings too.

- :func:`~tavni.mt_map.workflows.ratio.fraction_map`: the ratio path (MT
  image, reference, R1 map);
- :func:`~tavni.mt_map.workflows.chain.fraction_from_scans`: the
  three-scan chain, single- or multi-echo (each scan an
  :class:`~tavni.mt_map.workflows.echoes.Echoes`);
- :func:`~tavni.mt_map.workflows.single.r1_map`,
  :func:`~tavni.mt_map.workflows.single.semi_quantitative_map`: R1/M0,
  MTsat and MTR;
- :func:`~tavni.mt_map.workflows.ratio.fraction_of_voxel`: one voxel.

Each takes what they share in one :class:`~tavni.mt_map.workflows.options.MapOptions`
(threads, memory budget, quiet, registration, the fit's mode, the protocol
file) and its outputs as a mapping from their names in the output catalogue
(:mod:`tavni.mt_map.outputs`) to paths.

They are imported here from their modules (``ratio``, ``chain``,
``single``, ``echoes``, ``options``). What the workflows share lives beside
them: ``prologue`` (the checks before an image is read), ``align`` (every
image onto the maps' grid), ``b1_check`` (a B1 map is relative),
``fitting`` (a run as the fits take it), ``stream`` (images streamed into
the maps), ``noise`` (the uncertainty maps) and ``summary`` (the summary
and its warnings). The chain's own parts are ``scan_maps`` (the scans'
maps of a run), ``chain_runs`` (the chain on a run) and ``first_pass``
(what is read before the maps); ``demo`` is the demonstration behind
``mt-map demo``.
"""

from tavni.mt_map.workflows.chain import CHAIN_PARAMETERS, fraction_from_scans
from tavni.mt_map.workflows.echoes import Echoes
from tavni.mt_map.workflows.options import MapOptions
from tavni.mt_map.workflows.ratio import (
    FRACTION_IMAGES,
    fraction_map,
    fraction_of_voxel,
)
from tavni.mt_map.workflows.single import r1_map, semi_quantitative_map
from tavni.mt_map.workflows.summary import Summary

__all__ = [
    "CHAIN_PARAMETERS",
    "Echoes",
    "FRACTION_IMAGES",
    "MapOptions",
    "Summary",
    "fraction_from_scans",
    "fraction_map",
    "fraction_of_voxel",
    "r1_map",
    "semi_quantitative_map",
]
