"""Sphinx configuration of the tavni-mt-map documentation.

Build (the API pages import the installed package, so install it first)::

    python3 -m pip install ".[dev]"
    python3 -m sphinx -W --keep-going -b html docs docs/_build/html
"""

import tomllib
from pathlib import Path

_metadata = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]

project = "tavni-mt-map"
author = "the tavni-mt-map developers"
copyright = "2026, the tavni-mt-map developers"
release = version = _metadata["version"]

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
]

root_doc = "index"
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]

# API reference: the docstrings are numpydoc; each module page documents its
# public members, and autosummary's tables link to them.
autosummary_generate = True
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

# Markdown pages: ::: fences for directives, definition lists, anchors for
# the headings of the first three levels.
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

html_theme = "pydata_sphinx_theme"
html_title = f"tavni-mt-map {release}"
html_theme_options = {
    "navigation_depth": 2,
    "show_toc_level": 2,
}
