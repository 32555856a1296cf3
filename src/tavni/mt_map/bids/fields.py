"""The BIDS sidecar fields the App reads and the phantom's dataset writes.

For the BIDS layer only: the protocol keys (``protocol.PARAMETERS``) name
the parameters inside the program, and these tables say which sidecar field
holds each, and how long a time in seconds it can hold. Light on purpose
(no NumPy).
"""

__all__ = ["BIDS_FIELDS", "LONGEST_SECONDS", "MT_PULSE_FIELDS", "SIDECAR_LONGEST"]

# Times in s, offsets in Hz, angles in degrees on both sides; MTPulseDuration
# is one pulse, ``duration`` all of them in a TR. MTPulseFlipAngle is no
# BIDS field: the nominal flip angle of one MT pulse, from which its RMS
# amplitude is computed.
BIDS_FIELDS = {
    "flip_angle_deg": "FlipAngle",
    "TR": "RepetitionTimeExcitation",
    "delta_omega": "MTOffsetFrequency",
    "duration": "MTPulseDuration",
    "mt_pulses": "MTNumberOfPulses",
    "mt_pulse_shape": "MTPulseShape",
    "mt_flip_angle_deg": "MTPulseFlipAngle",
    "mt_bandwidth": "MTPulseBandwidth",
}
"""Protocol key to the BIDS sidecar field that holds it (the PD- and
T1-weighted scans' ``pdw_``/``t1w_`` keys use the fields of their own
sidecars)."""
MT_PULSE_FIELDS = (
    "delta_omega",
    "duration",
    "mt_pulses",
    "mt_pulse_shape",
    "mt_flip_angle_deg",
    "mt_bandwidth",
)
"""The MT pulse's fields, stated once per dataset or MT-weighted scan."""
# BIDS states times in seconds, so a sidecar value this large stops the BIDS
# App (unless it is told to read milliseconds), where a value given on the
# command line only draws a warning past the top of its typical range. One
# MT pulse lasts well under 0.1 s.
SIDECAR_LONGEST = {"TR": 1.0, "duration": 0.1}
"""Sidecar times (s) beyond which a value can only be in milliseconds."""

# Sidecar times checked against the longest value the sequence can have in
# seconds: a larger number is a value written in milliseconds (a repetition
# time of 28, a pulse of 12). RepetitionTime stands in for
# RepetitionTimeExcitation where that is missing.
LONGEST_SECONDS = {BIDS_FIELDS[key]: seconds for key, seconds in SIDECAR_LONGEST.items()}
LONGEST_SECONDS["RepetitionTime"] = SIDECAR_LONGEST["TR"]
# An echo lies within its repetition.
LONGEST_SECONDS["EchoTime"] = SIDECAR_LONGEST["TR"]
"""Sidecar field to the longest time it can hold in seconds."""
