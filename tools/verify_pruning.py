#!/usr/bin/python3
"""Prove on a real model that the classes a report calls prunable can be pruned
(the command of `zavo.verify`).

    /usr/bin/python3 tools/verify_pruning.py resnet18 resnet18.report.json [--sample 10 --seed 0]

Imported with tools/ on the path, `verify_pruning` is the module `zavo.verify`.
"""

import os
import sys

_PYTHON = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
if _PYTHON not in sys.path:
    sys.path.insert(0, _PYTHON)

from zavo import verify  # noqa: E402

if __name__ == "__main__":
    sys.exit(verify.main())
sys.modules[__name__] = verify
