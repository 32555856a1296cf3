"""Multi-echo scans: their echoes combined into one image per scan.

A spoiled gradient-echo scan read out at several echo times decays with the
tissue's R2* between its echoes, S(TE) = S(0) exp(-R2* TE). The chain needs
one signal per scan that the two-pool model and the variable-flip-angle
equations describe, and those describe the signal at TE = 0: the echo decay
is the same factor in every scan only where the scans share their echo
times. The combinations:

- ``te0`` (default): ln S_c(TE) = ln S_c(0) - R2* TE fitted per voxel by
  weighted least squares over every echo of every scan, one R2* shared by
  the scans (``relaxometry.fit_echoes``); the S_c(0) feed the chain and R2*
  is a map of its own.
- ``mean``: the mean of each scan's echoes. Biased wherever the scans'
  echo times differ: an MT-weighted scan with 6 echoes against references
  with 8 (TE up to 18.4 ms) comes out 4-5 % brighter at a T2* of 45-60 ms,
  which lowers f by 10-15 %.
- ``first``: each scan's first echo; biased when the first echo times differ.

In the chain the echoes of a scan are images of their own ("pdw" is the
first echo of the PD-weighted scan, "pdw_echo2" its second, ...), brought
onto the maps' grid with the motion of the scan's first echo (the echoes of
one readout do not move between them) and streamed with the other images;
``EchoRuns`` combines them run by run before the chain sees them.
"""

from dataclasses import dataclass
from pathlib import Path

import numpy as np

from tavni.mt_map.io import volumes
from tavni.mt_map.protocol import ECHO_COMBINATIONS, ParameterError

__all__ = [
    "COMBINATIONS",
    "ECHO_OUTPUTS",
    "Echoes",
    "EchoRuns",
    "echo_names",
    "expand",
    "noise_factor",
    "split_4d",
]

COMBINATIONS = ECHO_COMBINATIONS
"""How the echoes of a scan become one image; the first is the default."""

ECHO_OUTPUTS = ("r2star", "r2star_sd", "echo_status")
"""The maps of the echo fit, written only for scans with echoes."""

_NAMES = {"te0": "extrapolation to TE = 0 with one R2*", "mean": "mean", "first": "first echo"}


@dataclass(frozen=True)
class Echoes:
    """A multi-echo scan.

    Attributes
    ----------
    images : tuple of path-like
        One 3-D image per echo, in echo order, or a 1-tuple holding one 4-D
        image with the echoes along its fourth axis.
    echo_times : tuple of float
        Seconds, one per echo.
    """

    images: tuple
    echo_times: tuple

    def __post_init__(self):
        """Normalises the fields: a tuple of images, a tuple of float times."""
        images = tuple(self.images) if not isinstance(self.images, (str, Path)) else (self.images,)
        times = tuple(float(t) for t in np.atleast_1d(np.asarray(self.echo_times, dtype=float)))
        object.__setattr__(self, "images", images)
        object.__setattr__(self, "echo_times", times)


def echo_names(name, count):
    """The image names of a scan's echoes: ``name`` for the first."""
    return [name] + [f"{name}_echo{k}" for k in range(2, count + 1)]


def _listed(times):
    return ", ".join(f"{t:g}" for t in times)


def _check(label, scan):
    from tavni.mt_map.relaxometry import _MAX_ECHOES

    times = np.asarray(scan.echo_times)
    if not 1 <= times.size <= _MAX_ECHOES:
        raise ParameterError(f"{label}: 1 to {_MAX_ECHOES} echo times are needed, got {times.size}")
    if not (np.isfinite(times).all() and (times >= 0).all()):
        raise ParameterError(f"{label}: echo times must be finite and >= 0 s, got {_listed(times)}")
    if times.max() > 0.2:
        raise ParameterError(
            f"{label}: echo time {times.max():g} s is beyond any gradient echo: "
            "echo times in ms? give them in seconds"
        )
    if np.unique(times).size != times.size:
        raise ParameterError(f"{label}: two echoes share an echo time ({_listed(times)} s)")
    if len(scan.images) not in (1, times.size):
        raise ParameterError(
            f"{label}: {len(scan.images)} images for {times.size} echo times; give one "
            "image per echo or one 4-D image"
        )


def expand(scans, table, labels):
    """The chain's images with each scan's echoes as images of their own.

    Parameters
    ----------
    scans : dict of str to path-like or Echoes
        The scans by image name ("pdw", "t1w", "mtw").
    table : sequence of (str, str)
        (name, what) of the chain's images.
    labels : dict of str to str
        Image name to its short name ("PDw") for messages.

    Returns
    -------
    images : dict of str to path-like
        Every image name to its file; a 4-D image under its first echo's name.
    table : list of (str, str)
        The table with the further echoes after their first.
    times : dict of str to numpy.ndarray or None
        Echo times per scan (s); None where no scan has echoes.

    Raises
    ------
    ParameterError
        Echo times that are not times in seconds, or do not match the images.
    """
    if not any(isinstance(scan, Echoes) for scan in scans.values()):
        return dict(scans), list(table), None
    missing = [labels[n] for n, scan in scans.items() if not isinstance(scan, Echoes)]
    if missing:
        # A single-echo scan has no echo time here to extrapolate from.
        raise ParameterError(
            f"echo times are needed for every scan when one has echoes; none for "
            f"{', '.join(missing)}"
        )
    images, rows, times = {}, [], {}
    whats = dict(table)
    for name, what in table:
        scan = scans.get(name)
        if not isinstance(scan, Echoes):
            rows.append((name, what))
            continue
        _check(f"{what} ({labels[name]})", scan)
        times[name] = np.asarray(scan.echo_times)
        names = echo_names(name, times[name].size)
        rows += [(name, what)] + [
            (n, f"{whats[name]} echo {k}") for k, n in enumerate(names[1:], 2)
        ]
        if len(scan.images) == 1:
            images[name] = scan.images[0]
        else:
            images.update(zip(names, scan.images))
    return images, rows, times


def split_4d(probes, times):
    """Splits 4-D multi-echo images into one float32 volume per echo.

    Parameters
    ----------
    probes : dict of str to volumes.Probe
        The images as probed; changed in place: each 4-D scan's probe
        becomes its first echo's, and the further echoes follow it.
    times : dict of str to numpy.ndarray
        Echo times per scan.

    Returns
    -------
    dict of str to numpy.ndarray
        The echoes of the 4-D images (Fortran-ordered float32), by name.

    Raises
    ------
    VolumeError
        A 4-D image whose echo count differs from its echo times, a 3-D
        image where echoes are expected, or one that cannot be read.
    """
    arrays, order = {}, list(probes)
    for name, TE in times.items():
        probe = probes[name]
        shape = tuple(probe.shape)
        count = shape[3] if len(shape) == 4 else 1
        if len(shape) > 4 or (count != TE.size and f"{name}_echo2" not in probes):
            raise volumes.VolumeError(
                f"{probe.what} '{probe.path}' holds {count} echo(es) (shape {shape}); "
                f"{TE.size} echo times are given"
            )
        if count == 1:
            continue
        volumes.check_memory(4 * probe.voxels, f"reading the echoes of {probe.what}")
        data = volumes.load(probe).data
        for k, echo in enumerate(echo_names(name, count)):
            arrays[echo] = np.asfortranarray(data[..., k], dtype=np.float32)
            what = probe.what if k == 0 else f"{probe.what} echo {k + 1}"
            probes[echo] = volumes.Probe(
                probe.path, what, shape[:3], np.dtype(np.float32), probe.affine, probe.header
            )
        del data
    # The further echoes after their first, as the table orders them.
    ordered = []
    for name in order:
        ordered.append(name)
        if name in times and len(probes[name].shape) == 3:
            ordered += [n for n in echo_names(name, times[name].size)[1:] if n not in order]
    moved = {name: probes.pop(name) for name in ordered}
    probes.update(moved)
    return arrays


def noise_factor(method, TE, times):
    """How much the combination scales a scan's noise (one echo's = 1).

    For ``te0``: the sd of the intercept of the scan in the shared-slope
    fit, taken with equal weights (no decay), relative to one echo's:
    sqrt(1/n_c + t_c**2 / Sxx), t_c the distance of the scan's mean echo
    time from TE = 0 and Sxx the spread of every scan's echo times about
    their own means. The decay over the echoes makes the later echoes
    noisier in ln S, so the true factor is somewhat larger.

    Parameters
    ----------
    method : str
    TE : numpy.ndarray
        The scan's echo times (s).
    times : dict of str to numpy.ndarray
        Every scan's echo times.

    Returns
    -------
    float
    """
    if method == "first":
        return 1.0
    if method == "mean":
        return float(1.0 / np.sqrt(TE.size))
    Sxx = sum(float(np.sum((t - t.mean()) ** 2)) for t in times.values())
    if Sxx <= 0.0:
        return float("nan")
    return float(np.sqrt(1.0 / TE.size + TE.mean() ** 2 / Sxx))


class EchoRuns:
    """Combines the echoes of each scan in a run of voxels.

    Parameters
    ----------
    times : dict of str to numpy.ndarray
        Echo times per scan (s), by the scan's image name.
    method : str
        One of ``COMBINATIONS``.
    outputs : sequence of str
        Maps wanted; those of ``ECHO_OUTPUTS`` come from the echo fit, which
        runs for ``te0`` or when one of them is wanted.
    threads : int or None
        Worker threads of the fit.
    """

    def __init__(self, times, method, outputs, threads=None):
        if method not in COMBINATIONS:
            raise ParameterError(
                f"echo combination '{method}' is unknown; choose one of {', '.join(COMBINATIONS)}"
            )
        if method == "te0" and all(TE.size < 2 for TE in times.values()):
            raise ParameterError(
                "one echo per scan gives no decay to extrapolate to TE = 0 from; "
                "map the echoes as they are with the echo combination 'first'"
            )
        self.times, self.method, self.threads = times, method, threads
        self.wanted = [name for name in ECHO_OUTPUTS if name in outputs]
        self.counts = {}
        # Per scan, fitted voxels whose last echo is brighter than the first:
        # in most of them, the images are not in the order of their times.
        self.rising = dict.fromkeys(times, 0)
        self.fitted = 0

    def __call__(self, values):
        """The run's values with each scan's echoes replaced by one image.

        Parameters
        ----------
        values : dict of str to numpy.ndarray
            A run of every image by name, of the voxels to fit alone (the
            chain leaves out the others); changed in place.

        Returns
        -------
        dict of str to numpy.ndarray
            The maps of the echo fit that are wanted.
        """
        from tavni.mt_map.relaxometry import fit_echoes
        from tavni.mt_map.status import ECHOES

        stacks = {
            name: np.stack([values.pop(n) for n in echo_names(name, TE.size)], axis=-1)
            for name, TE in self.times.items()
        }
        for name, stack in stacks.items():
            TE = self.times[name]
            if TE.size > 1:
                later = stack[:, np.argmax(TE)] > stack[:, np.argmin(TE)]
                self.rising[name] += int(np.count_nonzero(later))
        self.fitted += len(next(iter(stacks.values())))
        if self.method == "te0" or self.wanted:
            S0, R2star, sd, status = fit_echoes(
                list(stacks.values()), list(self.times.values()), threads=self.threads
            )
            for code, count in zip(*np.unique(status, return_counts=True)):
                label = next(s.name for s in ECHOES if s.code == code)
                self.counts[label] = self.counts.get(label, 0) + int(count)
            fitted = {"r2star": R2star, "r2star_sd": sd, "echo_status": status}
            maps = {name: fitted[name] for name in self.wanted}
            if self.method == "te0":
                values.update((name, S0[:, c]) for c, name in enumerate(stacks))
                return maps
        else:
            maps = {}
        for name, stack in stacks.items():
            first = stack[:, np.argmin(self.times[name])]
            values[name] = first if self.method == "first" else stack.mean(axis=-1)
        return maps

    def record(self, labels):
        """What the summary says of the echoes (``Summary.echoes``).

        Parameters
        ----------
        labels : dict of str to str
            Scan image name to its short name ("PDw").

        Returns
        -------
        dict
            ``EchoCombination``, ``EchoTimes`` (s, per scan), and the echo
            fit's voxel counts per status (``R2starStatus``) where it ran.
        """
        record = {
            "EchoCombination": self.method,
            "EchoTimes": {labels[n]: [float(t) for t in TE] for n, TE in self.times.items()},
        }
        if self.counts:
            record["R2starStatus"] = dict(self.counts)
        return record

    def warnings(self, labels):
        """Scans whose echoes grow with echo time in most fitted voxels."""
        return [
            f"the signal of the {labels[name]} scan grows with echo time in {count} of the "
            f"{self.fitted} fitted voxels: are its images in the order of their echo times?"
            for name, count in self.rising.items()
            if self.fitted and count > 0.5 * self.fitted
        ]

    def note(self, labels):
        """One line for the summary's notes: the combination and the echoes."""
        scans = "; ".join(
            f"{labels[n]} {TE.size} echo{'es' if TE.size > 1 else ''} "
            f"{1e3 * TE.min():g}-{1e3 * TE.max():g} ms"
            for n, TE in self.times.items()
        )
        return f"echoes combined by {_NAMES[self.method]}: {scans}"
