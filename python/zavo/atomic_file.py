"""Files written whole or not at all: the new content goes to a file beside the target,
which is renamed over it once complete, so a reader never sees half a file and a failure
leaves the old one."""

import os
import tempfile


def replace_atomic(path, write):
    """Call `write(tmp)` on a new file beside `path`, then rename it to `path`: `path` is either
    untouched or complete."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), suffix=".tmp", dir=directory)
    os.close(fd)
    try:
        write(tmp)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def write_atomic(path, text):
    """Write `text` to `path` so that `path` is either untouched or complete."""

    def write(tmp):
        with open(tmp, "w", encoding="utf-8") as out:
            out.write(text)

    replace_atomic(path, write)
