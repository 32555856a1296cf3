"""The pages' skeleton, for the participant and the group page: a
self-contained HTML page around a body (``page``), its style sheet, and the
tables the pages are mostly made of (``rows_table``).

The skeleton (``page.html``, a ``string.Template``) and the style sheet
(``style.css``) are files of this package, read once on import.
"""

import html
import string
from importlib import resources

__all__ = ["STYLE", "page", "rows_table"]

_HERE = resources.files(__package__)

STYLE = _HERE.joinpath("style.css").read_text(encoding="utf-8")
"""The pages' style sheet, inline in every page."""

_SKELETON = string.Template(_HERE.joinpath("page.html").read_text(encoding="utf-8"))


def page(title: str, body: str) -> str:
    """A self-contained HTML page.

    Parameters
    ----------
    title : str
        Plain text, escaped here.
    body : str
        HTML.

    Returns
    -------
    str
    """
    return _SKELETON.substitute(title=html.escape(title), style=STYLE, body=body)


def rows_table(header, rows) -> str:
    """A table of plain values, each cell's text escaped.

    Parameters
    ----------
    header : sequence or None
        The columns' names; no header row when None or empty.
    rows : iterable of sequence
        The cells of each row.

    Returns
    -------
    str
        A ``<table>``.
    """
    head = "".join(f"<th>{html.escape(str(h))}</th>" for h in header or ())
    head = f"<tr>{head}</tr>" if head else ""
    body = "".join(
        "<tr>" + "".join(f"<td>{html.escape(str(c))}</td>" for c in row) + "</tr>" for row in rows
    )
    return f"<table>{head}{body}</table>"
