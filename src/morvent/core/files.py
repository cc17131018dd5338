"""Crash-safe file writes for the backup folder.

The backup folder is what a later run or a revert trusts, so every file in it
is replaced atomically: the data goes to a temporary file in the same folder,
is flushed to disk, and is renamed over the old file; then the folder itself
is flushed so the rename survives a power loss.  A process killed at any
moment leaves either the old file or the new one, never a torn one.
"""

from __future__ import annotations

import contextlib
import logging
import os
import tempfile


def fsync_folder(folder: str) -> None:
    """Make a rename in ``folder`` durable; best effort where folders cannot be opened."""
    flags = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)
    try:
        fd = os.open(folder, flags)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError as e:
        logging.getLogger(__name__).warning("  could not flush folder %s to disk: %s", folder, e)
    finally:
        os.close(fd)


def write_atomically(path: str, data: bytes, *, temp_prefix: str | None = None) -> None:
    """Replace ``path`` by ``data``; a crash leaves the old or the new file.

    The temporary file is named ``temp_prefix`` + random + ".tmp" (by default
    "." + the file's name + "."), so leftovers of a killed process can be
    recognised and removed.  On any error the temporary file is removed and
    ``path`` is left as it was.
    """
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    prefix = temp_prefix if temp_prefix is not None else "." + os.path.basename(path) + "."
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=prefix, suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    fsync_folder(folder)
