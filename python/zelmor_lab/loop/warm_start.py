"""Network 0's warm start: before its first self-play game, the loop's network learns to play like the
heuristic player and to predict how games end.

A network fresh from its random start makes the first generations' searches follow noise: the search
improves on the policy only where the value tells its candidates apart, and self-play records then teach
the network what it already plays. The heuristic player (the largest piece that still fits, nearest the
centre) is cheap and far from random, so network 0 copies it: at every position the policy target is
spread evenly over the tiles the heuristic scores alike, and the value targets are the game's outcome and
final squares. Most games are the heuristic's own; the rest are random play, whose positions the heuristic
alone never reaches, with the heuristic's choices as their policy targets all the same.
"""

from __future__ import annotations

import random

import numpy as np

from .._rules import Game, encode_history, heuristic_tiles
from ..training.dataset import Window, WindowBuilder


def warmup_window(games: int, dim: int, seed: int, heuristic_share: float = 0.75) -> Window:
    """The positions of ``games`` games (seeded by ``seed``): a ``heuristic_share`` of them played by four
    heuristic players, the rest by four random players. Policy target: uniform over the heuristic's tiles of
    each position; value and final-squares targets of the game as played."""
    chooser = random.Random(seed)
    builder, tiles, offsets = WindowBuilder(dim), [], [np.zeros(1, dtype=np.int64)]
    held = 0
    for _ in range(games):
        heuristic = chooser.random() < heuristic_share
        game, targets = Game(dim), []
        while not game.is_terminal():
            best = heuristic_tiles(game)
            targets.append(best)
            options = best if heuristic else game.legal_tiles()
            game.apply(options[chooser.randrange(len(options))])
        history = game.history
        players = np.array([player for player, _ in history], dtype=np.int64)
        counts = np.array([len(t) for t in targets], dtype=np.int64)
        tiles.append(np.fromiter((t for best in targets for t in best), dtype=np.int64, count=int(counts.sum())))
        offsets.append(held + np.cumsum(counts))
        held += int(counts.sum())
        builder.add_game(
            np.packbits(encode_history(history, dim).reshape(len(history), -1), axis=1),
            players,
            np.array([tile for _, tile in history], dtype=np.int64),
            np.asarray(game.payoff()),
        )
    candidate_offsets = np.concatenate(offsets)
    counts = np.diff(candidate_offsets)
    return builder.build(candidate_offsets, np.concatenate(tiles), np.repeat(1.0 / counts, counts).astype(np.float32))
