#!/usr/bin/python3
"""Export a PyTorch model as a zavo graph file (the command of `zavo.export`).

    /usr/bin/python3 tools/export_graph.py resnet18 --input-size 1,3,64,64 -o resnet18.json

Imported with tools/ on the path, `export_graph` is the module `zavo.export`
itself: `export_graph.trace`, `dumps_graph`, `write_atomic` and the rest.
"""

import os
import sys

_PYTHON = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
if _PYTHON not in sys.path:
    sys.path.insert(0, _PYTHON)

from zavo import export  # noqa: E402

if __name__ == "__main__":
    sys.exit(export.main())
sys.modules[__name__] = export
