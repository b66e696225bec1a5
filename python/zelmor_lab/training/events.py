"""TensorBoard event files beside the JSON Lines and PNG files, for those who watch their runs there.
torch's SummaryWriter writes them when the tensorboard extra is installed; without it nothing is
written (the JSON Lines files hold the same figures)."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

EXTRA_HINT = "pip install 'zelmor-lab[tensorboard]'"


def event_writer(directory: Path) -> Any | None:
    """A SummaryWriter appending to ``directory``, or None without TensorBoard."""
    try:
        from torch.utils.tensorboard import SummaryWriter
    except ImportError:
        return None
    return SummaryWriter(log_dir=str(directory))


def add_scalars(writer: Any | None, prefix: str, step: int, values: dict[str, Any]) -> None:
    """Each finite number of ``values`` as the scalar ``prefix/name`` at ``step``; text and absent
    figures are left out."""
    if writer is None:
        return
    for name, value in values.items():
        if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
            writer.add_scalar(f"{prefix}/{name}", value, step)
    writer.flush()


def write_strength(directory: Path, generation: int, figures: dict[str, Any]) -> None:
    """A loop generation's strength figures (name -> PayoffSummary or None): each mean, and the bounds of
    its 95% interval where it has one, under strength/ at step ``generation``."""
    writer = event_writer(directory)
    if writer is None:
        return
    try:
        values: dict[str, float] = {}
        for name, summary in figures.items():
            if summary is None or summary.games == 0:
                continue
            values[f"{name}/mean"] = summary.mean
            if not math.isnan(summary.half_width):
                values[f"{name}/low95"] = summary.mean - summary.half_width
                values[f"{name}/high95"] = summary.mean + summary.half_width
        add_scalars(writer, "strength", generation, values)
    finally:
        writer.close()
