"""Runs of quickly played games for the tests and benches of the page and the export: random or heuristic
players through the rules binding, stored with the run writer, no engine or network involved."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from zelmor_lab import Game, heuristic_tile
from zelmor_lab.runs.store import RunWriter, session_record

FINISHED_AT = 1_700_000_000.0


def play(dim: int, rng: np.random.Generator, heuristic: bool) -> Game:
    game = Game(dim)
    while not game.is_terminal():
        legal = game.legal_tiles()
        game.apply(heuristic_tile(game, rng) if heuristic else int(legal[rng.integers(len(legal))]))
    return game


def write_run(path: Path, games: int, dim: int = 7, seed: int = 0, per_shard: int = 50) -> Path:
    """A run of ``games`` finished games, every other one heuristic; each action's stored policy puts 0.6 on
    the tile taken and shares 0.4 among up to three other legal tiles."""
    rng = np.random.default_rng(seed)
    with RunWriter(path, dim, session_record("test", {}, {}), flush_every=per_shard) as writer:
        for number in range(games):
            game = play(dim, rng, heuristic=number % 2 == 1)
            replay, policies = Game(dim), []
            for _, tile in game.history:
                others = [t for t in replay.legal_tiles() if t != tile][:3]
                policies.append([(tile, 0.6)] + [(t, 0.4 / len(others)) for t in others])
                replay.apply(tile)
            writer.add(number % 4, game.history, policies, game.payoff(), "f00d", FINISHED_AT + number)
        writer.flush()
    return path
