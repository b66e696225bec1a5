"""What the browser page asks of a run, answered as JSON-ready dicts: the game list, one game's actions with
the pieces they lay, a position's analysis by the network and the search, the computer seats' moves in
a game being played, and saving a played game to the run.

Positions travel as the list of tiles taken from a new board; every request replays them, so the
server holds no game of its own and a page can be reloaded at any moment. Requests that cannot be
answered raise ``RequestError`` with the HTTP status and one message.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .._rules import pieces
from ..play.players import GreedyPlayer, HeuristicPlayer, RandomPlayer, SearchPlayer
from ..play.tree_search import RandomPlayout, search
from ..runs.index import GameIndex
from ..runs.store import Run, RunError, RunWriter, session_record
from .render import COLOURS, Timeline, timeline

MAX_SIMS = 5000  # a search the page waits for, so bounded
BUSY = "the network is busy with another analysis or move; ask again once it is done"
SEAT_KINDS = ("human", "random", "heuristic", "greedy", "search")
HUMAN_NODE = "human"


class RequestError(Exception):
    """A request the page cannot have answered; status: the HTTP status to answer with."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


@dataclass(frozen=True)
class Network:
    """The network the page consults: evaluate as a search's network, and where it came from."""

    evaluate: Callable
    digest: str
    step: int
    source: str


def load_network(run: Run, model: Path | None) -> tuple[Network | None, str]:
    """The network of ``model``, or else the latest one a session of the run played with, with a line
    saying which (or why there is none). A ``model`` that cannot be used is the caller's error
    (CheckpointError; a ``model`` needs PyTorch); the run's own network is only looked for, and its
    absence reported."""
    import importlib.util

    if model is None:
        # A session of the page names no network file: look past those to the last one that played.
        named = [s["model"]["path"] for s in run.meta.get("sessions", []) if "path" in s.get("model", {})]
        if not named:
            return None, "no network: no session of the run names one; pass --model"
        if importlib.util.find_spec("torch") is None:
            return None, "no network: PyTorch is not installed"
        from ..training.model import CheckpointError, load_checkpoint, network_evaluator

        path = run.path / named[-1]  # an absolute path stays as it is
        try:
            checkpoint = load_checkpoint(path, dim=run.dim)
        except CheckpointError as error:
            return None, f"no network: {error}; pass --model"
    else:
        from ..training.model import load_checkpoint, network_evaluator

        path = model
        checkpoint = load_checkpoint(model, dim=run.dim)
    network = Network(network_evaluator(checkpoint.model), checkpoint.digest, checkpoint.step, str(path))
    return network, f"network {network.digest} (step {network.step}) from {path}"


class Viewer:
    """The page's questions about one run; safe to call from several threads at once.

    The game list, stored games and positions never wait on the network. The network and the search
    think for one request at a time: another request that needs them meanwhile is refused (503, BUSY)
    rather than queued unseen behind it."""

    def __init__(self, run: Run, network: Network | None, seed: int | None = None):
        self.run = run
        self.network = network
        self.index = GameIndex(run)
        self._rng = np.random.default_rng(seed)
        self._index_lock = threading.Lock()
        self._rng_lock = threading.Lock()
        self._thinking = threading.Lock()  # the network and the search

    # ---- reading --------------------------------------------------------------------------------

    def describe(self) -> dict[str, Any]:
        network = (
            None
            if self.network is None
            else {"digest": self.network.digest, "step": self.network.step, "source": self.network.source}
        )
        return {
            "name": self.run.path.name,
            "dim": self.run.dim,
            "network": network,
            "colours": COLOURS,
            "max_sims": MAX_SIMS,
            "seat_kinds": SEAT_KINDS,
            "pieces": [{"id": p.piece_id, "size": p.size, "shape": p.shape} for p in pieces(self.run.dim)],
        }

    def games(self) -> list[dict[str, Any]]:
        with self._index_lock:
            return [entry.as_json() for entry in self.index.entries()]

    def game(self, index: int) -> dict[str, Any]:
        """One stored game: its listing, its actions and the stored visit shares per action."""
        with self._index_lock:
            try:
                entry, game = self.index.game(index)
            except IndexError as error:
                raise RequestError(404, str(error)) from None
        if entry.problem is not None:
            raise RequestError(422, f"game {index} {entry.problem}")
        replayed = timeline([tile for _, tile in game.history], self.run.dim)
        return {
            "entry": entry.as_json(),
            "position": _position(replayed),
            "policies": [[[tile, round(p, 4)] for tile, p in candidates] for candidates in game.policies],
        }

    def position(self, tiles: Any) -> dict[str, Any]:
        return _position(self._replay(tiles))

    # ---- the network and the search --------------------------------------------------------------

    def analyse(self, tiles: Any, sims: Any) -> dict[str, Any]:
        """The network's policy over the legal tiles (probabilities, dim * dim) and value per player
        (absolute order), and with ``sims`` > 0 the search's visit counts (dim * dim): the network's
        search, or random playouts when no network is loaded."""
        sims = _sims(sims)
        game = self._replay(tiles).final
        if game.is_terminal():
            raise RequestError(400, "the game is over: there is nothing to analyse")
        answer: dict[str, Any] = {
            "policy": None,
            "value": None,
            "visits": None,
            "searched_by": None if sims == 0 else "random playouts",
        }
        with self._think():
            if self.network is not None:
                logits, values = self.network.evaluate(game.state()[None])
                answer["policy"] = _legal_softmax(logits[0], game.legal_tiles())
                relative = _softmax(values[0])
                answer["value"] = [round(float(relative[(p - game.current_player) % 4]), 4) for p in range(4)]
                if sims:
                    answer["searched_by"] = f"network {self.network.digest}"
            if sims:
                evaluate = self.network.evaluate if self.network is not None else RandomPlayout()
                answer["visits"] = search(game, evaluate, sims).tolist()
        return answer

    def move(self, tiles: Any, kind: Any, sims: Any) -> dict[str, Any]:
        """The tile a computer seat of kind ``kind`` takes next, and the position after it."""
        replayed = self._replay(tiles)
        game = replayed.final
        if game.is_terminal():
            raise RequestError(400, "the game is over: there is no move to make")
        if kind in ("random", "heuristic"):
            with self._rng_lock:
                tile = (RandomPlayer if kind == "random" else HeuristicPlayer)(self._rng).choose([game])[0]
        else:
            player = self._network_player(kind, sims)
            with self._think():
                tile = player.choose([game])[0]
        return {"tile": int(tile), "position": self.position(replayed.tiles + [int(tile)])}

    @contextmanager
    def _think(self) -> Iterator[None]:
        if not self._thinking.acquire(blocking=False):
            raise RequestError(503, BUSY)
        try:
            yield
        finally:
            self._thinking.release()

    def _network_player(self, kind: Any, sims: Any):
        if kind not in ("greedy", "search"):
            raise RequestError(400, f"a computer seat is random, heuristic, greedy or search, not {kind!r}")
        if self.network is None:
            raise RequestError(400, "no network is loaded: start the server with --model CKPT")
        if kind == "greedy":
            return GreedyPlayer(self.network.evaluate)
        sims = _sims(sims)
        if sims == 0:
            raise RequestError(400, "a search seat needs at least 1 simulation")
        with self._rng_lock:  # a generator of its own, so that random seats need not wait for the search
            rng = np.random.default_rng(self._rng.integers(1 << 63))
        return SearchPlayer(self.network.evaluate, sims, rng)

    # ---- saving ---------------------------------------------------------------------------------

    def save(self, tiles: Any, seats: Any) -> dict[str, Any]:
        """Store a finished game played on the page as a game of node ``human``; returns its listing."""
        replayed = self._replay(tiles)
        if not replayed.final.is_terminal():
            raise RequestError(400, "only a finished game can be saved")
        if not isinstance(seats, list) or len(seats) != 4 or any(s not in SEAT_KINDS for s in seats):
            raise RequestError(400, f"seats must name 4 of {', '.join(SEAT_KINDS)}, got {seats!r}")
        digest = self.network.digest if self.network is not None else ""
        network_seated = any(s in ("greedy", "search") for s in seats)
        session = session_record("serve", {"seats": seats}, {"digest": digest} if network_seated else {})
        with self._index_lock:
            try:
                with RunWriter(self.run.path, self.run.dim, session, flush_every=1) as writer:
                    add_human_game(writer, replayed, digest if network_seated else "")
            except RunError as error:
                raise RequestError(409, str(error)) from None
            entries = self.index.entries()
        return entries[-1].as_json()

    def _replay(self, tiles: Any) -> Timeline:
        dim = self.run.dim
        if (
            not isinstance(tiles, list)
            or len(tiles) > dim * dim
            or not all(isinstance(t, int) and not isinstance(t, bool) for t in tiles)
        ):
            raise RequestError(400, "tiles must be a list of at most dim * dim whole numbers")
        try:
            return timeline(tiles, dim)
        except ValueError as error:
            raise RequestError(400, str(error)) from None


def add_human_game(writer: RunWriter, replayed: Timeline, network: str) -> None:
    """Queue a game played on the page. Its record has no search behind it: each action's policy is the
    tile taken, with share 1. Its model is ``human`` (``human vs <digest>`` when a network sat in it),
    never a bare digest, so that nothing counting a network's self-play games counts it; its node is
    HUMAN_NODE."""
    policies = [[(tile, 1.0)] for tile in replayed.tiles]
    model = f"{HUMAN_NODE} vs {network}" if network else HUMAN_NODE
    writer.add(
        -1,
        list(zip(replayed.players, replayed.tiles)),
        policies,
        replayed.final.payoff(),
        model,
        time.time(),
        node=HUMAN_NODE,
    )


def _position(replayed: Timeline) -> dict[str, Any]:
    """A position as the page draws it: the actions that led to it with their pieces, the player to
    act and the tiles it may take, the tiles of its unfinished piece, scores, and each player's pieces
    left (catalogue ids)."""
    game = replayed.final
    finished = game.is_terminal()
    return {
        "players": replayed.players,
        "tiles": replayed.tiles,
        "piece": replayed.piece,
        "placed": replayed.placed,
        "current_player": None if finished else game.current_player,
        "legal": [] if finished else game.legal_tiles(),
        "turn_tiles": list(game.turn_tiles),
        "finished": finished,
        "scores": game.scores(),
        "payoff": game.payoff() if finished else None,
        "remaining": [game.remaining_pieces(p) for p in range(4)],
    }


def _sims(sims: Any) -> int:
    if isinstance(sims, bool) or not isinstance(sims, int) or not 0 <= sims <= MAX_SIMS:
        raise RequestError(400, f"sims must be a whole number from 0 to {MAX_SIMS}, got {sims!r}")
    return sims


def _softmax(logits: np.ndarray) -> np.ndarray:
    shifted = np.exp(logits - logits.max())
    return shifted / shifted.sum()


def _legal_softmax(logits: np.ndarray, legal: list[int]) -> list[float]:
    """Probabilities (dim * dim) of the network's policy restricted to the legal tiles, 0 elsewhere."""
    policy = np.zeros(logits.shape[0])
    policy[legal] = _softmax(np.asarray(logits, dtype=np.float64)[legal])
    return [round(float(p), 4) for p in policy]
