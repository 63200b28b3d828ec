"""Shared set-up of the Python tests: the package on the import path, and a runner of a command's main()."""

import contextlib
import io
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON = os.path.join(REPO, "python")
if PYTHON not in sys.path:
    sys.path.insert(0, PYTHON)


def run_main(main, argv):
    """Run a command's main(argv); returns (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main(argv)
        except SystemExit as exit_:
            status = exit_.code
    return status, out.getvalue(), err.getvalue()
