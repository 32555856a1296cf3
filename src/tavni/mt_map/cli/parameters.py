"""The options of the parameter registry, and the values given by them.

For the commands that take sequence or tissue parameters (``fraction``,
``mtsat``, ``mtr``, ``voxel``): ``add_options`` declares an option per row
of :data:`~tavni.mt_map.registry.PARAMETERS` (and ``--protocol``), and
``gather`` collects the values given on the command line, completed by the
protocol file, for ``protocol.validate`` to judge.
"""

import argparse
from collections.abc import Sequence
from pathlib import Path

from tavni.mt_map.protocol import (
    LINESHAPE,
    METAVARS,
    MT_PULSE,
    Given,
    read_protocol,
    require,
)
from tavni.mt_map.registry import PARAMETERS

__all__ = ["add_options", "gather"]


def add_options(parser: argparse.ArgumentParser, keys: Sequence[str]) -> None:
    """Adds the options of parameters to an argparse parser.

    Parameters
    ----------
    parser : argparse.ArgumentParser
        The (sub)command's parser.
    keys : sequence of str
        Keys of ``PARAMETERS``; T2b and G become alternatives. A
        ``--protocol FILE.json`` option is added for the protocol file.
    """
    group = parser.add_argument_group("sequence and tissue parameters")
    lineshape = None
    for key in keys:
        p = PARAMETERS[key]
        target = group
        if key in LINESHAPE:
            if lineshape is None:
                lineshape = group.add_mutually_exclusive_group()
            target = lineshape
        if p.rule == "choice":
            target.add_argument(p.option, dest=key, choices=p.choices, help=p.help)
        else:
            target.add_argument(
                p.option,
                dest=key,
                type=int if p.rule == "count" else float,
                metavar=METAVARS[p.unit],
                help=p.help,
            )
    group.add_argument(
        "--protocol",
        type=Path,
        metavar="FILE.json",
        help="JSON file with the parameters above under the keys "
        + ", ".join(k for k in keys if PARAMETERS[k].in_protocol)
        + "; options given on the command line win",
    )


def gather(options: argparse.Namespace, keys: Sequence[str]) -> dict[str, Given]:
    """The parameters from the command line, completed by a protocol file.

    Parameters
    ----------
    options : argparse.Namespace
        Parsed options with one attribute per key (None when not given) and
        ``protocol``, the protocol file's path or None.
    keys : sequence of str
        Keys of ``PARAMETERS`` wanted. Of T2b and G one is returned; a
        lineshape given on the command line beats the protocol's.

    Returns
    -------
    dict of str to Given
        Values in the units of ``PARAMETERS``, not yet validated.

    Raises
    ------
    ParameterError
        A missing parameter or a bad protocol file.
    """
    protocol_path = getattr(options, "protocol", None)
    from_file = read_protocol(protocol_path) if protocol_path is not None else {}
    # An alternative given on the command line beats all of the protocol's.
    if any(getattr(options, key, None) is not None for key in LINESHAPE):
        for key in LINESHAPE:
            from_file.pop(key, None)
    if getattr(options, "omega_1_rms", None) is not None:
        for key in MT_PULSE:
            from_file.pop(key, None)
    if any(getattr(options, key, None) is not None for key in MT_PULSE):
        from_file.pop("omega_1_rms", None)
    given = {}
    for key in keys:
        value = getattr(options, key, None)
        if value is not None:
            given[key] = Given(value, PARAMETERS[key].option)
        elif key in from_file:
            given[key] = from_file[key]
    where = " or in --protocol" if hasattr(options, "protocol") else ""
    require(given, keys, lambda key: PARAMETERS[key].option, f"give on the command line{where}")
    return given
