"""Sphinx configuration of the seiskernels site.

Built by ``cmake --workflow --preset docs`` (docs/CMakeLists.txt), which
builds the three libraries first and points the package at them.  By hand,
after that build::

    TRAVELTIME_LIBRARY=... IBMFLOAT_LIBRARY=... ARRIVALS_LIBRARY=... \\
        python3 -m sphinx -W --keep-going -b html docs build/docs/html

(the variables default to the files of build/docs).  Nothing is fetched
from the network: no intersphinx, and every figure is drawn here.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(HERE, "_ext"))

# The package loads its libraries when imported: from the variables the
# build sets, else from the docs preset's build folder.
for _name in ("traveltime", "ibmfloat", "arrivals"):
    _var = f"{_name.upper()}_LIBRARY"
    _built = os.path.join(ROOT, "build", "docs", _name, f"lib{_name}.so")
    if _var not in os.environ and os.path.exists(_built):
        os.environ[_var] = _built
# The model tables the examples build go to a folder of the build, not the
# user's cache.
os.environ.setdefault("SEISKERNELS_CACHE", os.path.join(ROOT, "build", "docs", "cache"))

import seiskernels  # noqa: E402  (after the library paths)

project = "seiskernels"
author = "the seiskernels developers"
copyright = "the seiskernels developers"
release = version = seiskernels.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "matplotlib.sphinxext.plot_directive",
    "command_help",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
# Phase names hold apostrophes (P'P', S'S'): no typographic quotes.
smartquotes = False
exclude_patterns = ["_build", "_ext", "figures/*.py", "README.md"]
templates_path = []

# Warnings are errors (sphinx-build -W), and so is every reference that
# leads nowhere: an API name that moved or was misspelled fails the build.
nitpicky = True
# Names of other projects that the docstrings give as types.  Without
# intersphinx (nothing may be fetched), they cannot be linked.
nitpick_ignore = [
    ("py:class", name) for name in (
        "numpy.ndarray", "numpy.dtype", "numpy.memmap", "np.ndarray", "ndarray",
        "dask.array.Array", "dask.array", "matplotlib.figure.Figure",
        "os.PathLike", "path-like", "array_like", "array-like", "buffer",
        "optional", "default", "callable", "sequence", "iterable", "mapping",
    )
]
nitpick_ignore_regex = [
    # numpydoc splits a parameter's type into words ("buffer of float64",
    # "shape (n, 4)"): the words that are not names of this package.
    ("py:class", r"(buffer|buffers|writable|of|float|float32|float64|int|bool|str|bytes|shape"
                 r"|or|\(.*|.*\)|.*,|\{.*|.*\}|'.*'|\".*\"|[0-9].*|None|list|tuple|dict|"
                 r"sequence|array_like|path-like|numpy\..*|dask\..*|matplotlib\..*)"),
]

# API pages: numpydoc renders the docstrings; autodoc lists the members.
autodoc_member_order = "bysource"
autodoc_typehints = "none"          # the numpydoc sections say the types
autosummary_generate = False        # the API pages are written out, nothing generated
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# MyST: the pages written in Markdown use $...$ and $$...$$ for mathematics.
myst_enable_extensions = ["dollarmath", "colon_fence"]
myst_heading_anchors = 3

# Figures: each drawn by a script of docs/figures when the site is built.
plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.autolayout": False, "savefig.bbox": "tight"}
plot_working_directory = ROOT

# Doctests: every example of the pages and of the docstrings the API pages
# show runs with `sphinx-build -b doctest`.
doctest_global_setup = """
import numpy as np
np.set_printoptions(legacy=False)
"""
doctest_test_doctest_blocks = "default"

html_theme = "pydata_sphinx_theme"
html_title = f"seiskernels {version}"
html_theme_options = {
    "navigation_depth": 2,
    "show_prev_next": True,
    "search_bar_text": "Search the docs",
}
html_static_path = []
html_last_updated_fmt = None
html_show_sourcelink = False
