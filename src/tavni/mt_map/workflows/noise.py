"""The uncertainty maps of the workflows: the images' noise levels, the standard deviation of f and its sensitivities, run by run.

The propagation itself is :mod:`tavni.mt_map.uncertainty`'s; this module
finds the noise levels before the images are streamed, names the
sensitivity maps' files and collects the maps of each run.
"""

from pathlib import Path

import numpy as np

from tavni.mt_map.io import volumes
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.workflows.summary import SAMPLE

__all__ = [
    "UNCERTAINTY_OUTPUTS",
    "BYTES_PER_VOXEL_FOR_UNCERTAINTY",
    "sensitivity_paths",
    "with_sensitivity_paths",
    "check_noise_sd",
    "noise_images",
    "read_noise_images",
    "StreamedImages",
    "noise_levels_of",
    "UncertaintySample",
]

UNCERTAINTY_OUTPUTS = ("uncertainty", "sensitivity_r1", "sensitivity_b1")
"""The maps that need the fraction's derivatives."""


BYTES_PER_VOXEL_FOR_UNCERTAINTY = 8 * 12
"""What those maps cost per voxel beside the others: three derivatives and
the propagation's arrays, in float64."""


def sensitivity_paths(prefix, like):
    """The R1 and B1 sensitivity maps' paths.

    Parameters
    ----------
    prefix : path-like
        The paths' common start, with or without an image suffix.
    like : path-like
        The fraction map, whose suffix the maps take when ``prefix`` has
        none (.nii.gz when it has none either).

    Returns
    -------
    (pathlib.Path, pathlib.Path)
        prefix + "_R1" and prefix + "_B1", each with the suffix.
    """
    suffixes = sorted(volumes.SUFFIXES, key=len, reverse=True)
    text = str(prefix)
    suffix = next((known for known in suffixes if text.endswith(known)), None)
    if suffix is not None:
        text = text[: -len(suffix)]
    else:
        suffix = next((known for known in suffixes if str(like).endswith(known)), ".nii.gz")
    return Path(f"{text}_R1{suffix}"), Path(f"{text}_B1{suffix}")


def with_sensitivity_paths(outputs):
    """Outputs with a "sensitivity" prefix turned into the two maps' paths.

    Parameters
    ----------
    outputs : dict
        Map name to path; "sensitivity" (a prefix, see
        ``sensitivity_paths``) may stand for "sensitivity_r1" and
        "sensitivity_b1".

    Returns
    -------
    dict
        A copy without "sensitivity", with the two maps' paths where it
        was given.
    """
    outputs = dict(outputs)
    prefix = outputs.pop("sensitivity", None)
    if prefix is not None:
        outputs["sensitivity_r1"], outputs["sensitivity_b1"] = sensitivity_paths(
            prefix, outputs["fraction"]
        )
    return outputs


def check_noise_sd(noise_sd, names):
    """Refuses noise levels that cannot be used, before any image is read.

    Parameters
    ----------
    noise_sd : sequence of float or None
        One level for all images or one each (image units); None: none
        given.
    names : sequence of str
        The images, for the message.

    Raises
    ------
    ParameterError
        Naming ``noise_sd``: a wrong count or a level not positive.
    """
    if noise_sd is None:
        return
    from tavni.mt_map import uncertainty

    try:
        uncertainty.check_noise_levels(noise_sd, names)
    except uncertainty.NoiseEstimateError as error:
        raise ParameterError(f"noise_sd: {error}", "noise_sd") from None


def noise_images(written, probes, names, noise_sd, mask_probe, arrays=None):
    """The images ``noise_levels_of`` has to read: those to estimate the
    noise of (and the mask, as the head) that are not held on the maps'
    grid already.

    Parameters
    ----------
    written, probes, names, noise_sd, mask_probe, arrays
        As ``noise_levels_of`` takes them.

    Returns
    -------
    list of str
        Names in ``probes`` ("mask" for the mask); empty when the levels
        are given or not needed.
    """
    if "uncertainty" not in written or noise_sd is not None:
        return []
    arrays = arrays or {}
    wanted = list(names.values()) + (["mask"] if mask_probe is not None else [])
    grid = next(iter(probes.values())).shape
    return [
        name
        for name in wanted
        if name not in arrays
        and tuple((mask_probe if name == "mask" else probes[name]).shape) == tuple(grid)
    ]


def read_noise_images(written, probes, names, noise_sd, mask_probe, arrays=None, budget=None):
    """The images of ``noise_images`` read in one streamed pass.

    Parameters
    ----------
    written, probes, names, noise_sd, mask_probe, arrays
        As ``noise_levels_of`` takes them.
    budget : int, optional
        Bytes of memory for the pass; default a share of the available.

    Returns
    -------
    StreamedImages or None
        None where there is nothing to read.
    """
    reading = noise_images(written, probes, names, noise_sd, mask_probe, arrays)
    if not reading:
        return None
    like = next(iter(probes.values()))
    streamed = StreamedImages(reading, like.shape)
    streamed.read({**probes, "mask": mask_probe}, budget)
    return streamed


class StreamedImages:
    """Images kept whole in memory from the runs a stream hands over, in the
    volume's (Fortran) order: scans as float32, the mask as booleans
    (nonzero and not NaN). A ``streaming.run`` computation (returns no map).

    The images can be read in one thread while another takes their runs as
    they arrive (``sources``): the maps' pass need not wait for the whole
    volume.

    Parameters
    ----------
    names : sequence of str
        The images to keep; "mask" is kept as booleans.
    shape : tuple of int
        The volume's shape.
    """

    def __init__(self, names, shape):
        import threading

        voxels = int(np.prod(shape, dtype=np.int64))
        self.shape = tuple(shape)
        self.data = {
            name: np.empty(voxels, bool if name == "mask" else np.float32) for name in names
        }
        self.position = 0
        self._arrived = threading.Condition()
        self._error = None  # why the images will not arrive
        self._stopped = False

    def __call__(self, values):
        """Keeps one run; returns no map."""
        if self._stopped:
            raise _Stopped
        count = 0
        for name, volume in self.data.items():
            run = values[name]
            count = len(run)
            part = volume[self.position : self.position + count]
            part[:] = volumes.in_mask(run) if name == "mask" else run
        with self._arrived:
            self.position += count
            self._arrived.notify_all()
        return {}

    def read(self, probes, budget=None):
        """Reads the images from their files (``streaming.run``); a failure
        is raised here and to every source still waiting.

        Parameters
        ----------
        probes : dict of str to volumes.Probe
            The images, by name (more may be named).
        budget : int, optional
            Bytes of memory for the pass.
        """
        from tavni.mt_map.io import streaming

        sources = {name: (probes[name].path, probes[name].what) for name in self.data}
        try:
            streaming.run(sources, {}, self, shape=self.shape, budget=budget)
        except _Stopped:
            return
        except BaseException as error:
            with self._arrived:
                self._error = error
                self._arrived.notify_all()
            raise

    def stop(self):
        """Ends a ``read`` in another thread at its next run (its images no
        longer wanted).
        """
        self._stopped = True

    def sources(self):
        """The scans (not the mask), by name, as ``streaming.run`` inputs
        whose runs come as they arrive: each ``read(count)`` waits for its
        voxels, a read-only view.
        """
        return {name: _Arriving(self, name) for name in self.data if name != "mask"}

    def _wait_for(self, end):
        with self._arrived:
            while self.position < end and self._error is None:
                self._arrived.wait()
            if self.position < end:
                raise self._error

    def volume(self, name):
        """The image of that name, of the volume's shape (a view)."""
        return self.data[name].reshape(self.shape, order="F")


class _Stopped(Exception):
    """A read of images no longer wanted."""


class _Arriving:
    """Runs of one image of a ``StreamedImages`` as another thread reads it."""

    dtype = np.dtype(np.float32)

    def __init__(self, images, name):
        self.images, self.name, self.position = images, name, 0

    def read(self, count):
        start, self.position = self.position, self.position + count
        self.images._wait_for(self.position)
        run = self.images.data[self.name][start : self.position]
        run.flags.writeable = False
        return run

    def close(self):
        pass


def noise_levels_of(
    written,
    probes,
    names,
    noise_sd,
    mask_probe,
    noise_required,
    arrays=None,
    streamed=None,
    budget=None,
    threads=None,
):
    """The noise level of each image, for the uncertainty map.

    Given levels are used as they are; otherwise each image's noise is
    estimated outside the head (or the mask). The background needs the
    whole head around it, so the images not held already are streamed in
    one pass as float32 (``StreamedImages``; never as float64 volumes), the
    mask as booleans.

    Parameters
    ----------
    written : dict
        The maps to write, by name; without "uncertainty" no level is
        needed (the sensitivities get 1.0).
    probes : dict of str to volumes.Probe
        The images, by name.
    names : dict of str to str
        Image name as reported (e.g. "MTw") to its name in ``probes``.
    noise_sd : sequence of float or None
        Given levels (image units), one for all or one each.
    mask_probe : volumes.Probe or None
        The mask, taken as the head.
    noise_required : bool
        Without a usable background: True raises, False makes the levels
        (and so the map) NaN.
    arrays : dict of str to numpy.ndarray, optional
        Images already on the maps' grid (registered, rescaled), by their
        names in ``probes``: used instead of their files.
    streamed : StreamedImages, optional
        The images of ``noise_images`` already read (in a pass the caller
        makes for other ends too); default: read here.
    budget : int, optional
        Bytes of memory for that pass; default a share of the available.
    threads : int, optional
        Images estimated at once, at most; default every core.

    Returns
    -------
    sigmas : dict of str to float
        Noise standard deviation per reported name, image units.
    notes : list of str
        The summary's line on the levels and where they came from.

    Raises
    ------
    ParameterError
        No usable background, with ``noise_required``.
    """
    from tavni.mt_map import uncertainty

    if "uncertainty" not in written:
        return dict.fromkeys(names, 1.0), []  # the sensitivities need no noise level
    arrays = arrays or {}
    if streamed is None:
        streamed = read_noise_images(written, probes, names, noise_sd, mask_probe, arrays, budget)

    def held(name):
        if name in arrays:
            return arrays[name]
        if streamed is not None and name in streamed.data:
            return streamed.volume(name)
        return None

    def whole(name, probe):
        image = held(name)
        return volumes.load(probe).data if image is None else image  # off the grid: read whole

    head = None
    if noise_sd is None and mask_probe is not None:
        head = whole("mask", mask_probe)
        head = head if head.dtype == bool else volumes.in_mask(head)
    try:
        if noise_sd is not None:
            sigmas, statement = uncertainty.noise_levels(dict.fromkeys(names), noise_sd)
        else:
            from concurrent.futures import ThreadPoolExecutor

            from tavni.mt_map.parallel import thread_count

            def level(name):
                image = whole(names[name], probes[names[name]])
                return uncertainty.noise_levels({name: image}, None, head=head)[0][name]

            # Each scan's background is found over the whole volume, in
            # NumPy calls that release the interpreter: the scans held in
            # memory side by side on the cores; those still to be read
            # whole (off the grid) one after another, one in memory at once.
            in_memory = all(held(n) is not None for n in names.values())
            workers = min(len(names), thread_count(threads)) if in_memory else 1
            with ThreadPoolExecutor(max_workers=workers) as pool:
                sigmas = dict(zip(names, pool.map(level, names)))
            levels = ", ".join(f"{name} {sigma:.4g}" for name, sigma in sigmas.items())
            statement = f"noise sd {levels} (estimated from each image's background)"
    except uncertainty.NoiseEstimateError as error:
        if noise_required:
            raise ParameterError(f"noise_sd: {error}", "noise_sd") from None
        return dict.fromkeys(names, np.nan), [f"no noise level, the sd of f is NaN: {error}"]
    return sigmas, [statement]


class UncertaintySample:
    """The uncertainty maps of runs of voxels, keeping a sample of the sd for
    the summary's line.

    Parameters
    ----------
    written : dict
        The maps to write, by name; those of ``UNCERTAINTY_OUTPUTS`` among
        them are made.
    voxels : int
        Voxels of the volume, to space the sample.
    """

    def __init__(self, written, voxels):
        self.wanted = [name for name in UNCERTAINTY_OUTPUTS if name in written]
        self.stride = max(1, voxels // SAMPLE)
        self.sd_sample = []

    def maps(self, result):
        """The wanted maps of one run.

        Parameters
        ----------
        result : uncertainty.FractionUncertainty
            The run's propagation.

        Returns
        -------
        dict of str to numpy.ndarray
            By map name.
        """
        maps = {
            "uncertainty": result.sd,
            "sensitivity_r1": result.r1_sensitivity,
            "sensitivity_b1": result.b1_sensitivity,
        }
        if "uncertainty" in self.wanted:
            self.keep_sample(result.sd)
        return {name: maps[name] for name in self.wanted}

    def keep_sample(self, sd):
        """Keeps the summary's share of one run's sd (its voxels in order).

        Parameters
        ----------
        sd : numpy.ndarray
        """
        sd = sd.reshape(-1)
        self.sd_sample.append(sd[np.isfinite(sd)][:: self.stride].copy())

    def note(self):
        """The summary's line on the sd of f over the solved voxels.

        Returns
        -------
        list of str
            Median and quartiles of the sample; empty without an
            uncertainty map or a finite sd.
        """
        if "uncertainty" not in self.wanted:
            return []
        sample = np.concatenate(self.sd_sample) if self.sd_sample else np.empty(0)
        if not sample.size:
            return []
        q25, q50, q75 = np.percentile(sample, [25, 50, 75])
        return [
            f"sd of f over the solved voxels: median {q50:.3g} (quartiles {q25:.3g}, {q75:.3g})"
        ]
