"""The three-scan chain: PD-, T1- and MT-weighted SPGR scans to R1, M0, the
synthetic reference, MTR, MTsat and the fraction: :func:`fraction_from_scans`.

Its steps, each a function here: read the request and check it before any
image is read (``_read_request``: parameters, echoes, the prologue), bring
every image onto the MT-weighted scan's grid (``_onto_grid``), the pass
before the maps' and the maps' own pass with the noise levels estimated
beside it (``_make_maps``, ``_noise_levels``), and the summary with its
warnings (``_summarise``). The computation on a run of voxels is
``chain_runs.ChainRuns``; the first pass ``first_pass``.
"""

from dataclasses import dataclass

import numpy as np

from tavni.mt_map import protocol
from tavni.mt_map.defaults import ECHO_COMBINATION
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.scans import LABELS
from tavni.mt_map.workflows import align
from tavni.mt_map.workflows.align import onto_grid, with_alignment
from tavni.mt_map.workflows.chain_runs import (
    BYTES_PER_VOXEL_OF_THE_CHAIN,
    BYTES_PER_VOXEL_PER_ECHO,
    ChainRuns,
)
from tavni.mt_map.workflows.echoes import (
    ECHO_OUTPUTS,
    EchoRuns,
    echo_names,
    expand,
    noise_factor,
    split_4d,
)
from tavni.mt_map.workflows.first_pass import first_pass
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
from tavni.mt_map.workflows.options import DEFAULT_OPTIONS, MapOptions
from tavni.mt_map.workflows.prologue import Prepared, check_threads, prologue
from tavni.mt_map.workflows.scan_maps import CHAIN_ROLES, SCAN_IMAGES
from tavni.mt_map.workflows.stream import stream_maps
from tavni.mt_map.workflows.summary import (
    SOLVED_SHARE_WARNING,
    Summary,
    add_warning,
    b1_cause,
    log,
)

__all__ = ["CHAIN_PARAMETERS", "fraction_from_scans"]

CHAIN_PARAMETERS = protocol.SCANS + protocol.SEQUENCE + protocol.LINESHAPE
"""What the chain needs from the protocol (with one of
``protocol.LINESHAPE`` and of ``protocol.PULSE``)."""

_NOISE_NAMES = {label: role for role, label in LABELS.items()}
"""The scans' images by the labels their noise levels go under."""


def fraction_from_scans(
    pdw,
    t1w,
    mtw,
    parameters: dict,
    outputs: dict,
    *,
    b1=None,
    b0=None,
    mask=None,
    options: MapOptions = DEFAULT_OPTIONS,
    noise_sd=None,
    noise_required: bool = True,
    scales: dict | None = None,
    echo_combination: str = ECHO_COMBINATION,
    observe=None,
) -> Summary:
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
    options : MapOptions
        Threads, memory budget, quiet, clip and exact (as for
        ``fraction_map``), ``fail_below``, the protocol file, and
        registration: the PD- and T1-weighted scans registered onto the
        MT-weighted one (rigid head motion between the scans), the motion
        found in the summary's ``motion`` and notes.
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
    scales : dict of str to float, optional
        Factors that put the scans on one intensity scale ("pdw", "t1w",
        "mtw"; vendor scale fields); 1 where not named.
    echo_combination : str
        How the echoes of multi-echo scans become one image each
        (``echoes.COMBINATIONS``): "te0" (``defaults.ECHO_COMBINATION``)
        extrapolates every scan to TE = 0 with one R2*; "mean" and "first"
        are biased where the scans' echo times differ (``echoes``).
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
        notes and the warnings; for multi-echo scans ``echoes`` records the
        combination, the echo times and the echo fit's status counts. The
        warnings also go to the ``tavni.mt_map`` logger at WARNING as they
        arise; unless quiet, the summary line and the notes at INFO.

    Raises
    ------
    protocol.ParameterError, volumes.VolumeError
        Before anything is written, with one line.
    """
    scans, fields = {"mtw": mtw, "pdw": pdw, "t1w": t1w}, {"b1": b1, "b0": b0, "mask": mask}
    chain = _read_request(scans, fields, parameters, outputs, options, noise_sd, echo_combination)
    alignment, b1_on_grid = _onto_grid(chain, scales, options.register)
    runs, grid, uncertainty = _make_maps(
        chain, b1_on_grid, options, noise_sd, noise_required, observe
    )
    return _summarise(chain, runs, grid, uncertainty, alignment, outputs["fraction"], options)


@dataclass
class _Chain:
    """What the chain's steps hand on: the prologue's findings, the
    parameters as given, and for multi-echo scans their echo times (s, by
    scan) and the combination of their echoes (None for single echoes).
    """

    prepared: Prepared
    given: dict
    times: dict | None
    echo_runs: EchoRuns | None


def _read_request(scans, fields, parameters, outputs, options, noise_sd, echo_combination):
    """Every check of the request before any image is read, in order: the
    thread count, the fraction's path, the parameters, a B0 map's needs,
    the echoes; then the prologue (outputs, noise levels given, parameters'
    warnings, memory budget, headers).
    """
    check_threads(options.threads)
    if outputs.get("fraction") is None:
        raise ParameterError("the chain needs a path for the fraction map")
    given = protocol.as_given(parameters, CHAIN_PARAMETERS)
    if fields["b0"] is not None and "T2b" not in given:
        raise ParameterError(
            "a B0 map needs T2b, not G: the lineshape is computed at each voxel's shifted offset"
        )
    images, table, times = expand(scans, SCAN_IMAGES, LABELS)
    images.update(fields)
    echo_runs = None
    if times is not None:
        wanted = [name for name, path in outputs.items() if path is not None]
        echo_runs = EchoRuns(times, echo_combination, wanted, options.threads)
    elif any(outputs.get(name) is not None for name in ECHO_OUTPUTS):
        raise ParameterError("the R2* maps need multi-echo scans (their echo times)")
    prepared = prologue(
        images,
        table,
        with_sensitivity_paths(outputs),
        given=given,
        options=options,
        checks=[lambda: check_noise_sd(noise_sd, tuple(LABELS.values()))],
        stacklevel=4,
        # A scan given as one image may hold its echoes along a fourth axis.
        echoes=() if times is None else [n for n in times if f"{n}_echo2" not in images],
    )
    return _Chain(prepared, given, times, echo_runs)


def _onto_grid(chain, scales, register):
    """Every image onto the MT-weighted scan's grid, each later echo with the
    motion of its scan's first echo and its scale; returns the alignment and
    whether the B1 map already lies on the grid (checked in the first pass).
    """
    probes = chain.prepared.probes
    roles, follows, echoes_read = dict(CHAIN_ROLES), {}, {}
    if chain.times is not None:
        echoes_read = split_4d(probes, chain.times)
        for name, TE in chain.times.items():
            for echo in echo_names(name, TE.size)[1:]:
                roles[echo], follows[echo] = align.SCAN, name
                if scales and name in scales:
                    scales = {**scales, echo: scales[name]}
    # A B1 map on the scans' grid is checked in the pass before the maps',
    # with the other images read then, not in a pass of its own.
    b1_on_grid = "b1" in probes and tuple(probes["b1"].shape) == tuple(probes["mtw"].shape)
    alignment = onto_grid(
        chain.prepared,
        roles,
        register=register,
        scales=scales,
        follows=follows,
        arrays=echoes_read,
        check_b1=not b1_on_grid,
    )
    return alignment, b1_on_grid


def _make_maps(chain, b1_on_grid, options, noise_sd, noise_required, observe):
    """The first pass, then the maps' pass (``ChainRuns``), the noise levels
    estimated beside it where the sd map needs them; returns the runs, the
    lineshape grid and the uncertainty sample (or None).
    """
    prepared = chain.prepared
    written, probes, arrays = prepared.written, prepared.probes, prepared.arrays
    like = probes["mtw"]
    wants_noise = any(name in written for name in UNCERTAINTY_OUTPUTS)
    # The scans whose noise levels are estimated are read whole in a thread
    # of their own, the maps' pass taking their runs as they arrive; the
    # levels are estimated in that thread next, while the maps are made.
    reading = (
        noise_images(written, probes, _NOISE_NAMES, noise_sd, probes.get("mask"), arrays)
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
            pool.submit(streamed.read, probes, options.max_memory)
        grid, surveyed = first_pass(prepared, b1_on_grid, chain.given, options.max_memory)
        uncertainty, levels = None, None
        if wants_noise:
            uncertainty = UncertaintySample(written, like.voxels)
            noise = (chain, noise_sd, noise_required, streamed, options)
            # Only the sd map waits for the estimate (ChainRuns holds its terms).
            levels = pool.submit(_noise_levels, *noise) if estimate else _noise_levels(*noise)
        runs = ChainRuns(
            prepared.values,
            grid,
            like.voxels,
            {name: output.dtype for name, output in written.items()},
            options.threads,
            options.clip,
            options.exact,
            uncertainty,
            levels,
            chain.echo_runs,
            observe,
        )
        times = chain.times
        echo_count = sum(TE.size for TE in times.values()) if times is not None else 0
        held = {} if streamed is None else streamed.sources()
        stream_maps(
            probes,
            written,
            runs,
            max_memory=options.max_memory,
            quiet=options.quiet,
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
    return runs, grid, uncertainty


def _noise_levels(chain, noise_sd, noise_required, streamed, options):
    """The scans' noise levels by label, and the notes on them (those of
    combined echoes scaled from one echo's).
    """
    prepared = chain.prepared
    probes = prepared.probes
    sigmas, notes = noise_levels_of(
        prepared.written,
        probes,
        _NOISE_NAMES,
        noise_sd,
        probes.get("mask"),
        noise_required,
        arrays=prepared.arrays,
        streamed=streamed,
        budget=options.max_memory,
        threads=options.threads,
    )
    if chain.times is not None:
        # The combined image is less (te0: differently) noisy than one echo.
        method = chain.echo_runs.method
        factors = {
            LABELS[n]: noise_factor(method, TE, chain.times) for n, TE in chain.times.items()
        }
        for label, factor in factors.items():
            sigmas[label] *= factor
        notes.append(
            "noise of the combined echoes relative to one echo's: "
            + ", ".join(f"{label} {factor:.3g}" for label, factor in factors.items())
        )
    return sigmas, notes


def _summarise(chain, runs, grid, uncertainty, alignment, fraction, options):
    """The summary of the maps' pass: counts, notes, the alignment, and the
    warnings in the order they are issued; its line and notes logged unless
    quiet.
    """
    echo_runs = chain.echo_runs
    summary = runs.summary()
    summary.warnings += chain.prepared.warnings
    if runs.off_grid:
        lo, hi = grid[0][0], grid[0][-1]
        add_warning(
            summary,
            f"{runs.off_grid} fitted voxels have an offset delta_omega + B0 outside "
            f"{lo:g} to {hi:g} Hz, the range of the other fitted voxels' offsets: "
            f"their B0 in '{chain.prepared.probes['b0'].path}' is taken as wrong, and they "
            "are counted as invalid input",
        )
    summary.notes = runs.level_notes + (uncertainty.note() if uncertainty is not None else [])
    if echo_runs is not None:
        summary.echoes = echo_runs.record(LABELS)
        summary.notes.insert(0, echo_runs.note(LABELS))
    with_alignment(summary, alignment)
    if not options.quiet:
        log.info(summary.line(fraction))
        for note in summary.notes:
            log.info(note)
    if echo_runs is not None:
        for message in echo_runs.warnings(LABELS):
            add_warning(summary, message)
        if echo_runs.counts:
            _warn_echo_fit(summary, echo_runs.counts)
    b1 = chain.prepared.probes.get("b1")
    _warn_of_failures(summary, runs, options.fail_below, None if b1 is None else b1.path)
    return summary


def _warn_of_failures(summary, runs, fail_below, b1_path):
    """Warns when R1 or the fraction was found in few voxels, with the likely
    cause (``b1_path``: the B1 map, named when it is mostly zero), and when
    fewer than ``fail_below`` were solved.
    """
    # A parameter outside the range of human scanners (protocol.validate's
    # warning, with its unit mistake) is a likelier cause than the generic
    # ones; a B1 map without a positive value where there is signal likelier
    # still (no flip angle, no R1).
    hints = "; ".join(w for w in summary.warnings if "for a human scanner; " in w)
    if runs.signal and runs.r1_failed > SOLVED_SHARE_WARNING * runs.signal:
        b1 = b1_cause(runs.b1_missing, runs.signal, b1_path)
        summary.cause = (
            b1 or hints or "are the PD- and T1-weighted scans' flip angles and TRs right?"
        )
        add_warning(
            summary,
            f"R1 could not be found in {runs.r1_failed} of the {runs.signal} voxels "
            "with signal in both the PD- and T1-weighted scans: "
            + (b1 or "are their flip angles and TRs right?"),
        )
    elif not summary.fitted:
        summary.cause = (
            "no voxel has signal (positive, not NaN) in both the PD- and T1-weighted scans"
            if not runs.signal
            else "every voxel is masked or has invalid input"
        )
        add_warning(summary, f"no voxel could be fitted: {summary.cause}")
    elif summary.solved_share < SOLVED_SHARE_WARNING:
        ratios = np.concatenate(runs.ratio_sample)
        median_ratio = float(np.median(ratios)) if ratios.size else np.nan
        cause = (
            f"the median ratio of the MT-weighted scan to its synthetic reference is "
            f"{median_ratio:g}, above 1: is the MT-weighted scan one of the others?"
            if median_ratio > 1.0
            else "check the sequence parameters and their units"
        )
        summary.cause = hints or cause
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
