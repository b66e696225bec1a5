"""Going on with a run one of whose shards is damaged: find the shards that cannot be read back and move
them aside, into a folder of the run where no reader looks, so that the rest reads again. Nothing is
deleted: a shard moved aside can be examined, or put back, by hand."""

from __future__ import annotations

import fcntl
import os
from dataclasses import dataclass
from pathlib import Path

from .store import CorruptShardError, Run, RunError, read_shard

ASIDE_DIR = "damaged"  # RUN/damaged/, beside RUN/games/


@dataclass(frozen=True)
class ShardCheck:
    """Every complete shard of a run read back: the games in those that read, and why each other cannot."""

    readable: int
    games: int
    damaged: tuple[tuple[Path, str], ...]  # (shard, the reader's message)


def check_shards(run: Run) -> ShardCheck:
    readable = games = 0
    damaged = []
    for shard in run.shards():
        try:
            games += read_shard(shard).num_rows
            readable += 1
        except CorruptShardError as error:
            damaged.append((shard, str(error)))
    return ShardCheck(readable, games, tuple(damaged))


def move_aside(run: Run, shards: list[Path]) -> list[Path]:
    """Move ``shards`` of ``run`` into RUN/damaged/ under their own names (a number added when the name is
    taken there already); returns where each went. Holds the run's write lock meanwhile, so that no
    session writes to the run as its shards move. RunError when a session holds it or a move fails."""
    aside = run.path / ASIDE_DIR
    try:
        lock = open(run.path / ".lock", "w")
    except OSError as error:
        raise RunError(f"cannot move shards aside in {run.path}: {error.strerror}") from None
    with lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise RunError(f"cannot move shards aside: {run.path} is in use by another zelmor-lab process") from None
        moved = []
        for shard in shards:
            target = aside / shard.name
            number = 1
            while target.exists():
                target = aside / f"{shard.stem}.{number}{shard.suffix}"
                number += 1
            try:
                aside.mkdir(exist_ok=True)
                os.rename(shard, target)  # the same file system: the shard is never in two places or none
            except OSError as error:
                raise RunError(f"cannot move {shard} to {target}: {error.strerror}") from None
            moved.append(target)
        return moved
