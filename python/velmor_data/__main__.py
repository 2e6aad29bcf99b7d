"""``python -m velmor_data``: the command line (see ``python -m velmor_data encode --help``)."""

import sys

from .cli import main

sys.exit(main())
