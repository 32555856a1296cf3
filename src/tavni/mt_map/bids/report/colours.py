"""Colour maps as small tables, for drawing the report's pictures with NumPy.

Each map is a few anchors (position on a 256-entry table, red, green,
blue in 0-1) joined by straight lines; the anchors are samples of
matplotlib's colour maps of the same names, placed where a straight line
between neighbours stays within 0.008 of the map in every channel. A value
is looked up as matplotlib does: scaled to 0-1 over the range, times 256,
truncated, clipped to the table. A picture of one colour map can be a PNG
of 8-bit entries and a palette, a third of RGB's bytes.
"""

import functools

import numpy as np

__all__ = ["ANCHORS", "table", "palette", "indexed", "coloured", "css_gradient"]

ANCHORS = {
    "gray": (
        (0, 0.000, 0.000, 0.000),
        (255, 1.000, 1.000, 1.000),
    ),
    "RdBu_r": (
        (0, 0.020, 0.188, 0.380),
        (26, 0.132, 0.403, 0.676),
        (51, 0.263, 0.576, 0.765),
        (77, 0.577, 0.775, 0.872),
        (102, 0.820, 0.898, 0.941),
        (127, 0.966, 0.967, 0.968),
        (153, 0.992, 0.859, 0.780),
        (179, 0.955, 0.642, 0.506),
        (204, 0.839, 0.376, 0.302),
        (229, 0.701, 0.100, 0.171),
        (255, 0.404, 0.000, 0.122),
    ),
    "PuOr_r": (
        (0, 0.176, 0.000, 0.294),
        (25, 0.326, 0.150, 0.529),
        (51, 0.502, 0.451, 0.675),
        (76, 0.694, 0.666, 0.821),
        (102, 0.847, 0.855, 0.922),
        (127, 0.966, 0.966, 0.968),
        (153, 0.996, 0.878, 0.714),
        (178, 0.992, 0.725, 0.395),
        (204, 0.878, 0.510, 0.078),
        (230, 0.698, 0.343, 0.024),
        (255, 0.498, 0.231, 0.031),
    ),
    "magma": (
        (0, 0.001, 0.000, 0.014),
        (12, 0.025, 0.021, 0.101),
        (28, 0.093, 0.060, 0.239),
        (47, 0.205, 0.063, 0.412),
        (54, 0.252, 0.059, 0.453),
        (61, 0.298, 0.066, 0.478),
        (81, 0.421, 0.113, 0.505),
        (107, 0.582, 0.172, 0.503),
        (129, 0.723, 0.217, 0.473),
        (152, 0.863, 0.284, 0.412),
        (164, 0.922, 0.341, 0.377),
        (175, 0.958, 0.411, 0.360),
        (184, 0.977, 0.476, 0.364),
        (194, 0.989, 0.550, 0.388),
        (207, 0.996, 0.646, 0.441),
        (221, 0.997, 0.748, 0.517),
        (255, 0.987, 0.991, 0.750),
    ),
    "viridis": (
        (0, 0.267, 0.005, 0.329),
        (15, 0.282, 0.090, 0.412),
        (29, 0.281, 0.161, 0.473),
        (42, 0.268, 0.224, 0.512),
        (57, 0.243, 0.292, 0.539),
        (91, 0.181, 0.430, 0.557),
        (129, 0.126, 0.571, 0.550),
        (143, 0.120, 0.622, 0.535),
        (154, 0.137, 0.662, 0.516),
        (170, 0.208, 0.719, 0.473),
        (189, 0.344, 0.780, 0.397),
        (209, 0.526, 0.833, 0.288),
        (238, 0.825, 0.885, 0.106),
        (246, 0.906, 0.895, 0.098),
        (255, 0.993, 0.906, 0.144),
    ),
    "cividis": (
        (0, 0.000, 0.135, 0.305),
        (21, 0.000, 0.191, 0.441),
        (23, 0.004, 0.196, 0.442),
        (28, 0.069, 0.209, 0.439),
        (34, 0.118, 0.226, 0.434),
        (52, 0.213, 0.275, 0.424),
        (84, 0.339, 0.362, 0.428),
        (126, 0.482, 0.480, 0.470),
        (148, 0.563, 0.544, 0.470),
        (179, 0.684, 0.639, 0.444),
        (205, 0.790, 0.724, 0.397),
        (232, 0.906, 0.818, 0.313),
        (242, 0.950, 0.855, 0.265),
        (251, 0.992, 0.888, 0.205),
        (255, 0.996, 0.909, 0.218),
    ),
    "inferno": (
        (0, 0.001, 0.000, 0.014),
        (9, 0.017, 0.013, 0.080),
        (17, 0.047, 0.030, 0.150),
        (29, 0.111, 0.047, 0.263),
        (42, 0.197, 0.038, 0.368),
        (55, 0.284, 0.044, 0.417),
        (73, 0.398, 0.083, 0.433),
        (90, 0.503, 0.122, 0.423),
        (107, 0.609, 0.159, 0.394),
        (124, 0.712, 0.204, 0.344),
        (143, 0.817, 0.271, 0.270),
        (172, 0.936, 0.424, 0.135),
        (192, 0.978, 0.558, 0.035),
        (201, 0.987, 0.623, 0.028),
        (213, 0.986, 0.713, 0.104),
        (228, 0.968, 0.829, 0.250),
        (236, 0.953, 0.889, 0.351),
        (244, 0.947, 0.943, 0.475),
        (255, 0.988, 0.998, 0.645),
    ),
    "plasma": (
        (0, 0.050, 0.030, 0.528),
        (11, 0.156, 0.021, 0.574),
        (32, 0.300, 0.010, 0.632),
        (48, 0.399, 0.001, 0.656),
        (63, 0.489, 0.010, 0.659),
        (71, 0.535, 0.031, 0.650),
        (88, 0.626, 0.103, 0.611),
        (110, 0.728, 0.201, 0.535),
        (134, 0.820, 0.307, 0.448),
        (171, 0.931, 0.478, 0.323),
        (202, 0.986, 0.641, 0.218),
        (227, 0.991, 0.791, 0.149),
        (236, 0.981, 0.848, 0.142),
        (250, 0.952, 0.942, 0.153),
        (255, 0.940, 0.975, 0.131),
    ),
}
"""Per colour map, its anchors: (position 0-255, red, green, blue)."""


@functools.cache
def table(name, entries=256):
    """A colour map's table.

    Parameters
    ----------
    name : str
        A key of ``ANCHORS``.
    entries : int
        Its length: 256 as matplotlib's, fewer to leave room in a PNG's
        palette of 256 colours for others.

    Returns
    -------
    numpy.ndarray
        (entries, 3) float64, red, green and blue in 0-1 (read-only).
    """
    anchors = np.asarray(ANCHORS[name], dtype=np.float64)
    at = np.linspace(0.0, 255.0, entries)
    found = np.stack([np.interp(at, anchors[:, 0], anchors[:, c]) for c in (1, 2, 3)], -1)
    found.setflags(write=False)
    return found


@functools.cache
def palette(name, entries=256, bad=(255, 255, 255)):
    """The table in 8 bits with one entry more, the colour of NaN.

    Parameters
    ----------
    name : str
        A key of ``ANCHORS``.
    entries : int
        The table's length.
    bad : (int, int, int)
        The colour of NaN.

    Returns
    -------
    numpy.ndarray
        (entries + 1, 3) uint8 (read-only).
    """
    found = np.rint(table(name, entries) * 255).astype(np.uint8)
    found = np.concatenate([found, np.array([bad], np.uint8)])
    found.setflags(write=False)
    return found


def indexed(values, low, high, entries=256):
    """Values as entries of a colour map's table, as matplotlib looks them
    up: scaled to 0-1 over the range, times the entries, truncated,
    clipped to the table; NaN is ``entries``.

    Parameters
    ----------
    values : numpy.ndarray
        Any shape.
    low, high : float
        The range spread over the table.
    entries : int
        The table's length.

    Returns
    -------
    numpy.ndarray
        ``values.shape``, intp.
    """
    scale = entries / (high - low) if high > low else 0.0
    # In float32, the planes' own precision: a value on an entry's
    # boundary may land one entry from another scaling.
    position = (np.asarray(values, np.float32) - np.float32(low)) * np.float32(scale)
    np.clip(position, 0, entries - 1, out=position)
    position[np.isnan(position)] = entries
    return position.astype(np.intp)


def coloured(values, name, low, high, bad=(255, 255, 255)):
    """Values through a colour map, as 8-bit RGB.

    Parameters
    ----------
    values : numpy.ndarray
        Any shape.
    name : str
        A key of ``ANCHORS``.
    low, high : float
        The range spread over the map; values beyond it take the end colours.
    bad : (int, int, int)
        The colour of NaN (the page behind it).

    Returns
    -------
    numpy.ndarray
        ``values.shape + (3,)``, uint8.
    """
    return np.take(palette(name, 256, tuple(bad)), indexed(values, low, high), axis=0)


def css_gradient(name, direction="to top"):
    """The colour map as a CSS gradient through its anchors.

    The browser joins the anchors by straight lines in RGB as ``table``
    does, so a colour bar needs no picture.

    Parameters
    ----------
    name : str
        A key of ``ANCHORS``.
    direction : str
        From the low end to the high end, in CSS (``to top``, ``to right``).

    Returns
    -------
    str
        A ``linear-gradient(...)`` value.
    """
    stops = ", ".join(
        f"rgb({round(255 * r)} {round(255 * g)} {round(255 * b)}) {100 * k / 255:.1f}%"
        for k, r, g, b in ANCHORS[name]
    )
    return f"linear-gradient({direction}, {stops})"
