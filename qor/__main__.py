"""``python -m qor``: the command line."""

import sys

from qor.cli import main

sys.exit(main())
