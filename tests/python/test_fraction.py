"""fit_fraction: round trips, the sign change against mpf.model, verdicts on
voxels without a solution, the transmit field, broadcasting and errors;
predicted_ratio, its forward model, against mpf.model.
"""

import math
import threading
import time

import numpy as np
import pytest

from tavni.mt_map import (
    STATUS_ABOVE_BRACKET,
    STATUS_BELOW_BRACKET,
    STATUS_INVALID_INPUT,
    STATUS_MASKED,
    STATUS_SOLVED,
    STATUS_TWO_ROOTS,
    fit_fraction,
    mpf,
    predicted_ratio,
    super_lorentzian,
)

# A 3 T protocol: saturation at 4 kHz, 10 degree excitation.
DELTA_OMEGA, OMEGA_1_RMS, TR, DURATION, FLIP = 4000.0, 1500.0, 0.028, 0.012, 0.17
T2_FREE = 0.04
G = super_lorentzian(DELTA_OMEGA, 12e-6)


def ratio(f, R1, omega_1_rms=OMEGA_1_RMS, flip_angle=FLIP):
    """The ratio S_mt/S_ref the model predicts at f (model(f, 1, ...) is 1
    minus it).
    """
    return 1.0 - mpf.model(
        f, 1.0, R1, T2_FREE, DELTA_OMEGA, omega_1_rms, G, TR, DURATION, flip_angle
    )


def residual(f, S_ratio, R1, omega_1_rms=OMEGA_1_RMS, flip_angle=FLIP):
    return mpf.model(f, S_ratio, R1, T2_FREE, DELTA_OMEGA, omega_1_rms, G, TR, DURATION, flip_angle)


def fit(S_ratio, R1, **options):
    return fit_fraction(
        S_ratio, R1, T2_FREE, DELTA_OMEGA, OMEGA_1_RMS, G, TR, DURATION, FLIP, **options
    )


@pytest.fixture(scope="module")
def voxels():
    """Synthetic voxels with f in [0, 0.4], a tenth of them fluid (f = 0)."""
    rng = np.random.default_rng(6)
    f = rng.uniform(0.0, 0.4, 1500)
    f[::10] = 0.0
    R1 = rng.uniform(0.25, 2.0, f.size)
    S_ratio = np.array([ratio(fi, r) for fi, r in zip(f, R1)])
    return f, R1, S_ratio


def test_round_trip(voxels):
    f_true, R1, S_ratio = voxels
    f, status = fit(S_ratio, R1, return_status=True)
    assert f.dtype == np.float64 and status.shape == f.shape
    assert np.all(status == STATUS_SOLVED)
    assert np.max(np.abs(f - f_true)) <= 1e-5
    assert np.all(f[f_true == 0.0] == 0.0)


def test_residual_changes_sign_between_the_neighbours_of_f(voxels):
    _, R1, S_ratio = voxels
    f = fit(S_ratio, R1)
    interior = 0
    for fi, Si, ri in zip(f, S_ratio, R1):
        single = np.float32(fi)
        assert single == fi  # located on the model's own grid of f
        if fi == 0.0:
            continue  # zero within rounding at the bracket end
        below = residual(float(np.nextafter(single, np.float32(-1))), Si, ri)
        above = residual(float(np.nextafter(single, np.float32(1))), Si, ri)
        assert residual(fi, Si, ri) == 0.0 or below * above < 0.0, (fi, below, above)
        interior += 1
    assert interior > 1000


@pytest.mark.parametrize(
    "S_ratio, R1, clip, expected_f, expected_status",
    [
        # More signal than no bound pool at all leaves: the zero lies below 0.
        (1.2, 1.0, False, math.nan, STATUS_BELOW_BRACKET),
        (1.2, 1.0, True, 0.0, STATUS_BELOW_BRACKET),
        # More saturation than f = 0.5 explains.
        (0.02, 1.0, False, math.nan, STATUS_ABOVE_BRACKET),
        (0.02, 1.0, True, 0.5, STATUS_ABOVE_BRACKET),
        # Not finite, in double or only in the model's single precision.
        (math.nan, 1.0, True, math.nan, STATUS_INVALID_INPUT),
        (0.5, math.inf, False, math.nan, STATUS_INVALID_INPUT),
        (0.5, 1e39, False, math.nan, STATUS_INVALID_INPUT),
    ],
)
@pytest.mark.parametrize("exact", [True, False])
def test_voxels_without_a_solution(S_ratio, R1, clip, expected_f, expected_status, exact):
    f, status = fit(S_ratio, R1, clip=clip, exact=exact, return_status=True)
    assert isinstance(f, float) and isinstance(status, int)
    assert f == expected_f or (math.isnan(f) and math.isnan(expected_f))
    assert status == expected_status


def test_model_undefined_is_invalid():
    # No excitation: both signals are 0.
    f, status = fit_fraction(
        0.5, 1.0, T2_FREE, DELTA_OMEGA, OMEGA_1_RMS, G, TR, DURATION, 0.0, return_status=True
    )
    assert math.isnan(f) and status == STATUS_INVALID_INPUT


@pytest.mark.parametrize(
    "changes",
    [
        {"R1": -1.0},
        {"duration": 2 * TR},
        {"flip_angle": math.pi / 2},
        {"b1": -1.0},
    ],
)
@pytest.mark.parametrize("exact", [True, False])
def test_voxels_outside_the_physical_domain(changes, exact):
    protocol = dict(
        S_ratio=ratio(0.1, 1.0),
        R1=1.0,
        T2_free=T2_FREE,
        delta_omega=DELTA_OMEGA,
        omega_1_rms=OMEGA_1_RMS,
        G=G,
        TR=TR,
        duration=DURATION,
        flip_angle=FLIP,
    )
    f, status = fit_fraction(**{**protocol, **changes}, clip=True, exact=exact, return_status=True)
    assert math.isnan(f) and status == STATUS_INVALID_INPUT


def test_two_zeros_in_the_bracket_give_the_smaller():
    # At a 97 Hz offset the residual is negative at f = 0.40, positive at
    # 0.42 and negative again at 0.46, as at both bracket ends.
    args = (
        0.6935065233793654,
        1.342754151140006,
        0.01636376884910431,
        97.45514429902745,
        911.943494824667,
        9.363293577327524e-08,
        0.001305588610072329,
        0.0006584667303661364,
        0.612817010523531,
    )
    for clip in (False, True):
        f_fast, status = fit_fraction(*args, clip=clip, exact=False, return_status=True)
        assert status == STATUS_TWO_ROOTS and 0.40 < f_fast < 0.42
        f, status = fit_fraction(*args, clip=clip, return_status=True)
        assert status == STATUS_TWO_ROOTS and 0.40 < f < 0.42
    assert f_fast == pytest.approx(f, abs=1e-6)
    single = np.float32(f)
    below, above = (
        mpf.model(float(np.nextafter(single, np.float32(end))), *args) for end in (0, 1)
    )
    assert below < 0.0 < above


@pytest.mark.parametrize(
    "args, expected",
    [
        # Ratios made at f = 0 at 60-90 Hz: a zero within rounding there,
        # and a crossing inside (near 0.073, 0.427: an independent search in
        # 40-digit arithmetic finds it).
        (
            (
                0.03209538,
                2.3851233,
                0.026795594,
                60.05182,
                763.9615,
                1.1697073e-05,
                0.09440533,
                0.08290258,
                0.60500628,
            ),
            0.0,
        ),
        (
            (
                0.048418991,
                0.756989,
                0.078707382,
                87.60964,
                1118.6954,
                1.9975564e-06,
                0.07797067,
                0.07223094,
                0.50590925,
            ),
            0.0,
        ),
        # Made at f = 0.5, the bracket's upper end: the crossing is the smaller.
        (
            (
                0.6657591,
                2.2531173,
                0.013548228,
                92.5517,
                314.6073,
                1.4252356e-05,
                0.03984236,
                0.0082405098,
                0.69722337,
            ),
            0.066115,
        ),
    ],
)
@pytest.mark.parametrize("exact", [True, False])
def test_a_zero_at_an_end_and_a_crossing_inside_are_two(args, expected, exact):
    args = tuple(float(np.float32(a)) for a in args)
    f, status = fit_fraction(*args, exact=exact, return_status=True)
    assert status == STATUS_TWO_ROOTS
    assert f == pytest.approx(expected, abs=1e-5)


def test_mask(voxels):
    f_true, R1, S_ratio = voxels
    mask = np.arange(f_true.size) % 3 != 0
    f, status = fit(S_ratio, R1, mask=mask, return_status=True)
    assert np.all(np.isnan(f[~mask])) and np.all(status[~mask] == STATUS_MASKED)
    assert np.array_equal(f[mask], fit(S_ratio[mask], R1[mask]))
    # A mask broadcasts to the inputs' shape, but does not widen it.
    grid = fit(np.full((2, 3), ratio(0.1, 1.0)), 1.0, mask=np.array([True, False, True]))
    assert np.isnan(grid[:, 1]).all() and not np.isnan(grid[:, [0, 2]]).any()


def test_transmit_field_scales_flip_angle_and_saturation_power():
    rng = np.random.default_rng(1)
    b1 = rng.uniform(0.7, 1.3, 200)
    f_true = rng.uniform(0.02, 0.35, b1.size)
    # What the scanner measures where the transmit field is b1 times nominal.
    S_ratio = np.array([ratio(f, 1.0, OMEGA_1_RMS * b, FLIP * b) for f, b in zip(f_true, b1)])
    with_b1 = fit(S_ratio, 1.0, b1=b1)
    assert np.max(np.abs(with_b1 - f_true)) <= 1e-5
    scaled = fit_fraction(
        S_ratio, 1.0, T2_FREE, DELTA_OMEGA, OMEGA_1_RMS * b1, G, TR, DURATION, FLIP * b1
    )
    assert np.array_equal(with_b1, scaled)
    # Ignoring the transmit field gives other fractions.
    assert np.max(np.abs(fit(S_ratio, 1.0) - f_true)) > 1e-3


def test_broadcasting_matches_element_by_element():
    S_ratio = np.array([[0.45], [0.55], [0.65]])  # (3, 1)
    R1 = np.array([0.6, 1.0, 1.4, 1.8])  # (4,)
    f = fit(S_ratio, R1)
    assert f.shape == (3, 4) and f.dtype == np.float64
    for i in range(3):
        for j in range(4):
            expected = fit(float(S_ratio[i, 0]), float(R1[j]))
            assert f[i, j] == expected or (math.isnan(expected) and math.isnan(f[i, j]))
    # Non-contiguous and integer inputs, and empty ones.
    assert np.array_equal(fit(S_ratio[::2, 0], np.array([1, 1])), fit(S_ratio[[0, 2], 0], 1.0))
    assert fit(np.zeros((0, 5)), R1[:1]).shape == (0, 5)


def tissue(n, seed=3):
    """predicted_ratio's inputs for n random tissue-like voxels and protocols."""
    rng = np.random.default_rng(seed)
    return {
        "f": rng.uniform(0.0, 0.4, n),
        "R1": rng.uniform(0.25, 2.5, n),
        "T2_free": rng.uniform(0.01, 0.1, n),
        "delta_omega": rng.uniform(200.0, 1e4, n),
        "omega_1_rms": rng.uniform(0.0, 3000.0, n),
        "G": rng.uniform(0.0, 3e-5, n),
        "TR": rng.uniform(0.01, 0.1, n),
        "duration": rng.uniform(0.0, 0.01, n),
        "flip_angle": rng.uniform(0.02, 0.6, n),
    }


def with_specials(inputs):
    """Every input NaN, +-inf or 0 in some voxels."""
    rng = np.random.default_rng(5)
    specials = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0])
    for value in inputs.values():
        at = rng.choice(value.size, value.size // 10, replace=False)
        value[at] = rng.choice(specials, at.size)
    return inputs


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: tissue(600), id="float64"),
        pytest.param(
            lambda: {k: v.astype(np.float32) for k, v in tissue(600).items()}, id="float32"
        ),
        # f down one axis; R1 (float32) and TR along the other, under one
        # shared flip angle; the rest scalars, an integer among them.
        pytest.param(
            lambda: {
                **{k: float(v[0]) for k, v in tissue(1).items()},
                "f": tissue(30)["f"][:, None],
                "R1": tissue(20, 4)["R1"].astype(np.float32),
                "TR": tissue(20, 5)["TR"],
                "delta_omega": 4000,
            },
            id="broadcast",
        ),
        pytest.param(lambda: with_specials(tissue(600)), id="nan-and-inf"),
    ],
)
def test_predicted_ratio_is_the_model_to_the_bit(make):
    inputs = make()
    ratio = predicted_ratio(**inputs, threads=2)
    columns = np.broadcast_arrays(*(np.asarray(value) for value in inputs.values()))
    expected = np.array(
        [-mpf.model(f, 0.0, *rest) for f, *rest in zip(*(c.ravel().tolist() for c in columns))]
    )
    expected = expected.reshape(columns[0].shape)
    assert ratio.dtype == np.float64 and ratio.shape == expected.shape
    nan = np.isnan(expected)
    assert np.array_equal(np.isnan(ratio), nan)
    assert np.array_equal(ratio[~nan].view(np.uint64), expected[~nan].view(np.uint64))
    # One voxel: a float, the same one.
    first = {name: float(np.ravel(value)[0]) for name, value in inputs.items()}
    one = predicted_ratio(**first)
    assert type(one) is float and (one == ratio.flat[0] or math.isnan(ratio.flat[0]))


@pytest.mark.parametrize("exact", [True, False])
def test_thread_counts_agree(voxels, exact):
    _, R1, S_ratio = voxels
    one = fit(S_ratio, R1, threads=1, exact=exact)
    assert np.array_equal(one, fit(S_ratio, R1, threads=2, exact=exact), equal_nan=True)
    assert np.array_equal(one, fit(S_ratio, R1, threads=7, exact=exact), equal_nan=True)
    inputs = tissue(5000)
    assert np.array_equal(
        predicted_ratio(**inputs, threads=1), predicted_ratio(**inputs, threads=7)
    )


@pytest.mark.parametrize(
    "options, message",
    [
        ({"bracket": (0.5, 0.1)}, "bracket"),
        ({"bracket": (0.2, 0.2)}, "bracket"),
        ({"bracket": (-0.1, 0.5)}, "bracket"),
        ({"bracket": (0.0, 1.0)}, "bracket"),
        ({"bracket": (0.0, math.nan)}, "bracket"),
        ({"bracket": (0.1,)}, "bracket"),
        ({"mask": np.ones(4, dtype=bool)}, "mask"),
        ({"mask": np.ones((3, 3), dtype=bool)}, "mask"),
        ({"threads": 0}, "threads"),
        ({"b1": np.ones(2)}, "broadcast"),
    ],
)
def test_errors(options, message):
    with pytest.raises(ValueError, match=message):
        fit(np.full(3, 0.5), 1.0, **options)


def test_inputs_that_do_not_broadcast():
    with pytest.raises(ValueError, match="S_ratio .3,.*R1 .2,"):
        fit(np.full(3, 0.5), np.ones(2))


def test_bracket_from_negative_zero_is_the_bracket_from_zero(voxels):
    _, R1, S_ratio = voxels
    assert np.array_equal(fit(S_ratio, R1, bracket=(-0.0, 0.5)), fit(S_ratio, R1))


def test_narrow_bracket_finds_the_same_fraction():
    S_ratio = ratio(0.13, 1.0)
    assert fit(S_ratio, 1.0, bracket=(0.1, 0.2)) == pytest.approx(fit(S_ratio, 1.0), abs=1e-6)
    # A bracket that excludes it says on which side the zero lies.
    assert fit(S_ratio, 1.0, bracket=(0.2, 0.3), return_status=True)[1] == STATUS_BELOW_BRACKET
    assert fit(S_ratio, 1.0, bracket=(0.0, 0.1), return_status=True)[1] == STATUS_ABOVE_BRACKET
    # Clipped to the ends as given, whether or not they are single values.
    assert fit(S_ratio, 1.0, bracket=(0.0, 0.1), clip=True) == 0.1
    assert fit(S_ratio, 1.0, bracket=(0.2, 0.3), clip=True) == 0.2


def test_the_interpreter_runs_on_while_a_map_is_fitted():
    # With the interpreter lock released, this thread keeps running while
    # another fits a large map; held, it would stall for the whole fit.
    S_ratio = np.full(1_500_000, ratio(0.1, 1.0))
    started, times = threading.Event(), []

    def worker():
        started.set()
        times.append(time.perf_counter())
        fit(S_ratio, 1.0, threads=1)
        times.append(time.perf_counter())

    thread = threading.Thread(target=worker)
    thread.start()
    started.wait()
    ticks = [time.perf_counter()]
    while thread.is_alive():
        ticks.append(time.perf_counter())
    thread.join()
    start, end = times
    # The gaps between this thread's steps during the fit, from its start to
    # its end.
    steps = [start, *(t for t in ticks if start < t < end), end]
    longest_stall = float(np.max(np.diff(steps)))
    assert longest_stall < (end - start) / 2, (longest_stall, end - start)


# --- The array interface: layouts, argument types, memory, interrupts. ---


def misaligned(array):
    """The same values at an odd address."""
    raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
    raw[1:] = array.view(np.uint8).ravel()
    return np.frombuffer(raw.data, dtype=array.dtype, offset=1).reshape(array.shape)


def masked_nowhere(array):
    return np.ma.masked_array(array, mask=np.zeros(array.shape, dtype=bool))


# Each layout holds the same values as the float64 array it is made from.
LAYOUTS = [
    pytest.param(lambda a: a.astype(">f8"), id="big-endian"),
    pytest.param(misaligned, id="misaligned"),
    pytest.param(lambda a: np.ascontiguousarray(a[::-1])[::-1], id="negative-stride"),
    pytest.param(lambda a: np.repeat(a[:, None], 3, axis=1)[:, 1], id="strided"),
    pytest.param(masked_nowhere, id="masked-nowhere"),
]


@pytest.mark.parametrize("exact", [True, False])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_layout_gives_the_same_bits(voxels, layout, exact):
    _, R1, S_ratio = voxels
    expected = fit(S_ratio, R1, exact=exact)
    assert np.array_equal(
        fit(layout(S_ratio), layout(R1), b1=layout(np.ones_like(R1)), exact=exact),
        expected,
        equal_nan=True,
    )
    Delta = np.linspace(-9000.0, 9000.0, 50)
    assert np.array_equal(super_lorentzian(layout(Delta), 12e-6), super_lorentzian(Delta, 12e-6))
    inputs = tissue(50)
    assert np.array_equal(
        predicted_ratio(**{k: layout(v) for k, v in inputs.items()}), predicted_ratio(**inputs)
    )


@pytest.mark.parametrize("exact", [True, False])
def test_float32_is_read_as_the_float64_it_widens_to(voxels, exact):
    _, R1, S_ratio = voxels
    S32, R32, b32 = S_ratio.astype(np.float32), R1.astype(np.float32), np.float32(1.1)
    assert np.array_equal(
        fit(S32, R32, b1=b32, exact=exact),
        fit(S32.astype(np.float64), R32.astype(np.float64), b1=float(b32), exact=exact),
        equal_nan=True,
    )


def test_masked_arrays_and_nan_in_mask_mask_voxels(voxels):
    _, R1, S_ratio = voxels
    S, R = S_ratio[:6], R1[:6]
    masked_S = np.ma.masked_array(S, mask=[1, 0, 0, 0, 0, 0])
    masked_R = np.ma.masked_array(R, mask=[0, 1, 0, 0, 0, 0])
    mask = np.ma.masked_array([1.0, 1.0, np.nan, 0.0, 1.0, 2.0], mask=[0, 0, 0, 0, 1, 0])
    f, status = fit(masked_S, masked_R, mask=mask, return_status=True)
    assert list(status == STATUS_MASKED) == [True, True, True, True, True, False]
    assert np.isnan(f[:5]).all() and f[5] == fit(S[5], R[5])
    assert np.isnan(super_lorentzian(np.ma.masked_array([1e3, 2e3], mask=[1, 0]), 1e-5)[0])
    protocol = (T2_FREE, DELTA_OMEGA, OMEGA_1_RMS, G, TR, DURATION, FLIP)
    masked_ratio = predicted_ratio(np.ma.masked_array([0.1, 0.2], mask=[0, 1]), R[:2], *protocol)
    assert masked_ratio[0] == -mpf.model(0.1, 0.0, R[0], *protocol) and np.isnan(masked_ratio[1])


@pytest.mark.parametrize(
    "arguments, options, error, message",
    [
        ({"S_ratio": "0.5"}, {}, TypeError, "S_ratio"),
        ({"G": np.array([1e-5 + 0j])}, {}, TypeError, "G"),
        ({"TR": np.array([0.03], dtype=object)}, {}, TypeError, "TR"),
        ({}, {"b1": ["1.0"]}, TypeError, "b1"),
        ({}, {"mask": np.ones(3, dtype=complex)}, TypeError, "mask"),
        ({}, {"threads": True}, TypeError, "threads"),
        ({}, {"threads": 2.0}, TypeError, "threads"),
        ({}, {"threads": -(10**30)}, ValueError, "threads"),
        ({}, {"bracket": (0.0, 10**400)}, ValueError, "bracket"),
        ({}, {"bracket": (math.nan, 0.5)}, ValueError, "bracket"),
    ],
)
def test_argument_types_and_ranges(arguments, options, error, message):
    values = dict(
        S_ratio=np.full(3, 0.5),
        R1=1.0,
        T2_free=T2_FREE,
        delta_omega=DELTA_OMEGA,
        omega_1_rms=OMEGA_1_RMS,
        G=G,
        TR=TR,
        duration=DURATION,
        flip_angle=FLIP,
    )
    values.update(arguments)
    with pytest.raises(error, match=message):
        fit_fraction(*values.values(), **options)


def test_a_huge_thread_count_is_as_many_as_can_be_used(voxels):
    _, R1, S_ratio = voxels
    assert np.array_equal(fit(S_ratio, R1, threads=10**30), fit(S_ratio, R1), equal_nan=True)
    with pytest.raises(TypeError, match="real numbers"):
        super_lorentzian("4000", 12e-6)


def test_memory_is_the_outputs_not_the_broadcast_inputs():
    # A (n, n) map from a full-size float32 ratio (widened to float64 it
    # would cost twice its size) and (1, n) and (n, 1) inputs (expanded, 8 n^2
    # bytes each); the mask keeps all but one row cheap.
    tracemalloc = pytest.importorskip("tracemalloc")
    n = 2000
    S_ratio = np.full((n, n), ratio(0.1, 1.0), dtype=np.float32)
    R1, b1 = np.full((1, n), 1.0), np.full((n, 1), 1.0)
    mask = np.zeros((n, 1), dtype=bool)
    mask[7] = True
    tracemalloc.start()
    try:
        f, status = fit(S_ratio, R1, b1=b1, mask=mask, return_status=True)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    outputs = f.nbytes + status.nbytes
    assert peak <= outputs + 2**20, (peak, outputs)
    assert np.all(status[7] == STATUS_SOLVED) and np.isnan(f[8]).all()


@pytest.mark.parametrize("function", ["fit_fraction", "super_lorentzian", "fit_r1"])
def test_an_interrupt_stops_a_long_call_quickly(function):
    # Seconds of work on one thread, from arrays the kernels read as they are.
    if function == "fit_fraction":
        S_ratio = np.full(10_000_000, ratio(0.1, 1.0))

        def call():
            return fit(S_ratio, 1.0, threads=1)
    elif function == "fit_r1":
        # Two scans of differing TR: a root per voxel.
        from tavni.mt_map import fit_r1

        signals = [np.broadcast_to(S, (20_000_000,)) for S in (0.05, 0.06)]

        def call():
            return fit_r1(signals, [0.07, 0.44], [0.025, 0.011], threads=1)
    else:
        Delta = np.linspace(1e3, 2e4, 1_000_000)

        def call():
            return super_lorentzian(Delta, 1e-5)

    signal = pytest.importorskip("signal")

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    result = None
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            result = call()
        latency = time.perf_counter() - start - 0.2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert result is None
    assert latency < 0.5, latency


def test_fast_mode_agrees_with_the_exact_search(voxels):
    # Model-made voxels (fluid included, at the bracket's end), the same with
    # noise (some beyond either end of the bracket) and their own transmit
    # field, scaled beyond the bracket ends, and masked.
    f_true, R1, S_ratio = voxels
    rng = np.random.default_rng(7)
    S_ratio = np.concatenate(
        [S_ratio, S_ratio + rng.normal(0.0, 0.01, S_ratio.size), [1.2, 0.02, math.nan]]
    )
    R1 = np.resize(R1, S_ratio.size)
    b1 = rng.uniform(0.8, 1.2, S_ratio.size)
    mask = rng.random(S_ratio.size) > 0.05
    f, status = fit(S_ratio, R1, b1=b1, mask=mask, return_status=True)
    f_fast, status_fast = fit(S_ratio, R1, b1=b1, mask=mask, exact=False, return_status=True)
    np.testing.assert_array_equal(status_fast, status)
    solved = status == STATUS_SOLVED
    assert np.count_nonzero(solved) > 2000
    assert np.all(
        np.isin(
            status[~solved],
            [STATUS_BELOW_BRACKET, STATUS_ABOVE_BRACKET, STATUS_INVALID_INPUT, STATUS_MASKED],
        )
    )
    assert np.max(np.abs(f_fast[solved] - f[solved])) <= 1e-6
    assert np.array_equal(np.isnan(f_fast), np.isnan(f))


@pytest.fixture(params=["avx512", "avx2", "baseline"])
def fast_build(request):
    """Each build of the fast way in turn, where this processor runs it."""
    from tavni.mt_map import _maps

    if request.param not in _maps.fast_kernels():
        pytest.skip(f"this processor cannot run the {request.param} build")
    chosen = _maps.fast_kernel()
    _maps.fast_kernel(request.param)
    yield request.param
    _maps.fast_kernel(chosen)


def test_fast_mode_agrees_to_the_rounding_over_the_slope(fast_build):
    # Offsets from 100 Hz to 20 kHz: where saturation hardly moves the ratio
    # with f, the rounding of the ratio moves the zero far more than 1e-6.
    # The modes agree to 4 units in the ratio's last single-precision place,
    # carried into f by df/dS_ratio, in every build of the fast way.
    inputs = tissue(20000, seed=11)
    inputs["delta_omega"] = np.random.default_rng(12).uniform(100.0, 2e4, 20000)
    f_true = inputs.pop("f")
    S_ratio = predicted_ratio(f_true, **inputs)
    args = (S_ratio, *inputs.values())
    f, status, slope = fit_fraction(*args, return_status=True, return_derivatives=True)
    f_fast, status_fast = fit_fraction(*args, exact=False, return_status=True)
    solved = np.isin(status, [STATUS_SOLVED, STATUS_TWO_ROOTS]) & (status_fast == status)
    assert np.count_nonzero(solved) > 19000
    allowance = 4 * 2.0**-23 * S_ratio * np.abs(slope.S_ratio)
    difference = np.abs(f_fast - f)
    assert np.all(difference[solved] <= allowance[solved])
    assert np.count_nonzero(difference[solved] > 1e-6) > 20  # flat residuals are among them
