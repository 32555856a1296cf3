"""The three spoiled gradient-echo scans of the chain: their roles and labels.

Every module that names the scans reads them here: the command line, the
workflows, the BIDS App, the phantom and the reports. Light on purpose (no
NumPy), so that ``mt-map --help`` can read it.
"""

__all__ = ["LABELS", "ROLES"]

ROLES = ("pdw", "t1w", "mtw")
"""The scans by role, in the order the chain reads them: proton-density-
weighted (small flip angle), T1-weighted (large flip angle) and MT-weighted
(the PD-weighted sequence with off-resonance saturation)."""

LABELS = {"pdw": "PDw", "t1w": "T1w", "mtw": "MTw"}
"""Role to the label a person reads (and the BIDS ``acq-`` entity of the
multi-parameter-mapping layout)."""
