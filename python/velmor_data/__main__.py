"""``python -m velmor_data``: the command line (see ``python -m velmor_data encode --help``)."""

import os
import sys

# The command does no linear algebra. Left alone, NumPy's BLAS starts a pool
# of threads in every process that imports it: they take processor time from
# the encoding, and a process with threads cannot fork its workers safely.
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

from .cli import main  # noqa: E402

sys.exit(main())
