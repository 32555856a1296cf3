"""Images onto the reference grid through world coordinates, and the rigid
registration that undoes head motion.
"""

import math

import numpy as np
import pytest

from tavni.mt_map.preprocess import grid, registration
from tavni.mt_map.sim import phantom


def rigid_motion(affine, shape, degrees, shift_mm):
    """A head motion: a rotation about x and y through the grid's centre,
    then a shift (world to world, mm).
    """
    a, b = math.radians(degrees), math.radians(-degrees / 2)
    rx = np.array([[1, 0, 0], [0, math.cos(a), -math.sin(a)], [0, math.sin(a), math.cos(a)]])
    ry = np.array([[math.cos(b), 0, math.sin(b)], [0, 1, 0], [-math.sin(b), 0, math.cos(b)]])
    centre = (affine @ np.r_[(np.array(shape) - 1) / 2, 1])[:3]
    motion = np.eye(4)
    motion[:3, :3] = ry @ rx
    motion[:3, 3] = centre + np.array(shift_mm) - motion[:3, :3] @ centre
    return motion


@pytest.fixture(scope="module")
def head():
    pytest.importorskip("nilearn")
    made = phantom.make(voxel_size=4.0, anatomy="brain")
    return made.volumes["pdw"], made.affine


def test_later_echoes_take_the_motion_of_their_first(head):
    # The echoes of one readout do not move between them: the second echo
    # is resampled with the first echo's motion, not registered on its own.
    from tavni.mt_map.io.volumes import Probe
    from tavni.mt_map.workflows import align

    scan, affine = head
    moved = rigid_motion(affine, scan.shape, 3.0, (1.2, -1.0, 1.0)) @ affine
    volumes = {"ref": (scan, affine), "scan": (scan, moved), "scan_echo2": (0.5 * scan, moved)}
    probes = {
        name: Probe(name, name, data.shape, np.dtype(np.float32), where)
        for name, (data, where) in volumes.items()
    }
    done = align.align(
        probes,
        {"scan": align.SCAN, "scan_echo2": align.SCAN},
        follows={"scan_echo2": "scan"},
        arrays={name: np.float32(data) for name, (data, _) in volumes.items()},
    )
    assert list(done.motion) == ["scan"]
    np.testing.assert_allclose(done.arrays["scan_echo2"], 0.5 * done.arrays["scan"], rtol=1e-6)


@pytest.mark.parametrize("auto_align", [False, True])
def test_registration_recovers_the_motion(head, auto_align):
    scan, affine = head
    motion = rigid_motion(affine, scan.shape, 3.0, (1.2, -1.0, 1.0))
    if auto_align:
        # The scanner followed the head: the same voxels, a moved affine.
        moving, moving_affine = scan, motion @ affine
    else:
        # The head moved inside a fixed field of view.
        moving = np.nan_to_num(
            grid.resample(scan, affine, scan.shape, affine, world=np.linalg.inv(motion))
        )
        moving_affine = affine
    found = registration.rigid(scan, affine, moving, moving_affine)
    error = np.linalg.inv(motion) @ found.matrix
    angle = math.degrees(math.acos(min(1.0, (np.trace(error[:3, :3]) - 1) / 2)))
    centre = (affine @ np.r_[(np.array(scan.shape) - 1) / 2, 1])[:3]
    assert angle < 0.3 and np.linalg.norm(error[:3, :3] @ centre + error[:3, 3] - centre) < 0.3
    applied = math.degrees(math.acos((np.trace(motion[:3, :3]) - 1) / 2))
    assert found.moved() and abs(found.angle_deg - applied) < 0.3
    # Back on the reference grid the moved scan is the scan again.
    back = grid.resample(moving, moving_affine, scan.shape, affine, world=found.matrix)
    inside = np.isfinite(back) & (scan > 0.1 * scan.max())
    assert np.median(np.abs(back[inside] / scan[inside] - 1)) < 0.02


@pytest.mark.parametrize("case", ["apart", "noise"])
def test_a_registration_that_goes_astray_is_refused(head, case):
    scan, affine = head
    moving, moving_affine = scan, affine.copy()
    if case == "apart":
        moving_affine[:3, 3] += 500.0
    else:
        moving = np.random.default_rng(0).rayleigh(1.0, scan.shape)
    message = {"apart": "do not overlap", "noise": "share no structure"}[case]
    with pytest.raises(registration.RegistrationError, match=message):
        registration.rigid(scan, affine, moving, moving_affine)


def linear_field(points):
    return 1.0 + 0.002 * points[0] - 0.001 * points[1] + 0.0015 * points[2]


def test_a_field_on_its_own_grid_reaches_the_reference_grid():
    # The reference: 2 mm axial; the field: 4 mm, axes permuted (sagittal),
    # its own origin, covering only z < 20 mm.
    ref_shape, ref_affine = (40, 44, 36), np.diag([2.0, 2.0, 2.0, 1.0])
    ref_affine[:3, 3] = (-40, -44, -36)
    field_affine = np.array(
        [[0, 0, 4.0, -46], [4.0, 0, 0, -50], [0, 4.0, 0, -40], [0, 0, 0, 1]], dtype=float
    )
    field_shape = (26, 16, 26)  # (y, z, x) axes; z from -40 to +20 mm
    index = np.indices(field_shape).reshape(3, -1)
    world = field_affine[:3, :3] @ index + field_affine[:3, 3:]
    values = linear_field(world).reshape(field_shape)
    onto = grid.field_onto(values, field_affine, ref_shape, ref_affine)
    ref_world = (ref_affine[:3, :3] @ np.indices(ref_shape).reshape(3, -1)) + ref_affine[:3, 3:]
    z = ref_world[2].reshape(ref_shape)
    truth = linear_field(ref_world).reshape(ref_shape)
    covered = z <= 14  # well inside: the smoothing keeps a linear field
    assert np.nanmax(np.abs(onto[covered] - truth[covered])) < 2e-3
    # Carried out past the last covered plane (20 mm) by the extension, then NaN.
    assert np.isfinite(onto[(z > 22) & (z < 20 + grid.FIELD_EXTENSION_MM - 2)]).all()
    assert np.isnan(onto[z > 20 + grid.FIELD_EXTENSION_MM + 2]).all()
    assert onto.flags.f_contiguous and onto.dtype == np.float32


def test_resampling_onto_its_own_grid_changes_nothing(head):
    scan, affine = head
    same = grid.resample(scan, affine, scan.shape, affine)
    np.testing.assert_allclose(same, scan, rtol=1e-5, atol=1e-6 * scan.max())
