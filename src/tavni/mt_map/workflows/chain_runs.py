"""The three-scan chain on runs of voxels: :class:`ChainRuns`.

What ``chain.fraction_from_scans`` streams the scans through: R1 and M0,
the synthetic reference, the ratio and the fraction, MTR, MTsat and the
uncertainty maps of each run, with what the summary counts; and the bytes
a run of it holds per voxel.
"""

import numpy as np

from tavni.mt_map.io.volumes import in_mask
from tavni.mt_map.maps import lineshape_at_offsets
from tavni.mt_map.scans import LABELS, ROLES
from tavni.mt_map.workflows.fitting import fit_run, outside_mask_nan, prepared, signal_ratio
from tavni.mt_map.workflows.scan_maps import mtsat_of, r1_and_reference
from tavni.mt_map.workflows.summary import SAMPLE, StatusCounts

__all__ = ["BYTES_PER_VOXEL_OF_THE_CHAIN", "BYTES_PER_VOXEL_PER_ECHO", "ChainRuns"]

# R1, M0, the reference, the ratio, the fraction, MTR, MTsat, offsets and G,
# and slack.
BYTES_PER_VOXEL_OF_THE_CHAIN = 8 * 11
"""Bytes of the float64 arrays alive at once per voxel of a run besides the
inputs."""


# The echo stacks of a run (float64 with their copies for the fit) and the
# fit's outputs.
BYTES_PER_VOXEL_PER_ECHO = 16


def _scatter(run, where, size, name, masked, dtype=None):
    """A run of a map computed at the voxels ``where`` of ``size``, the
    others filled as the fit leaves them (outside a mask: ``masked``), in
    ``dtype`` (default the run's).
    """
    from tavni.mt_map.status import ECHO_STATUS_INVALID_INPUT, STATUS_INVALID_INPUT, STATUS_MASKED

    fill = np.nan
    if name == "status":
        fill = STATUS_MASKED if masked else STATUS_INVALID_INPUT
    elif name == "echo_status":
        fill = ECHO_STATUS_INVALID_INPUT
    whole = np.full(size, fill, run.dtype if dtype is None else dtype)
    whole[where] = run  # rounded to nearest, as the writer's cast would
    return whole


class ChainRuns(StatusCounts):
    """The three-scan chain on runs of voxels, as ``streaming.run`` hands them
    over: R1 and M0, the synthetic reference, the ratio and the fraction, MTR
    and MTsat, each the same to the bit as on whole volumes; it counts what
    the summary and its warnings need and keeps a sample of the ratios.

    Parameters
    ----------
    values : dict of str to float
        The protocol as the model takes it (``protocol.model_values``).
    grid : tuple or None
        ``maps.lineshape_grid`` over the B0 map's offsets, where there is a
        B0 map (None there: no finite offset, G is NaN); voxels whose offset
        lies beyond it get no G (invalid input), counted in ``off_grid``.
    voxels : int
        Voxels of the volume, to space the sample.
    outputs : dict of str to numpy.dtype
        The maps to return, by name, with the type each is written in
        (within a mask the runs are made in it).
    threads : int, optional
        Worker threads of the fits.
    clip, exact : bool
        As ``fit_fraction`` takes them.
    uncertainty : UncertaintySample, optional
        When the uncertainty maps are wanted.
    sigmas : dict, tuple or concurrent.futures.Future, optional
        The noise of the "PDw", "T1w" and "MTw" scans for those maps, with
        the summary's notes on them: ``(sigmas, notes)``, or a future of
        it while the levels are being estimated. Until it is done, the sd
        map's runs are held (its terms, a few per fitted voxel) and then
        written in order; every other map is written as its run is made.
    echoes : echoes.EchoRuns, optional
        For multi-echo scans: combines each scan's echoes first.
    observe : callable, optional
        Called after each run (see ``fraction_from_scans``).
    """

    def __init__(
        self,
        values,
        grid,
        voxels,
        outputs,
        threads=None,
        clip=False,
        exact=True,
        uncertainty=None,
        sigmas=None,
        echoes=None,
        observe=None,
    ):
        self.values, self.grid, self.outputs = values, grid, outputs
        self.echoes = echoes  # an echoes.EchoRuns for multi-echo scans
        self.observe, self.position = observe, 0
        self.threads, self.clip, self.exact = threads, clip, exact
        # An UncertaintySample when its maps are wanted, with the scans'
        # noise: (sigmas, notes), or a future of it.
        self.uncertainty, self.levels = uncertainty, sigmas
        self.level_notes = []
        # Runs whose sd waits for the noise levels: (start, size, where,
        # slopes, signals), in the order of the volume.
        self.held = []
        self._sd_terms = None  # this run's, for the held runs
        super().__init__()
        self.r1_failed = self.signal = 0
        # Voxels with signal whose B1 is zero, negative or NaN: no flip angle
        # there, so no R1 (the likely cause when R1 is rarely found).
        self.b1_missing = 0
        # Fitted voxels whose offset lies beyond the lineshape grid.
        self.off_grid = 0
        self.stride = max(1, voxels // SAMPLE)
        self.ratio_sample = []

    def __call__(self, values):
        """The maps of one run.

        Every step runs on the voxels to fit alone: those in the mask (all
        without one) with signal in the PD- and T1-weighted scans, gathered
        into short arrays and the maps scattered back. The others get what
        a fit of them would give: NaN, and the status "masked" or "invalid
        input".

        Parameters
        ----------
        values : dict of str to numpy.ndarray
            A run of each image by name ("pdw", "t1w", "mtw", and "b1",
            "b0", "mask" where given).

        Returns
        -------
        dict of str to numpy.ndarray
            The maps of ``outputs``, by name.
        """
        from tavni.mt_map.status import STATUS_INVALID_INPUT, STATUS_MASKED

        size = len(values["mtw"])
        data = dict(values)
        inside = None
        if "mask" in data:
            inside = np.flatnonzero(in_mask(data.pop("mask")))
            data = {name: run[inside] for name, run in data.items()}
            self.counts[STATUS_MASKED] += size - inside.size
        echo_maps = self.echoes(data) if self.echoes is not None else {}
        # No R1 without signal in both scans, so no map either.
        signal = np.flatnonzero((data["pdw"] > 0) & (data["t1w"] > 0))
        count = len(data["pdw"])
        if signal.size < count:
            data = {name: run[signal] for name, run in data.items()}
            self.counts[STATUS_INVALID_INPUT] += count - signal.size
        maps = self._compute(prepared(data), masked=inside is not None)
        if signal.size < count:
            maps = {name: _scatter(run, signal, count, name, False) for name, run in maps.items()}
        maps.update(echo_maps)
        if inside is not None:
            # Scattered straight into the type each map is written in: the
            # run of the whole mask is most of the memory a run moves.
            maps = {
                name: _scatter(run, inside, size, name, True, self.outputs.get(name))
                for name, run in maps.items()
            }
        if self._sd_terms is not None:
            where = signal if signal.size < count else None
            if inside is not None:
                where = inside if where is None else inside[where]
            self.held.append((self.position, size, where, *self._sd_terms))
        released = self._release(wait=False) if self.held else []
        if len(released) == 1 and released[0][0] == self.position:
            maps["uncertainty"] = released.pop()[1]  # made with its run
        maps = {name: maps[name] for name in self.outputs if name in maps}
        if self.observe is not None:
            self.observe(self.position, values, maps)
        if self._sd_terms is not None and "uncertainty" not in maps:
            maps["uncertainty"] = self._caught_up(released)
        self.position += size
        return maps

    def _sigmas(self, wait):
        """The noise levels, or None while they are estimated and not
        ``wait``.
        """
        from concurrent.futures import Future

        if isinstance(self.levels, Future):
            if not (wait or self.levels.done()):
                return None
            self.levels = self.levels.result()  # raises the estimate's error
        sigmas, self.level_notes = self.levels
        return sigmas

    def _release(self, wait):
        """The sd map's runs held so far, once the noise levels are known:
        [(start, run)], in order; empty while they are not.
        """
        from tavni.mt_map.uncertainty import noise_sd_of_fraction

        sigmas = self._sigmas(wait)
        if sigmas is None:
            return []
        levels = tuple(sigmas[LABELS[role]] for role in ROLES)
        dtype = self.outputs["uncertainty"]
        released = []
        for start, size, where, slopes, signals in self.held:
            with np.errstate(divide="ignore", invalid="ignore"):
                sd = noise_sd_of_fraction(slopes, signals, levels)
            self.uncertainty.keep_sample(sd)
            run = sd if where is None else _scatter(sd, where, size, "uncertainty", True, dtype)
            released.append((start, run))
        self.held = []
        return released

    def _caught_up(self, released):
        """The sd map's runs released late, each shown to the observer."""
        for start, run in released:
            if self.observe is not None:
                self.observe(start, {}, {"uncertainty": run})
        return [run for _, run in released]

    def finish(self):
        """The runs still owed after the last one (``streaming.run``): the
        sd map's held runs, once its noise levels are known.

        Returns
        -------
        dict of str to list of numpy.ndarray
        """
        if not self.held:
            if self.uncertainty is not None:
                self._sigmas(wait=True)  # the notes, and any error of the estimate
            return {}
        return {"uncertainty": self._caught_up(self._release(wait=True))}

    def _compute(self, data, masked):
        """The maps of the voxels to fit (``data`` holds nothing else;
        ``masked``: they are a mask's).
        """
        from tavni.mt_map import mtr
        from tavni.mt_map.status import (
            R1_STATUS_SOLVED,
            R1_STATUS_TWO_ROOTS,
            STATUS_INVALID_INPUT,
        )

        p = dict(self.values)
        R1, M0, r1_status, reference = r1_and_reference(data, p, self.threads)
        ratio = signal_ratio(data["mtw"], reference)
        off_grid = None
        if "b0" in data:
            p["delta_omega"] = p["delta_omega"] + data.pop("b0").astype(np.float64)
            if self.grid is None:
                p["G"] = np.full(ratio.shape, np.nan)
            else:
                p["G"] = lineshape_at_offsets(p["delta_omega"], None, self.grid)
                # Beyond the grid G would be its edge's value: no lineshape
                # at all (invalid input) instead.
                magnitude = np.abs(p["delta_omega"])
                off_grid = (magnitude < self.grid[0][0]) | (magnitude > self.grid[0][-1])
                p["G"][off_grid] = np.nan
        f, status, derivatives = fit_run(self, p, ratio, R1, data)
        if off_grid is not None:
            self.off_grid += int(np.count_nonzero(off_grid & (status == STATUS_INVALID_INPUT)))
        considered = ~np.isnan(data["mtw"]) if not masked else np.ones(len(data["mtw"]), bool)
        signal = considered & (data["pdw"] > 0) & (data["t1w"] > 0)
        self.signal += int(np.count_nonzero(signal))
        # Two roots are an R1 found (the smaller), not a failure of the fit.
        found = (r1_status == R1_STATUS_SOLVED) | (r1_status == R1_STATUS_TWO_ROOTS)
        self.r1_failed += int(np.count_nonzero(signal & ~found))
        if "b1" in data:
            self.b1_missing += int(np.count_nonzero(signal & np.isnan(data["b1"])))
        self.ratio_sample.append(
            ratio.reshape(-1)[np.flatnonzero(~np.isnan(ratio))[:: self.stride]]
        )
        maps = {"fraction": f, "status": status, "r1": R1, "m0": M0}
        if "mtr" in self.outputs:
            maps["mtr"] = outside_mask_nan(mtr(data["mtw"], reference), data)
        if "mtsat" in self.outputs:
            maps["mtsat"] = mtsat_of(data, p, None, self.threads)
        self._sd_terms = None
        if self.uncertainty is not None:
            from tavni.mt_map.uncertainty import three_scan_log_derivatives

            scans = ("pdw", "t1w", "")  # protocol key prefixes; the MT-weighted scan has none
            flip_angles = [p[f"{scan}_flip_angle" if scan else "flip_angle"] for scan in scans]
            TRs = [p[f"{scan}_TR" if scan else "TR"] for scan in scans]
            with np.errstate(divide="ignore", invalid="ignore"):
                slopes, r1_change, b1_change = three_scan_log_derivatives(
                    derivatives[0],
                    data["mtw"],
                    reference,
                    R1,
                    flip_angles,
                    TRs,
                    b1=data.get("b1"),
                    b1_sensitivity="sensitivity_b1" in self.outputs,
                    threads=self.threads,
                )
            maps["sensitivity_r1"], maps["sensitivity_b1"] = r1_change, b1_change
            if "uncertainty" in self.outputs:
                # The noise enters last: the sd is made where the levels are known.
                self._sd_terms = (slopes, (data["pdw"], data["t1w"], data["mtw"]))
        return {name: maps[name] for name in self.outputs if name in maps}
