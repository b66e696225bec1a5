"""Writing a file so that a reader, or a restart after a crash, sees the old file or the complete new one.
Every file the toolkit keeps (checkpoints, states, loop records, pictures, run metadata) is written this way."""

from __future__ import annotations

import contextlib
import os
from pathlib import Path

from ..errors import WriteError


def write_atomically(path: Path, data: bytes) -> None:
    """Replace ``path`` by ``data``; WriteError when it cannot be written (the temporary file is removed)."""
    temporary = path.with_name(f".{path.name}.tmp")
    try:
        try:
            with open(temporary, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            temporary.replace(path)
        except BaseException:
            with contextlib.suppress(OSError):
                temporary.unlink(missing_ok=True)
            raise
        directory = os.open(path.parent, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)
    except OSError as error:
        raise WriteError(f"cannot write {path}: {error.strerror or error}") from None
