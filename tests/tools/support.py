"""Shared set-up of the Python tests: import paths (the package and tools/) and a main() runner."""

import contextlib
import io
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(REPO, "tools")
PYTHON = os.path.join(REPO, "python")
for _path in (PYTHON, TOOLS):
    if _path not in sys.path:
        sys.path.insert(0, _path)


def run_main(main, argv):
    """Run a tool's main(argv); returns (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main(argv)
        except SystemExit as exit_:
            status = exit_.code
    return status, out.getvalue(), err.getvalue()
