"""A trained network as the rest of the toolkit hands it around: the checkpoint's bytes with what names
them. Kept apart from the model so that passing one to a process does not start PyTorch there."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any


@dataclass(frozen=True)
class Network:
    """A network as the pipeline takes it: its checkpoint's bytes and digest, its training step, and where
    it lives (relative to the run for a network the run keeps itself)."""

    path: str
    data: bytes
    digest: str
    step: int

    @staticmethod
    def load(run: Path, path: str, dim: int) -> Network:
        from .model import decode_checkpoint, read_checkpoint_file

        data = read_checkpoint_file(run / path)
        checkpoint = decode_checkpoint(data, str(run / path), dim=dim)
        return Network(path, data, checkpoint.digest, checkpoint.step)

    def record(self) -> dict[str, Any]:
        """How run.json names it in a session's record."""
        return {"digest": self.digest, "path": self.path, "step": self.step}
