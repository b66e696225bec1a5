"""A run's games for other tools: one game per line, as JSON Lines or CSV.

JSON Lines: one object per game with game_id (the shards' name), node, model, worker, finished_at (ISO 8601,
UTC), dim, length, payoff (4), scores (4, null when the game does not replay), winners, history ([player,
tile] per action) and policies (per action, [tile, visit share] per candidate; [] for a fast search).
CSV: the same columns but the policies, with payoff_0..3 and score_0..3, and history as space-separated
``player:tile`` pairs. A tile is row * dim + column.
"""

from __future__ import annotations

import csv
import json
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import IO

from ..errors import InputError
from .atomic import replacing
from .index import entry_of
from .store import Run, read_shard_games

FORMATS = ("jsonl", "csv")
CSV_COLUMNS = (
    ["game_id", "node", "model", "worker", "finished_at", "dim", "length"]
    + [f"payoff_{p}" for p in range(4)]
    + [f"score_{p}" for p in range(4)]
    + ["winners", "history"]
)


class ExportError(InputError):
    """An export that cannot be written where it was asked for."""


def records(run: Run) -> Iterator[dict]:
    """Every game of ``run`` in order of writing, as the JSON Lines object."""
    index = 0
    for shard in run.shards():
        for row, game in enumerate(read_shard_games(shard, dim=run.dim)):
            entry = entry_of(game, index, shard, row, run.dim)
            index += 1
            yield {
                "game_id": entry.id,
                "node": entry.node,
                "model": entry.model,
                "worker": entry.worker,
                "finished_at": entry.finished_at.isoformat(),
                "dim": run.dim,
                "length": entry.length,
                "payoff": [round(p, 6) for p in entry.payoff],
                "scores": entry.scores,
                "winners": list(entry.winners),
                "history": [list(pair) for pair in game.history],
                "policies": [[[tile, round(p, 6)] for tile, p in candidates] for candidates in game.policies],
            }


def write_export(run: Run, fmt: str, stream: IO[str]) -> int:
    """Write every game of ``run`` to ``stream`` in format ``fmt``; returns the number of games."""
    if fmt not in FORMATS:
        raise ExportError(f"unknown export format {fmt!r}; use one of {', '.join(FORMATS)}")
    count = 0
    if fmt == "jsonl":
        for record in records(run):
            stream.write(json.dumps(record, separators=(",", ":")) + "\n")
            count += 1
        return count
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(CSV_COLUMNS)
    for record in records(run):
        scores = record["scores"] or [""] * 4
        writer.writerow(
            [record[name] for name in CSV_COLUMNS[:7]]
            + record["payoff"]
            + list(scores)
            + [
                " ".join(map(str, record["winners"])),
                " ".join(f"{player}:{tile}" for player, tile in record["history"]),
            ]
        )
        count += 1
    return count


def export_run(run: Run, fmt: str, out: Path | None) -> int:
    """Export to ``out``, or to standard output when None. A file is written under a temporary name and
    renamed when complete, so a failed export leaves no partial file (and an existing one untouched):
    ExportError for an ``out`` that cannot be a file, WriteError for a write that failed (a full disk)."""
    if out is None:
        return write_export(run, fmt, sys.stdout)
    if out.is_dir():
        raise ExportError(f"cannot write the export to {out}: it is a directory")
    if not out.parent.is_dir():
        raise ExportError(f"cannot write the export to {out}: there is no directory {out.parent}")
    with replacing(out, text=True, label="the export to ") as stream:
        return write_export(run, fmt, stream)
