"""The games of a run as a listing, for the browser page and the export: each game's id, the node that
played it, where it is stored, and what a table of games shows (length, scores, winners).

Runs written before the records carried a game id and a node still list: the store names such a game
by its shard and row (``<shard file name>:<row>``) and gives it the node ``local``.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

import pyarrow as pa

from .replay import ReplayError, replay
from .store import Run, StoredGame, read_shard, read_shard_games


@dataclass(frozen=True)
class GameEntry:
    """One stored game as a listing shows it.

    index: position in the run, in order of writing from 0; shard, row: where it is stored; scores: per
    player, None when the game does not replay (``problem`` then says why); winners: the players with a
    payoff above 0."""

    index: int
    id: str
    node: str
    shard: Path
    row: int
    model: str
    worker: int
    finished_at: datetime
    length: int
    payoff: tuple[float, ...]
    scores: tuple[int, ...] | None
    winners: tuple[int, ...]
    problem: str | None

    def as_json(self) -> dict:
        return {
            "index": self.index,
            "id": self.id,
            "node": self.node,
            "model": self.model,
            "worker": self.worker,
            "finished_at": self.finished_at.isoformat(timespec="seconds"),
            "length": self.length,
            "payoff": [round(p, 4) for p in self.payoff],
            "scores": self.scores,
            "winners": self.winners,
            "problem": self.problem,
        }


def identity(game: StoredGame | _Listed, shard: Path, row: int) -> tuple[str, str]:
    """(id, node) of a stored game (the store names the games of older shards by shard and row)."""
    return str(game.game_id), str(game.node)


@dataclass(frozen=True)
class _Listed:
    """What a listing needs of a stored game: a StoredGame without the visit shares, which would take most
    of the time of reading a run."""

    worker: int
    history: list[tuple[int, int]]
    payoff: list[float]
    model: str
    finished_at: datetime
    game_id: str | None
    node: str | None


def entry_of(game: StoredGame | _Listed, index: int, shard: Path, row: int, dim: int) -> GameEntry:
    """The listing of one stored game, replayed for its scores."""
    game_id, node = identity(game, shard, row)
    scores, problem = None, None
    try:
        scores = tuple(replay(game.history, dim).scores())
    except ReplayError as error:
        problem = f"does not replay: {error}"
    return GameEntry(
        index=index,
        id=game_id,
        node=node,
        shard=shard,
        row=row,
        model=game.model,
        worker=game.worker,
        finished_at=game.finished_at,
        length=len(game.history),
        payoff=tuple(game.payoff),
        scores=scores,
        winners=tuple(p for p, x in enumerate(game.payoff) if x > 0),
        problem=problem,
    )


class GameIndex:
    """The listing of a run, kept up to date as shards are added: a shard is read once, when it first
    appears (shards are never rewritten)."""

    def __init__(self, run: Run):
        self.run = run
        self._by_shard: dict[Path, list[GameEntry]] = {}
        self._entries: list[GameEntry] = []

    def entries(self) -> list[GameEntry]:
        """Every game of the run in order of writing; CorruptShardError names a shard that cannot be read."""
        shards = self.run.shards()
        if list(self._by_shard) != shards[: len(self._by_shard)]:
            self._by_shard.clear()  # a shard went away: the run was changed by hand; list it anew
        entries = [entry for known in self._by_shard.values() for entry in known]
        for shard in shards[len(self._by_shard) :]:
            listed = [
                entry_of(game, len(entries) + row, shard, row, self.run.dim)
                for row, game in enumerate(_listed_games(read_shard(shard, self.run.dim)))
            ]
            self._by_shard[shard] = listed
            entries.extend(listed)
        self._entries = entries
        return entries

    def game(self, index: int) -> tuple[GameEntry, StoredGame]:
        """The listing and the record of game ``index``; IndexError when there is none."""
        entries = self._entries if 0 <= index < len(self._entries) else self.entries()
        if not 0 <= index < len(entries):
            raise IndexError(f"the run holds {len(entries)} games; there is no game {index}")
        entry = entries[index]
        for game in read_shard_games(entry.shard, entry.row, 1, self.run.dim):
            return entry, game
        raise IndexError(f"game {index} is no longer in {entry.shard}")


def _listed_games(table: pa.Table) -> Iterator[_Listed]:
    """The games of a shard's table, with their ids and nodes but without their visit shares."""
    history = table["history"].combine_chunks()
    offsets = history.offsets.to_numpy()
    players = history.values.field("player").to_numpy().tolist()
    tiles = history.values.field("tile").to_numpy().tolist()
    columns = {name: table[name].to_pylist() for name in ("worker", "payoff", "model", "finished_at")}
    for name in ("game_id", "node"):
        columns[name] = table[name].to_pylist()
    for row in range(table.num_rows):
        a, b = offsets[row], offsets[row + 1]
        yield _Listed(
            history=list(zip(players[a:b], tiles[a:b])), **{name: values[row] for name, values in columns.items()}
        )
