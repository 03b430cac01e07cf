"""python3 -m seiskernels: the travel-time command line."""

import sys

from ._cli import main

sys.exit(main())
