"""The run directory: finished self-play games in Parquet shards and the run's metadata.

Layout of a run directory RUN:
  RUN/run.json               format, board side, and one entry per session that wrote to the run
                             (command, start time, settings, model, versions)
  RUN/games/*.parquet        shards of finished games, one row per game, named so that the order of
                             names is the order of writing
  RUN/models/<digest>.pt     networks a session created itself (the embedded default)

A shard is written under a hidden temporary name, fsynced, renamed and its directory fsynced, so a
reader lists complete shards only and a crash loses at most the games not flushed yet. Readers never
take the lock; writers hold RUN/.lock so that two sessions never append to one run at the same time.

Each shard's Parquet metadata names the format and the board side (keys zelmor-lab.format and
zelmor-lab.dim), so that a shard can be read without its run.

Row schema (one row per game):
  worker       int32                                   the worker process that played it
  history      list<struct<player: int8, tile: int16>> every action in order: player, tile
  policies     list<list<struct<tile: int16, p: float32>>>  per action, the search's visit share per
                                                       candidate tile (only the root's children);
                                                       empty for an action searched fast
  payoff       fixed_size_list<float32>[4]             per player: 1 / winners for a winner, else 0
  model        string                                  digest of the checkpoint that played
  finished_at  timestamp[us, UTC]
  game_id      string                                  unique across nodes and sessions; a writer stores a
                                                       game once by it
  node         string                                  the Ray node that played it, or "local"
Shards written before game_id and node existed read as node "local" and game_id "<shard name>:<row>".
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import platform
import uuid
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime, timezone
from importlib import metadata
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from ..errors import InputError, WriteError
from ..validation import load_json
from .atomic import write_atomically

RUN_FORMAT = "zelmor-lab run 1"
MIN_DIM, MAX_DIM = 4, 32  # the board sides the engine plays
FORMAT_KEY, DIM_KEY = b"zelmor-lab.format", b"zelmor-lab.dim"

_HISTORY = pa.list_(pa.struct([("player", pa.int8()), ("tile", pa.int16())]))
_POLICY = pa.list_(pa.struct([("tile", pa.int16()), ("p", pa.float32())]))
SCHEMA = pa.schema(
    [
        ("worker", pa.int32()),
        ("history", _HISTORY),
        ("policies", pa.list_(_POLICY)),
        ("payoff", pa.list_(pa.float32(), 4)),
        ("model", pa.string()),
        ("finished_at", pa.timestamp("us", tz="UTC")),
        ("game_id", pa.string()),
        ("node", pa.string()),
    ]
)
_SCHEMA_BEFORE_IDS = pa.schema(list(SCHEMA)[:6])
LOCAL_NODE = "local"  # the node of a game played without a cluster


class RunError(InputError):
    """A directory that cannot serve as the run asked for."""


class CorruptShardError(InputError):
    """A shard that cannot be read back, or not as one of its run's; the message names the file."""


@dataclass(frozen=True)
class StoredGame:
    """One finished game as read back from a run.

    history: [(player, tile)] per action; policies: per action [(tile, p)]; payoff: 4 floats by player;
    worker: the worker that played it; model: digest of the network; finished_at: aware UTC datetime;
    game_id: the game's unique id; node: the Ray node that played it, or "local".
    """

    worker: int
    history: list[tuple[int, int]]
    policies: list[list[tuple[int, float]]]
    payoff: list[float]
    model: str
    finished_at: datetime
    game_id: str
    node: str


class Run:
    """An existing run directory, for reading."""

    def __init__(self, path: str | Path):
        self.path = Path(path)
        meta_path = self.path / "run.json"
        if not meta_path.is_file():
            raise RunError(f"{self.path} is not a zelmor-lab run (no run.json)")
        try:
            self.meta = load_json(meta_path.read_text())
            self.dim = _checked_meta_dim(self.meta)
        except OSError as error:
            raise RunError(f"cannot read {meta_path}: {error.strerror}") from None
        except ValueError as error:  # JSON and Unicode decoding errors included
            raise RunError(f"{meta_path} is damaged: {error}") from None

    @property
    def games_dir(self) -> Path:
        return self.path / "games"

    def check_dim(self, dim: int) -> None:
        """RunError unless the run's games are on a board of side ``dim``."""
        if self.dim != dim:
            raise RunError(f"{self.path} holds games on a {self.dim} x {self.dim} board, not {dim} x {dim}")

    def shards(self) -> list[Path]:
        """Complete shards in order of writing (temporary files of an unfinished write are skipped)."""
        if not self.games_dir.is_dir():
            return []
        return sorted(p for p in self.games_dir.iterdir() if p.suffix == ".parquet" and not p.name.startswith("."))

    def games(self) -> Iterator[StoredGame]:
        for shard in self.shards():
            yield from _games_of(read_shard(shard, self.dim))


def _checked_meta_dim(meta: Any) -> int:
    """The board side of run.json's contents once they are found to be what every reader expects;
    ValueError saying what is not."""
    if not isinstance(meta, dict):
        raise ValueError("not a JSON object")
    if meta.get("format") != RUN_FORMAT:
        raise ValueError(f"format {meta.get('format')!r}, not {RUN_FORMAT!r}")
    dim = meta.get("dim")
    if isinstance(dim, bool) or not isinstance(dim, int) or not MIN_DIM <= dim <= MAX_DIM:
        raise ValueError(f"dim must be a board side from {MIN_DIM} to {MAX_DIM}, got {dim!r}")
    sessions = meta.get("sessions")
    if not isinstance(sessions, list):
        raise ValueError(f"sessions must be a list, got {type(sessions).__name__}")
    if not sessions:
        raise ValueError("sessions is empty; a run records the session that created it")
    for number, session in enumerate(sessions):
        if not isinstance(session, dict):
            raise ValueError(f"session {number} is {type(session).__name__}, not an object")
        model = session.get("model", {})
        if not isinstance(model, dict):
            raise ValueError(f"session {number} has a model that is {type(model).__name__}, not an object")
        for key in ("path", "digest"):
            if key in model and not isinstance(model[key], str):
                raise ValueError(f"session {number} has a model {key} {model[key]!r}, not a text")
        if "\0" in model.get("path", ""):
            raise ValueError(f"session {number} has a model path {model['path']!r} that no file can have")
    return dim


def read_games(run: str | Path) -> Iterator[StoredGame]:
    """The games of a run in order of writing. Raises RunError for a directory that is not a run and
    CorruptShardError, naming the file, at the first shard that cannot be read."""
    return Run(run).games()


def read_shard_games(
    path: str | Path, first: int = 0, count: int | None = None, dim: int | None = None
) -> Iterator[StoredGame]:
    """The games of one shard in order, from row ``first``, ``count`` of them (all by default);
    CorruptShardError as read_shard."""
    return _games_of(read_shard(path, dim).slice(first, count))


def read_shard(path: str | Path, dim: int | None = None) -> pa.Table:
    """One shard as a table of SCHEMA; CorruptShardError if it is damaged or not a shard of games, or, with
    ``dim`` (its run's board side), if it names another board side: its games would replay as nonsense."""
    try:
        table = pq.read_table(path, page_checksum_verification=True)
        columns = table.schema.names  # decoded from the footer, which has no checksum
    except (pa.ArrowException, OSError, ValueError) as error:
        raise CorruptShardError(f"corrupt shard {path}: {error}") from None
    if table.schema.equals(_SCHEMA_BEFORE_IDS):
        name = Path(path).name
        table = table.append_column(
            "game_id", pa.array([f"{name}:{row}" for row in range(table.num_rows)], type=pa.string())
        )
        table = table.append_column("node", pa.array([LOCAL_NODE] * table.num_rows, type=pa.string()))
    if not table.schema.equals(SCHEMA):
        raise CorruptShardError(f"corrupt shard {path}: unexpected columns {columns}")
    declared = (table.schema.metadata or {}).get(DIM_KEY)
    if dim is not None and declared is not None and declared != str(dim).encode():
        side = declared.decode(errors="replace")
        raise CorruptShardError(f"shard {path} holds games on a {side} x {side} board, not the run's {dim} x {dim}")
    history_lengths = pc.list_value_length(table["history"])
    policy_lengths = pc.list_value_length(table["policies"])
    if not history_lengths.equals(policy_lengths) or table["history"].null_count or table["payoff"].null_count:
        raise CorruptShardError(f"corrupt shard {path}: history and policies do not match")
    return table


def check_run_target(path: Path, dim: int) -> None:
    """RunError unless a run of board side ``dim`` can be written at ``path``: absent, an empty directory
    or a run of that side. Writes nothing; lets a long job refuse a wrong directory before it starts."""
    if (path / "run.json").exists():
        Run(path).check_dim(dim)
    elif path.exists() and not path.is_dir():
        raise RunError(f"{path} is not a directory")
    elif path.exists() and any(path.iterdir()):
        raise RunError(f"{path} is not a zelmor-lab run (no run.json) and is not empty")


class RunWriter:
    """Exclusive write access to a run directory: creates or reopens it, records the session and writes
    shards of games. Use as a context manager; leaving it flushes nothing by itself (call flush())."""

    def __init__(
        self,
        path: str | Path,
        dim: int,
        session: dict[str, Any],
        flush_every: int,
        new_files: Mapping[str, bytes] | None = None,
    ):
        """Creates the run when ``path`` does not exist or is an empty directory; reopens it when it holds
        a run of the same board side. RunError otherwise, with nothing written.

        new_files: files the session's record names (a network the session made itself), by path
        relative to the run; they are written before the record, so that run.json never names a file
        that is not there. WriteError when they or the record cannot be written."""
        self.path = Path(path)
        self.dim = dim
        self.flush_every = flush_every
        self._pending: list[tuple[int, Sequence, Sequence, Sequence[float], str, float, str, str]] = []
        self._next_try = flush_every  # queued games at which add() writes a shard
        self._ids: set[str] = set()
        self._sequence = 0
        meta_path = self.path / "run.json"
        check_run_target(self.path, dim)
        existed = self.path.exists()
        try:
            self.games_dir.mkdir(parents=True, exist_ok=True)
            self._lock = open(self.path / ".lock", "w")
        except OSError as error:
            raise RunError(f"cannot write to {self.path}: {error.strerror}") from None
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._lock.close()
            raise RunError(f"{self.path} is in use by another zelmor-lab process") from None
        try:
            # Read again under the lock: another session may have appended since the check above.
            creating = not meta_path.exists()
            if not creating:
                run = Run(self.path)
                run.check_dim(dim)
                meta = run.meta
            else:
                meta = {"format": RUN_FORMAT, "dim": dim, "sessions": []}
            for leftover in [*self.games_dir.glob(".*.tmp"), *self.path.glob("models/.*.tmp")]:
                leftover.unlink()  # a file whose writer died before the rename; never visible to readers
            for name, data in (new_files or {}).items():
                file = self.path / name
                try:
                    file.parent.mkdir(parents=True, exist_ok=True)
                except OSError as error:
                    raise WriteError(f"cannot write {file}: {error.strerror}") from None
                write_atomically(file, data)
            meta["sessions"].append(session)
            write_atomically(meta_path, json.dumps(meta, indent=2).encode())
        except BaseException:
            if creating:  # leave the directory as it was, so that the same command can start the run
                self._remove_unfinished_run(new_files or {}, existed)
            self._lock.close()
            raise

    def _remove_unfinished_run(self, new_files: Mapping[str, bytes], existed: bool) -> None:
        files = [self.path / name for name in new_files]
        removals = [
            *(f.unlink for f in files),
            *(f.parent.rmdir for f in files),
            self.games_dir.rmdir,
            (self.path / ".lock").unlink,
        ]
        if not existed:
            removals.append(self.path.rmdir)
        for remove in removals:
            with contextlib.suppress(OSError):  # what is not there, or not empty, stays
                remove()

    @property
    def games_dir(self) -> Path:
        return self.path / "games"

    @property
    def pending(self) -> int:
        return len(self._pending)

    def add(
        self,
        worker: int,
        history: Sequence,
        policies: Sequence,
        payoff: Sequence[float],
        model: str,
        finished_at: float,
        game_id: str | None = None,
        node: str = LOCAL_NODE,
    ) -> bool:
        """Queue one finished game (history: [(player, tile)], policies: per action [(tile, p)], payoff: 4
        floats, finished_at: seconds since the epoch; game_id: None for a new unique one); writes a shard
        once ``flush_every`` are queued. False, and nothing queued, when this writer has already taken
        a game of that id: a game delivered twice is stored once. A shard that cannot be written (a full
        disk) keeps its games queued, and the write is tried again once ``flush_every`` more have come;
        the caller's last flush() says whether it failed for good. ValueError for a game of the wrong
        shape, refused here so that it cannot hold up the others."""
        if len(history) != len(policies):
            raise ValueError(
                f"a game needs one policy entry per action, got {len(history)} actions and {len(policies)} entries"
            )
        if len(payoff) != 4:
            raise ValueError(f"a game's payoff holds 4 values, got {len(payoff)}")
        if game_id is None:
            game_id = uuid.uuid4().hex
        elif game_id in self._ids:
            return False
        self._ids.add(game_id)
        self._pending.append((worker, history, policies, payoff, model, finished_at, game_id, node))
        if len(self._pending) >= self._next_try:
            try:
                self.flush()
            except WriteError:
                self._next_try = len(self._pending) + self.flush_every
        return True

    def flush(self) -> Path | None:
        """Write the queued games as one shard; returns its path, None when nothing was queued.
        WriteError, naming how many games are not stored, when it cannot be written; they stay queued."""
        if not self._pending:
            return None
        table = _table_of(self._pending).replace_schema_metadata(
            {FORMAT_KEY: RUN_FORMAT.encode(), DIM_KEY: str(self.dim).encode()}
        )
        self._sequence += 1
        stamp = datetime.now(timezone.utc).strftime("%Y%m%dT%H%M%S%fZ")
        name = f"{stamp}-{os.getpid()}-{self._sequence:05d}.parquet"
        sink = pa.BufferOutputStream()
        pq.write_table(table, sink, compression="zstd", write_page_checksum=True)
        path = self.games_dir / name
        try:
            write_atomically(path, sink.getvalue().to_pybytes())
        except WriteError as error:
            raise WriteError(f"{len(self._pending)} finished games are not stored: {error}") from None
        self._pending.clear()
        self._next_try = self.flush_every
        return path

    def close(self) -> None:
        self._lock.close()

    def __enter__(self) -> RunWriter:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _table_of(games: list[tuple[int, Sequence, Sequence, Sequence[float], str, float, str, str]]) -> pa.Table:
    """Rows to columns: the nested lists become flat arrays and offsets, never Python objects per row."""
    action_counts = np.array([len(g[1]) for g in games], dtype=np.int32)
    history = np.array([pair for g in games for pair in g[1]], dtype=np.int64).reshape(-1, 2)
    candidates = [entry for g in games for entry in g[2]]
    candidate_counts = np.array([len(entry) for entry in candidates], dtype=np.int32)
    policy_tiles = np.array([tile for entry in candidates for tile, _ in entry], dtype=np.int16)
    policy_p = np.array([p for entry in candidates for _, p in entry], dtype=np.float32)
    history_values = pa.StructArray.from_arrays(
        [pa.array(history[:, 0].astype(np.int8)), pa.array(history[:, 1].astype(np.int16))], names=["player", "tile"]
    )
    policy_values = pa.StructArray.from_arrays([pa.array(policy_tiles), pa.array(policy_p)], names=["tile", "p"])
    inner = pa.ListArray.from_arrays(pa.array(_offsets(candidate_counts)), policy_values, type=_POLICY)
    payoff = np.array([g[3] for g in games], dtype=np.float32)
    columns = [
        pa.array([g[0] for g in games], type=pa.int32()),
        pa.ListArray.from_arrays(pa.array(_offsets(action_counts)), history_values, type=_HISTORY),
        pa.ListArray.from_arrays(pa.array(_offsets(action_counts)), inner, type=pa.list_(_POLICY)),
        pa.FixedSizeListArray.from_arrays(pa.array(payoff.ravel()), 4),
        pa.array([g[4] for g in games], type=pa.string()),
        pa.array(np.array([round(g[5] * 1e6) for g in games], dtype=np.int64), type=pa.timestamp("us", tz="UTC")),
        pa.array([g[6] for g in games], type=pa.string()),
        pa.array([g[7] for g in games], type=pa.string()),
    ]
    return pa.Table.from_arrays(columns, schema=SCHEMA)


def _offsets(counts: np.ndarray) -> np.ndarray:
    return np.concatenate([[0], np.cumsum(counts, dtype=np.int64)]).astype(np.int32)


def _games_of(table: pa.Table) -> Iterator[StoredGame]:
    history = table["history"].combine_chunks()
    policies = table["policies"].combine_chunks()
    game_offsets = history.offsets.to_numpy()
    players = history.values.field("player").to_numpy().tolist()
    tiles = history.values.field("tile").to_numpy().tolist()
    policy_game_offsets = policies.offsets.to_numpy()
    inner = policies.values
    inner_offsets = inner.offsets.to_numpy()
    candidate_tiles = inner.values.field("tile").to_numpy().tolist()
    candidate_p = inner.values.field("p").to_numpy().tolist()
    workers = table["worker"].to_pylist()
    payoffs = table["payoff"].to_pylist()
    models = table["model"].to_pylist()
    finished = table["finished_at"].to_pylist()
    game_ids = table["game_id"].to_pylist()
    nodes = table["node"].to_pylist()
    for row in range(table.num_rows):
        a, b = game_offsets[row], game_offsets[row + 1]
        first_action = policy_game_offsets[row]
        entries = []
        for action in range(first_action, first_action + (b - a)):
            c, d = inner_offsets[action], inner_offsets[action + 1]
            entries.append(list(zip(candidate_tiles[c:d], candidate_p[c:d])))
        yield StoredGame(
            worker=workers[row],
            history=list(zip(players[a:b], tiles[a:b])),
            policies=entries,
            payoff=payoffs[row],
            model=models[row],
            finished_at=finished[row],
            game_id=game_ids[row],
            node=nodes[row],
        )


def session_record(command: str, settings: dict[str, Any], model: dict[str, Any]) -> dict[str, Any]:
    """The run.json entry of one session: what ran, with which settings, network and versions."""
    return {
        "command": command,
        "started_at": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "settings": settings,
        "model": model,
        "versions": _versions(),
    }


def _versions() -> dict[str, str]:
    versions = {"python": platform.python_version()}
    for package in ("zelmor-lab", "torch", "numpy", "pyarrow"):
        try:
            versions[package] = metadata.version(package)
        except metadata.PackageNotFoundError:
            versions[package] = "not installed"
    return versions
