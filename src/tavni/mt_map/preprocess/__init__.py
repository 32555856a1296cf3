"""Scans as the scanner wrote them, brought to what the maps need.

Every image a map reads is brought onto one reference grid, the MT-weighted
scan's, through world coordinates; the PD- and T1-weighted scans are first
aligned to it by a rigid registration (head motion between the scans); the
transmit field (B1) is made relative from whatever its mapping sequence
wrote; and a brain mask is computed where none is given.

- ``grid``: resampling onto the reference grid (scans, smooth field maps,
  masks);
- ``registration``: rigid alignment of one scan to another;
- ``b1``: relative B1 from a B1 map in its units or from the mapping
  sequence's own images;
- ``mask``: a brain mask from a scan.
"""
