"""Prints the leaks of a LeakSanitizer report that passed through the module.

Argument 1 is the log_path prefix of the report. The interpreter's own
exit-time leaks are ignored, and so are the module, its types and the panic
exception type, which live until the process ends by design.
"""

import glob
import re
import sys
from pathlib import Path

found = []
for path in glob.glob(sys.argv[1] + ".*"):
    text = Path(path).read_text(errors="replace")
    for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
        if not block.startswith(("Direct leak", "Indirect leak")):
            continue
        if "velmor_chess" not in block:
            continue
        if "PyInit_velmor_chess" in block or "PyType_From" in block:
            continue
        found.append(block.strip())
print("\n\n".join(found))
