"""A synthetic head for trying the mapping chain without a scanner.

- :mod:`~tavni.mt_map.sim.anatomy`: where the tissues are (white matter,
  grey matter, CSF as partial-volume maps of the MNI ICBM152 brain, or
  nested ellipsoids);
- :mod:`~tavni.mt_map.sim.tissues`: the tissues' values, their
  partial-volume mixture, and how the heads of a dataset differ;
- :mod:`~tavni.mt_map.sim.fields`: the transmit and static fields, and the
  B1 map on the B1 sequence's own grid with its images;
- :mod:`~tavni.mt_map.sim.scans`: the phantom's protocol and the three SPGR
  scans made from the truth: echoes, motion, Rician noise, scale;
- :mod:`~tavni.mt_map.sim.phantom`: :func:`~tavni.mt_map.sim.phantom.make`,
  which takes these steps in turn, and the phantom's files;
- :mod:`~tavni.mt_map.sim.acquisition`: what a scanner adds: head motion
  between the scans, the B1 sequence's own grid and its images (DAM, AFI,
  flip-angle map).

Used by ``mt-map phantom``, ``mt-map demo`` and the BIDS App's phantom
dataset (:mod:`tavni.mt_map.bids.phantom_dataset`).
"""

__all__ = ["anatomy", "tissues", "fields", "scans", "phantom", "acquisition"]
