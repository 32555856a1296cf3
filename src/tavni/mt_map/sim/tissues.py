"""The phantom's tissues, and how the heads of a dataset differ.

White matter, grey matter and CSF (and a skull and scalp around them) at
3 T, their partial-volume mixture per voxel (f, R1, M0, R2*), and the
participant: the tissue values and the shapes of the transmit and static
fields that make one head differ from another (:func:`vary`).

Used by :mod:`~tavni.mt_map.sim.phantom` (and through it the command line,
the demo and the BIDS dataset writer) and :mod:`~tavni.mt_map.sim.fields`.
"""

from dataclasses import dataclass, replace

import numpy as np

from tavni.mt_map.sim import anatomy as anatomies

__all__ = [
    "Tissue",
    "TISSUES",
    "SHELL_TISSUES",
    "Participant",
    "TYPICAL",
    "vary",
    "tissue_parameters",
    "r2star",
]


@dataclass(frozen=True)
class Tissue:
    """One tissue's values.

    Attributes
    ----------
    key : str
        Short name, used in file names ("wm").
    name : str
        For summaries ("white matter").
    f : float
        Bound-pool fraction, dimensionless.
    R1 : float
        Longitudinal relaxation rate, 1/s.
    M0 : float
        Equilibrium signal (proton density), relative to CSF.
    R2star : float
        Effective transverse relaxation rate R2* at 3 T, 1/s: how fast the
        gradient echo's signal decays with the echo time.
    """

    key: str  # short name used in file names
    name: str
    f: float  # bound-pool fraction
    R1: float  # longitudinal relaxation rate, 1/s
    M0: float  # equilibrium signal (proton density), relative to CSF
    R2star: float = 0.0  # effective transverse relaxation rate, 1/s


# Typical values at 3 T: the one place to change them. The order is that of
# the anatomy's probability maps; labels count from 1 in this order.
TISSUES = (
    Tissue("wm", "white matter", 0.13, 1.2, 0.69, 20.0),
    Tissue("gm", "grey matter", 0.065, 0.7, 0.80, 15.0),
    Tissue("csf", "CSF", 0.0, 0.25, 1.0, 2.0),
)
"""White matter, grey matter and CSF at 3 T, in the order of the anatomy's
probability maps."""
assert tuple(t.key for t in TISSUES) == anatomies.TISSUE_KEYS

# Bone has almost no signal in a gradient echo (its T2* is far below the echo
# time), which a small effective M0 stands for: about 3 % of white matter's
# signal in the PD- and T1-weighted scans. The scalp is mostly fat: short T1,
# high proton density, little bound pool, bright in every SPGR scan.
# R2* at 3 T: what signal the skull gives comes from the fatty marrow of the
# diploe, which the trabecular bone around it dephases quickly (measured
# R2* of trabecular marrow: roughly 50-150 /s; 80 /s here). The scalp's fat
# and muscle decay at roughly 25-40 /s (30 /s here); the oscillation of the
# fat signal with the echo time (its several chemical shifts) is left out.
SHELL_TISSUES = (
    Tissue("skull", "skull", 0.05, 1.5, 0.02, 80.0),
    Tissue("scalp", "scalp", 0.03, 3.0, 0.9, 30.0),
)
"""Skull and scalp, the shells of a head around the brain (labels 4, 5)."""
assert tuple(t.key for t in SHELL_TISSUES) == anatomies.HEAD_KEYS


@dataclass(frozen=True)
class Participant:
    """What differs between heads: tissue values and the fields' shapes.

    The transmit field is ``b1_centre_value`` at ``b1_centre`` (world mm)
    and falls off as a Gaussian with ``b1_widths`` (mm, per axis) towards
    ``b1_floor``. The static field offset is a sum of Gaussian bumps
    (centre mm, peak Hz, width mm) near the air-filled cavities: the frontal
    sinus above the nose and the ear canals.
    """

    tissues: tuple = TISSUES
    shell: tuple = SHELL_TISSUES
    b1_centre: tuple = (0.0, -20.0, 10.0)
    b1_widths: tuple = (55.0, 70.0, 55.0)
    b1_centre_value: float = 1.2
    b1_floor: float = 0.8
    b0_sources: tuple = (
        ((0.0, 62.0, -12.0), 80.0, 20.0),  # frontal sinus
        ((-55.0, -20.0, -40.0), 30.0, 15.0),  # ear canals
        ((55.0, -20.0, -40.0), 30.0, 15.0),
    )
    b0_gradient: tuple = (0.0, 0.0, 0.1)  # residual linear shim, Hz/mm


TYPICAL = Participant()
"""The head every participant of a dataset is varied from."""


def vary(index, seed=0, base=TYPICAL):
    """A slightly different head for participant ``index`` of a dataset.

    Tissue values change by about 3 % (f, R1, M0 each, independently), the
    transmit field's centre moves by about 5 mm and its peak by about 0.02,
    the B0 bumps scale by about 15 % and move by about 3 mm. The same
    (index, seed) gives the same participant.

    Parameters
    ----------
    index : int
        Participant number, from 0.
    seed : int
        Seed of the dataset.
    base : Participant
        The head varied.

    Returns
    -------
    Participant
    """
    rng = np.random.default_rng([seed, index, 0x7A])

    def jitter(value, relative):
        return float(value * (1.0 + relative * rng.standard_normal()))

    tissues = tuple(
        replace(t, f=jitter(t.f, 0.03), R1=jitter(t.R1, 0.03), M0=jitter(t.M0, 0.03))
        for t in base.tissues
    )
    b0_sources = tuple(
        (
            tuple(float(c) for c in np.add(centre, 3.0 * rng.standard_normal(3))),
            jitter(peak, 0.15),
            width,
        )
        for centre, peak, width in base.b0_sources
    )
    b1_centre = tuple(float(c) for c in np.add(base.b1_centre, 5.0 * rng.standard_normal(3)))
    b1_centre_value = float(base.b1_centre_value + 0.02 * rng.standard_normal())
    # Drawn last, so that the brain's values stay those of earlier versions.
    shell = tuple(
        replace(t, f=jitter(t.f, 0.03), R1=jitter(t.R1, 0.03), M0=jitter(t.M0, 0.03))
        for t in base.shell
    )
    # R2* after everything else, for the same reason.
    tissues, shell = (
        tuple(replace(t, R2star=jitter(t.R2star, 0.05)) for t in group)
        for group in (tissues, shell)
    )
    return replace(
        base,
        tissues=tissues,
        shell=shell,
        b1_centre=b1_centre,
        b1_centre_value=b1_centre_value,
        b0_sources=b0_sources,
    )


def tissue_parameters(probabilities, tissues=TISSUES):
    """Per-voxel f, R1 and M0 of a partial-volume mixture.

    M0 adds up over the tissues present, Σ p_t M0_t, so a voxel half filled
    with tissue gives half the signal. f and R1 are the tissues' values
    weighted by their share of the tissue in the voxel, Σ p_t x_t / Σ p_t.
    For R1 this is the fast-exchange limit: water moves between the
    compartments of one voxel much faster than it relaxes, so the voxel
    relaxes as one pool at the mean rate (averaging T1 instead would
    describe compartments that never exchange). Voxels without tissue get 0.

    Parameters
    ----------
    probabilities : ndarray, shape (len(tissues), ...)
        Tissue probabilities, in the order of ``tissues``.
    tissues : sequence of Tissue

    Returns
    -------
    f, R1 (1/s), M0 : ndarray
    """
    share = _tissue_shares(probabilities)

    def mixed(values, weights):
        return sum(value * weight for value, weight in zip(values, weights))

    f = mixed([t.f for t in tissues], share)
    R1 = mixed([t.R1 for t in tissues], share)
    M0 = mixed([t.M0 for t in tissues], probabilities.astype(np.float64))
    return f, R1, M0


def r2star(probabilities, tissues=TISSUES):
    """Per-voxel R2* of a partial-volume mixture.

    The tissues' rates weighted by their share of the tissue in the voxel,
    Σ p_t R2*_t / Σ p_t, as R1 is in :func:`tissue_parameters`. A voxel
    shared by tissues would really decay as a sum of exponentials, one per
    tissue; with one mixed rate every voxel decays mono-exponentially,
    S(TE) = S(0) exp(-R2* TE), so the map returned is exactly the rate a
    fit of the noiseless echoes finds. Voxels without tissue get 0.

    Parameters
    ----------
    probabilities : ndarray, shape (len(tissues), ...)
        Tissue probabilities, in the order of ``tissues``.
    tissues : sequence of Tissue

    Returns
    -------
    ndarray
        R2*, 1/s.
    """
    return sum(t.R2star * weight for t, weight in zip(tissues, _tissue_shares(probabilities)))


def _tissue_shares(probabilities):
    """Each tissue's share of the tissue in a voxel (0 where there is none)."""
    total = probabilities.sum(axis=0, dtype=np.float64)
    return np.divide(probabilities, total, out=np.zeros(probabilities.shape), where=total > 0)
