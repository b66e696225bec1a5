"""Replaying stored games: the game a stored history reaches, checked action by action, and the
statistics of a run's games per seat."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field

import numpy as np

from .._rules import Game
from ..errors import InputError
from .store import StoredGame


class ReplayError(InputError):
    """A stored game that is not a legal game of Zelmor."""


def replay(history: Iterable[tuple[int, int]], dim: int, every_action=None) -> Game:
    """The game reached by playing ``history`` from a new board; ReplayError at the first action that is
    not the legal action of the player to act. every_action(game) is called after each action."""
    game = Game(dim)
    for index, (player, tile) in enumerate(history):
        if player != game.current_player:
            raise ReplayError(f"action {index}: player {player} is not the player to act ({game.current_player})")
        try:
            game.apply(tile)
        except ValueError as error:
            raise ReplayError(f"action {index}: {error}") from None
        if every_action is not None:
            every_action(game)
    return game


@dataclass
class RunSummary:
    """Statistics of a run's games. Per seat (player 0 to 3): total score, games won (shared wins
    included) and total payoff."""

    dim: int
    games: int = 0
    positions: int = 0
    score_sums: list[float] = field(default_factory=lambda: [0.0] * 4)
    wins: list[int] = field(default_factory=lambda: [0] * 4)
    payoff_sums: list[float] = field(default_factory=lambda: [0.0] * 4)

    def add(self, game: StoredGame, index: int) -> None:
        """Replay and count game number ``index``; ReplayError names it when it does not replay to the
        end with the stored payoff."""
        try:
            final = replay(game.history, self.dim)
        except ReplayError as error:
            raise ReplayError(f"game {index} does not replay: {error}") from None
        if not final.is_terminal():
            raise ReplayError(f"game {index} does not replay: it stops before the end of the game")
        if not np.allclose(final.payoff(), game.payoff):
            raise ReplayError(f"game {index} does not replay: stored payoff {game.payoff}, replayed {final.payoff()}")
        self.games += 1
        self.positions += len(game.history)
        for seat, score in enumerate(final.scores()):
            self.score_sums[seat] += score
            self.wins[seat] += game.payoff[seat] > 0
            self.payoff_sums[seat] += game.payoff[seat]

    def describe(self) -> str:
        if self.games == 0:
            return "games: 0"
        lines = [
            f"games: {self.games}, positions: {self.positions}, "
            f"mean game length: {self.positions / self.games:.1f} actions",
            "seat  mean score  wins (shared included)  mean payoff",
        ]
        for seat in range(4):
            lines.append(
                f"{seat:>4}  {self.score_sums[seat] / self.games:>10.2f}  "
                f"{self.wins[seat]:>6} ({self.wins[seat] / self.games:6.1%})        "
                f"{self.payoff_sums[seat] / self.games:>11.3f}"
            )
        return "\n".join(lines)
