"""A synthetic head for trying the mapping chain without a scanner.

- :mod:`~tavni.mt_map.sim.anatomy`: where the tissues are (white matter,
  grey matter, CSF as partial-volume maps of the MNI ICBM152 brain, or
  nested ellipsoids);
- :mod:`~tavni.mt_map.sim.phantom`: the tissue truth, transmit and static
  fields and the three SPGR scans made from it, with Rician noise;
- :mod:`~tavni.mt_map.sim.acquisition`: what a scanner adds: head motion
  between the scans, the B1 sequence's own grid and its images (DAM, AFI,
  flip-angle map).

Used by ``mt-map phantom``, ``mt-map demo`` and the BIDS App's phantom
dataset (:mod:`tavni.mt_map.bids.phantom_dataset`).
"""

__all__ = ["anatomy", "phantom", "acquisition"]
