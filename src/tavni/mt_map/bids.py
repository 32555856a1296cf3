"""The BIDS App: a quantitative-MRI BIDS dataset in, a BIDS derivatives
dataset of bound-pool fraction, R1, M0, MTR and MTsat maps out.

    mt-map bids BIDS_DIR OUTPUT_DIR participant [--participant-label 01 02 ...]
    mt-map bids BIDS_DIR OUTPUT_DIR group

For the command line (``add_bids_parser``, ``run``) and for whoever wants to
plan or run participants from Python (``plan``, ``process_participant``,
``summarise_group``).

Inputs, per participant and session, found with pybids (entities and sidecar
inheritance):

- the MT collection in ``anat/``: ``*_flip-<n>_mt-<on|off>_MTS.nii[.gz]``,
  or a ``*_flip-<n>_VFA`` collection for R1 beside an MT-on ``_MTS`` image.
  The images are told apart by their sidecars (``MTState``, ``FlipAngle``),
  never by the flip index: of the MT-off images the smallest flip angle is
  the PD-weighted scan, the largest the T1-weighted one. Images that differ
  in ``acq-``/``run-`` form separate collections, mapped separately.
- sidecar fields ``FlipAngle`` (deg), ``RepetitionTimeExcitation`` (s, else
  ``RepetitionTime``), ``MTOffsetFrequency`` (Hz), ``MTPulseDuration`` (s,
  one pulse), ``MTNumberOfPulses``, ``MTPulseShape``, ``MTPulseBandwidth``
  (Hz), and ``MTPulseFlipAngle`` (deg; not a BIDS field: the nominal flip
  angle of one MT pulse, from which its RMS amplitude is computed).
- ``fmap/*_TB1map`` (relative transmit field; percent is recognised),
  ``fmap/*_fieldmap`` (B0 in Hz, or rad/s converted), a brain mask from
  ``--mask-dir``.

Values are never reinterpreted silently: a time that can only be in
milliseconds stops the participant with the fix, unless ``--assume-ms``.
"""
import contextlib
import functools
import io
import json
import math
import os
import shlex
import shutil
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

APP_NAME = "tavni-mt-map"
# The custom suffix of the fraction map (BIDS has none for it), and the
# description of the status segmentation; both are listed in .bidsignore.
FRACTION_SUFFIX = "MPFmap"
STATUS_DESC = "MPFstatus"
BIDSIGNORE = ("*_MPFmap.nii.gz", "*_MPFmap.json", "*_MPFsd.nii.gz", "*_MPFsd.json",
              "*_MPFsensR1.nii.gz", "*_MPFsensR1.json", "*_MPFsensB1.nii.gz",
              "*_MPFsensB1.json", "*_dseg.nii.gz", "*_dseg.json",
              "*_dseg.tsv", "*.html", "group/")
# The extra sidecar key for the MT pulse's nominal flip angle, degrees.
MT_FLIP_KEY = "MTPulseFlipAngle"
IMAGE_EXTENSIONS = [".nii", ".nii.gz"]


class BidsError(Exception):
    """A dataset, sidecar or option the BIDS App cannot use; the message
    says which file and field, and how to fix it."""


# Sidecar fields read into the chain's parameters. Times are checked against
# the longest value the sequence can have in seconds: a larger number is a
# value written in milliseconds (a repetition time of 28, a pulse of 12).
LONGEST_SECONDS = {"RepetitionTimeExcitation": 1.0, "RepetitionTime": 1.0,
                   "MTPulseDuration": 0.1}
# What the maps need beyond the sidecars: the tissue's relaxation constants.
TISSUE_KEYS = ("T2_free",)
LINESHAPE_KEYS = ("T2b", "G")
# Parameters of the saturation given either as its amplitude or as the pulse.
PULSE_KEYS = ("mt_flip_angle_deg", "mt_pulse_shape", "mt_bandwidth")


@dataclass(frozen=True)
class MapKind:
    """One output map: its BIDS suffix, the chain's output key, units and
    how it is estimated."""

    suffix: str
    key: str
    units: str
    algorithm: str
    reference: str


SPGR_REFERENCE = ("Deoni SCL, Rutt BK, Peters TM. Rapid combined T1 and T2 mapping using "
                  "gradient recalled acquisition in the steady state. Magn Reson Med "
                  "2003;49:515-526.")
MTSAT_REFERENCE = ("Helms G, Dathe H, Kallenberg K, Dechent P. High-resolution maps of "
                   "magnetization transfer with inherent correction for RF inhomogeneity and "
                   "T1 relaxation obtained from 3D FLASH MRI. Magn Reson Med 2008;60:1396-1407.")
MPF_REFERENCE = ("Yarnykh VL. Fast macromolecular proton fraction mapping from a single "
                 "off-resonance magnetization transfer measurement. Magn Reson Med "
                 "2012;68:166-178.")
UNCERTAINTY_REFERENCE = "First-order propagation by the implicit function theorem; tavni-mt-map."
SYNTHETIC_REFERENCE = ("Yarnykh VL. Time-efficient, high-resolution, whole brain "
                       "three-dimensional macromolecular proton fraction mapping. Magn Reson "
                       "Med 2016;75:2100-2106.")
MAPS = (
    MapKind(FRACTION_SUFFIX, "fraction", "1",
            "Bound-pool (macromolecular proton) fraction from one MT-weighted image, a "
            "synthetic reference image and R1, by solving the pulsed steady-state two-pool "
            "model per voxel", MPF_REFERENCE),
    MapKind("R1map", "r1", "1/s",
            "Longitudinal relaxation rate from the PD- and T1-weighted spoiled gradient "
            "echoes by variable flip angle (DESPOT1, the exact steady-state signal), "
            "corrected for the transmit field", SPGR_REFERENCE),
    MapKind("M0map", "m0", "arbitrary",
            "Equilibrium signal from the PD- and T1-weighted spoiled gradient echoes by "
            "variable flip angle (DESPOT1), corrected for the transmit field", SPGR_REFERENCE),
    MapKind("MTRmap", "mtr", "percent",
            "Magnetization transfer ratio of the MT-weighted image against the synthetic "
            "reference image (the MT-off signal at the MT-weighted scan's flip angle and TR "
            "predicted from R1 and M0)", SYNTHETIC_REFERENCE),
    MapKind("MTsat", "mtsat", "percent",
            "MT saturation from the PD-, T1- and MT-weighted spoiled gradient echoes",
            MTSAT_REFERENCE),
    MapKind("MPFsd", "uncertainty", "1",
            "Standard deviation of the bound-pool fraction that the noise of the three scans "
            "causes, to first order: the fit's derivatives at the solution chained through "
            "the R1 fit and the synthetic reference; each scan's noise estimated from its "
            "background (Rayleigh mean / sqrt(pi/2))", UNCERTAINTY_REFERENCE),
    MapKind("MPFsensR1", "sensitivity_r1", "1",
            "Change of the bound-pool fraction when the R1 the fraction model is given is 1% "
            "too high, to first order", UNCERTAINTY_REFERENCE),
    MapKind("MPFsensB1", "sensitivity_b1", "1",
            "Change of the bound-pool fraction when the transmit field B1 is 1% too high, "
            "through the R1 fit, the synthetic reference and the saturation, to first order",
            UNCERTAINTY_REFERENCE),
)


@dataclass
class Collection:
    """One set of scans mapped together: what the chain needs, and where
    each piece came from."""

    session: str | None
    entities: dict                      # acquisition, run of the outputs
    pdw: str
    t1w: str
    mtw: str
    parameters: dict                    # chain's parameter key -> protocol.Given
    sources: list                       # BIDS URIs of the input files
    b1: str | None = None
    b1_units: str | None = None
    b0: str | None = None
    b0_units: str | None = None
    mask: str | None = None
    warnings: list = field(default_factory=list)


@dataclass
class Job:
    """Everything one participant's task needs; plain data, so that it
    travels to another process or a cluster worker."""

    participant: str
    output_dir: str
    collections: list
    generated_by: dict
    overwrite: bool = False
    skip_existing: bool = False
    threads: int | None = None
    error: str | None = None            # found while planning: nothing to run


@dataclass
class Outcome:
    """How one participant ended: 'done', 'skipped' or 'failed'."""

    participant: str
    state: str
    reason: str = ""
    seconds: float = 0.0
    warnings: list = field(default_factory=list)


# ---------------------------------------------------------------------------
# Names

@functools.lru_cache(maxsize=None)
def entity_order():
    """BIDS entity names (as pybids spells them) and their short forms, in
    the order of a file name, from the schema."""
    from bidsschematools import schema

    loaded = schema.load_schema()
    entities = loaded.objects.entities
    return tuple((name, entities[name]["name"]) for name in loaded.rules.entities)


def bids_name(participant, session, entities, suffix, extension):
    """``sub-<p>[_ses-<s>][_acq-..][_run-..][_desc-..]_<suffix><extension>``
    with the entities in the order the schema gives."""
    values = dict(entities, subject=participant, session=session)
    parts = [f"{short}-{values[name]}" for name, short in entity_order()
             if values.get(name) is not None]
    return "_".join(parts + [suffix]) + extension


def unmatched_names(paths):
    """The paths among these that no file rule of the BIDS schema matches
    (derivative suffixes the schema lacks; these belong in .bidsignore)."""
    import logging

    from bidsschematools import validator

    logger = logging.getLogger("bidsschematools")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    try:
        result = validator.validate_bids([str(p) for p in paths], dummy_paths=True,
                                         suppress_errors=True)
    finally:
        logger.setLevel(level)
    return sorted(result["path_tracking"])


def relative(path, root):
    return Path(path).resolve().relative_to(Path(root).resolve()).as_posix()


# ---------------------------------------------------------------------------
# Reading the dataset

def open_layout(bids_dir):
    """The pybids layout of the dataset, or BidsError."""
    bids_dir = Path(bids_dir)
    if not (bids_dir / "dataset_description.json").is_file():
        raise BidsError(f"'{bids_dir}' is no BIDS dataset: it has no dataset_description.json")
    import bids

    try:
        return bids.BIDSLayout(bids_dir, validate=True)
    except Exception as error:
        raise BidsError(f"cannot index '{bids_dir}': {one_line(error)}") from None


def one_line(error):
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


class Sidecar:
    """The metadata of one image, with BIDS inheritance, and which JSON file
    gave each field (for messages that name the file to fix)."""

    def __init__(self, layout, image):
        self.image = image
        self.root = layout.root
        self.values = layout.get_metadata(image.path)
        # The sidecars that apply by the inheritance principle (same suffix,
        # in the image's folder or above, entities a subset of the image's),
        # nearest first: deeper folders, then more entities.
        ignored = ("extension", "suffix", "datatype")
        own = {k: v for k, v in image.entities.items() if k not in ignored}
        folder = Path(image.path).parent
        applying = []
        for candidate in layout.get(suffix=image.entities["suffix"], extension=".json"):
            entities = {k: v for k, v in candidate.entities.items() if k not in ignored}
            if folder.is_relative_to(Path(candidate.path).parent) and \
                    all(own.get(k) == v for k, v in entities.items()):
                applying.append((-len(Path(candidate.path).parts), -len(entities),
                                 candidate.path))
        self.files = [path for *_, path in sorted(applying)]

    def name(self):
        return relative(self.image.path, self.root)

    def origin(self, key):
        for path in self.files:
            try:
                if key in json.loads(Path(path).read_text()):
                    return relative(path, self.root)
            except (OSError, ValueError):
                continue
        return f"the sidecar of {self.name()}"

    def has(self, key):
        return self.values.get(key) is not None

    def number(self, key, *, assume_ms=False, warnings=None):
        """The field as a float; BidsError naming the file and field when it
        is not a finite number or a time in milliseconds."""
        value = self.values.get(key)
        if isinstance(value, bool) or not isinstance(value, (int, float)) or \
                not math.isfinite(value):
            raise BidsError(f"{self.origin(key)}: {key} must be a number, not {value!r}")
        value = float(value)
        longest = LONGEST_SECONDS.get(key)
        if longest is not None and value > longest:
            if not assume_ms:
                raise BidsError(
                    f"{self.origin(key)}: {key} is {value:g}, but must be in seconds and "
                    f"cannot exceed {longest:g} s here; if it is {value:g} ms, write "
                    f"{value / 1000:g} (or run with --assume-ms)")
            warnings.append(f"{self.origin(key)}: {key} {value:g} read as milliseconds "
                            f"({value / 1000:g} s), as --assume-ms asks")
            value /= 1000.0
        return value

    def require(self, key):
        if not self.has(key):
            raise BidsError(f"{self.name()}: sidecar field {key} is missing (add it to "
                            f"{Path(self.image.path).name.split('.')[0]}.json or to a "
                            f"dataset-level sidecar)")


def mt_state(sidecar, default):
    """MTState as a bool; the mt- entity must agree with it."""
    value = sidecar.values.get("MTState", default)
    if value is None:
        sidecar.require("MTState")
    if isinstance(value, str) and value.lower() in ("true", "false", "on", "off"):
        value = value.lower() in ("true", "on")
    if not isinstance(value, bool):
        raise BidsError(f"{sidecar.origin('MTState')}: MTState must be true or false, "
                        f"not {value!r}")
    label = sidecar.image.entities.get("mt")
    if label is not None and (label == "on") != value:
        raise BidsError(f"{sidecar.name()}: file name says mt-{label} but MTState is "
                        f"{str(value).lower()}")
    return value


def pick_one(candidates, what, where):
    if len(candidates) > 1:
        names = ", ".join(Path(c.path).name for c in candidates)
        raise BidsError(f"{where}: several {what} ({names}); name the one meant in its "
                        f"IntendedFor or keep one")
    return candidates[0] if candidates else None


def field_map(layout, participant, session, suffix, target):
    """The fmap image of this suffix meant for target: the one whose
    IntendedFor lists it, else the only one of the session."""
    found = layout.get(subject=participant, session=session, suffix=suffix,
                       extension=IMAGE_EXTENSIONS, datatype="fmap")
    if session is None:
        found = [f for f in found if "session" not in f.entities]
    meant = []
    for image in found:
        intended = layout.get_metadata(image.path).get("IntendedFor", [])
        intended = [intended] if isinstance(intended, str) else intended
        target_name = relative(target, layout.root)
        if any(str(i).endswith(target_name.split("/", 1)[1]) for i in intended):
            meant.append(image)
    where = f"sub-{participant}" + (f" ses-{session}" if session else "")
    return pick_one(meant or found, f"{suffix} images", where)


def find_mask(mask_dir, participant, session):
    """A brain mask for this participant (and session) from a derivatives
    folder, preferring desc-brain."""
    import bids

    try:
        layout = bids.BIDSLayout(mask_dir, validate=False, config=["bids", "derivatives"])
    except Exception as error:
        raise BidsError(f"--mask-dir '{mask_dir}': {one_line(error)}") from None
    found = layout.get(subject=participant, session=session, suffix="mask",
                       extension=IMAGE_EXTENSIONS)
    if session is None:
        found = [f for f in found if "session" not in f.entities]
    brain = [f for f in found if f.entities.get("desc") == "brain"]
    where = f"sub-{participant}" + (f" ses-{session}" if session else "")
    mask = pick_one(brain or found, "masks in --mask-dir", where)
    if mask is None:
        raise BidsError(f"{where}: no *_mask image in --mask-dir '{mask_dir}'")
    return mask.path


def collections_of(layout, participant, session, overrides, options):
    """The collections of one participant and session, read from the dataset
    and completed by overrides ({key: protocol.Given})."""
    query = dict(subject=participant, datatype="anat", extension=IMAGE_EXTENSIONS)
    images = layout.get(suffix=["MTS", "VFA"], session=session, **query)
    if session is None:
        images = [i for i in images if "session" not in i.entities]
    where = f"sub-{participant}" + (f" ses-{session}" if session else "")
    if not images:
        raise BidsError(f"{where}: no *_MTS or *_VFA images in anat/")
    groups = {}
    for image in images:
        key = (image.entities.get("acquisition"), image.entities.get("run"))
        groups.setdefault(key, []).append(image)
    collections = []
    for (acquisition, run), members in sorted(groups.items(), key=lambda g: str(g[0])):
        collections.append(collection_of(layout, participant, session, acquisition, run,
                                         members, overrides, options))
    return collections


def collection_of(layout, participant, session, acquisition, run, images, overrides, options):
    warnings = []
    where = "sub-" + participant + (f" ses-{session}" if session else "") + \
        (f" acq-{acquisition}" if acquisition else "") + (f" run-{run}" if run else "")
    sidecars = [Sidecar(layout, image) for image in images]
    mt_on, mt_off = [], []
    for sidecar in sidecars:
        vfa = sidecar.image.entities["suffix"] == "VFA"
        (mt_on if mt_state(sidecar, False if vfa else None) else mt_off).append(sidecar)
    for sidecar in sidecars:
        sidecar.require("FlipAngle")
    if len(mt_on) != 1:
        raise BidsError(f"{where}: {len(mt_on)} MT-on images (MTState true); one is needed")
    flips = {}
    for sidecar in mt_off:
        flips.setdefault(sidecar.number("FlipAngle"), []).append(sidecar)
    if len(flips) < 2:
        raise BidsError(f"{where}: the MT-off images need two different FlipAngle values "
                        f"(found {sorted(flips) or 'none'})")
    for angle, same in flips.items():
        if len(same) > 1:
            raise BidsError(f"{where}: several MT-off images with FlipAngle {angle:g} "
                            f"({', '.join(s.name() for s in same)})")
    pdw, t1w, mtw = flips[min(flips)][0], flips[max(flips)][0], mt_on[0]
    if len(flips) > 2:
        warnings.append(f"{where}: {len(flips)} MT-off flip angles; R1 from the smallest "
                        f"({min(flips):g} deg) and largest ({max(flips):g} deg)")

    # Each value as protocol.Given: named by its sidecar field and file, so
    # that the chain's checks and the outputs' sidecars say where it came from.
    from tavni.mt_map.protocol import Given

    given, missing = {}, []

    def take(key, sidecar, entry, convert=None):
        if key in overrides:
            return
        if entry == "TR":
            entry = "RepetitionTimeExcitation" if sidecar.has("RepetitionTimeExcitation") \
                else "RepetitionTime"
        if not sidecar.has(entry):
            missing.append((key, sidecar, entry))
            return
        if entry == "MTPulseShape":
            value = str(sidecar.values[entry]).lower()
        else:
            value = sidecar.number(entry, assume_ms=options.assume_ms, warnings=warnings)
        given[key] = Given(convert(value) if convert else value, entry,
                           f" in {sidecar.origin(entry)}")

    for prefix, sidecar in (("pdw_", pdw), ("t1w_", t1w), ("", mtw)):
        take(prefix + "flip_angle_deg", sidecar, "FlipAngle")
        take(prefix + "TR", sidecar, "TR")
    take("delta_omega", mtw, "MTOffsetFrequency")
    if "mt_pulses" not in overrides:
        if mtw.has("MTNumberOfPulses"):
            take("mt_pulses", mtw, "MTNumberOfPulses", convert=int)
        else:
            given["mt_pulses"] = Given(1, "one MT pulse per TR", " (default)")
    # The saturation per TR lasts the number of pulses times one pulse.
    if "duration" not in overrides:
        take("duration", mtw, "MTPulseDuration")
        if "duration" in given:
            pulses = (overrides.get("mt_pulses") or given["mt_pulses"]).value
            one = given["duration"]
            given["duration"] = Given(one.value * pulses, f"{one.name} x {pulses:g}",
                                      one.source)
    # The amplitude of the saturation is given directly or by the pulse.
    if "omega_1_rms" not in overrides:
        take("mt_flip_angle_deg", mtw, MT_FLIP_KEY)
        take("mt_pulse_shape", mtw, "MTPulseShape")
        shape = overrides.get("mt_pulse_shape") or given.get("mt_pulse_shape")
        if shape is not None and shape.value == "gaussian":
            take("mt_bandwidth", mtw, "MTPulseBandwidth")

    given.update(overrides)
    if "omega_1_rms" in overrides:
        for key in PULSE_KEYS:
            given.pop(key, None)
    if any(key in overrides for key in LINESHAPE_KEYS):
        for key in LINESHAPE_KEYS:
            if key not in overrides:
                given.pop(key, None)
    for key, sidecar, entry in missing:
        if key not in given and not (key in PULSE_KEYS and "omega_1_rms" in given):
            raise BidsError(f"{sidecar.name()}: sidecar field {entry} is missing; add it to "
                            f"the sidecar or give {key} in --protocol or --param")
    absent = [k for k in TISSUE_KEYS if k not in given]
    if not any(k in given for k in LINESHAPE_KEYS):
        absent.append(" or ".join(LINESHAPE_KEYS))
    if absent:
        raise BidsError(f"{where}: no value for {', '.join(absent)} (tissue constants are "
                        f"not in BIDS sidecars: give them in --protocol or --param)")

    collection = Collection(
        session=session, entities={"acquisition": acquisition, "run": run},
        pdw=pdw.image.path, t1w=t1w.image.path, mtw=mtw.image.path,
        parameters=given, sources=[], warnings=warnings)
    b1 = field_map(layout, participant, session, "TB1map", mtw.image.path)
    if b1 is not None:
        collection.b1 = b1.path
        collection.b1_units = layout.get_metadata(b1.path).get("Units")
    else:
        warnings.append(f"{where}: no fmap/*_TB1map; flip angles taken as nominal")
    b0 = field_map(layout, participant, session, "fieldmap", mtw.image.path)
    if b0 is not None:
        collection.b0 = b0.path
        collection.b0_units = layout.get_metadata(b0.path).get("Units")
        if collection.b0_units is None:
            raise BidsError(f"{relative(b0.path, layout.root)}: sidecar field Units is "
                            f"missing (Hz, rad/s)")
    if options.mask_dir is not None:
        collection.mask = find_mask(options.mask_dir, participant, session)
    inputs = [collection.pdw, collection.t1w, collection.mtw, collection.b1, collection.b0]
    collection.sources = [f"bids:raw:{relative(p, layout.root)}" for p in inputs if p]
    if collection.mask:
        collection.sources.append(f"bids:mask:{relative(collection.mask, options.mask_dir)}")
    return collection


def read_overrides(options):
    """Parameters given by --protocol and --param, as {key: protocol.Given};
    --param wins."""
    from tavni.mt_map import protocol

    overrides = protocol.read_protocol(options.protocol) if options.protocol else {}
    for item in options.param or ():
        key, sep, text = item.partition("=")
        known = [k for k, p in protocol.PARAMETERS.items() if p.in_protocol]
        if not sep or key not in known:
            raise BidsError(f"--param '{item}' must be KEY=VALUE with KEY one of "
                            f"{', '.join(known)}")
        try:
            value = float(text)
        except ValueError:
            value = text  # a word, for a choice such as mt_pulse_shape
        overrides[key] = protocol.Given(value, f"--param {key}")
    return overrides


def plan(options):
    """The participants' jobs. A participant whose inputs are unusable gets a
    job that carries the reason instead of failing the others."""
    layout = open_layout(options.bids_dir)
    overrides = read_overrides(options)
    known = layout.get_subjects()
    labels = [label.removeprefix("sub-") for label in options.participant_label or known]
    unknown = [label for label in labels if label not in known]
    if unknown:
        raise BidsError(f"no participant {', '.join(unknown)} in '{options.bids_dir}' "
                        f"(there are: {', '.join(known) or 'none'})")
    sessions_wanted = [s.removeprefix("ses-") for s in options.session_label or ()]
    generated_by = {"Name": APP_NAME, "Version": version(), "CommandLine": command_line()}
    jobs = []
    for participant in labels:
        job = Job(participant, str(options.output_dir), [], generated_by,
                  overwrite=options.overwrite, skip_existing=options.skip_existing)
        sessions = layout.get_sessions(subject=participant) or [None]
        if sessions_wanted:
            sessions = [s for s in sessions if s in sessions_wanted]
        try:
            if not sessions:
                raise BidsError(f"sub-{participant}: none of the sessions "
                                f"{', '.join(sessions_wanted)}")
            for session in sessions:
                job.collections += collections_of(layout, participant, session, overrides,
                                                  options)
        except BidsError as error:
            job.error = str(error)
        jobs.append(job)
    return jobs


def version():
    from importlib import metadata

    try:
        return metadata.version(APP_NAME)
    except metadata.PackageNotFoundError:
        return "unknown"


def command_line():
    return " ".join(shlex.quote(a) for a in ["mt-map"] + sys.argv[1:])


# ---------------------------------------------------------------------------
# One participant

def process_participant(job):
    """Maps every collection of one participant into the derivatives dataset,
    atomically: the participant's folder appears complete or not at all.
    Returns an Outcome; never raises for a problem of this participant."""
    import time

    started = time.monotonic()
    output_dir = Path(job.output_dir)
    final = output_dir / f"sub-{job.participant}"

    def outcome(state, reason="", warnings=()):
        return Outcome(job.participant, state, reason, time.monotonic() - started,
                       list(warnings))

    if final.exists() and job.skip_existing:
        return outcome("skipped", "outputs exist")
    if final.exists() and not job.overwrite:
        return outcome("failed", f"'{final}' exists (use --skip-existing or --overwrite)")
    if job.error:
        return outcome("failed", job.error)
    work = None
    try:
        work = Path(tempfile.mkdtemp(prefix=f".sub-{job.participant}.", dir=output_dir))
        results = [map_collection(job, collection, work) for collection in job.collections]
        from tavni.mt_map import report

        report.participant_report(work / f"sub-{job.participant}.html", job.participant,
                                  results)
        move_into_place(work, output_dir, job.participant)
        warnings = [w for r in results for w in r["warnings"]]
        return outcome("done", warnings=warnings)
    except Exception as error:  # whatever went wrong stays with this participant
        from tavni.mt_map.protocol import ParameterError
        from tavni.mt_map.volumes import VolumeError

        expected = isinstance(error, (BidsError, VolumeError, ParameterError))
        return outcome("failed", one_line(error) if expected
                       else f"{type(error).__name__}: {one_line(error)}")
    finally:
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)


def move_into_place(work, output_dir, participant):
    """Renames the finished folder (and report) over any earlier one; the old
    one is removed only once the new one is in place."""
    final = output_dir / f"sub-{participant}"
    old = None
    if final.exists():
        old = work / "previous"
        os.replace(final, old)
    os.replace(work / f"sub-{participant}", final)
    os.replace(work / f"sub-{participant}.html", output_dir / f"sub-{participant}.html")
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def relative_field(path, units, what, work, warnings):
    """A B1 map as relative values (1 = nominal): percent, recognised by
    the sidecar's Units or a median above 10, is scaled into a copy."""
    import numpy as np

    volume = read_image(path, what)
    inside = volume.data[np.isfinite(volume.data) & (volume.data > 0)]
    median = float(np.median(inside)) if inside.size else 1.0
    name = Path(path).name
    if units is not None and str(units).strip().lower() in ("percent", "%", "pct"):
        percent, why = True, f"its sidecar says Units {units}"
    elif units is not None:
        percent, why = False, ""
        if median > 10:
            warnings.append(f"{name}: Units {units} but median {median:.3g}; read as given")
    else:
        percent, why = median > 10, f"its median is {median:.3g}"
    if not percent:
        return path
    warnings.append(f"{name}: read as percent of nominal ({why}); divided by 100")
    return scaled_copy(volume, 0.01, work / "inputs" / name, path)


def hertz_field(path, units, work, warnings):
    """A B0 map in Hz; rad/s is converted into a copy, other units refused."""
    spelled = str(units).strip().lower().replace(" ", "")
    if spelled in ("hz", "hertz"):
        return path
    name = Path(path).name
    if spelled in ("rad/s", "rad*s^-1", "rad.s-1"):
        warnings.append(f"{name}: Units rad/s converted to Hz")
        return scaled_copy(read_image(path, "B0 map"), 1 / (2 * math.pi),
                           work / "inputs" / name, path)
    raise BidsError(f"{name}: fieldmap Units '{units}' not understood (Hz or rad/s)")


def read_image(path, what):
    """The image at path (a Volume of float64 data)."""
    from tavni.mt_map import volumes

    return volumes.load(volumes.probe(path, what))


def scaled_copy(volume, factor, target, source):
    """A float32 copy of volume times factor at target (.nii.gz), for the
    chain to read in place of source."""
    import numpy as np

    from tavni.mt_map import volumes

    target.parent.mkdir(parents=True, exist_ok=True)
    target = target.with_name(target.name.split(".")[0] + ".nii.gz")
    volumes.save_all([volumes.Output(target, f"rescaled {Path(source).name}",
                                     volume.data * factor, np.float32, volume)])
    return str(target)


def map_collection(job, collection, work):
    """Runs the chain on one collection into work; returns what the report
    and the group level need."""
    from tavni.mt_map import pipeline

    participant, session = job.participant, collection.session
    anat = work / f"sub-{participant}"
    if session is not None:
        anat = anat / f"ses-{session}"
    anat = anat / "anat"
    anat.mkdir(parents=True, exist_ok=True)
    warnings = list(collection.warnings)

    def name(suffix, extension=".nii.gz", desc=None):
        entities = dict(collection.entities, description=desc)
        return anat / bids_name(participant, session, entities, suffix, extension)

    outputs = {kind.key: str(name(kind.suffix)) for kind in MAPS}
    outputs["status"] = str(name("dseg", desc=STATUS_DESC))
    b1 = b0 = None
    if collection.b1:
        b1 = relative_field(collection.b1, collection.b1_units, "B1 map", work, warnings)
    if collection.b0:
        b0 = hertz_field(collection.b0, collection.b0_units, work, warnings)
    # The chain's warnings come back in its summary, for the sidecars and the
    # report; printed as they arise they would interleave between participants.
    with contextlib.redirect_stderr(io.StringIO()):
        summary = pipeline.fraction_from_scans(
            collection.pdw, collection.t1w, collection.mtw, dict(collection.parameters),
            outputs, b1=b1, b0=b0, mask=collection.mask, threads=job.threads, quiet=True,
            noise_required=False)
    warnings += list(summary_field(summary, "warnings") or ())

    from tavni.mt_map.protocol import PARAMETERS

    parameters = {key: {"Value": given.value, "Units": PARAMETERS[key].unit,
                        "Source": f"{given.name}{given.source}"}
                  for key, given in sorted(collection.parameters.items())}
    common = {"Sources": collection.sources, "Parameters": parameters,
              "GeneratedBy": [job.generated_by]}
    if warnings:
        common["ProcessingWarnings"] = warnings
    for kind in MAPS:
        sidecar = {"Units": kind.units, "EstimationAlgorithm": kind.algorithm,
                   "EstimationReference": kind.reference, **common}
        if kind.key == "uncertainty":
            # The noise levels used, or why there were none.
            sidecar["NoiseEstimate"] = list(summary_field(summary, "notes") or ())
        write_json(Path(outputs[kind.key]).with_name(name(kind.suffix, ".json").name), sidecar)
    from tavni.mt_map.pipeline import status_table

    write_json(name("dseg", ".json", STATUS_DESC), {
        "Description": "Outcome of the bound-pool fraction fit per voxel; the codes are "
                       "listed in the matching _dseg.tsv", **common})
    lines = ["index\tname\tdescription"] + [f"{code}\t{label}\t{meaning}"
                                            for code, label, meaning in sorted(status_table())]
    name("dseg", ".tsv", STATUS_DESC).write_text("\n".join(lines) + "\n")
    return {"session": session, "entities": collection.entities, "outputs": outputs,
            "anatomy": collection.t1w, "parameters": parameters, "sources": collection.sources,
            "warnings": warnings, "counts": summary_field(summary, "counts")}


def summary_field(summary, name):
    if isinstance(summary, dict):
        return summary.get(name)
    return getattr(summary, name, None)


def write_json(path, content):
    Path(path).write_text(json.dumps(content, indent=2) + "\n")


def write_dataset_description(options, generated_by):
    """dataset_description.json and .bidsignore of the derivatives dataset,
    written once (kept if present, so that runs can add participants)."""
    output_dir = Path(options.output_dir)
    output_dir.mkdir(parents=True, exist_ok=True)
    description = output_dir / "dataset_description.json"
    if not description.exists():
        raw = json.loads((Path(options.bids_dir) / "dataset_description.json").read_text())
        links = {"raw": Path(options.bids_dir).resolve().as_uri()}
        if options.mask_dir is not None:
            links["mask"] = Path(options.mask_dir).resolve().as_uri()
        write_json(description, {
            "Name": f"{APP_NAME} derivatives of {raw.get('Name', Path(options.bids_dir).name)}",
            "BIDSVersion": raw.get("BIDSVersion", "1.9.0"),
            "DatasetType": "derivative",
            "GeneratedBy": [generated_by],
            "DatasetLinks": links,
        })
    ignore = output_dir / ".bidsignore"
    if not ignore.exists():
        ignore.write_text("\n".join(BIDSIGNORE) + "\n")


# ---------------------------------------------------------------------------
# Group level

def fitted_region(status):
    """The voxels the fit searched: neither masked out nor without a valid
    measurement (background)."""
    from tavni.mt_map import maps

    return (status != maps.STATUS_MASKED) & (status != maps.STATUS_INVALID_INPUT)


def map_statistics(outputs):
    """Median and interquartile range of each map in the fitted region, and
    the share of it solved."""
    import numpy as np

    from tavni.mt_map.pipeline import summarise

    status = read_image(outputs["status"], "status map").data
    region = fitted_region(status)
    summary = summarise(status)
    row = {"voxels": summary.fitted,
           "share_solved": summary.solved_share if summary.fitted else math.nan}
    for kind in MAPS:
        values = read_image(outputs[kind.key], kind.suffix).data[region]
        values = values[np.isfinite(values)]
        if values.size:
            q25, median, q75 = np.percentile(values, [25, 50, 75])
        else:
            q25 = median = q75 = math.nan
        row[f"{kind.suffix}_median"] = float(median)
        row[f"{kind.suffix}_iqr"] = float(q75 - q25)
    return row


def summarise_group(options):
    """group/summary.tsv and group/report.html from the participants'
    outputs; returns the rows."""
    output_dir = Path(options.output_dir)
    labels = [label.removeprefix("sub-") for label in options.participant_label or ()]
    found = sorted(output_dir.glob(f"sub-*/**/anat/*_{FRACTION_SUFFIX}.nii.gz"))
    rows = []
    for fraction in found:
        participant = fraction.relative_to(output_dir).parts[0].removeprefix("sub-")
        if labels and participant not in labels:
            continue
        stem = fraction.name[:-len(f"_{FRACTION_SUFFIX}.nii.gz")]
        entities = dict(part.split("-", 1) for part in stem.split("_"))
        outputs = {kind.key: str(fraction.with_name(f"{stem}_{kind.suffix}.nii.gz"))
                   for kind in MAPS}
        outputs["status"] = str(fraction.with_name(f"{stem}_desc-{STATUS_DESC}_dseg.nii.gz"))
        sidecar = json.loads(fraction.with_name(f"{stem}_{FRACTION_SUFFIX}.json").read_text())
        row = {"participant_id": f"sub-{participant}",
               "session_id": f"ses-{entities['ses']}" if "ses" in entities else "n/a",
               "acq": entities.get("acq", "n/a"), "run": entities.get("run", "n/a"),
               **map_statistics(outputs),
               "warnings": " | ".join(sidecar.get("ProcessingWarnings", [])) or "n/a"}
        rows.append(row)
    if not rows:
        raise BidsError(f"no participant outputs (*_{FRACTION_SUFFIX}.nii.gz) in "
                        f"'{output_dir}': run the participant level first")
    group = output_dir / "group"
    group.mkdir(exist_ok=True)
    columns = list(rows[0])

    def cell(value):
        if isinstance(value, float):
            return "n/a" if math.isnan(value) else f"{value:.6g}"
        return str(value).replace("\t", " ")

    text = "\t".join(columns) + "\n" + "".join(
        "\t".join(cell(row[c]) for c in columns) + "\n" for row in rows)
    atomic_write(group / "summary.tsv", text)
    from tavni.mt_map import report

    report.group_report(group / "report.html", rows)
    return rows


def atomic_write(path, text):
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    with os.fdopen(handle, "w") as stream:
        stream.write(text)
    os.replace(temporary, path)


# ---------------------------------------------------------------------------
# A phantom dataset

# Scanner fields every phantom scan shares, beside the MT pulse's.
PHANTOM_SHARED = {"MagneticFieldStrength": 3.0, "EchoTime": 0.0023,
                  "PulseSequenceType": "spoiled gradient echo"}
# (phantom file stem, BIDS entities, protocol keys of flip angle and TR, MTState)
PHANTOM_SCANS = (("pdw", "flip-1_mt-off", "pdw_flip_angle_deg", "pdw_TR", False),
                 ("t1w", "flip-2_mt-off", "t1w_flip_angle_deg", "t1w_TR", False),
                 ("mtw", "flip-3_mt-on", "flip_angle_deg", "TR", True))


def mt_sidecar(protocol):
    """The MT pulse of a protocol (the chain's keys) as sidecar fields, the
    inverse of what ``collection_of`` reads."""
    pulses = protocol.get("mt_pulses", 1)
    fields = {"MTOffsetFrequency": protocol["delta_omega"],
              "MTPulseDuration": protocol["duration"] / pulses, "MTNumberOfPulses": pulses,
              "MTPulseShape": protocol["mt_pulse_shape"].upper(),
              MT_FLIP_KEY: protocol["mt_flip_angle_deg"]}
    if "mt_bandwidth" in protocol:
        fields["MTPulseBandwidth"] = protocol["mt_bandwidth"]
    return fields


def write_phantom_dataset(directory, participants, *, voxel_size=2.0, anatomy="auto",
                          shape=None, snr=None, seed=0):
    """Writes a small qMRI-BIDS dataset of phantom heads into directory (new
    or empty), all or nothing.

    Each participant is a slightly different head (``phantom.vary``): the
    three MTS scans, a TB1map (relative) and a B0 fieldmap (Hz) with their
    sidecars; the MT pulse in a dataset-level MTS.json. The truth goes to
    ``derivatives/phantom-truth``, a brain mask to ``derivatives/brainmask``
    (for ``--mask-dir``), the tissue constants no sidecar holds to
    ``code/protocol.json``.

    Parameters
    ----------
    directory : path-like
    participants : int
        Number of participants, labelled 01, 02, ...
    voxel_size, anatomy, shape, snr, seed
        As for ``phantom.make`` (seed also varies the heads).

    Returns
    -------
    list of str
        Notes of the phantom (e.g. which anatomy stood in).
    """
    from tavni.mt_map import phantom

    directory = Path(directory)
    if participants < 1:
        raise BidsError(f"--participants must be at least 1 (got {participants})")
    if directory.exists() and (not directory.is_dir() or any(directory.iterdir())):
        raise BidsError(f"'{directory}' exists and is not an empty folder")
    directory.parent.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix=f".{directory.name}.", dir=directory.parent))
    labels = [f"{i + 1:02d}" for i in range(participants)]
    description = {"BIDSVersion": "1.10.0",
                   "GeneratedBy": [{"Name": APP_NAME, "Version": version()}]}
    try:
        for index, label in enumerate(labels):
            head = phantom.make(voxel_size, anatomy=anatomy, shape=shape, snr=snr,
                                seed=seed + index, participant=phantom.vary(index, seed))
            files = phantom.write(work / ".phantom" / label, head)
            subject = work / f"sub-{label}"
            for folder in ("anat", "fmap"):
                (subject / folder).mkdir(parents=True)
            for stem, entities, flip_key, tr_key, on in PHANTOM_SCANS:
                name = f"sub-{label}_{entities}_MTS"
                os.replace(files[stem], subject / "anat" / f"{name}.nii.gz")
                write_json(subject / "anat" / f"{name}.json",
                           {"FlipAngle": head.protocol[flip_key], "MTState": on,
                            "RepetitionTimeExcitation": head.protocol[tr_key]})
            intended = [f"bids::sub-{label}/anat/sub-{label}_{entities}_MTS.nii.gz"
                        for _, entities, *_ in PHANTOM_SCANS]
            for stem, suffix, extra in (("b1", "TB1map", {}), ("b0", "fieldmap",
                                                               {"Units": "Hz"})):
                os.replace(files[stem], subject / "fmap" / f"sub-{label}_{suffix}.nii.gz")
                write_json(subject / "fmap" / f"sub-{label}_{suffix}.json",
                           {"IntendedFor": intended, **extra})
            for folder, stem, suffix in (
                    ("phantom-truth", "truth_f", FRACTION_SUFFIX),
                    ("phantom-truth", "truth_r1", "R1map"), ("phantom-truth", "truth_m0", "M0map"),
                    ("brainmask", "mask", "desc-brain_mask")):
                target = work / "derivatives" / folder / f"sub-{label}" / "anat"
                target.mkdir(parents=True, exist_ok=True)
                os.replace(files[stem], target / f"sub-{label}_{suffix}.nii.gz")
        shutil.rmtree(work / ".phantom")
        write_json(work / "dataset_description.json",
                   {"Name": "tavni-mt-map phantom heads", "DatasetType": "raw", **description})
        write_json(work / "MTS.json", {**PHANTOM_SHARED, **mt_sidecar(head.protocol)})
        (work / "participants.tsv").write_text(
            "participant_id\n" + "".join(f"sub-{label}\n" for label in labels))
        (work / "README").write_text(
            "Synthetic heads for trying the tavni-mt-map BIDS App: three SPGR scans "
            "(PD-, T1- and MT-weighted) per participant and transmit and static field "
            "maps. The true maps are in derivatives/phantom-truth, brain masks in "
            "derivatives/brainmask; the tissue constants no sidecar holds are in "
            "code/protocol.json.\n")
        (work / "code").mkdir()
        write_json(work / "code" / "protocol.json",
                   {key: head.protocol[key] for key in TISSUE_KEYS + ("T2b",)})
        for folder in ("phantom-truth", "brainmask"):
            write_json(work / "derivatives" / folder / "dataset_description.json",
                       {"Name": f"phantom {folder}", "DatasetType": "derivative",
                        **description})
        if directory.exists():
            directory.rmdir()
        os.replace(work, directory)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return head.notes


# ---------------------------------------------------------------------------
# Command line

def run(options):
    """Runs the participant or group level; returns the exit status."""
    if options.jobs < 1:
        raise BidsError(f"--jobs must be at least 1 (got {options.jobs})")
    if options.analysis_level == "group":
        rows = summarise_group(options)
        if not options.quiet:
            print(f"{len(rows)} participant/session rows in "
                  f"{Path(options.output_dir) / 'group' / 'summary.tsv'}")
        return 0
    if Path(options.output_dir).resolve() == Path(options.bids_dir).resolve():
        raise BidsError("OUTPUT_DIR must not be the BIDS dataset itself")
    jobs = plan(options)
    write_dataset_description(options, jobs[0].generated_by)
    from tavni.mt_map import runner

    outcomes = runner.run(jobs, jobs_at_once=options.jobs, scheduler=options.dask_scheduler,
                          quiet=options.quiet)
    print(runner.table(outcomes))
    return 1 if any(o.state == "failed" for o in outcomes) else 0
