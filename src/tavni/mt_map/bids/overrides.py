"""Parameters given beside the dataset: a protocol file (``--protocol``)
and ``--param KEY=VALUE``, which complete or override the sidecars.

For the App's planning (``app``: :func:`read_overrides`, once per run) and
for ``parameters``, whose messages about a missing field name the
``--param`` that stands in for it (:func:`param_hint`).
"""

from tavni.mt_map import protocol
from tavni.mt_map.bids.base import BidsError
from tavni.mt_map.bids.settings import Reading

__all__ = ["param_hint", "read_overrides"]


def read_overrides(reading: Reading) -> dict:
    """Parameters given by ``--protocol`` and ``--param``; ``--param`` wins.

    Parameters
    ----------
    reading : settings.Reading
        ``protocol`` (a path or None) and ``param`` (``KEY=VALUE`` strings or
        None) are read.

    Returns
    -------
    dict of str to protocol.Given

    Raises
    ------
    BidsError
        A ``--param`` that is not ``KEY=VALUE`` with a protocol key.
    protocol.ParameterError
        A bad protocol file.
    """
    overrides = protocol.read_protocol(reading.protocol) if reading.protocol else {}
    for item in reading.param or ():
        key, sep, text = item.partition("=")
        if not sep or key not in protocol.PROTOCOL_KEYS:
            known = ", ".join(protocol.PROTOCOL_KEYS)
            raise BidsError(f"--param '{item}' must be KEY=VALUE with KEY one of {known}")
        try:
            value = float(text)
        except ValueError:
            value = text  # a word, for a choice such as mt_pulse_shape
        overrides[key] = protocol.Given(value, f"--param {key}")
    return overrides


def param_hint(keys) -> str:
    """``--param KEY=UNIT`` for each of keys, joined by "and".

    Parameters
    ----------
    keys : sequence of str
        Protocol keys.

    Returns
    -------
    str
    """
    return " and ".join(
        f"--param {key}={protocol.METAVARS[protocol.PARAMETERS[key].unit]}" for key in keys
    )
