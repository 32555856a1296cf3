"""The uncertainty maps of the workflows: the images' noise levels, the standard deviation of f and its sensitivities, run by run."""

from pathlib import Path

import numpy as np

from tavni.mt_map.io import volumes
from tavni.mt_map.protocol import ParameterError
from tavni.mt_map.workflows.summary import SAMPLE

# The maps that need the fraction's derivatives, and what they cost besides
# the others per voxel: three derivatives and the propagation's arrays.
UNCERTAINTY_OUTPUTS = ("uncertainty", "sensitivity_r1", "sensitivity_b1")


BYTES_PER_VOXEL_FOR_UNCERTAINTY = 8 * 12


def sensitivity_paths(prefix, like):
    """The R1 and B1 sensitivity maps' paths: prefix + '_R1' and '_B1', with
    the image suffix prefix has, else the one of like (the fraction map).
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
    """Outputs with a "sensitivity" prefix turned into the two maps' paths."""
    outputs = dict(outputs)
    prefix = outputs.pop("sensitivity", None)
    if prefix is not None:
        outputs["sensitivity_r1"], outputs["sensitivity_b1"] = sensitivity_paths(
            prefix, outputs["fraction"]
        )
    return outputs


def check_noise_sd(noise_sd, names):
    """Refuses noise levels that cannot be used, before any image is read."""
    if noise_sd is None:
        return
    from tavni.mt_map import uncertainty

    try:
        uncertainty.check_noise_levels(noise_sd, names)
    except uncertainty.NoiseEstimateError as error:
        raise ParameterError(f"noise_sd: {error}", "noise_sd") from None


def noise_levels_of(written, probes, names, noise_sd, mask_probe, noise_required):
    """The noise level of each image by name (names: image name -> probe
    name) for the uncertainty map, and the summary's line on them.

    Given levels are used as they are; otherwise each image is read whole,
    one at a time (the background needs the whole head around it), and its
    noise estimated outside the head (or the mask). Without a usable
    background the levels are NaN (the map then is), unless noise_required:
    then ParameterError.
    """
    from tavni.mt_map import uncertainty

    if "uncertainty" not in written:
        return dict.fromkeys(names, 1.0), []  # the sensitivities need no noise level
    head = None
    if noise_sd is None and mask_probe is not None:
        head = np.nan_to_num(volumes.load(mask_probe).data) != 0
    try:
        if noise_sd is not None:
            sigmas, statement = uncertainty.noise_levels(dict.fromkeys(names), noise_sd)
        else:
            sigmas = {}
            for name, probe_name in names.items():
                image = volumes.load(probes[probe_name]).data
                sigmas[name] = uncertainty.noise_levels({name: image}, None, head=head)[0][name]
                del image
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
    """

    def __init__(self, written, voxels):
        self.wanted = [name for name in UNCERTAINTY_OUTPUTS if name in written]
        self.stride = max(1, voxels // SAMPLE)
        self.sd_sample = []

    def maps(self, result):
        maps = {
            "uncertainty": result.sd,
            "sensitivity_r1": result.r1_sensitivity,
            "sensitivity_b1": result.b1_sensitivity,
        }
        if "uncertainty" in self.wanted:
            sd = result.sd.reshape(-1)
            self.sd_sample.append(sd[np.isfinite(sd)][:: self.stride].copy())
        return {name: maps[name] for name in self.wanted}

    def note(self):
        if "uncertainty" not in self.wanted:
            return []
        sample = np.concatenate(self.sd_sample) if self.sd_sample else np.empty(0)
        if not sample.size:
            return []
        q25, q50, q75 = np.percentile(sample, [25, 50, 75])
        return [
            f"sd of f over the solved voxels: median {q50:.3g} (quartiles {q25:.3g}, {q75:.3g})"
        ]
