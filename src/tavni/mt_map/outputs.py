"""The catalogue of output maps: one row per map the workflows can write.

Everything that names, describes, stores or shows a map takes it from here:
the workflows (data type, NIfTI description, the name in messages), the
command line (the option that asks for it), the BIDS App (suffix, units,
algorithm and reference of its sidecar), the reports (label and display
range) and the demo (its file name). A new output map is a new row here
plus its computation in the workflow that makes it.
"""

from typing import NamedTuple

__all__ = ["BIDS_MAPS", "GROUP_MAPS", "MAPS", "OutputMap", "REFERENCES", "by_key"]

# The method papers, cited in the sidecars of the maps they define.
REFERENCES = {
    "spgr": "Deoni SCL, Rutt BK, Peters TM. Rapid combined T1 and T2 mapping using gradient "
    "recalled acquisition in the steady state. Magn Reson Med 2003;49:515-526.",
    "mtsat": "Helms G, Dathe H, Kallenberg K, Dechent P. High-resolution maps of "
    "magnetization transfer with inherent correction for RF inhomogeneity and T1 "
    "relaxation obtained from 3D FLASH MRI. Magn Reson Med 2008;60:1396-1407.",
    "mpf": "Yarnykh VL. Fast macromolecular proton fraction mapping from a single "
    "off-resonance magnetization transfer measurement. Magn Reson Med "
    "2012;68:166-178.",
    "synthetic": "Yarnykh VL. Time-efficient, high-resolution, whole brain three-dimensional "
    "macromolecular proton fraction mapping. Magn Reson Med 2016;75:2100-2106.",
    "uncertainty": "First-order propagation by the implicit function theorem; tavni-mt-map.",
    "r2star": "Weiskopf N, Callaghan MF, Josephs O, Lutti A, Mohammadi S. Estimating the "
    "apparent transverse relaxation time (R2*) from images with different contrasts "
    "(ESTATICS) reduces motion artifacts. Front Neurosci 2014;8:278.",
}


class OutputMap(NamedTuple):
    """One output map.

    Attributes
    ----------
    key : str
        The workflows' name for it (``outputs={key: path}``).
    label : str
        What it is, for figures and tables.
    unit : str
        Its unit as BIDS spells it ("1" for dimensionless).
    dtype : str
        NumPy data type stored.
    what : str
        How messages name the output file.
    descrip : str
        The NIfTI header's description.
    flag : str
        The ``mt-map fraction`` option that writes it.
    short : str
        A short file stem (the demo's file names).
    suffix : str or None
        BIDS suffix in the derivatives dataset.
    desc : str or None
        BIDS ``desc-`` entity beside the suffix.
    algorithm : str or None
        ``EstimationAlgorithm`` of its BIDS sidecar.
    reference : str or None
        ``EstimationReference`` of its BIDS sidecar.
    display : tuple or None
        ``((low, high), colormap)``: the range typical of brain tissue
        that reports show it in, widened where the map goes beyond it.
    needs_scans : bool
        Only the three-scan chain makes it (the ratio path has no scans to
        derive it from).
    needs_echoes : bool
        Only multi-echo scans give it.
    """

    key: str
    label: str
    unit: str
    dtype: str
    what: str
    descrip: str
    flag: str
    short: str
    suffix: str | None = None
    desc: str | None = None
    algorithm: str | None = None
    reference: str | None = None
    display: tuple | None = None
    needs_scans: bool = False
    needs_echoes: bool = False


MAPS = (
    OutputMap(
        "fraction",
        "bound-pool fraction",
        "1",
        "float32",
        "output",
        "bound-pool fraction f (two-pool MT model)",
        "--output",
        "mpf",
        "MPFmap",
        algorithm="Bound-pool (macromolecular proton) fraction from one MT-weighted "
        "image, a synthetic reference image and R1, by solving the pulsed "
        "steady-state two-pool model per voxel",
        reference=REFERENCES["mpf"],
        display=((0.0, 0.2), "magma"),
    ),
    OutputMap(
        "status",
        "status of the fraction fit",
        "1",
        "uint8",
        "status output",
        "status of the fraction fit per voxel",
        "--status",
        "status",
        "dseg",
        desc="MPFstatus",
    ),
    OutputMap(
        "r1",
        "R1",
        "1/s",
        "float32",
        "R1 output",
        "R1 (1/s) by variable flip angle",
        "--r1-out",
        "r1",
        "R1map",
        algorithm="Longitudinal relaxation rate from the PD- and T1-weighted spoiled "
        "gradient echoes by variable flip angle (DESPOT1, the exact "
        "steady-state signal), corrected for the transmit field",
        reference=REFERENCES["spgr"],
        display=((0.0, 2.0), "viridis"),
        needs_scans=True,
    ),
    OutputMap(
        "m0",
        "M0",
        "arbitrary",
        "float32",
        "M0 output",
        "M0 (signal units) by variable flip angle",
        "--m0-out",
        "m0",
        "M0map",
        algorithm="Equilibrium signal from the PD- and T1-weighted spoiled gradient "
        "echoes by variable flip angle (DESPOT1), corrected for the transmit "
        "field",
        reference=REFERENCES["spgr"],
        needs_scans=True,
    ),
    OutputMap(
        "mtr",
        "MTR",
        "percent",
        "float32",
        "MTR output",
        "MT ratio (percent)",
        "--mtr-out",
        "mtr",
        "MTRmap",
        algorithm="Magnetization transfer ratio of the MT-weighted image against the "
        "synthetic reference image (the MT-off signal at the MT-weighted "
        "scan's flip angle and TR predicted from R1 and M0)",
        reference=REFERENCES["synthetic"],
        needs_scans=True,
    ),
    OutputMap(
        "mtsat",
        "MTsat",
        "percent",
        "float32",
        "MTsat output",
        "MT saturation (percent units, Helms 2008)",
        "--mtsat-out",
        "mtsat",
        "MTsat",
        algorithm="MT saturation from the PD-, T1- and MT-weighted spoiled gradient echoes",
        reference=REFERENCES["mtsat"],
        display=((0.0, 3.0), "cividis"),
        needs_scans=True,
    ),
    OutputMap(
        "uncertainty",
        "sd of the fraction (noise)",
        "1",
        "float32",
        "uncertainty output",
        "sd of f from image noise, first order",
        "--uncertainty-out",
        "sd",
        "MPFsd",
        algorithm="Standard deviation of the bound-pool fraction that the noise of the "
        "three scans causes, to first order: the fit's derivatives at the "
        "solution chained through the R1 fit and the synthetic reference; "
        "each scan's noise estimated from its background (Rayleigh mean / "
        "sqrt(pi/2))",
        reference=REFERENCES["uncertainty"],
        display=((0.0, 0.02), "inferno"),
    ),
    OutputMap(
        "sensitivity_r1",
        "change of f per 1% R1 error",
        "1",
        "float32",
        "R1 sensitivity output",
        "change of f per 1% R1 error",
        "--sensitivity-out",
        "sensR1",
        "MPFsensR1",
        algorithm="Change of the bound-pool fraction when the R1 the fraction model is "
        "given is 1% too high, to first order",
        reference=REFERENCES["uncertainty"],
    ),
    OutputMap(
        "sensitivity_b1",
        "change of f per 1% B1 error",
        "1",
        "float32",
        "B1 sensitivity output",
        "change of f per 1% B1 error",
        "--sensitivity-out",
        "sensB1",
        "MPFsensB1",
        algorithm="Change of the bound-pool fraction when the transmit field B1 is 1% "
        "too high, through the R1 fit, the synthetic reference and the "
        "saturation, to first order",
        reference=REFERENCES["uncertainty"],
    ),
    OutputMap(
        "r2star",
        "R2*",
        "1/s",
        "float32",
        "R2* output",
        "R2* (1/s), one decay shared by the scans' echoes",
        "--r2star-out",
        "r2star",
        "R2starmap",
        algorithm="Apparent transverse relaxation rate from the echoes of the PD-, T1- and "
        "MT-weighted spoiled gradient echoes: ln S(TE) = ln S(0) - R2* TE with one R2* "
        "shared by the three scans, weighted least squares (weights S^2) per voxel",
        reference=REFERENCES["r2star"],
        display=((0.0, 40.0), "plasma"),
        needs_scans=True,
        needs_echoes=True,
    ),
    OutputMap(
        "r2star_sd",
        "sd of R2*",
        "1/s",
        "float32",
        "R2* sd output",
        "sd of R2* (1/s) from the echo fit's residuals",
        "--r2star-sd-out",
        "r2starsd",
        # Named as the fraction's sd (MPFsd), with a suffix of its own: as
        # desc-sd_R2starmap, a query for R2* maps by suffix would take it.
        "R2starsd",
        algorithm="Standard deviation of R2* from the weighted residuals of the echo fit",
        reference=REFERENCES["r2star"],
        needs_scans=True,
        needs_echoes=True,
    ),
    OutputMap(
        "echo_status",
        "status of the echo fit",
        "1",
        "uint8",
        "echo status output",
        "status of the echo fit per voxel",
        "--echo-status-out",
        "echostatus",
        "dseg",
        desc="R2starstatus",
        needs_scans=True,
        needs_echoes=True,
    ),
)
"""Every output map, in the order the workflows write them."""

BIDS_MAPS = tuple(row for row in MAPS if row.algorithm is not None)
"""The quantitative maps of the BIDS App, each with its own sidecar (the
status segmentation has a sidecar and a table of its own)."""

GROUP_MAPS = tuple(row for row in BIDS_MAPS if not row.needs_echoes)
"""The maps every participant has, whose medians the group level compares."""

_BY_KEY = {row.key: row for row in MAPS}


def by_key(key: str) -> OutputMap:
    """The row of the map named ``key``.

    Parameters
    ----------
    key : str
        As in :data:`MAPS`.

    Returns
    -------
    OutputMap

    Raises
    ------
    KeyError
        No such map.
    """
    return _BY_KEY[key]
