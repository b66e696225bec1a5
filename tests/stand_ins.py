"""Stand-ins for the Python objects that `zelmor_self_play` is given.

The module reaches the outside only through a settings object, inference queues (`put`), a pipe (`recv`)
and a result queue (`put`). The stand-ins here are plain in-process objects: they check the call protocol,
record every call and answer each request from a Python function of the position, so a test scripts the
network exactly and sees everything the module sent.
"""

from __future__ import annotations

import math
import types
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

import zelmor_self_play
from zelmor_lab import Game

PLAYERS = 4
ONE_THIRD = float(np.float32(1.0) / np.float32(3.0))  # 0.3333333432674408: a 32-bit share widened
PAYOFF_SHARES = {0.0, 0.25, ONE_THIRD, 0.5, 1.0}
FAR_BELOW = -200.0  # a logit this far under the best one gives a 32-bit prior of exactly 0: no child

CONFIG_FIELDS = (
    "dim",
    "rep",
    "sims_per_move",
    "sample_moves",
    "c_base",
    "c_init",
    "dirichlet_alpha",
    "exploration_fraction",
)


def make_config(**fields) -> types.SimpleNamespace:
    """A settings object as a Python driver builds it: plain attributes, small board, few simulations."""
    values = dict(
        dim=4,
        rep=1,
        sims_per_move=4,
        sample_moves=0,
        c_base=19652.0,
        c_init=1.25,
        dirichlet_alpha=0.3,
        exploration_fraction=0.25,
    )
    values.update(fields)
    return types.SimpleNamespace(**values)


# ----------------------------------------------------------------------------------------------------------
# The network side: requests, queues, the pipe


@dataclass(eq=False)
class Request:
    """One inference request as the service received it.

    planes: bool (5, dim, dim), planes first whatever layout was sent; plane k < 4 holds the cells of the
    player k seats after the player to act, plane 4 the tiles that player may take."""

    queue: str
    worker: int
    planes: np.ndarray

    @property
    def dim(self) -> int:
        return self.planes.shape[1]

    @property
    def legal(self) -> list[int]:
        return [int(t) for t in np.flatnonzero(self.planes[4].ravel())]


Network = Callable[[Request], object]


class Service:
    """In-process inference service: a `put` on one of its queues hands it a request, and the next `recv`
    on its pipe answers that request with `network(request)` (which may raise, like a broken service).

    Protocol faults (a second request before the reply, a reply read without a request, a malformed
    request, extra arguments) are collected in `faults`; every test fails at teardown if a service it
    made has any (tests/conftest.py). `max_requests` bounds a runaway module: beyond it `put` raises."""

    def __init__(
        self, network: Network, *, channels_last: bool = False, keep_raw: bool = False, max_requests: int = 50_000
    ):
        self.network = network
        self.channels_last = channels_last
        self.keep_raw = keep_raw
        self.max_requests = max_requests
        self.requests: list[Request] = []
        self.raw_requests: list[tuple] = []
        self.faults: list[str] = []
        self.pending: Request | None = None
        self.pipe = Pipe(self)
        self.inference_queue = self.queue("inference")
        _services.append(self)

    def queue(self, name: str) -> RequestQueue:
        return RequestQueue(self, name)

    def fault(self, text: str) -> None:
        if len(self.faults) < 20:
            self.faults.append(text)

    def receive(self, queue: str, args: tuple, kwargs: dict) -> None:
        if kwargs or len(args) != 1:
            self.fault(f"put on {queue} with args {args!r:.80} kwargs {kwargs!r:.80}")
        if self.pending is not None:
            self.fault(f"request {len(self.requests)} put before request {len(self.requests) - 1} was answered")
        if len(self.requests) >= self.max_requests:
            self.fault(f"more than {self.max_requests} requests")
            raise RuntimeError("request limit of the test service exceeded")
        request = self.decode(queue, args[0] if args else None)
        if self.keep_raw:
            self.raw_requests.append(args[0])
        self.requests.append(request)
        self.pending = request

    def decode(self, queue: str, message) -> Request:
        if type(message) is not tuple or len(message) != 2 or type(message[0]) is not int:
            self.fault(f"request is not (int, planes): {message!r:.100}")
            return Request(queue, -1, np.zeros((5, 1, 1), bool))
        worker, state = message
        planes = np.array(state)
        ok = type(state) is list and type(state[0]) is list and type(state[0][0]) is list
        if not ok or planes.dtype != np.bool_ or planes.ndim != 3:
            self.fault(f"request planes are not nested lists of bool: {planes.dtype} {planes.shape}")
            return Request(queue, worker, np.zeros((5, 1, 1), bool))
        if self.channels_last:
            planes = np.moveaxis(planes, 2, 0)
        dim = planes.shape[1]
        if planes.shape != (5, dim, dim):
            self.fault(
                f"request planes have shape {np.array(state).shape} "
                f"({'channels last' if self.channels_last else 'planes first'} expected)"
            )
        return Request(queue, worker, planes)

    def answer(self, args: tuple, kwargs: dict):
        if args or kwargs:
            self.fault(f"recv with args {args!r:.80} kwargs {kwargs!r:.80}")
        request, self.pending = self.pending, None
        if request is None:
            self.fault("recv without a request")
            raise RuntimeError("no request to answer")
        return self.network(request)


class RequestQueue:
    def __init__(self, service: Service, name: str):
        self.service, self.name = service, name

    def put(self, *args, **kwargs):
        self.service.receive(self.name, args, kwargs)


class Pipe:
    def __init__(self, service: Service):
        self.service = service

    def recv(self, *args, **kwargs):
        return self.service.answer(args, kwargs)


class ResultQueue:
    """Collects what the module posts; with `error` set, every `put` records and then raises a new error
    like it (so no traceback ties the queue to an error it keeps)."""

    def __init__(self, error: BaseException | None = None):
        self.records: list = []
        self.error = error

    def put(self, *args, **kwargs):
        assert not kwargs and len(args) == 1, (args, kwargs)
        self.records.append(args[0])
        if self.error is not None:
            raise type(self.error)(*self.error.args)


_services: list[Service] = []


def take_protocol_faults() -> list[str]:
    """The protocol faults of every service made since the last call; forgets those services."""
    faults = [f for s in _services for f in s.faults]
    _services.clear()
    return faults


# ----------------------------------------------------------------------------------------------------------
# Scripted networks


def policy(dim: int, logits: dict[int, float], rest: float = FAR_BELOW) -> list[float]:
    """Policy logits over all dim * dim tiles: `logits` where given, `rest` elsewhere."""
    out = [rest] * (dim * dim)
    for tile, value in logits.items():
        out[tile] = value
    return out


class Endless:
    """A reply sequence that claims four items yet answers every index: read to its end, it never ends."""

    def __len__(self):
        return 4

    def __getitem__(self, index):
        return 0.0


def uniform_network(request: Request):
    """Every tile the same logit, every player the same value."""
    return [0.0] * (request.dim * request.dim), [0.0, 0.0, 0.0, 0.0]


def smallest_tile_network(request: Request):
    """Only the smallest legal tile gets a positive prior: every expanded node has exactly one child."""
    return policy(request.dim, {request.legal[0]: 0.0}), [0.0, 0.0, 0.0, 0.0]


# ----------------------------------------------------------------------------------------------------------
# Running the exported functions against stand-ins


def run_training_game(config, network: Network, *, worker: int = 1, results: ResultQueue | None = None):
    """Plays one self-play game; returns (status, service, results)."""
    service = Service(network, channels_last=config.rep == 2)
    results = results if results is not None else ResultQueue()
    status = zelmor_self_play.play_training_game(worker, config, results, service.inference_queue, service.pipe)
    return status, service, results


def run_against_random(config, network: Network, *, worker: int = 1, results: ResultQueue | None = None):
    """Plays one greedy match against random players; returns (status, service, results)."""
    service = Service(network, channels_last=config.rep == 2)
    results = results if results is not None else ResultQueue()
    status = zelmor_self_play.play_test_against_random(worker, config, results, service.inference_queue, service.pipe)
    return status, service, results


def replay_training_record(record, worker: int, dim: int) -> Game:
    """Checks the exact Python shape of a training record and replays its history on a new game.

    Every pair must name the player to act and a legal tile, and the game must end terminal with the
    record's payoff. Returns the finished game."""
    assert type(record) is tuple and len(record) == 2
    assert type(record[0]) is int and record[0] == worker
    assert type(record[1]) is tuple and len(record[1]) == 3
    history, policies, payoff = record[1]
    assert type(history) is list and type(policies) is list and type(payoff) is list
    assert len(history) == len(policies) > 0
    game = Game(dim)
    for i, pair in enumerate(history):
        assert type(pair) is tuple and len(pair) == 2 and all(type(x) is int for x in pair), pair
        player, tile = pair
        assert player == game.current_player, f"action {i}: player {player}, but {game.current_player} acts"
        game.apply(tile)
    assert game.is_terminal()
    assert all(type(x) is float for x in payoff)
    assert payoff == game.payoff()
    for entry in policies:
        assert type(entry) is list
        assert all(type(p) is tuple and len(p) == 2 and type(p[0]) is int and type(p[1]) is float for p in entry)
    return game


def owners(game: Game) -> np.ndarray:
    """int (dim * dim,): the absolute player covering each tile, -1 for an empty one."""
    return (game.cells().ravel() & 0x0F).astype(int) - 1


def planes_of(game: Game) -> np.ndarray:
    """bool (5, dim, dim): the network input of the position, planes first."""
    return np.asarray(game.state(False))


def is_nan(x: float) -> bool:
    return isinstance(x, float) and math.isnan(x)
