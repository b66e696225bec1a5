"""Training positions: the actions of the latest games of a run, as network inputs and targets.

Every action of a stored self-play game is one position: the input planes before the action, seen
from the player who took it (that player is the one to act), the search's visit distribution over the
candidate tiles as the policy target, and the game's payoff as the value target. An action stored with
an empty policy (a fast search, whose few visits are no target) is a position without a policy target:
its policy row is all zeros, which the policy loss leaves out. The value target is turned into the order
the value head uses: entry k belongs to the player k seats after the player to act, so entry 0 is the
player to act's own share. A second, auxiliary target in the same order is each player's squares on the
board when the game ended (the score before bonuses): unlike the winner, it varies smoothly with the
play, so a few hundred games teach it without being learnt by heart. The third, ownership, is denser
still: the final owner of every cell (none, or a player in the same relative order), a few hundred
targets per game where the value has four.

The window keeps the inputs bit-packed and the policies as (tile, probability) lists; a batch unpacks
and densifies only the positions it draws. No board symmetry is applied: the four starting corners and
the turn order tie every position to its orientation.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np
import pyarrow as pa

from .._rules import encode_history
from ..constants import HAND_SQUARES, PLANES, PLAYERS
from ..errors import InputError
from ..runs.store import Run, read_shard


class DatasetError(InputError):
    """A run whose games cannot serve as training positions."""


@dataclass(frozen=True)
class Batch:
    """planes: float32 (B, 5, dim, dim); policy: float32 (B, dim * dim), each row a distribution over
    tiles, or all zeros for a position without a policy target; value: float32 (B, 4), payoff shares
    relative to the player to act; squares: float32 (B, 4), each player's squares on the board when the
    game ended as a share of a hand's 89, in the same order;
    ownership: int64 (B, dim * dim), each cell's owner when the game ended: 0 none, k the player k - 1
    seats after the player to act (1 is the player to act)."""

    planes: np.ndarray
    policy: np.ndarray
    value: np.ndarray
    squares: np.ndarray
    ownership: np.ndarray


@dataclass(frozen=True)
class Window:
    """The positions of the latest games of a run.

    dim: board side; games: how many games the positions come from.
    planes: uint8 (N, ceil(5 * dim * dim / 8)), the input planes (5, dim, dim) of each position packed
        with np.packbits along the flattened planes;
    candidate_offsets: int64 (N + 1,), position i's policy is candidate_tiles / candidate_p
        [candidate_offsets[i]:candidate_offsets[i + 1]];
    candidate_tiles: int64 (C,); candidate_p: float32 (C,), renormalised to sum to 1 per position that
        has candidates (a position without any has no policy target);
    value: float32 (N, 4), payoff relative to the player to act;
    squares: float32 (N, 4), final squares per player as a share of a hand, in the same order;
    owners: int8 (games, dim * dim), each game's final board: 0 an empty cell, 1 + p a cell of player p;
    position_game: int32 (N,), the row of ``owners`` each position belongs to;
    position_player: int8 (N,), the player to act at each position.
    """

    dim: int
    games: int
    planes: np.ndarray
    candidate_offsets: np.ndarray
    candidate_tiles: np.ndarray
    candidate_p: np.ndarray
    value: np.ndarray
    squares: np.ndarray
    owners: np.ndarray
    position_game: np.ndarray
    position_player: np.ndarray

    @property
    def positions(self) -> int:
        return len(self.value)

    def inputs(self, indices: np.ndarray) -> np.ndarray:
        """The network inputs of the positions at ``indices`` (int array (B,)): float32 (B, 5, dim, dim)."""
        planes = np.unpackbits(self.planes[indices], axis=1, count=PLANES * self.dim * self.dim)
        return planes.reshape(-1, PLANES, self.dim, self.dim).astype(np.float32)

    def batch(self, indices: np.ndarray) -> Batch:
        """The positions at ``indices`` (int array (B,)) as network inputs and dense targets."""
        size = self.dim * self.dim
        starts = self.candidate_offsets[indices]
        counts = self.candidate_offsets[indices + 1] - starts
        rows = np.repeat(np.arange(len(indices)), counts)
        # Index of every candidate of the drawn positions, in order: each run starts at its position's
        # first candidate and counts up.
        run_starts = np.repeat(starts - np.concatenate([[0], np.cumsum(counts)[:-1]]), counts)
        candidates = run_starts + np.arange(int(counts.sum()))
        policy = np.zeros((len(indices), size), dtype=np.float32)
        policy[rows, self.candidate_tiles[candidates]] = self.candidate_p[candidates]
        owners = self.owners[self.position_game[indices]].astype(np.int64)
        player = self.position_player[indices, None].astype(np.int64)
        ownership = np.where(owners == 0, 0, (owners - 1 - player) % PLAYERS + 1)
        return Batch(
            planes=self.inputs(indices),
            policy=policy,
            value=self.value[indices],
            squares=self.squares[indices],
            ownership=ownership,
        )

    def after(self, older: Window) -> Window:
        """The positions of ``older`` followed by these, newest last (same board side)."""
        offsets = np.concatenate([older.candidate_offsets, self.candidate_offsets[1:] + older.candidate_offsets[-1]])
        return Window(
            dim=self.dim,
            games=older.games + self.games,
            planes=np.concatenate([older.planes, self.planes]),
            candidate_offsets=offsets,
            candidate_tiles=np.concatenate([older.candidate_tiles, self.candidate_tiles]),
            candidate_p=np.concatenate([older.candidate_p, self.candidate_p]),
            value=np.concatenate([older.value, self.value]),
            squares=np.concatenate([older.squares, self.squares]),
            owners=np.concatenate([older.owners, self.owners]),
            position_game=np.concatenate([older.position_game, self.position_game + older.games]),
            position_player=np.concatenate([older.position_player, self.position_player]),
        )

    def turn_starts(self) -> np.ndarray:
        """int64 (S,), ascending: the positions where a turn begins: a game's first, and each change of
        player (a player who plays on alone, the others out, counts as one turn)."""
        player, game = self.position_player.astype(np.int64), self.position_game.astype(np.int64)
        return np.flatnonzero((np.diff(player, prepend=-1) != 0) | (np.diff(game, prepend=-1) != 0))

    def with_value(self, value: np.ndarray) -> Window:
        """These positions with ``value`` (float32 (N, 4), relative to the player to act) as value targets."""
        return replace(self, value=value)

    def sample(self, rng: np.random.Generator, size: int) -> Batch:
        """``size`` positions drawn uniformly, with replacement, from the whole window."""
        return self.batch(rng.integers(0, self.positions, size=size))


def value_targets(payoff: np.ndarray, players: np.ndarray) -> np.ndarray:
    """payoff: float (4,) by absolute player; players: int (T,), the player to act at each position.
    Returns float32 (T, 4) with entry [t, k] = payoff of player (players[t] + k) mod 4."""
    seats = (players[:, None] + np.arange(PLAYERS)[None, :]) % PLAYERS
    return np.asarray(payoff, dtype=np.float32)[seats]


def lambda_targets(window: Window, judged: np.ndarray, lam: float, judged_at: np.ndarray | None = None) -> np.ndarray:
    """Value targets that mix each game's payoff with a judge's values of the positions after each action.

    judged: float (J, 4), the judge's payoff shares at the positions ``judged_at`` (int (J,), ascending; every
    position of ``window`` when None), relative to each one's player to act. Returns float32 (N, 4), relative
    the same way: the lambda-return G_t = (1 - lam) * V_{t + 1} + lam * G_{t + 1} with G = the payoff at a
    game's last action, so ``lam`` 1 gives back the payoffs and 0 the judge's value one action on. V_s is the
    judge's value at the first judged position from s on within the game, or G_s where the game has none
    left. Actions, not turns, are the steps: a piece of n squares is n actions by one player, and a lam of
    0.99 reaches about a hundred actions ahead."""
    if judged_at is None:
        judged_at = np.arange(window.positions)
    seats = (window.position_player[:, None].astype(np.int64) + np.arange(PLAYERS)[None, :]) % PLAYERS
    rows = np.arange(window.positions)[:, None]
    # Each position's bootstrap value: the next judged one of its game, by absolute player; NaN past the last.
    ahead = np.searchsorted(judged_at, np.arange(window.positions))
    known = np.append(window.position_game[judged_at], -1)[ahead] == window.position_game
    absolute = np.full((window.positions, PLAYERS), np.nan)
    by_seat = np.empty((len(judged_at), PLAYERS))
    by_seat[np.arange(len(judged_at))[:, None], seats[judged_at]] = judged
    absolute[known] = by_seat[ahead[known]]
    returns = np.empty((window.positions, PLAYERS))
    returns[rows, seats] = window.value
    # Games are contiguous runs of positions; walk all of them back from their last action at once.
    ends = np.flatnonzero(np.diff(window.position_game, append=-1)) + 1
    lengths = np.diff(ends, prepend=0)
    for back in range(1, int(lengths.max()) if len(lengths) else 0):
        at = ends[lengths > back] - 1 - back
        bootstrap = np.where(np.isnan(absolute[at + 1]), returns[at + 1], absolute[at + 1])
        returns[at] = (1 - lam) * bootstrap + lam * returns[at + 1]
    return returns[rows, seats].astype(np.float32)


def squares_targets(players: np.ndarray) -> np.ndarray:
    """players: int (T,), the player of each action of a whole game (each action covers one square).
    Returns float32 (T, 4): the final squares of player (players[t] + k) mod 4 as a share of a hand."""
    return value_targets(np.bincount(players, minlength=PLAYERS) / HAND_SQUARES, players)


def final_owners(players: np.ndarray, tiles: np.ndarray, dim: int) -> np.ndarray:
    """players, tiles: int (T,), the actions of a whole game. Returns int8 (dim * dim,): 0 for a cell no
    action covered, 1 + p for a cell of player p."""
    owners = np.zeros(dim * dim, dtype=np.int8)
    owners[tiles] = players + 1
    return owners


class WindowBuilder:
    """Gathers the positions and targets of whole games, one game at a time, into a Window."""

    def __init__(self, dim: int):
        self.dim = dim
        self._planes: list[np.ndarray] = []
        self._values: list[np.ndarray] = []
        self._squares: list[np.ndarray] = []
        self._owners: list[np.ndarray] = []
        self._players: list[np.ndarray] = []

    def add_game(self, packed_planes: np.ndarray, players: np.ndarray, tiles: np.ndarray, payoff: np.ndarray) -> None:
        """packed_planes: uint8 (T, ceil(5 * dim * dim / 8)), each position's packed inputs; players,
        tiles: int (T,), the game's actions in order; payoff: float (4,) by absolute player."""
        self._planes.append(packed_planes)
        self._values.append(value_targets(payoff, players))
        self._squares.append(squares_targets(players))
        self._owners.append(final_owners(players, tiles, self.dim))
        self._players.append(players.astype(np.int8))

    def build(self, candidate_offsets: np.ndarray, candidate_tiles: np.ndarray, candidate_p: np.ndarray) -> Window:
        """The window of the games added, with the policy targets of all their positions in order."""
        lengths = [len(players) for players in self._players]
        return Window(
            dim=self.dim,
            games=len(lengths),
            planes=np.concatenate(self._planes),
            candidate_offsets=candidate_offsets,
            candidate_tiles=candidate_tiles,
            candidate_p=candidate_p,
            value=np.concatenate(self._values),
            squares=np.concatenate(self._squares),
            owners=np.stack(self._owners),
            position_game=np.repeat(np.arange(len(lengths), dtype=np.int32), lengths),
            position_player=np.concatenate(self._players),
        )


def load_window(run: str | Path, games: int) -> Window:
    """The positions of the latest ``games`` games of ``run`` (fewer when the run holds fewer).

    Reads the newest shards only, as far back as the window reaches. Raises RunError for a directory
    that is not a run, CorruptShardError for a damaged shard, DatasetError for a stored game that does
    not replay or whose policy is not a distribution over the board, or when the window is empty."""
    if games < 1:
        raise DatasetError(f"the window must hold at least one game, got {games}")
    stored = Run(run)
    tables, held = [], 0
    for shard in reversed(stored.shards()):
        if held >= games:
            break
        table = read_shard(shard, stored.dim).select(["history", "policies", "payoff"])
        tables.append(table)
        held += table.num_rows
    if held == 0:
        raise DatasetError(f"{stored.path} holds no games to train on")
    table = pa.concat_tables(reversed(tables))
    table = table.slice(max(0, table.num_rows - games)).combine_chunks()
    return _window_of(table, stored.dim, stored.path)


def _window_of(table: pa.Table, dim: int, name: Path) -> Window:
    history = table["history"].chunk(0)
    policies = table["policies"].chunk(0)
    action_offsets = history.offsets.to_numpy() - history.offsets[0].as_py()
    steps = history.flatten()
    players = steps.field("player").to_numpy().astype(np.int64)
    tiles = steps.field("tile").to_numpy().astype(np.int64)
    per_action = policies.flatten()
    candidate_offsets = (per_action.offsets.to_numpy() - per_action.offsets[0].as_py()).astype(np.int64)
    candidates = per_action.flatten()
    candidate_tiles = candidates.field("tile").to_numpy().astype(np.int64)
    candidate_p = candidates.field("p").to_numpy().astype(np.float32)
    payoffs = table["payoff"].chunk(0).flatten().to_numpy().reshape(-1, PLAYERS)

    builder = WindowBuilder(dim)
    for game in range(table.num_rows):
        a, b = action_offsets[game], action_offsets[game + 1]
        pairs = list(zip(players[a:b].tolist(), tiles[a:b].tolist()))
        try:
            encoded = encode_history(pairs, dim)
        except ValueError as error:
            raise DatasetError(f"a game in {name} does not replay: {error}") from None
        builder.add_game(np.packbits(encoded.reshape(b - a, -1), axis=1), players[a:b], tiles[a:b], payoffs[game])

    if len(candidate_tiles) and (candidate_tiles.min() < 0 or candidate_tiles.max() >= dim * dim):
        raise DatasetError(f"a game in {name} has a policy tile outside the {dim} x {dim} board")
    counts = np.diff(candidate_offsets)
    owner = np.repeat(np.arange(len(counts)), counts)
    sums = np.bincount(owner, weights=candidate_p, minlength=len(counts))[counts > 0]  # empty: no target
    if not (np.isfinite(sums).all() and (sums > 0).all()):
        raise DatasetError(f"a game in {name} has a policy that is not a distribution over its tiles")
    totals = np.zeros(len(counts))
    totals[counts > 0] = sums
    return builder.build(candidate_offsets, candidate_tiles, (candidate_p / totals[owner]).astype(np.float32))
