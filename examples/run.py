#!/usr/bin/env python3
"""The seiskernels command from a built checkout, before anything is installed:

    cmake --workflow --preset release && python3 examples/run.py times --depth 300 30 145

(once the package is installed, `seiskernels times ...` does the same)."""

import sys

import checkout  # noqa: F401  (lets the example run from a built checkout)
from seiskernels._cli import main

sys.exit(main())
