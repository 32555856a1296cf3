"""The three-scan chain: PD-, T1- and MT-weighted SPGR scans to R1, M0, the synthetic reference, MTR, MTsat and the fraction."""

import numpy as np

from tavni.mt_map import protocol
from tavni.mt_map.io.volumes import in_mask
from tavni.mt_map.maps import lineshape_at_offsets, lineshape_grid
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.workflows import align
from tavni.mt_map.workflows.common import (
    B1Sample,
    add_warning,
    check_threads,
    fit_run,
    onto_grid,
    outside_mask_nan,
    prepared,
    prologue,
    signal_ratio,
    stream_maps,
    with_alignment,
)
from tavni.mt_map.workflows.echoes import (
    ECHO_OUTPUTS,
    EchoRuns,
    echo_names,
    expand,
    noise_factor,
    split_4d,
)
from tavni.mt_map.workflows.noise import (
    BYTES_PER_VOXEL_FOR_UNCERTAINTY,
    UNCERTAINTY_OUTPUTS,
    StreamedImages,
    UncertaintySample,
    check_noise_sd,
    noise_images,
    noise_levels_of,
    with_sensitivity_paths,
)
from tavni.mt_map.workflows.summary import (
    SAMPLE,
    SOLVED_SHARE_WARNING,
    StatusCounts,
    log,
)

__all__ = [
    "SCAN_IMAGES",
    "CHAIN_ROLES",
    "CHAIN_PARAMETERS",
    "SCAN_PARAMETERS",
    "BYTES_PER_VOXEL_OF_THE_CHAIN",
    "r1_and_reference",
    "mtsat_of",
    "fraction_from_scans",
    "ChainRuns",
]

SCAN_IMAGES = (
    ("mtw", "MT-weighted scan"),
    ("pdw", "PD-weighted scan"),
    ("t1w", "T1-weighted scan"),
    ("ref", "reference image"),
    ("b1", "B1 map"),
    ("b0", "B0 map"),
    ("mask", "mask"),
)
"""The images of the chain: (name, what it is), the MT-weighted scan first
(its geometry is the maps')."""

CHAIN_ROLES = {
    "pdw": align.SCAN,
    "t1w": align.SCAN,
    "ref": align.SCAN,
    "b1": align.FIELD,
    "b0": align.FIELD,
    "mask": align.MASK,
}
"""How each image of the chain reaches the MT-weighted scan's grid."""


SCAN_LABELS = {"pdw": "PDw", "t1w": "T1w", "mtw": "MTw"}
"""The scans' short names in messages and records."""

CHAIN_PARAMETERS = protocol.SCANS + protocol.SEQUENCE + protocol.LINESHAPE
"""What the chain needs from the protocol (with one of
``protocol.LINESHAPE`` and of ``protocol.PULSE``)."""


SCAN_PARAMETERS = protocol.SCANS + ("flip_angle_deg", "TR")
"""The scans alone (MTsat, the synthetic reference): their angles and TRs."""


# R1, M0, the reference, the ratio, the fraction, MTR, MTsat, offsets and G,
# and slack.
BYTES_PER_VOXEL_OF_THE_CHAIN = 8 * 11
"""Bytes of the float64 arrays alive at once per voxel of a run besides the
inputs."""


def r1_and_reference(data, values, threads):
    """R1 and M0 of a run, and the MT-weighted scan's synthetic reference.

    Parameters
    ----------
    data : dict of str to numpy.ndarray
        A run of each image by name (``prepared``): "pdw", "t1w", and "b1",
        "mask" where given.
    values : dict of str to float
        The protocol as the model takes it: ``pdw_flip_angle``,
        ``t1w_flip_angle``, ``flip_angle`` (radians), ``pdw_TR``,
        ``t1w_TR``, ``TR`` (s).
    threads : int or None
        Worker threads.

    Returns
    -------
    R1 : numpy.ndarray
        1/s, from the PD- and T1-weighted scans (variable flip angle).
    M0 : numpy.ndarray
        Signal units.
    status : numpy.ndarray of uint8
        Of the R1 fit (``status.R1``).
    reference : numpy.ndarray
        The MT-weighted scan's signal without saturation, from M0 and R1.
    """
    from tavni.mt_map import fit_r1, synthetic_reference

    b1 = data.get("b1")
    R1, M0, status = fit_r1(
        [data["pdw"], data["t1w"]],
        [values["pdw_flip_angle"], values["t1w_flip_angle"]],
        [values["pdw_TR"], values["t1w_TR"]],
        b1=b1,
        mask=data.get("mask"),
        threads=threads,
        return_status=True,
    )
    reference = synthetic_reference(
        M0, R1, values["flip_angle"], values["TR"], b1=b1, threads=threads
    )
    return R1, M0, status, reference


def mtsat_of(data, values, b1_correction, threads):
    """MTsat of a run (``relaxometry.mtsat``), NaN outside the mask.

    Parameters
    ----------
    data : dict of str to numpy.ndarray
        A run of each image by name (``prepared``): "pdw", "t1w", "mtw",
        and "b1", "mask" where given.
    values : dict of str to float
        The protocol as the model takes it (angles in radians, TRs in s).
    b1_correction : float or None
        The empirical correction's constant; needs "b1".
    threads : int or None
        Worker threads.

    Returns
    -------
    numpy.ndarray
        MTsat, percent units.
    """
    from tavni.mt_map import mtsat

    saturation = mtsat(
        data["pdw"],
        data["t1w"],
        data["mtw"],
        values["pdw_flip_angle"],
        values["t1w_flip_angle"],
        values["flip_angle"],
        values["pdw_TR"],
        values["t1w_TR"],
        values["TR"],
        b1=data.get("b1"),
        b1_correction=b1_correction,
        threads=threads,
    )
    return outside_mask_nan(saturation, data)


def fraction_from_scans(
    pdw,
    t1w,
    mtw,
    parameters,
    outputs,
    *,
    b1=None,
    b0=None,
    mask=None,
    threads=None,
    clip=False,
    exact=True,
    max_memory=None,
    quiet=False,
    fail_below=None,
    protocol_path=None,
    allow_affine_mismatch=False,
    noise_sd=None,
    noise_required=True,
    register=True,
    scales=None,
    echo_combination="te0",
    observe=None,
):
    """The bound-pool fraction, and on request R1, M0, MTR and MTsat, from
    three SPGR scans, single- or multi-echo.

    Every map is written or none, the scans streamed through the chain a run
    of voxels at a time within a memory budget. One pass before reads what
    must be known first: a B1 map on the scans' grid for its median, a B0
    map and the mask for the range of the offsets, and the scans whose
    noise levels are estimated (kept for the maps' pass, not read again).

    R1 and M0 come from the PD- and T1-weighted scans (variable flip angle);
    the MT-weighted scan's reference is the SPGR signal that M0 and R1 give
    at its own flip angle and TR (a synthetic reference); their ratio and
    the same R1 go to the fraction fit. A transmit field scales every flip
    angle and the saturation amplitude; a B0 map shifts the saturation
    offset voxel by voxel (delta_omega + B0), the lineshape G computed at
    the shifted offset.

    Parameters
    ----------
    pdw, t1w, mtw : path-like or echoes.Echoes
        PD-, T1- and MT-weighted scans (NIfTI or .npy), each one image or,
        for multi-echo scans, all three an ``Echoes`` (its images and echo
        times). The maps take the MT-weighted scan's grid; every other
        image is brought onto it through its affine (``workflows.align``),
        the echoes of a scan with the motion of its first echo.
    parameters : dict
        Protocol keys (see ``protocol.PARAMETERS``) to numbers in their
        units (or ``protocol.Given``): ``pdw_flip_angle_deg``, ``pdw_TR``,
        ``t1w_flip_angle_deg``, ``t1w_TR``, the MT-weighted scan's
        ``flip_angle_deg`` and ``TR``, ``delta_omega``, ``duration``,
        ``T2_free``, ``T2b`` or ``G``, and ``omega_1_rms`` or the MT pulse
        (``mt_flip_angle_deg``, ``mt_pulse_shape``, ``mt_bandwidth``,
        ``mt_pulses``). Validated here.
    outputs : dict
        Map name to path: "fraction" (required), "status", "r1" (1/s),
        "m0", "mtr" (percent), "mtsat" (percent units), "uncertainty" (sd
        of f from the three scans' noise, first order), "sensitivity_r1",
        "sensitivity_b1" (the change of f when R1 or B1 is 1% too high), or
        "sensitivity" (a prefix for both; see ``sensitivity_paths``); for
        multi-echo scans "r2star" (1/s), "r2star_sd" (its sd from the fit's
        residuals) and "echo_status" (``status.ECHOES``).
    b1, b0, mask : path-like, optional
        Relative transmit field; off-resonance in Hz (needs ``T2b``);
        voxels to fit (nonzero).
    threads : int, optional
        Worker threads, 1 to ``MAX_THREADS``; default all cores.
    clip, exact, max_memory, quiet
        As for ``fraction_map``.
    fail_below : float, optional
        A share of the fitted voxels; fewer solved adds a warning.
    protocol_path : path-like, optional
        The protocol file the parameters came from, never to be overwritten.
    allow_affine_mismatch : bool
        Deprecated, no effect.
    noise_sd : sequence of float, optional
        Noise standard deviation of all scans, or of the PD-, T1- and
        MT-weighted ones (image units; of one echo), for "uncertainty";
        default: estimated from each scan's background (outside the mask
        if given; of the first echo), the scans not held on the grid read
        once for it as float32 in the pass before the maps' (kept for it).
    noise_required : bool
        Without noise_sd and a background to estimate it from, refuse the
        map (ParameterError, before anything is written); False writes the
        "uncertainty" map as NaN instead and says so in the summary's notes.
    register : bool
        Register the PD- and T1-weighted scans onto the MT-weighted one
        (rigid head motion between the scans); the motion found is in the
        summary's ``motion`` and notes.
    scales : dict of str to float, optional
        Factors that put the scans on one intensity scale ("pdw", "t1w",
        "mtw"; vendor scale fields); 1 where not named.
    echo_combination : str
        How the echoes of multi-echo scans become one image each
        (``echoes.COMBINATIONS``): "te0" (default) extrapolates every scan
        to TE = 0 with one R2*; "mean" and "first" are biased where the
        scans' echo times differ (see ``workflows.echoes``).
    observe : callable, optional
        ``observe(start, values, maps)`` after each run of voxels, in the
        order of the volume: ``start`` the run's first voxel (an index into
        the volume's voxels in Fortran order, the NIfTI file's order),
        ``values`` the run of every image by name as read (the MT-weighted
        scan's first echo under "mtw"), ``maps`` the run of every map
        written by name. The sd map ("uncertainty") waits for the noise
        levels estimated meanwhile: a run of it made later comes in a call
        of its own, ``observe(start, {}, {"uncertainty": run})``, in order.
        For statistics and pictures made in the same pass (the BIDS App's
        report); it must not change the arrays.

    Returns
    -------
    Summary
        Voxel counts per status of the fraction fit, the share solved, the
        notes and the warnings; for multi-echo scans ``echoes`` records
        the combination, the echo times and the echo fit's status counts. The warnings also go to the
        ``tavni.mt_map`` logger at WARNING as they arise; unless quiet, the
        summary line and the notes at INFO.

    Raises
    ------
    protocol.ParameterError, volumes.VolumeError
        Before anything is written, with one line.
    """
    check_threads(threads)
    if outputs.get("fraction") is None:
        raise ParameterError("the chain needs a path for the fraction map")
    given = protocol.as_given(parameters, CHAIN_PARAMETERS)
    if b0 is not None and "T2b" not in given:
        raise ParameterError(
            "a B0 map needs T2b, not G: the lineshape is computed at each voxel's shifted offset"
        )
    images, table, times = expand({"mtw": mtw, "pdw": pdw, "t1w": t1w}, SCAN_IMAGES, SCAN_LABELS)
    images.update(b1=b1, b0=b0, mask=mask)
    echo_runs = None
    if times is not None:
        wanted = [name for name, path in outputs.items() if path is not None]
        echo_runs = EchoRuns(times, echo_combination, wanted, threads)
    elif any(outputs.get(name) is not None for name in ECHO_OUTPUTS):
        raise ParameterError("the R2* maps need multi-echo scans (their echo times)")
    prepared = prologue(
        images,
        table,
        with_sensitivity_paths(outputs),
        given=given,
        threads=threads,
        max_memory=max_memory,
        protocol_path=protocol_path,
        allow_affine_mismatch=allow_affine_mismatch,
        checks=[lambda: check_noise_sd(noise_sd, ("PDw", "T1w", "MTw"))],
    )
    written, probes, values, warnings = (
        prepared.written,
        prepared.probes,
        prepared.values,
        prepared.warnings,
    )
    roles, follows, echoes_read = dict(CHAIN_ROLES), {}, {}
    if times is not None:
        echoes_read = split_4d(probes, times)
        for name, TE in times.items():
            for echo in echo_names(name, TE.size)[1:]:
                roles[echo], follows[echo] = align.SCAN, name
                if scales and name in scales:
                    scales = {**scales, echo: scales[name]}
    # A B1 map on the scans' grid is checked in the pass below, with the
    # other images read before the maps, not in a pass of its own.
    b1_on_grid = "b1" in probes and tuple(probes["b1"].shape) == tuple(probes["mtw"].shape)
    alignment = onto_grid(
        prepared,
        roles,
        register=register,
        scales=scales,
        follows=follows,
        arrays=echoes_read,
        check_b1=not b1_on_grid,
    )
    arrays = prepared.arrays
    like = probes["mtw"]
    noise_names = {"PDw": "pdw", "T1w": "t1w", "MTw": "mtw"}
    wants_noise = any(name in written for name in UNCERTAINTY_OUTPUTS)
    # The scans whose noise levels are estimated are read whole in a thread
    # of their own, the maps' pass taking their runs as they arrive; the
    # levels are estimated in that thread next, while the maps are made.
    reading = (
        noise_images(written, probes, noise_names, noise_sd, probes.get("mask"), arrays)
        if wants_noise
        else []
    )
    streamed = StreamedImages(reading, like.shape) if reading else None
    # Images to read for the estimate come only with an estimate to make.
    estimate = "uncertainty" in written and noise_sd is None
    pool = None
    if estimate:
        from concurrent.futures import ThreadPoolExecutor

        pool = ThreadPoolExecutor(max_workers=1)
    try:
        if streamed is not None:
            pool.submit(streamed.read, probes, max_memory)
        grid, surveyed = _survey(prepared, b1_on_grid, given, max_memory)
        uncertainty, levels = None, None
        if wants_noise:
            uncertainty = UncertaintySample(written, like.voxels)

            def find_levels():
                sigmas, notes = noise_levels_of(
                    written,
                    probes,
                    noise_names,
                    noise_sd,
                    probes.get("mask"),
                    noise_required,
                    arrays=arrays,
                    streamed=streamed,
                    budget=max_memory,
                    threads=threads,
                )
                if times is not None:
                    # The combined image is less (te0: differently) noisy than one echo.
                    factors = {
                        SCAN_LABELS[n]: noise_factor(echo_combination, TE, times)
                        for n, TE in times.items()
                    }
                    for label, factor in factors.items():
                        sigmas[label] *= factor
                    notes.append(
                        "noise of the combined echoes relative to one echo's: "
                        + ", ".join(f"{label} {factor:.3g}" for label, factor in factors.items())
                    )
                return sigmas, notes

            # Only the sd map waits for the estimate (ChainRuns holds its terms).
            levels = pool.submit(find_levels) if estimate else find_levels()
        runs = ChainRuns(
            values,
            grid,
            like.voxels,
            {name: output.dtype for name, output in written.items()},
            threads,
            clip,
            exact,
            uncertainty,
            levels,
            echo_runs,
            observe,
        )
        echo_count = sum(TE.size for TE in times.values()) if times is not None else 0
        held = {} if streamed is None else streamed.sources()
        stream_maps(
            probes,
            written,
            runs,
            max_memory=max_memory,
            quiet=quiet,
            work_bytes=BYTES_PER_VOXEL_OF_THE_CHAIN
            + BYTES_PER_VOXEL_FOR_UNCERTAINTY * (uncertainty is not None)
            + BYTES_PER_VOXEL_PER_ECHO * echo_count,
            # The images read whole before are not read again.
            arrays={**arrays, **surveyed, **held},
            finish=runs.finish,
        )
    finally:
        if streamed is not None:
            streamed.stop()
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
    notes = runs.level_notes

    summary = runs.summary()
    summary.warnings += warnings
    if runs.off_grid:
        lo, hi = grid[0][0], grid[0][-1]
        add_warning(
            summary,
            f"{runs.off_grid} fitted voxels have an offset delta_omega + B0 outside "
            f"{lo:g} to {hi:g} Hz, the range of the other fitted voxels' offsets: "
            f"their B0 in '{probes['b0'].path}' is taken as wrong, and they are "
            "counted as invalid input",
        )
    summary.notes = notes + (uncertainty.note() if uncertainty is not None else [])
    if echo_runs is not None:
        summary.echoes = echo_runs.record(SCAN_LABELS)
        summary.notes.insert(0, echo_runs.note(SCAN_LABELS))
    with_alignment(summary, alignment)
    if not quiet:
        log.info(summary.line(outputs["fraction"]))
        for note in summary.notes:
            log.info(note)
    if echo_runs is not None:
        for message in echo_runs.warnings(SCAN_LABELS):
            add_warning(summary, message)
        if echo_runs.counts:
            _warn_echo_fit(summary, echo_runs.counts)
    if runs.signal and runs.r1_failed > SOLVED_SHARE_WARNING * runs.signal:
        add_warning(
            summary,
            f"R1 could not be found in {runs.r1_failed} of the {runs.signal} voxels "
            "with signal in both the PD- and T1-weighted scans: are their flip "
            "angles and TRs right?",
        )
    elif summary.fitted and summary.solved_share < SOLVED_SHARE_WARNING:
        ratios = np.concatenate(runs.ratio_sample)
        median_ratio = float(np.median(ratios)) if ratios.size else np.nan
        cause = (
            f"the median ratio of the MT-weighted scan to its synthetic reference is "
            f"{median_ratio:g}, above 1: is the MT-weighted scan one of the others?"
            if median_ratio > 1.0
            else "check the sequence parameters and their units"
        )
        add_warning(
            summary,
            f"only {100 * summary.solved_share:.1f} % of the {summary.fitted} "
            f"fitted voxels were solved; {cause}",
        )
    if fail_below is not None and summary.solved_share < fail_below:
        add_warning(
            summary,
            f"{100 * summary.solved_share:.1f} % of the fitted voxels solved, "
            f"fewer than {fail_below:g}",
        )
    return summary


# The echo stacks of a run (float64 with their copies for the fit) and the
# fit's outputs.
BYTES_PER_VOXEL_PER_ECHO = 16


def _warn_echo_fit(summary, counts):
    """Warns when the echoes of most fitted voxels decay like no exponential."""
    from tavni.mt_map.status import ECHOES

    fitted = sum(counts.values()) - counts.get(ECHOES[-1].name, 0)
    failed = fitted - counts.get(ECHOES[0].name, 0)
    if fitted and failed > SOLVED_SHARE_WARNING * fitted:
        add_warning(
            summary,
            f"the echoes of {failed} of the {fitted} fitted voxels do not decay as an "
            "exponential (negative R2*, or too few echoes with signal): are the echo "
            "times right, in seconds and in the order of the images?",
        )


def _survey(prepared, b1_on_grid, given, max_memory):
    """The pass before the maps': a B1 map on the scans' grid checked for its
    median (``B1Sample``), and the lineshape grid over the B0 map's offsets
    within the mask (None without a B0 map or a finite offset).

    Returns the grid, and the B0 and B1 maps as read in this pass (their
    float32 runs, where they are float32 in their files, as
    ``streaming.HeldRuns``), for the maps' pass to take from memory rather
    than decompress again.
    """
    from tavni.mt_map.io import streaming

    probes, arrays = prepared.probes, prepared.arrays
    like = probes["mtw"]
    b1_sample = B1Sample(probes["b1"]) if b1_on_grid else None
    first = ("b0", "mask") if "b0" in probes else ()
    surveyed = {n: (arrays.get(n, probes[n].path), probes[n].what) for n in first if n in probes}
    if b1_sample is not None:
        surveyed["b1"] = (probes["b1"].path, probes["b1"].what)  # the file, as given
    kept = {name: [] for name in ("b0", "b1") if name in surveyed and name not in arrays}

    def keep(values):
        for name, runs in kept.items():
            runs.append(values[name])  # each run a fresh array of the reader's
        if b1_sample is not None:
            b1_sample(values)
        return {}

    grid = None
    if "b0" in probes:
        span = _offset_span(surveyed, prepared.values["delta_omega"], like.shape, max_memory, keep)
        if span is not None:
            grid = lineshape_grid(*span, given["T2b"].value)
    elif surveyed:
        streaming.run(surveyed, {}, keep, shape=like.shape, budget=max_memory)
    if b1_sample is not None:
        b1_sample.check()
    held = {
        name: streaming.HeldRuns(runs)
        for name, runs in kept.items()
        if runs and all(run.dtype == np.float32 for run in runs)
    }
    return grid, held


# The lineshape grid spans the offsets of the fitted voxels between these
# percentiles, widened on each side by _FENCE times their distance (at least
# _FENCE_HZ): real B0 maps stay well inside, while a wild value (1e30 Hz in
# the background, a phase wrap) would stretch the grid's steps over every
# voxel and blur G everywhere.
_PERCENTILES = (1.0, 99.0)
_FENCE = 3.0
_FENCE_HZ = 50.0


def _offset_span(images, delta_omega, shape, max_memory, also=None):
    """(smallest, largest) magnitude of the finite offsets delta_omega + B0
    (Hz) within the fences that the fitted voxels' offsets set (inside the
    mask, where there is one), or None when there is none; streamed, a
    second time only when some offset lies beyond the fences. ``also``, a
    computation of the same runs (``images`` may hold more than "b0" and
    "mask" for it), sees the first pass's runs.
    """
    from tavni.mt_map.io import streaming

    voxels = int(np.prod(shape, dtype=np.int64))
    stride = max(1, voxels // SAMPLE)
    span, sample, position = [np.inf, -np.inf], [], [0]

    def magnitudes(values):
        # The sum in float64 straight from the float32 run, then its size
        # in place: one array, not three.
        magnitude = np.add(values["b0"], delta_omega, dtype=np.float64)
        np.abs(magnitude, out=magnitude)
        return magnitude, np.isfinite(magnitude)

    def survey(values):
        magnitude, finite = magnitudes(values)
        if finite.any():
            kept = magnitude[finite]
            span[:] = min(span[0], float(kept.min())), max(span[1], float(kept.max()))
        fitted = finite if "mask" not in values else finite & in_mask(values["mask"])
        start = -position[0] % stride
        sample.append(magnitude[start::stride][fitted[start::stride]])
        position[0] += magnitude.size
        if also is not None:
            also(values)
        return {}

    streaming.run(images, {}, survey, shape=shape, budget=max_memory)
    sample = np.concatenate(sample)
    if sample.size == 0:
        return None
    low, high = np.percentile(sample, _PERCENTILES)
    width = _FENCE * max(high - low, _FENCE_HZ)
    fences = (low - width, high + width)
    if fences[0] <= span[0] and span[1] <= fences[1]:
        return tuple(span)

    span = [np.inf, -np.inf]

    def within(values):
        magnitude, finite = magnitudes(values)
        inside = magnitude[finite & (magnitude >= fences[0]) & (magnitude <= fences[1])]
        if inside.size:
            span[:] = min(span[0], float(inside.min())), max(span[1], float(inside.max()))
        return {}

    streaming.run({"b0": images["b0"]}, {}, within, shape=shape, budget=max_memory)
    return tuple(span)


def _scatter(run, where, size, name, masked, dtype=None):
    """A run of a map computed at the voxels ``where`` of ``size``, the
    others filled as the fit leaves them (outside a mask: ``masked``), in
    ``dtype`` (default the run's).
    """
    from tavni.mt_map.status import ECHO_STATUS_INVALID_INPUT, STATUS_INVALID_INPUT, STATUS_MASKED

    fill = np.nan
    if name == "status":
        fill = STATUS_MASKED if masked else STATUS_INVALID_INPUT
    elif name == "echo_status":
        fill = ECHO_STATUS_INVALID_INPUT
    whole = np.full(size, fill, run.dtype if dtype is None else dtype)
    whole[where] = run  # rounded to nearest, as the writer's cast would
    return whole


class ChainRuns(StatusCounts):
    """The three-scan chain on runs of voxels, as ``streaming.run`` hands them
    over: R1 and M0, the synthetic reference, the ratio and the fraction, MTR
    and MTsat, each the same to the bit as on whole volumes; it counts what
    the summary and its warnings need and keeps a sample of the ratios.

    Parameters
    ----------
    values : dict of str to float
        The protocol as the model takes it (``protocol.model_values``).
    grid : tuple or None
        ``maps.lineshape_grid`` over the B0 map's offsets, where there is a
        B0 map (None there: no finite offset, G is NaN); voxels whose offset
        lies beyond it get no G (invalid input), counted in ``off_grid``.
    voxels : int
        Voxels of the volume, to space the sample.
    outputs : dict of str to numpy.dtype
        The maps to return, by name, with the type each is written in
        (within a mask the runs are made in it).
    threads : int, optional
        Worker threads of the fits.
    clip, exact : bool
        As ``fit_fraction`` takes them.
    uncertainty : UncertaintySample, optional
        When the uncertainty maps are wanted.
    sigmas : dict, tuple or concurrent.futures.Future, optional
        The noise of the "PDw", "T1w" and "MTw" scans for those maps, with
        the summary's notes on them: ``(sigmas, notes)``, or a future of
        it while the levels are being estimated. Until it is done, the sd
        map's runs are held (its terms, a few per fitted voxel) and then
        written in order; every other map is written as its run is made.
    echoes : echoes.EchoRuns, optional
        For multi-echo scans: combines each scan's echoes first.
    observe : callable, optional
        Called after each run (see ``fraction_from_scans``).
    """

    def __init__(
        self,
        values,
        grid,
        voxels,
        outputs,
        threads=None,
        clip=False,
        exact=True,
        uncertainty=None,
        sigmas=None,
        echoes=None,
        observe=None,
    ):
        self.values, self.grid, self.outputs = values, grid, outputs
        self.echoes = echoes  # an echoes.EchoRuns for multi-echo scans
        self.observe, self.position = observe, 0
        self.threads, self.clip, self.exact = threads, clip, exact
        # An UncertaintySample when its maps are wanted, with the scans'
        # noise: (sigmas, notes), or a future of it.
        self.uncertainty, self.levels = uncertainty, sigmas
        self.level_notes = []
        # Runs whose sd waits for the noise levels: (start, size, where,
        # slopes, signals), in the order of the volume.
        self.held = []
        self._sd_terms = None  # this run's, for the held runs
        super().__init__()
        self.r1_failed = self.signal = 0
        # Fitted voxels whose offset lies beyond the lineshape grid.
        self.off_grid = 0
        self.stride = max(1, voxels // SAMPLE)
        self.ratio_sample = []

    def __call__(self, values):
        """The maps of one run.

        Every step runs on the voxels to fit alone: those in the mask (all
        without one) with signal in the PD- and T1-weighted scans, gathered
        into short arrays and the maps scattered back. The others get what
        a fit of them would give: NaN, and the status "masked" or "invalid
        input".

        Parameters
        ----------
        values : dict of str to numpy.ndarray
            A run of each image by name ("pdw", "t1w", "mtw", and "b1",
            "b0", "mask" where given).

        Returns
        -------
        dict of str to numpy.ndarray
            The maps of ``outputs``, by name.
        """
        from tavni.mt_map.status import STATUS_INVALID_INPUT, STATUS_MASKED

        size = len(values["mtw"])
        data = dict(values)
        inside = None
        if "mask" in data:
            inside = np.flatnonzero(in_mask(data.pop("mask")))
            data = {name: run[inside] for name, run in data.items()}
            self.counts[STATUS_MASKED] += size - inside.size
        echo_maps = self.echoes(data) if self.echoes is not None else {}
        # No R1 without signal in both scans, so no map either.
        signal = np.flatnonzero((data["pdw"] > 0) & (data["t1w"] > 0))
        count = len(data["pdw"])
        if signal.size < count:
            data = {name: run[signal] for name, run in data.items()}
            self.counts[STATUS_INVALID_INPUT] += count - signal.size
        maps = self._compute(prepared(data), masked=inside is not None)
        if signal.size < count:
            maps = {name: _scatter(run, signal, count, name, False) for name, run in maps.items()}
        maps.update(echo_maps)
        if inside is not None:
            # Scattered straight into the type each map is written in: the
            # run of the whole mask is most of the memory a run moves.
            maps = {
                name: _scatter(run, inside, size, name, True, self.outputs.get(name))
                for name, run in maps.items()
            }
        if self._sd_terms is not None:
            where = signal if signal.size < count else None
            if inside is not None:
                where = inside if where is None else inside[where]
            self.held.append((self.position, size, where, *self._sd_terms))
        released = self._release(wait=False) if self.held else []
        if len(released) == 1 and released[0][0] == self.position:
            maps["uncertainty"] = released.pop()[1]  # made with its run
        maps = {name: maps[name] for name in self.outputs if name in maps}
        if self.observe is not None:
            self.observe(self.position, values, maps)
        if self._sd_terms is not None and "uncertainty" not in maps:
            maps["uncertainty"] = self._caught_up(released)
        self.position += size
        return maps

    def _sigmas(self, wait):
        """The noise levels, or None while they are estimated and not
        ``wait``.
        """
        from concurrent.futures import Future

        if isinstance(self.levels, Future):
            if not (wait or self.levels.done()):
                return None
            self.levels = self.levels.result()  # raises the estimate's error
        sigmas, self.level_notes = self.levels
        return sigmas

    def _release(self, wait):
        """The sd map's runs held so far, once the noise levels are known:
        [(start, run)], in order; empty while they are not.
        """
        from tavni.mt_map.uncertainty import noise_sd_of_fraction

        sigmas = self._sigmas(wait)
        if sigmas is None:
            return []
        levels = (sigmas["PDw"], sigmas["T1w"], sigmas["MTw"])
        dtype = self.outputs["uncertainty"]
        released = []
        for start, size, where, slopes, signals in self.held:
            with np.errstate(divide="ignore", invalid="ignore"):
                sd = noise_sd_of_fraction(slopes, signals, levels)
            self.uncertainty.keep_sample(sd)
            run = sd if where is None else _scatter(sd, where, size, "uncertainty", True, dtype)
            released.append((start, run))
        self.held = []
        return released

    def _caught_up(self, released):
        """The sd map's runs released late, each shown to the observer."""
        for start, run in released:
            if self.observe is not None:
                self.observe(start, {}, {"uncertainty": run})
        return [run for _, run in released]

    def finish(self):
        """The runs still owed after the last one (``streaming.run``): the
        sd map's held runs, once its noise levels are known.

        Returns
        -------
        dict of str to list of numpy.ndarray
        """
        if not self.held:
            if self.uncertainty is not None:
                self._sigmas(wait=True)  # the notes, and any error of the estimate
            return {}
        return {"uncertainty": self._caught_up(self._release(wait=True))}

    def _compute(self, data, masked):
        """The maps of the voxels to fit (``data`` holds nothing else;
        ``masked``: they are a mask's).
        """
        from tavni.mt_map import mtr
        from tavni.mt_map.status import (
            R1_STATUS_SOLVED,
            R1_STATUS_TWO_ROOTS,
            STATUS_INVALID_INPUT,
        )

        p = dict(self.values)
        R1, M0, r1_status, reference = r1_and_reference(data, p, self.threads)
        ratio = signal_ratio(data["mtw"], reference)
        off_grid = None
        if "b0" in data:
            p["delta_omega"] = p["delta_omega"] + data.pop("b0").astype(np.float64)
            if self.grid is None:
                p["G"] = np.full(ratio.shape, np.nan)
            else:
                p["G"] = lineshape_at_offsets(p["delta_omega"], None, self.grid)
                # Beyond the grid G would be its edge's value: no lineshape
                # at all (invalid input) instead.
                magnitude = np.abs(p["delta_omega"])
                off_grid = (magnitude < self.grid[0][0]) | (magnitude > self.grid[0][-1])
                p["G"][off_grid] = np.nan
        f, status, derivatives = fit_run(self, p, ratio, R1, data)
        if off_grid is not None:
            self.off_grid += int(np.count_nonzero(off_grid & (status == STATUS_INVALID_INPUT)))
        considered = ~np.isnan(data["mtw"]) if not masked else np.ones(len(data["mtw"]), bool)
        signal = considered & (data["pdw"] > 0) & (data["t1w"] > 0)
        self.signal += int(np.count_nonzero(signal))
        # Two roots are an R1 found (the smaller), not a failure of the fit.
        found = (r1_status == R1_STATUS_SOLVED) | (r1_status == R1_STATUS_TWO_ROOTS)
        self.r1_failed += int(np.count_nonzero(signal & ~found))
        self.ratio_sample.append(
            ratio.reshape(-1)[np.flatnonzero(~np.isnan(ratio))[:: self.stride]]
        )
        maps = {"fraction": f, "status": status, "r1": R1, "m0": M0}
        if "mtr" in self.outputs:
            maps["mtr"] = outside_mask_nan(mtr(data["mtw"], reference), data)
        if "mtsat" in self.outputs:
            maps["mtsat"] = mtsat_of(data, p, None, self.threads)
        self._sd_terms = None
        if self.uncertainty is not None:
            from tavni.mt_map.uncertainty import three_scan_log_derivatives

            scans = ("pdw", "t1w", "")  # protocol key prefixes; the MT-weighted scan has none
            flip_angles = [p[f"{scan}_flip_angle" if scan else "flip_angle"] for scan in scans]
            TRs = [p[f"{scan}_TR" if scan else "TR"] for scan in scans]
            with np.errstate(divide="ignore", invalid="ignore"):
                slopes, r1_change, b1_change = three_scan_log_derivatives(
                    derivatives[0],
                    data["mtw"],
                    reference,
                    R1,
                    flip_angles,
                    TRs,
                    b1=data.get("b1"),
                    b1_sensitivity="sensitivity_b1" in self.outputs,
                    threads=self.threads,
                )
            maps["sensitivity_r1"], maps["sensitivity_b1"] = r1_change, b1_change
            if "uncertainty" in self.outputs:
                # The noise enters last: the sd is made where the levels are known.
                self._sd_terms = (slopes, (data["pdw"], data["t1w"], data["mtw"]))
        return {name: maps[name] for name in self.outputs if name in maps}
