"""The three-scan chain on the command line: mt-map fraction from PD-, T1-
and MT-weighted scans, mt-map r1, mtsat and mtr, end to end on tiny volumes.
"""

import json
import math

import nibabel
import numpy as np
import pytest

from tavni.mt_map import omega_1_rms_from_pulse, predicted_ratio, spgr_signal, super_lorentzian
from tavni.mt_map.cli import main

SHAPE = (6, 5, 4)
PROTOCOL = {
    "pdw_flip_angle_deg": 4.0,
    "pdw_TR": 0.025,
    "t1w_flip_angle_deg": 25.0,
    "t1w_TR": 0.011,
    "flip_angle_deg": 6.0,
    "TR": 0.028,
    "delta_omega": 2000.0,
    "duration": 0.012,
    "mt_flip_angle_deg": 500.0,
    "mt_pulse_shape": "gaussian",
    "mt_bandwidth": 250.0,
    "mt_pulses": 2,
    "T2_free": 0.04,
    "T2b": 12e-6,
}


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    """Noiseless scans of random tissue under a transmit field of 0.7 to 1.3
    and an off-resonance of +-150 Hz, as float32 NIfTI, with the truth.
    """
    directory = tmp_path_factory.mktemp("scans")
    rng = np.random.default_rng(5)
    truth = {
        "f": rng.uniform(0.0, 0.25, SHAPE),
        "r1": rng.uniform(0.3, 2.0, SHAPE),
        "m0": rng.uniform(500.0, 1500.0, SHAPE),
        "b1": rng.uniform(0.7, 1.3, SHAPE),
        "b0": rng.uniform(-150.0, 150.0, SHAPE),
    }
    p = PROTOCOL
    rad = math.radians
    omega_1_rms = omega_1_rms_from_pulse(rad(500.0), p["duration"] / 2, "gaussian", 250.0)
    offsets = p["delta_omega"] + truth["b0"]
    ratio = predicted_ratio(
        truth["f"],
        truth["r1"],
        p["T2_free"],
        offsets,
        omega_1_rms * truth["b1"],
        super_lorentzian(offsets, p["T2b"]),
        p["TR"],
        p["duration"],
        rad(p["flip_angle_deg"]) * truth["b1"],
    )
    images = {
        name: spgr_signal(
            truth["m0"],
            truth["r1"],
            rad(p[f"{prefix}flip_angle_deg"]),
            p[f"{prefix}TR"],
            b1=truth["b1"],
        )
        for name, prefix in (("pdw", "pdw_"), ("t1w", "t1w_"), ("mtw", ""))
    }
    images["ref"] = images["mtw"]
    images["mtw"] = images["mtw"] * ratio
    images.update(
        b1=truth["b1"], b0=truth["b0"], b1_percent=100 * truth["b1"], b1_zero=0 * truth["b1"]
    )
    images["pdw_4d"] = np.stack([images["pdw"]] * 2, axis=-1)
    paths = {}
    for name, data in images.items():
        paths[name] = directory / f"{name}.nii.gz"
        nibabel.save(nibabel.Nifti1Image(data.astype(np.float32), np.eye(4)), paths[name])
    paths["pdw_cut"] = directory / "pdw_cut.nii.gz"  # a download cut short
    paths["pdw_cut"].write_bytes(paths["pdw"].read_bytes()[:-200])
    paths["protocol"] = directory / "protocol.json"
    paths["protocol"].write_text(json.dumps(PROTOCOL))
    return paths, truth, ratio


def run(*args):
    return main([str(a) for a in args])


def read(path):
    return np.asanyarray(nibabel.load(path).dataobj)


def chain_args(paths, out, *extra):
    return [
        "fraction",
        "--pdw",
        paths["pdw"],
        "--t1w",
        paths["t1w"],
        "--mtw",
        paths["mtw"],
        "--b1",
        paths["b1"],
        "--protocol",
        paths["protocol"],
        "--quiet",
        "-o",
        out / "f.nii.gz",
        *extra,
    ]


@pytest.mark.parametrize("with_b0", [True, False])
def test_three_scans_give_every_map(tmp_path, scans, with_b0):
    paths, truth, ratio = scans
    outputs = [
        "--status",
        tmp_path / "s.nii.gz",
        "--r1-out",
        tmp_path / "r1.nii.gz",
        "--m0-out",
        tmp_path / "m0.nii.gz",
        "--mtr-out",
        tmp_path / "mtr.nii.gz",
        "--mtsat-out",
        tmp_path / "mtsat.nii.gz",
        "--uncertainty-out",
        tmp_path / "sd.nii.gz",
        "--sensitivity-out",
        tmp_path / "e",
        "--noise-sd",
        1,
    ]
    b0 = ["--b0", paths["b0"]] if with_b0 else []
    assert run(*chain_args(paths, tmp_path, *outputs, *b0)) == 0
    np.testing.assert_allclose(read(tmp_path / "r1.nii.gz"), truth["r1"], rtol=1e-5)
    np.testing.assert_allclose(read(tmp_path / "m0.nii.gz"), truth["m0"], rtol=1e-5)
    np.testing.assert_allclose(read(tmp_path / "mtr.nii.gz"), 100 * (1 - ratio), atol=1e-4)
    assert np.isfinite(read(tmp_path / "mtsat.nii.gz")).all()
    error = np.nanmax(np.abs(read(tmp_path / "f.nii.gz") - truth["f"]))
    # Without the B0 map the offsets are off by up to 150 Hz of 2 kHz.
    assert error < 1e-5 if with_b0 else error > 1e-3
    assert (read(tmp_path / "s.nii.gz") == 0).all() == with_b0
    solved = read(tmp_path / "s.nii.gz") == 0
    for name in ("sd", "e_R1", "e_B1"):
        assert np.isfinite(read(tmp_path / f"{name}.nii.gz")[solved]).all()
    assert (read(tmp_path / "sd.nii.gz")[solved] > 0).all()
    # Streamed a dozen voxels at a time (parts of a plane), the maps are
    # those of the whole volume at once, to the bit.
    from tavni.mt_map.io import streaming

    tiny = tmp_path / "tiny"
    tiny.mkdir()
    budget = ["--max-memory", streaming.BASELINE_BYTES + 12 * 250]
    assert (
        run(
            *chain_args(
                paths,
                tiny,
                *(str(a).replace(str(tmp_path), str(tiny)) for a in outputs),
                *b0,
                *budget,
            )
        )
        == 0
    )
    for name in ("f", "s", "r1", "m0", "mtr", "mtsat", "sd", "e_R1", "e_B1"):
        np.testing.assert_array_equal(
            read(tiny / f"{name}.nii.gz"), read(tmp_path / f"{name}.nii.gz")
        )


@pytest.mark.parametrize(
    "wild, masked, status, warned",
    [
        (1e30, False, 3, True),  # a background voxel: invalid input, said so
        (-3e4, False, 3, True),  # a phase wrap: 28 kHz off the others
        (1e30, True, 4, False),  # outside the mask: masked, nothing to say
    ],
)
def test_a_wild_b0_voxel_leaves_the_others_alone(
    tmp_path, scans, capsys, wild, masked, status, warned
):
    paths, truth, _ = scans
    b0 = truth["b0"].copy()
    b0[0, 0, 0] = wild
    nibabel.save(nibabel.Nifti1Image(b0.astype(np.float32), np.eye(4)), tmp_path / "b0.nii.gz")
    mask = np.ones(SHAPE, np.uint8)
    mask[0, 0, 0] = 0 if masked else 1
    nibabel.save(nibabel.Nifti1Image(mask, np.eye(4)), tmp_path / "mask.nii.gz")
    maps = {}
    for name, b0_path in (("wild", tmp_path / "b0.nii.gz"), ("tame", paths["b0"])):
        extra = ["--b0", b0_path, "--mask", tmp_path / "mask.nii.gz"]
        extra += ["--status", tmp_path / f"s_{name}.nii.gz"]
        assert run(*chain_args(paths, tmp_path, *extra)) == 0
        (tmp_path / "f.nii.gz").rename(tmp_path / f"f_{name}.nii.gz")
        maps[name] = [read(tmp_path / f"{m}_{name}.nii.gz") for m in ("f", "s")]
    (f, s), (f_tame, s_tame) = maps["wild"], maps["tame"]
    assert s[0, 0, 0] == status and np.isnan(f[0, 0, 0])
    f[0, 0, 0] = s[0, 0, 0] = f_tame[0, 0, 0] = s_tame[0, 0, 0] = 0
    np.testing.assert_array_equal(f, f_tame)  # the same lineshape grid, to the bit
    np.testing.assert_array_equal(s, s_tame)
    assert (
        "1 fitted voxels have an offset delta_omega + B0 outside" in capsys.readouterr().err
    ) == warned


@pytest.mark.parametrize("masked", [False, True])
def test_only_the_voxels_to_fit_are_computed(tmp_path, scans, masked):
    # Voxels outside the mask or without signal are left out of every step
    # and scattered back as a fit leaves them; the others come out as in a
    # volume where every voxel is fitted, to the bit.
    from tavni.mt_map.status import STATUS_INVALID_INPUT, STATUS_MASKED

    paths, _, _ = scans
    names = ("f", "s", "r1", "mtr", "mtsat", "sd")
    outputs = ["--status", "s", "--r1-out", "r1", "--mtr-out", "mtr", "--mtsat-out", "mtsat"]
    outputs += ["--uncertainty-out", "sd", "--noise-sd", "1"]
    pdw = read(paths["pdw"]).copy()
    pdw[0, :, :2] = 0.0  # no signal
    mask = np.ones(SHAPE, np.uint8)
    mask[1:3, 2] = 0
    for folder, scan, extra in (("all", paths["pdw"], ()), ("cut", tmp_path / "pdw.nii.gz", ())):
        nibabel.save(nibabel.Nifti1Image(pdw, np.eye(4)), tmp_path / "pdw.nii.gz")
        if masked and folder == "cut":
            nibabel.save(nibabel.Nifti1Image(mask, np.eye(4)), tmp_path / "mask.nii.gz")
            extra = ("--mask", tmp_path / "mask.nii.gz")
        (tmp_path / folder).mkdir()
        args = chain_args(dict(paths, pdw=scan), tmp_path / folder, *extra)
        args += [tmp_path / folder / f"{a}.nii.gz" if a in names else a for a in outputs]
        assert run(*args) == 0
    kept = (pdw > 0) & (mask > 0 if masked else True)
    for name in names:
        cut, whole = (read(tmp_path / run / f"{name}.nii.gz") for run in ("cut", "all"))
        np.testing.assert_array_equal(cut[kept], whole[kept])
        if name == "s":
            assert (cut[pdw <= 0] == STATUS_INVALID_INPUT).all()
            assert (cut[mask == 0] == STATUS_MASKED).all() == masked
        else:
            assert np.isnan(cut[~kept]).all()


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--mt", "{pdw}"], "not both"),
        (["--mtr-out", "{pdw}"], "same file as the PD-weighted scan"),
        (["--b0", "{b0}", "--G", "1e-5"], "needs T2b"),
        (["--mt-pulse-shape", "hard"], "Gaussian MT pulse only"),
        (["--omega-1-rms", "0"], "must not be zero"),
        (["--t1w-TR", "11"], "is it in milliseconds"),
        (["--noise-sd", "1", "2"], "one each for PDw, T1w, MTw (got 2)"),
        (["--b1", "{b1_percent}"], "(percent? divide it by 100)"),
        (["--b1", "{b1_percent}", "--b0", "{b0}"], "(percent? divide it by 100)"),
        # No flip angle without B1: the fit fails (status 3), and B1 is named.
        (["--b1", "{b1_zero}"], "PD- and T1-weighted scans: the B1 map '"),
        (["--b1", "{b1_zero}"], "likely cause: the B1 map '"),
        # Read in a thread of its own for the noise levels, as the maps are made.
        (["--pdw", "{pdw_cut}", "--uncertainty-out", "{pdw_cut}.sd.nii.gz"], "cannot read PD-w"),
        (["--echo-times", "0.002"], "one echo per scan gives no decay"),
        (["--echo-times", "2.3"], "echo times in ms?"),
        (["--pdw", "{pdw}", "{t1w}"], "the echoes of a multi-echo scan need --echo-times"),
        (["--r2star-out", "{pdw}.r2.nii.gz"], "the R2* maps need multi-echo scans"),
        (["--pdw", "{pdw_4d}"], "is 4-D (shape 6 x 5 x 4 x 2); a 3-D image is needed; a mu"),
        (
            ["--b1", "{pdw_4d}"],
            "pdw_4d.nii.gz' is 4-D (shape 6 x 5 x 4 x 2); a 3-D image is needed\n",
        ),
    ],
)
def test_chain_refusals(tmp_path, scans, capsys, extra, message):
    paths, _, _ = scans
    args = chain_args(paths, tmp_path, *(a.format(**paths) for a in extra))
    status = run(*args)
    err = capsys.readouterr().err
    assert message in err
    if status not in (0, 3):  # a warning alone still maps (3: few voxels solved)
        assert status == 1 and err.startswith("mt-map: error: ") and err.count("\n") == 1
        assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "workflow, outputs, message",
    [
        ("fraction_map", ("fraction", "r1"), "the ratio path writes no r1;"),
        ("r1_map", ("r1", "mtsat"), "the R1 map writes no mtsat;"),
        ("semi_quantitative_map", ("mtsat", "mtr", "m0"), "the mtsat map writes no mtr, m0;"),
    ],
)
def test_a_workflow_refuses_an_output_it_does_not_make(tmp_path, scans, workflow, outputs, message):
    from tavni.mt_map import workflows
    from tavni.mt_map.protocol import ParameterError

    paths, _, _ = scans
    p = PROTOCOL
    arguments = {
        "fraction_map": ({"mt": paths["mtw"], "ref": paths["pdw"], "r1": paths["t1w"]}, p),
        "r1_map": ([paths["pdw"], paths["t1w"]], [4.0, 25.0], [p["pdw_TR"], p["t1w_TR"]]),
        "semi_quantitative_map": ("mtsat", paths["mtw"], p),
    }[workflow]
    named = {name: tmp_path / f"{name}.nii.gz" for name in outputs}
    if workflow == "fraction_map":
        arguments = (arguments[0], named, arguments[1])
    else:
        arguments += (named,)
    keywords = {"pdw": paths["pdw"], "t1w": paths["t1w"]} if workflow.startswith("semi") else {}
    with pytest.raises(ParameterError, match=message):
        getattr(workflows, workflow)(*arguments, **keywords)
    assert list(tmp_path.iterdir()) == []


def test_the_library_logs_and_the_command_line_prints(tmp_path, scans, capsys, caplog):
    # From Python, a warning and the summary reach the logger, not stderr;
    # the same call from the command line prints them.
    from tavni.mt_map import workflows

    paths, _, _ = scans
    parameters = dict(PROTOCOL, t1w_TR=11.0)
    outputs = {"fraction": tmp_path / "f.nii.gz"}
    with caplog.at_level("INFO", logger="tavni.mt_map"):
        summary = workflows.fraction_from_scans(
            paths["pdw"], paths["t1w"], paths["mtw"], parameters, outputs
        )
    assert capsys.readouterr().err == ""
    logged = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert ("WARNING", summary.warnings[0]) in logged and "milliseconds" in summary.warnings[0]
    assert any(level == "INFO" and "voxels" in text for level, text in logged)


@pytest.mark.parametrize("levels_after", [None, 2, "last"])
def test_each_run_is_observed_in_order(tmp_path, scans, monkeypatch, levels_after):
    # What the observer sees, run after run, is what the files hold. The sd
    # map waits for its noise levels (known at once, after two runs, or only
    # after the last): its held runs come later, in order, the same bytes.
    import threading

    from tavni.mt_map import workflows
    from tavni.mt_map.io import streaming
    from tavni.mt_map.workflows import chain

    paths, _, _ = scans
    seen, late, known = [], {}, threading.Event()
    given = {"PDw": 1.0, "T1w": 2.0, "MTw": 3.0}

    def slow_levels(*args, **kwargs):
        assert known.wait(30)
        return dict(given), ["noise levels of the test"]

    def observe(start, values, maps):
        if not values:
            late[start] = maps["uncertainty"]
            return
        seen.append((start, values["mtw"].copy(), maps))
        done = start + len(values["mtw"]) == math.prod(SHAPE)
        if levels_after == "last" and done or len(seen) == levels_after:
            known.set()

    outputs = {"fraction": tmp_path / "f.nii.gz", "r1": tmp_path / "r1.nii.gz"}
    budget = workflows.MapOptions(max_memory=streaming.BASELINE_BYTES + 12 * 250)
    options = dict(options=budget, observe=observe)
    if levels_after is not None:
        outputs["uncertainty"] = tmp_path / "sd.nii.gz"
        monkeypatch.setattr(chain, "noise_levels_of", slow_levels)
    summary = workflows.fraction_from_scans(
        paths["pdw"], paths["t1w"], paths["mtw"], PROTOCOL, outputs, **options
    )
    assert len(seen) > 1 and [start for start, *_ in seen] == list(
        np.cumsum([0] + [len(mtw) for _, mtw, _ in seen[:-1]])
    )
    for name, path in [("mtw", paths["mtw"])] + list(outputs.items()):
        runs = [mtw if name == "mtw" else maps.get(name) for _, mtw, maps in seen]
        if name == "uncertainty":
            assert late and set(late) | {s for (s, *_), r in zip(seen, runs) if r is not None} == {
                start for start, *_ in seen
            }
            runs = [late.get(start, run) for (start, *_), run in zip(seen, runs)]
        np.testing.assert_array_equal(
            np.concatenate(runs).astype(np.float32), read(path).reshape(-1, order="F")
        )
    if levels_after is not None:
        assert "noise levels of the test" in summary.notes
        monkeypatch.undo()  # the levels given, each run's sd made with it
        again = {name: tmp_path / f"again_{path.name}" for name, path in outputs.items()}
        workflows.fraction_from_scans(
            paths["pdw"], paths["t1w"], paths["mtw"], PROTOCOL, again, noise_sd=(1, 2, 3)
        )
        assert again["uncertainty"].read_bytes() == outputs["uncertainty"].read_bytes()


@pytest.mark.parametrize("budget", [None, "tiny"])
def test_r1_mtsat_and_mtr_commands(tmp_path, scans, budget, capsys):
    from tavni.mt_map import fit_r1, mtr, mtsat, synthetic_reference
    from tavni.mt_map.io import streaming

    paths, truth, ratio = scans
    p = PROTOCOL
    # A dozen voxels a run (parts of a plane) or the whole volume at once.
    memory = [] if budget is None else ["--max-memory", streaming.BASELINE_BYTES + 12 * 150]
    assert (
        run(
            "r1",
            "--vfa",
            paths["pdw"],
            paths["t1w"],
            "--flip-angles",
            4,
            25,
            "--TR",
            p["pdw_TR"],
            p["t1w_TR"],
            "--b1",
            paths["b1"],
            "--m0",
            tmp_path / "m0.nii.gz",
            "-o",
            tmp_path / "r1.nii.gz",
            *memory,
        )
        == 0
    )
    # The R1 fit's summary speaks of its own statuses, not the fraction's.
    summary = capsys.readouterr().err
    assert "R1 too low" in summary and "bracket" not in summary and "roots" not in summary
    np.testing.assert_allclose(read(tmp_path / "r1.nii.gz"), truth["r1"], rtol=1e-5)
    scans_args = [
        "--pdw",
        paths["pdw"],
        "--t1w",
        paths["t1w"],
        "--mtw",
        paths["mtw"],
        "--protocol",
        paths["protocol"],
        "--b1",
        paths["b1"],
        *memory,
    ]
    assert run("mtr", *scans_args, "-o", tmp_path / "synthetic.nii.gz") == 0
    assert (
        run(
            "mtr",
            "--mtw",
            paths["mtw"],
            "--ref",
            paths["ref"],
            "-o",
            tmp_path / "measured.nii.gz",
            *memory,
        )
        == 0
    )
    np.testing.assert_allclose(
        read(tmp_path / "synthetic.nii.gz"), read(tmp_path / "measured.nii.gz"), atol=1e-4
    )
    assert run("mtsat", *scans_args, "--b1-correction", 0.4, "-o", tmp_path / "c.nii.gz") == 0
    assert run("mtsat", *scans_args, "-o", tmp_path / "u.nii.gz") == 0
    np.testing.assert_allclose(
        read(tmp_path / "c.nii.gz"),
        read(tmp_path / "u.nii.gz") * 0.6 / (1 - 0.4 * truth["b1"]),
        rtol=1e-5,
    )
    # Every map is, to the bit, that of the whole volumes read as float64.
    v = {name: read(paths[name]).astype(np.float64) for name in ("pdw", "t1w", "mtw", "ref", "b1")}
    angles = [math.radians(p[f"{scan}flip_angle_deg"]) for scan in ("pdw_", "t1w_", "")]
    TRs = [p[f"{scan}TR"] for scan in ("pdw_", "t1w_", "")]
    R1, M0 = fit_r1([v["pdw"], v["t1w"]], angles[:2], TRs[:2], b1=v["b1"])
    reference = synthetic_reference(M0, R1, angles[2], TRs[2], b1=v["b1"])
    for name, whole in (
        ("r1", R1),
        ("m0", M0),
        ("measured", mtr(v["mtw"], v["ref"])),
        ("synthetic", mtr(v["mtw"], reference)),
        ("u", mtsat(v["pdw"], v["t1w"], v["mtw"], *angles, *TRs, b1=v["b1"])),
    ):
        np.testing.assert_array_equal(read(tmp_path / f"{name}.nii.gz"), whole.astype(np.float32))


@pytest.mark.parametrize("auto_align", [False, True])
def test_moved_scans_are_registered_back(tmp_path, capsys, auto_align):
    # A head that moved 3 degrees and 2 mm between the scans, with the
    # scanner's field of view fixed or following it; B1 on its own 8 mm grid.
    pytest.importorskip("nilearn")
    from tavni.mt_map.sim import phantom

    head = phantom.make(
        4.0, anatomy="brain", motion=(3.0, 2.0), auto_align=auto_align, b1_voxel_size=8.0
    )
    paths = phantom.write(tmp_path, head)
    white = head.volumes["tissue_wm"] > 0.9
    truth = head.volumes["truth_f"][white]
    errors = {}
    for register in (True, False):
        output = tmp_path / f"f-{register}.nii.gz"
        command = ["fraction", "--protocol", str(paths["protocol"]), "-o", str(output)]
        command += [f"--{name}={paths[name]}" for name in ("pdw", "t1w", "mtw", "b1", "mask")]
        assert main(command + ([] if register else ["--no-register"])) == 0
        f = nibabel.load(output).get_fdata()[white]
        errors[register] = np.nanpercentile(np.abs(f / truth - 1), 90)
    printed = capsys.readouterr().err
    assert (
        "PD-weighted scan moved 2." in printed and "motion relative to MT-weighted scan" in printed
    )
    assert "B1 map resampled from" in printed
    # Registered, 90 % of white matter within 5 % of the truth at 4 mm (the
    # moved scans' partial volumes interpolated once more); combined by
    # index, about 10 %.
    assert errors[True] < 0.05 and errors[False] > 2.5 * errors[True], errors


ECHO_TIMES = {"pdw": 0.0023 * np.arange(1, 9), "t1w": 0.0023 * np.arange(1, 9)}
ECHO_TIMES["mtw"] = ECHO_TIMES["pdw"][:6]


@pytest.mark.parametrize(
    "layout, combination, exact",
    [
        ("files", "te0", True),
        ("4d", "te0", True),
        ("4d", "first", True),  # one first echo time: the same decay in every scan
        ("files", "mean", False),  # 6 MT-weighted echoes against 8: brighter, f lower
        ("reversed", "te0", False),
    ],
)
def test_multi_echo_scans(tmp_path, scans, capsys, layout, combination, exact):
    # The scans read out at 8, 8 and 6 echoes with a per-voxel R2*: te0
    # recovers the single-echo maps and R2*.
    paths, truth, _ = scans
    R2star = np.random.default_rng(9).uniform(10.0, 40.0, SHAPE)
    args = chain_args(paths, tmp_path, "--r1-out", tmp_path / "r1.nii.gz")
    args += ["--echo-combination", combination, "--r2star-out", tmp_path / "r2.nii.gz"]
    for name, TE in ECHO_TIMES.items():
        echoes = read(paths[name])[..., None] * np.exp(-R2star[..., None] * TE)
        files = []
        if layout == "4d":
            files.append(tmp_path / f"{name}.nii.gz")
            nibabel.save(nibabel.Nifti1Image(echoes.astype(np.float32), np.eye(4)), files[0])
        for k in range(TE.size if layout != "4d" else 0):
            files.append(tmp_path / f"{name}_echo-{k + 1}.nii.gz")
            echo = echoes[..., k if layout == "files" or name != "pdw" else TE.size - 1 - k]
            nibabel.save(nibabel.Nifti1Image(echo.astype(np.float32), np.eye(4)), files[-1])
        args[args.index(f"--{name}") + 1] = files[0]
        args[args.index(f"--{name}") + 2 : args.index(f"--{name}") + 2] = files[1:]
    assert run(*args, "--echo-times", *ECHO_TIMES["pdw"]) == 0
    err = capsys.readouterr().err
    assert (
        run(
            *chain_args(
                paths, tmp_path, "-o", tmp_path / "f1.nii.gz", "--r1-out", tmp_path / "r11.nii.gz"
            )
        )
        == 0
    )
    f, f1 = read(tmp_path / "f.nii.gz"), read(tmp_path / "f1.nii.gz")
    if layout != "reversed":
        np.testing.assert_allclose(read(tmp_path / "r2.nii.gz"), R2star, rtol=1e-4)
    if exact:
        np.testing.assert_allclose(f, f1, rtol=1e-4, atol=1e-6)
        np.testing.assert_allclose(
            read(tmp_path / "r1.nii.gz"), read(tmp_path / "r11.nii.gz"), rtol=1e-4
        )
    elif layout == "reversed":
        assert "PDw scan grows with echo time" in err
    else:
        assert np.nanmedian(f / f1) < 0.97
