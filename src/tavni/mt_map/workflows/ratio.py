"""The ratio path: the bound-pool fraction map of an MT image, its reference and an R1 map; and of one voxel."""

import numpy as np

from tavni.mt_map import protocol
from tavni.mt_map import status as statuses
from tavni.mt_map.io.volumes import in_mask
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.status import status_table
from tavni.mt_map.workflows import align
from tavni.mt_map.workflows.align import onto_grid, with_alignment
from tavni.mt_map.workflows.fitting import fit_run, fit_with, signal_ratio
from tavni.mt_map.workflows.noise import (
    BYTES_PER_VOXEL_FOR_UNCERTAINTY,
    UNCERTAINTY_OUTPUTS,
    UncertaintySample,
    check_noise_sd,
    noise_levels_of,
    with_sensitivity_paths,
)
from tavni.mt_map.workflows.options import DEFAULT_OPTIONS, MapOptions
from tavni.mt_map.workflows.prologue import only_outputs, prologue
from tavni.mt_map.workflows.stream import stream_maps
from tavni.mt_map.workflows.summary import (
    SAMPLE,
    StatusCounts,
    Summary,
    diagnose,
    log,
    warn,
)

__all__ = [
    "FRACTION_PARAMETERS",
    "FRACTION_IMAGES",
    "FRACTION_OUTPUTS",
    "FractionRuns",
    "fraction_map",
    "fraction_of_voxel",
]

FRACTION_PARAMETERS = protocol.SEQUENCE + protocol.LINESHAPE
"""The protocol keys a fraction map needs (with one of ``protocol.PULSE``
and of ``protocol.LINESHAPE``)."""


FRACTION_IMAGES = (
    ("mt", "MT image"),
    ("ref", "reference image"),
    ("r1", "R1 map"),
    ("b1", "B1 map"),
    ("mask", "mask"),
)
"""The images of a fraction map: (name, what it is), the MT image first
(its geometry is the maps')."""

FRACTION_ROLES = {"ref": align.SCAN, "r1": align.MAP, "b1": align.FIELD, "mask": align.MASK}
"""How each image of a fraction map reaches the MT image's grid."""


class FractionRuns(StatusCounts):
    """The fraction and status of runs of voxels, as ``streaming.run`` hands
    them over, counting the statuses and keeping a sample of what the fitted
    voxels measured for ``diagnose``.

    Inputs come as float32 where the image holds float32 values; the ratio
    of two of them in float32 is the float32 rounding of their ratio in
    float64, and float32 rounding is all the solver takes of S_ratio and R1,
    so the maps are those of a float64 computation to the bit.

    Parameters
    ----------
    parameters : dict of str to float
        The protocol as the model takes it (``protocol.model_values``).
    voxels : int
        Voxels of the volume, to space the sample.
    threads : int, optional
        Worker threads of the fit.
    clip, exact : bool
        As ``fit_fraction`` takes them.
    uncertainty : UncertaintySample, optional
        When the uncertainty maps are wanted.
    sigmas : dict of str to float, optional
        The noise of the "MT" and "reference" images, for those maps.
    """

    def __init__(
        self,
        parameters,
        voxels,
        threads=None,
        clip=False,
        exact=True,
        uncertainty=None,
        sigmas=None,
    ):
        self.parameters, self.threads, self.clip, self.exact = parameters, threads, clip, exact
        # An UncertaintySample when its maps are wanted, with the images' noise.
        self.uncertainty, self.sigmas = uncertainty, sigmas
        super().__init__()
        self.stride = max(1, voxels // SAMPLE)
        self.ratio_sample, self.R1_sample = [], []
        # Voxels with a reference and R1 (in the mask), and those of them
        # whose B1 is zero, negative or NaN (invalid input for that alone).
        self.b1_missing = [0, 0]

    def __call__(self, values):
        """The maps of one run.

        Parameters
        ----------
        values : dict of str to numpy.ndarray
            A run of each image by name ("mt", "ref", "r1", and "b1",
            "mask" where given).

        Returns
        -------
        dict of str to numpy.ndarray
            "fraction" and "status", and the uncertainty maps wanted.
        """
        p = self.parameters
        mt, reference, R1 = values["mt"], values["ref"], values["r1"]
        # Background of real data gives no measurement: no reference signal,
        # no positive R1 or B1, or NaN anywhere. Those voxels get NaN and the
        # invalid-input status from the solver (R1 and B1 by its domain).
        ratio = signal_ratio(mt, reference)
        f, status, derivatives = fit_run(self, p, ratio, R1, values)
        fitted = statuses.fitted(status)
        # Every stride-th fitted voxel, gathered by index (copies, which do
        # not keep the run alive, of only the voxels kept).
        sample = np.flatnonzero(fitted)[:: self.stride]
        self.ratio_sample.append(ratio.reshape(-1)[sample])
        self.R1_sample.append(R1.reshape(-1)[sample])
        if "b1" in values:
            measured = (reference > 0) & (R1 > 0)
            if "mask" in values:
                measured &= in_mask(values["mask"])
            self.b1_missing[0] += int(np.count_nonzero(measured & ~(values["b1"] > 0)))
            self.b1_missing[1] += int(np.count_nonzero(measured))
        maps_of_run = {"fraction": f, "status": status}
        if self.uncertainty is not None:
            from tavni.mt_map.uncertainty import ratio_uncertainty

            b1 = values.get("b1")
            with np.errstate(divide="ignore", invalid="ignore"):
                result = ratio_uncertainty(
                    derivatives[0],
                    mt,
                    reference,
                    np.where(R1 > 0, R1, np.nan),
                    self.sigmas["MT"],
                    self.sigmas["reference"],
                    b1=None if b1 is None else np.where(b1 > 0, b1, np.nan),
                )
            maps_of_run.update(self.uncertainty.maps(result))
        return maps_of_run


FRACTION_OUTPUTS = ("fraction", "status", "uncertainty", "sensitivity")
"""The outputs a fraction map writes, by their names in the catalogue
(``outputs.MAPS``; "sensitivity" a prefix, see ``noise.sensitivity_paths``)."""


def fraction_map(
    images: dict,
    outputs: dict,
    given: dict,
    *,
    options: MapOptions = DEFAULT_OPTIONS,
    noise_sd=None,
) -> Summary:
    """The bound-pool fraction map of one MT, reference and R1 image.

    The images are streamed: read a run of voxels at a time (whole planes of
    the slowest axis, as NIfTI stores them), fitted, and written in the same
    order, so memory stays within ``options.max_memory`` whatever the
    volume's size.

    Parameters
    ----------
    images : dict of str to path-like
        Paths under the names of ``FRACTION_IMAGES``: 'mt', 'ref', 'r1'
        (1/s) required; 'b1' (relative transmit field) and 'mask' (nonzero:
        fit) optional or None.
    outputs : dict of str to path-like
        Paths under the names of ``FRACTION_OUTPUTS``, None where not
        wanted: "fraction" (float32, NaN where not solved); "status" (uint8,
        see ``status_table``); "uncertainty", the standard deviation of f
        from the MT and reference images' noise, to first order (float32,
        NaN where not solved); "sensitivity", a prefix for prefix_R1 and
        prefix_B1 (``sensitivity_paths``): the change of f when R1 or B1 is
        1% too high (float32).
    given : dict of str to protocol.Given
        The parameters of ``FRACTION_PARAMETERS``; validated here.
    options : MapOptions
        Threads, memory budget, quiet, registration (the reference image
        registered onto the MT image; the R1 map and B1 map taken where
        their affines place them), clip and exact, the protocol file.
    noise_sd : sequence of float, optional
        Noise standard deviation of both images, or of MT and reference
        (image units); default: estimated from their backgrounds (the mask,
        if given, is the head), each image read whole once for it. The
        summary says which.

    Returns
    -------
    summary : Summary
        Voxel counts per status. Unless quiet, its line and notes go to the
        ``tavni.mt_map`` logger at INFO; warnings (also when fewer than
        half of the fitted voxels are solved) at WARNING.

    Raises
    ------
    protocol.ParameterError, volumes.VolumeError
        With one line; nothing is left written.
    """
    images = {name: images.get(name) for name, _ in FRACTION_IMAGES}
    prepared = prologue(
        images,
        FRACTION_IMAGES,
        with_sensitivity_paths(only_outputs(outputs, FRACTION_OUTPUTS, "the ratio path")),
        given=given,
        options=options,
        checks=[lambda: check_noise_sd(noise_sd, ("MT", "reference"))],
    )
    alignment = onto_grid(prepared, FRACTION_ROLES, register=options.register)
    uncertainty, sigmas, notes = _noise_of(prepared, noise_sd)
    mt = prepared.probes["mt"]
    runs = FractionRuns(
        prepared.values,
        mt.voxels,
        options.threads,
        options.clip,
        options.exact,
        uncertainty,
        sigmas,
    )
    stream_maps(
        prepared.probes,
        prepared.written,
        runs,
        max_memory=options.max_memory,
        quiet=options.quiet,
        desc="fitting",
        work_bytes=48 + BYTES_PER_VOXEL_FOR_UNCERTAINTY * (uncertainty is not None),
        arrays=prepared.arrays,
    )

    summary = runs.summary()
    summary.notes = notes + (uncertainty.note() if uncertainty is not None else [])
    with_alignment(summary, alignment)
    if not options.quiet:
        log.info(summary.line(outputs.get("fraction")))
        for note in summary.notes:
            log.info(note)
    diagnose(
        summary,
        np.concatenate(runs.ratio_sample),
        np.concatenate(runs.R1_sample),
        given,
        images,
        b1_missing=runs.b1_missing,
    )
    return summary


def _noise_of(prepared, noise_sd):
    """The uncertainty maps' sample, the MT and reference images' noise and
    the notes on it; (None, None, []) where those maps are not wanted.
    """
    written, probes = prepared.written, prepared.probes
    if not any(name in written for name in UNCERTAINTY_OUTPUTS):
        return None, None, []
    uncertainty = UncertaintySample(written, probes["mt"].voxels)
    sigmas, notes = noise_levels_of(
        written,
        probes,
        {"MT": "mt", "reference": "ref"},
        noise_sd,
        probes.get("mask"),
        True,
        arrays=prepared.arrays,
    )
    return uncertainty, sigmas, notes


def fraction_of_voxel(given, bracket=(0.0, 0.5)):
    """The fraction explaining one measured ratio.

    Parameters
    ----------
    given : dict of str to protocol.Given
        S_ratio, R1 (1/s) and the parameters of ``FRACTION_PARAMETERS``;
        validated here.
    bracket : (float, float)
        Interval searched for f, 0 <= low < high < 1.

    Returns
    -------
    float
        f, dimensionless.

    Raises
    ------
    protocol.ParameterError
        A parameter breaks its rule, or no f in bracket explains S_ratio.
    """
    from tavni.mt_map import STATUS_SOLVED, STATUS_TWO_ROOTS

    for message in protocol.validate(given):
        warn(message)
    p = protocol.model_values(given)
    low, high = bracket
    try:
        f, status = fit_with(
            p,
            p["S_ratio"],
            p["R1"],
            bracket=(low, high),
            threads=1,
            return_status=True,
        )
    except ValueError as error:
        raise ParameterError(str(error)) from None
    if status == STATUS_TWO_ROOTS:
        warn(f"a larger fraction in [{low}, {high}] explains S_ratio too; the smaller is printed")
    elif status != STATUS_SOLVED:
        meaning = next(text for code, _, text in status_table() if code == status)
        raise ParameterError(
            f"no bound-pool fraction in [{low}, {high}] explains "
            f"S_ratio = {p['S_ratio']:g}: {meaning}"
        )
    return f
