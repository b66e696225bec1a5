"""The board side a command plays on when --dim is not given: the one of what the user already named."""

from __future__ import annotations

import importlib.util
from collections.abc import Sequence
from pathlib import Path

from ..selfplay.settings import read_toml


def implied_dim(
    flag: int | None, config: Path | None, run: Path | None = None, checkpoints: Sequence = ()
) -> int | None:
    """The --dim to pass on: the flag when given; None when the settings file sets the side (the file
    wins, as any flag's absence lets it); else the side of the existing run, else of the first
    checkpoint; None leaves the default. A flag or file that disagrees with the run or a checkpoint is
    still refused, by the check that reads them later."""
    if flag is not None:
        return flag
    if config is not None and "dim" in read_toml(config):
        return None
    if run is not None and (run / "run.json").is_file():
        from ..runs.store import Run

        return Run(run).dim
    for path in checkpoints:
        # Without PyTorch the command is refused later, with the message that says so.
        if path is not None and Path(path).is_file() and importlib.util.find_spec("torch") is not None:
            from ..training.model import load_checkpoint

            return load_checkpoint(path).model.dim
    return None
