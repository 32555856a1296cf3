"""The single maps: R1 and M0 by variable flip angle, MTsat and MTR, each streamed a run of voxels at a time."""

from collections.abc import Sequence

import numpy as np

from tavni.mt_map import protocol
from tavni.mt_map import status as statuses
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.workflows import align
from tavni.mt_map.workflows.align import onto_grid, with_alignment
from tavni.mt_map.workflows.fitting import outside_mask_nan, prepared
from tavni.mt_map.workflows.options import DEFAULT_OPTIONS, MapOptions
from tavni.mt_map.workflows.prologue import check_threads, only_outputs, prologue
from tavni.mt_map.workflows.scan_maps import (
    CHAIN_ROLES,
    SCAN_IMAGES,
    mtsat_of,
    r1_and_reference,
)
from tavni.mt_map.workflows.stream import stream_maps
from tavni.mt_map.workflows.summary import StatusCounts, Summary, log

__all__ = [
    "R1Runs",
    "R1_OUTPUTS",
    "r1_map",
    "SemiQuantitativeRuns",
    "semi_quantitative_map",
]


class R1Runs(StatusCounts):
    """R1, M0 and the status of their fit on runs of voxels, as
    ``streaming.run`` hands them over; counts the statuses.

    Parameters
    ----------
    scans : sequence of str
        The scans' names in a run's values.
    flip_angles : sequence of float
        Their nominal flip angles, radians.
    TRs : sequence of float
        Their repetition times, s.
    threads : int, optional
        Worker threads of the fit.
    """

    def __init__(self, scans, flip_angles, TRs, threads=None):
        super().__init__(statuses.R1)
        self.scans, self.flip_angles, self.TRs, self.threads = scans, flip_angles, TRs, threads

    def __call__(self, values):
        """The maps of one run.

        Parameters
        ----------
        values : dict of str to numpy.ndarray
            A run of each scan by name, and "b1", "mask" where given.

        Returns
        -------
        dict of str to numpy.ndarray
            "r1" (1/s), "m0" and "status".
        """
        from tavni.mt_map import fit_r1

        data = prepared(dict(values))
        R1, M0, status = fit_r1(
            [data[name] for name in self.scans],
            self.flip_angles,
            self.TRs,
            b1=data.get("b1"),
            mask=data.get("mask"),
            threads=self.threads,
            return_status=True,
        )
        self.count(status)
        return {"r1": R1, "m0": M0, "status": status}


R1_OUTPUTS = ("r1", "m0", "status")
"""The maps ``r1_map`` writes, by their names in the catalogue."""


def r1_map(
    scans: Sequence,
    flip_angles_deg: Sequence,
    TRs: Sequence,
    outputs: dict,
    *,
    b1=None,
    mask=None,
    options: MapOptions = DEFAULT_OPTIONS,
) -> Summary:
    """R1 (1/s) and M0 from SPGR scans of two or more flip angles.

    Parameters
    ----------
    scans : sequence of path-like
        Two or more scans; the maps take the first one's grid, the others
        are registered onto it (``options.register``) and resampled.
    flip_angles_deg, TRs : sequence of float
        Each scan's nominal flip angle (degrees) and TR (s). Scans of
        differing TR: exactly two.
    outputs : dict
        Paths under the names of ``R1_OUTPUTS``: "r1" (required), "m0",
        "status".
    b1, mask : path-like, optional
        As for ``fraction_from_scans``: the scans are streamed through the
        fit a run of voxels at a time.
    options : MapOptions
        Threads, memory budget, quiet, registration (the other scans onto
        the first).

    Returns
    -------
    Summary
        Counts per status of the R1 fit, and the parameters' warnings.
        Unless quiet, its line goes to the ``tavni.mt_map`` logger at INFO.

    Raises
    ------
    protocol.ParameterError, volumes.VolumeError
        Before anything is written, with one line.
    """
    check_threads(options.threads)
    if len(scans) < 2 or not len(scans) == len(flip_angles_deg) == len(TRs):
        raise ParameterError(
            f"give two or more scans with a flip angle and a TR each "
            f"(got {len(scans)} scans, {len(flip_angles_deg)} flip angles, "
            f"{len(TRs)} TRs)"
        )
    # Given (from the command line, named by its options) or plain numbers.
    flip_angles_deg = [protocol.as_one_given(angle, "flip_angles_deg") for angle in flip_angles_deg]
    TRs = [protocol.as_one_given(TR, "TRs") for TR in TRs]
    if len(scans) > 2 and len({TR.value for TR in TRs}) > 1:
        raise ParameterError("scans of differing TRs: give exactly two")
    if outputs.get("r1") is None:
        raise ParameterError("an output path for the R1 map is needed")
    table = tuple((f"scan {i + 1}", f"scan {i + 1}") for i in range(len(scans)))
    table += (("b1", "B1 map"), ("mask", "mask"))
    images = dict(zip((name for name, _ in table), (*scans, b1, mask)))
    prepared = prologue(
        images,
        table,
        only_outputs(outputs, R1_OUTPUTS, "the R1 map"),
        given=[{"flip_angle_deg": angle, "TR": TR} for angle, TR in zip(flip_angles_deg, TRs)],
        options=options,
    )
    written, probes, warnings = prepared.written, prepared.probes, prepared.warnings
    roles = {name: align.SCAN for name, _ in table[1 : len(scans)]}
    alignment = onto_grid(
        prepared,
        {**roles, "b1": align.FIELD, "mask": align.MASK},
        register=options.register,
    )
    if "status" in written:
        written["status"].descrip = "status of the R1 fit per voxel"
    flip_angles_deg = [angle.value for angle in flip_angles_deg]
    TRs = [TR.value for TR in TRs]
    runs = R1Runs(
        [name for name, _ in table[: len(scans)]],
        [np.radians(a) for a in flip_angles_deg],
        TRs,
        options.threads,
    )
    # R1 and M0 in double and the fit's status, one per voxel.
    stream_maps(
        probes,
        written,
        runs,
        max_memory=options.max_memory,
        work_bytes=8 * 4,
        arrays=prepared.arrays,
    )
    summary = runs.summary()
    summary.warnings += warnings
    with_alignment(summary, alignment)
    if not options.quiet:
        log.info(summary.line(outputs["r1"]))
        for note in summary.notes:
            log.info(note)
    return summary


class SemiQuantitativeRuns:
    """MTsat or MTR (``semi_quantitative_map``) on runs of voxels, as
    ``streaming.run`` hands them over.

    Parameters
    ----------
    kind : {"mtsat", "mtr"}
        The map.
    values : dict of str to float
        The protocol as the model takes it (angles in radians, TRs in s).
    b1_correction : float or None
        MTsat's empirical correction constant.
    threads : int, optional
        Worker threads.
    """

    def __init__(self, kind, values, b1_correction, threads=None):
        self.kind, self.values = kind, values
        self.b1_correction, self.threads = b1_correction, threads

    def __call__(self, values):
        """The map of one run.

        Parameters
        ----------
        values : dict of str to numpy.ndarray
            A run of each image by name ("mtw", and "pdw", "t1w", "ref",
            "b1", "mask" where given).

        Returns
        -------
        dict of str to numpy.ndarray
            The map under ``kind``.
        """
        from tavni.mt_map import mtr

        data = prepared(dict(values))
        if self.kind == "mtsat":
            result = mtsat_of(data, self.values, self.b1_correction, self.threads)
        else:
            reference = (
                data["ref"]
                if "ref" in data
                else r1_and_reference(data, self.values, self.threads)[3]
            )
            result = outside_mask_nan(mtr(data["mtw"], reference), data)
        return {self.kind: result}


def semi_quantitative_map(
    kind: str,
    mtw,
    parameters: dict,
    outputs: dict,
    *,
    pdw=None,
    t1w=None,
    ref=None,
    b1=None,
    mask=None,
    b1_correction: float | None = None,
    options: MapOptions = DEFAULT_OPTIONS,
) -> None:
    """MTsat or MTR of the MT-weighted scan, streamed a run of voxels at a time.

    Parameters
    ----------
    kind : {"mtsat", "mtr"}
        MTsat (percent units, Helms et al. 2008) from the three scans; or
        MTR (percent) against a measured reference image ``ref`` or, with
        ``pdw`` and ``t1w``, against the synthetic reference.
    mtw : path-like
        MT-weighted scan.
    parameters : dict
        As for ``fraction_from_scans``: the scans' flip angles and TRs
        (none for MTR against a measured reference).
    outputs : dict
        The map to write (float32), under its name in the catalogue:
        ``{kind: path}``.
    pdw, t1w, ref, b1, mask : path-like, optional
    b1_correction : float, optional
        MTsat only: the empirical correction constant (0.4 in Weiskopf et
        al. 2013); needs ``b1``.
    options : MapOptions
        Threads, memory budget, registration, the protocol file; what the
        registration and the resampling did goes to the ``tavni.mt_map``
        logger (INFO).

    Raises
    ------
    protocol.ParameterError, volumes.VolumeError
        Before anything is written, with one line.
    """
    check_threads(options.threads)
    measured = kind == "mtr" and ref is not None
    if not measured and (pdw is None or t1w is None):
        raise ParameterError(
            f"{kind} needs the PD- and T1-weighted scans"
            + (" (or a measured reference image)" if kind == "mtr" else "")
        )
    if kind == "mtr" and ref is not None and (pdw is not None or t1w is not None):
        raise ParameterError("MTR against a measured reference or a synthetic one, not both")
    if b1_correction is not None and b1 is None:
        raise ParameterError("the empirical B1 correction of MTsat needs a B1 map")
    given = () if measured else protocol.as_given(parameters, protocol.SCAN_KEYS)
    images = {"mtw": mtw, "pdw": pdw, "t1w": t1w, "ref": ref, "b1": b1, "mask": mask}
    prepared = prologue(
        images,
        SCAN_IMAGES,
        only_outputs(outputs, (kind,), f"the {kind} map"),
        given=given,
        options=options,
    )
    written, probes, values = prepared.written, prepared.probes, prepared.values
    alignment = onto_grid(prepared, CHAIN_ROLES, register=options.register)
    # R1, M0, their status, the reference and the map, in double.
    stream_maps(
        probes,
        written,
        SemiQuantitativeRuns(kind, values, b1_correction, options.threads),
        max_memory=options.max_memory,
        work_bytes=8 * 6,
        arrays=prepared.arrays,
    )
    for note in alignment.notes:
        log.info(note)
