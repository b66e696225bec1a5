"""Writing a file so that a reader, or a restart after a crash, sees the old file or the complete new one.
Every file the toolkit keeps (checkpoints, states, loop records, pictures, run metadata, exports) is written
this way."""

from __future__ import annotations

import contextlib
import os
import uuid
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Any

from ..errors import WriteError


@contextlib.contextmanager
def replacing(path: Path, text: bool = False, label: str = "") -> Iterator[IO[Any]]:
    """A new file for the block to write (bytes, or UTF-8 text when ``text``); when the block ends normally
    it replaces ``path``. WriteError, "cannot write {label}{path}: why", when it cannot be written, and
    for any OSError the block lets out; ``path`` is then as it was and no temporary file is left.

    Each call writes a temporary file of its own beside ``path`` (hidden, ending in .tmp), so that
    processes writing one path at once never write into or rename away each other's: the last rename
    wins, and what it leaves is one writer's complete file."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}-{uuid.uuid4().hex[:12]}.tmp")
    try:
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            file: IO[Any] = open(descriptor, "w", encoding="utf-8", newline="") if text else open(descriptor, "wb")
            with file as f:
                yield f
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
        raise WriteError(f"cannot write {label}{path}: {error.strerror or error}") from None


def write_atomically(path: Path, data: bytes) -> None:
    """Replace ``path`` by ``data``; WriteError when it cannot be written (the temporary file is removed)."""
    with replacing(path) as f:
        f.write(data)
