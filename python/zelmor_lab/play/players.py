"""The players of the toolkit's matches. Each chooses one tile for every game of a batch in which it is to
act, so that a network player answers all the games a match plays at once with one network call.

- ``RandomPlayer``: a legal tile drawn uniformly, as the engine's random players do.
- ``HeuristicPlayer``: the largest piece that still fits, as near the centre as possible (the rules
  library's ``heuristic_tiles``), ties drawn at random.
- ``GreedyPlayer``: the legal tile with the network's highest policy logit, without search.
- ``SampledPlayer``: a legal tile drawn from the network's policy (softmax of the legal tiles' logits),
  without search: two networks that meet play a different game each time.
- ``SearchPlayer``: the most visited tile of a tree search of ``sims`` simulations (no noise), ties drawn at
  random.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Protocol

import numpy as np

from .._rules import Game, heuristic_tiles
from .tree_search import C_BASE, C_INIT, PUCT, Evaluate, RootSearch, gumbel_search_games, search_games


class Player(Protocol):
    @property
    def name(self) -> str: ...

    def choose(self, games: Sequence[Game]) -> list[int]:
        """One tile per game; each game is unfinished and this player is to act in it."""


def _draw(tiles: Sequence[int], rng: np.random.Generator) -> int:
    return int(tiles[int(rng.integers(len(tiles)))])


def heuristic_tile(game: Game, rng: np.random.Generator | None = None) -> int:
    """The heuristic player's tile in an unfinished game: one of ``heuristic_tiles(game)``, drawn at random."""
    tiles = heuristic_tiles(game)
    if not tiles:
        raise ValueError("the game is over: there is no tile to take")
    return _draw(tiles, rng if rng is not None else np.random.default_rng())


@dataclass
class RandomPlayer:
    rng: np.random.Generator
    name: str = "random"

    def choose(self, games: Sequence[Game]) -> list[int]:
        return [_draw(game.legal_tiles(), self.rng) for game in games]


@dataclass
class HeuristicPlayer:
    rng: np.random.Generator
    name: str = "heuristic"

    def choose(self, games: Sequence[Game]) -> list[int]:
        return [heuristic_tile(game, self.rng) for game in games]


@dataclass
class GreedyPlayer:
    evaluate: Evaluate
    name: str = "greedy network"

    def choose(self, games: Sequence[Game]) -> list[int]:
        policy, _ = self.evaluate(np.stack([game.state() for game in games]))
        choices = []
        for game, logits in zip(games, np.asarray(policy, dtype=np.float32)):
            legal = game.legal_tiles()
            choices.append(legal[int(np.argmax(logits[legal]))])
        return choices


@dataclass
class SampledPlayer:
    evaluate: Evaluate
    rng: np.random.Generator
    name: str = "sampling network"

    def choose(self, games: Sequence[Game]) -> list[int]:
        policy, _ = self.evaluate(np.stack([game.state() for game in games]))
        choices = []
        for game, logits in zip(games, np.asarray(policy, dtype=np.float64)):
            legal = np.asarray(game.legal_tiles())
            weights = np.exp(logits[legal] - logits[legal].max())
            choices.append(int(legal[self.rng.choice(len(legal), p=weights / weights.sum())]))
        return choices


@dataclass
class SearchPlayer:
    evaluate: Evaluate
    sims: int
    rng: np.random.Generator
    c_base: float = C_BASE
    c_init: float = C_INIT
    root: RootSearch = PUCT  # a Gumbel search plays the tile it ends on; PUCT its most visited, ties drawn

    @property
    def name(self) -> str:
        search = "" if self.root.kind == "puct" else " of the Gumbel search"
        return f"network with {self.sims} simulations{search}"

    def choose(self, games: Sequence[Game]) -> list[int]:
        if self.root.kind == "gumbel":
            _, tiles = gumbel_search_games(games, self.evaluate, self.sims, self.root)
            return [int(tile) for tile in tiles]
        visits = search_games(games, self.evaluate, self.sims, self.c_base, self.c_init, self.root.first_play)
        choices = []
        for game, counts in zip(games, visits):
            legal = np.asarray(game.legal_tiles())
            legal_counts = counts[legal]
            choices.append(_draw(legal[legal_counts == legal_counts.max()], self.rng))
        return choices
