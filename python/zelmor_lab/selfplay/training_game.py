"""A finished self-play game as a worker hands it on: the one shape it has from the engine's result to the
record store, whatever process or machine it crosses."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class TrainingGame:
    """history: (player, tile) of each action in order; policies: per action, the search's (tile, share)
    pairs, none for an action searched fast (no policy target); payoff: the four players' payoffs by absolute player."""

    history: list[tuple[int, int]]
    policies: list[list[tuple[int, float]]]
    payoff: list[float]

    @staticmethod
    def from_engine(result: tuple) -> TrainingGame:
        """From what the engine posts for a training game: (id, (history, policies, payoff))."""
        _, (history, policies, payoff) = result
        return TrainingGame(history, policies, payoff)

    @property
    def positions(self) -> int:
        return len(self.history)
