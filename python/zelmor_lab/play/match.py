"""Seat-balanced matches played in one process: a player under test against three copies of an opponent,
with many games in flight so that network players answer them in batches.

Seats are not equal (the first to act has a head start; docs/experiments.md gives random play's scores per seat),
so the player under test takes each seat in turn: game i seats it at i mod 4. A result is only worth
comparing with what a random player scores in the same seats against the same opponents.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from .._rules import Game
from .payoffs import PayoffSummary, summarize_payoffs
from .players import Player

SEATS = 4


@dataclass(frozen=True)
class MatchResult:
    """seats[i]: where the player under test sat in game i; payoffs[i]: its payoff there; repeats[i]: game i
    took the same tiles from the same seat as an earlier game (players that never draw at random play one
    game per seat over and over), so it is no new evidence."""

    dim: int
    seats: tuple[int, ...]
    payoffs: tuple[float, ...]
    repeats: tuple[bool, ...] = ()

    @property
    def games(self) -> int:
        return len(self.payoffs)

    def overall(self) -> PayoffSummary:
        return summarize_payoffs(self.payoffs)

    def seat(self, seat: int) -> PayoffSummary:
        return summarize_payoffs([p for s, p in zip(self.seats, self.payoffs) if s == seat])

    def distinct(self) -> MatchResult:
        """The games that repeat no earlier one, each counted once."""
        kept = [i for i in range(self.games) if not (self.repeats and self.repeats[i])]
        return MatchResult(
            self.dim, tuple(self.seats[i] for i in kept), tuple(self.payoffs[i] for i in kept), (False,) * len(kept)
        )


def play_match(
    player: Player,
    opponent: Player,
    games: int,
    dim: int,
    in_flight: int = 64,
    on_game: Callable[[Game, int], None] | None = None,
) -> MatchResult:
    """Plays ``games`` games of ``player`` against three seats of ``opponent``, at most ``in_flight`` at a time;
    on_game(final position, seat) is called as each game ends, in order of finishing."""
    if games < 0 or in_flight < 1:
        raise ValueError(f"games must be at least 0 and in_flight at least 1, got {games} and {in_flight}")
    seat_of: dict[int, int] = {}
    playing: dict[int, Game] = {}
    results: dict[int, float] = {}
    repeats: dict[int, bool] = {}
    seen: set[tuple[int, tuple]] = set()
    started = 0
    while len(results) < games:
        while started < games and len(playing) < in_flight:
            playing[started], seat_of[started] = Game(dim), started % SEATS
            started += 1
        turns: dict[int, list[int]] = {0: [], 1: []}  # 0: the player under test, 1: the opponent
        for index, game in playing.items():
            turns[int(game.current_player != seat_of[index])].append(index)
        for who, indices in turns.items():
            if not indices:
                continue
            positions = [playing[i] for i in indices]
            for game, tile in zip(positions, (player if who == 0 else opponent).choose(positions)):
                game.apply(tile)
        for index in [i for i, game in playing.items() if game.is_terminal()]:
            game = playing.pop(index)
            results[index] = game.payoff()[seat_of[index]]
            key = (seat_of[index], tuple(game.history))
            repeats[index] = key in seen
            seen.add(key)
            if on_game is not None:
                on_game(game, seat_of[index])
    order = sorted(results)
    return MatchResult(
        dim, tuple(seat_of[i] for i in order), tuple(results[i] for i in order), tuple(repeats[i] for i in order)
    )
