"""The engine's tree search for Python users: the search player of matches, analysis of a position, and
the strength benchmarks. The same C++ search as self-play, with the network called in-process: one call
per round serves one leaf of every game searched together.

A network here is a callable ``evaluate(planes)``: planes bool (B, 5, dim, dim), the positions seen from the
player to act, to (policy logits (B, dim * dim), value logits (B, 4)), array-likes of numbers, the values
relative to the player to act (entry 0 is the player to act). ``RandomPlayout()`` stands in for a network
with uniform priors and one random game to the end as the value.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from .._rules import Game, RandomPlayout
from .._rules import gumbel_search_games as _gumbel_search_games
from .._rules import search_games as _search_games

Evaluate = Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]

C_BASE, C_INIT = 19652.0, 1.25
ROOT_SEARCHES = ("puct", "gumbel")
FIRST_PLAYS = ("zero", "parent")


@dataclass(frozen=True)
class RootSearch:
    """How a search spends its simulations at the root (see Settings.root_search): "puct" with its value of
    an unvisited child (first_play), or "gumbel" with the tiles it considers and the constants of sigma(q) =
    (c_visit + most visits) * c_scale * q."""

    kind: str = "puct"
    gumbel_actions: int = 8
    c_visit: float = 50.0
    c_scale: float = 1.0
    first_play: str = "zero"

    def __post_init__(self):
        if self.kind not in ROOT_SEARCHES:
            raise ValueError(f'the root search must be "puct" or "gumbel", got {self.kind!r}')
        if self.first_play not in FIRST_PLAYS:
            raise ValueError(f'first_play must be "zero" or "parent", got {self.first_play!r}')


PUCT = RootSearch()
GUMBEL = RootSearch("gumbel")


def search_games(
    games: Sequence[Game],
    evaluate: Evaluate | RandomPlayout,
    sims: int,
    c_base: float = C_BASE,
    c_init: float = C_INIT,
    first_play: str = "zero",
) -> np.ndarray:
    """Visit counts uint32 (G, dim * dim) of one search of ``sims`` simulations per game, without root noise.
    The games must share a board side; a finished game gets no visits. first_play: see RootSearch."""
    network, sims = _prepared(evaluate, sims)
    parent = RootSearch(first_play=first_play).first_play == "parent"
    return _search_games(list(games), network, sims, float(c_base), float(c_init), parent)


def gumbel_search_games(
    games: Sequence[Game], evaluate: Evaluate | RandomPlayout, sims: int, root: RootSearch = GUMBEL
) -> tuple[np.ndarray, np.ndarray]:
    """The Gumbel root search of each game, without Gumbel draws (the tiles considered are the prior's top
    ``root.gumbel_actions``): the improved policy float32 (G, dim * dim), zero off the legal tiles it
    covers, and the tile each search ends on, int64 (G,), -1 for a finished game."""
    network, sims = _prepared(evaluate, sims)
    return _gumbel_search_games(
        list(games), network, sims, int(root.gumbel_actions), float(root.c_visit), float(root.c_scale)
    )


def search(
    game: Game, evaluate: Evaluate | RandomPlayout, sims: int, c_base: float = C_BASE, c_init: float = C_INIT
) -> np.ndarray:
    """Visit counts uint32 (dim * dim,) of one search of ``sims`` simulations from ``game``."""
    return search_games([game], evaluate, sims, c_base, c_init)[0]


def _prepared(evaluate: Evaluate | RandomPlayout, sims: int) -> tuple[Evaluate | RandomPlayout, int]:
    if isinstance(sims, bool) or not isinstance(sims, (int, np.integer)) or sims < 0:
        raise ValueError(f"sims must be a whole number of at least 0, got {sims!r}")
    return (evaluate if isinstance(evaluate, RandomPlayout) else _checked(evaluate)), int(sims)


def _checked(evaluate: Evaluate) -> Evaluate:
    """``evaluate`` with its answer made float32 C-contiguous arrays, and refused when shaped wrongly."""
    if not callable(evaluate):
        raise TypeError(f"evaluate must be a callable or a RandomPlayout, not {type(evaluate).__name__}")

    def answer(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        batch, _, dim, _ = planes.shape
        policy, value = evaluate(planes)
        policy = np.ascontiguousarray(policy, dtype=np.float32)
        value = np.ascontiguousarray(value, dtype=np.float32)
        if policy.shape != (batch, dim * dim) or value.shape != (batch, 4):
            raise ValueError(
                f"evaluate answered shapes {policy.shape} and {value.shape} for {batch} positions "
                f"of a {dim} x {dim} board; expected {(batch, dim * dim)} and {(batch, 4)}"
            )
        return policy, value

    return answer
