"""A participant's brain mask from the derivatives folder of ``--mask-dir``.

For ``collections``, which gives each collection the mask found here
(without one, processing a participant computes a mask from its MT-weighted
scan, or fits every voxel).
"""

from tavni.mt_map.bids.layout import derivative_image

__all__ = ["find_mask"]


def find_mask(mask_dir, participant: str, session: str | None) -> str:
    """A brain mask for this participant (and session) from a derivatives folder.

    Parameters
    ----------
    mask_dir : path-like
        The derivatives folder (``--mask-dir``).
    participant : str
    session : str or None

    Returns
    -------
    str
        The path of its ``*_mask`` image, ``desc-brain`` preferred.

    Raises
    ------
    BidsError
        None, several, or a folder pybids cannot index.
    """
    _, mask = derivative_image(mask_dir, "--mask-dir", "mask", participant, session, "brain")
    return mask.path
