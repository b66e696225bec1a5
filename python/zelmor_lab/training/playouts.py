"""The heuristic player as a value teacher: how a position ends when four heuristic players finish it.

A window of a few hundred games holds only a few hundred outcomes, and every position of a game shares its
one outcome, so the value head sees little evidence per generation. A heuristic play-out gives each turn start
an outcome of its own, for a third of a millisecond on 20 x 20. Its bias is the heuristic's: it judges a
position as four heuristic players would finish it, not as the network would; the training setting
``playout_weight`` says how much of the value target it takes.

Play-outs are drawn with a seed derived from the game's own actions, so a game's play-outs are the same in
every window that holds it; the loop builds a window each generation from mostly the same games, and the
cache below plays each game's play-outs once.
"""

from __future__ import annotations

import hashlib
import random
from collections import OrderedDict

import numpy as np

from .._rules import Game, heuristic_tiles
from ..constants import PLAYERS
from .dataset import Window


class PlayoutTeacher:
    """Heuristic play-out payoffs of windows' turn starts, remembered for the latest ``games`` games seen."""

    def __init__(self, games: int = 4096):
        self.games = games
        self._cache: OrderedDict[bytes, np.ndarray] = OrderedDict()

    def turn_start_payoffs(self, window: Window) -> tuple[np.ndarray, np.ndarray]:
        """The play-outs of ``window``'s turn starts: (starts int64 (S,) as Window.turn_starts(), payoffs
        float32 (S, 4) by absolute player)."""
        starts = window.turn_starts()
        game_ends = np.flatnonzero(np.diff(window.position_game, append=-1)) + 1
        game_starts = np.concatenate([[0], game_ends[:-1]])
        payoffs = []
        for begin, end in zip(game_starts.tolist(), game_ends.tolist()):
            tiles = window.position_tile[begin:end]
            key = window.dim.to_bytes(2, "little") + tiles.astype(np.int16).tobytes()
            found = self._cache.get(key)
            if found is None:
                local = starts[(starts >= begin) & (starts < end)] - begin
                found = _playouts(window.dim, tiles, local, key)
                self._cache[key] = found
                if len(self._cache) > self.games:
                    self._cache.popitem(last=False)
            else:
                self._cache.move_to_end(key)
            payoffs.append(found)
        return starts, np.concatenate(payoffs) if payoffs else np.zeros((0, PLAYERS), dtype=np.float32)

    def mixed_targets(self, window: Window, weight: float) -> np.ndarray:
        """``window``'s value targets (float32 (N, 4), relative to the player to act) mixed with the
        play-out of each position's turn start: (1 - weight) * target + weight * play-out. A position in the
        middle of a turn takes its turn's start, where the piece it helps to place was still to be chosen."""
        starts, payoffs = self.turn_start_payoffs(window)
        turn = np.searchsorted(starts, np.arange(window.positions), side="right") - 1
        seats = (window.position_player[:, None].astype(np.int64) + np.arange(PLAYERS)[None, :]) % PLAYERS
        playout = payoffs[turn[:, None], seats]
        return ((1 - weight) * window.value + weight * playout).astype(np.float32)


def _playouts(dim: int, tiles: np.ndarray, at: np.ndarray, key: bytes) -> np.ndarray:
    """Payoffs (float32 (len(at), 4), by absolute player) of heuristic play-outs from the positions ``at``
    (ascending action indices) of the game that plays ``tiles``, ties drawn with a seed taken from ``key``."""
    chooser = random.Random(hashlib.blake2b(key, digest_size=8).digest())
    game, played, payoffs = Game(dim), 0, np.empty((len(at), PLAYERS), dtype=np.float32)
    for row, position in enumerate(at.tolist()):
        while played < position:
            game.apply(int(tiles[played]))
            played += 1
        playout = game.copy()
        while not playout.is_terminal():
            best = heuristic_tiles(playout)
            playout.apply(best[chooser.randrange(len(best))])
        payoffs[row] = playout.payoff()
    return payoffs
