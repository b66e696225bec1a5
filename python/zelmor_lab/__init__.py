"""Zelmor self-play toolkit: the rules, self-play, storage, training and evaluation around the
``zelmor_self_play`` engine."""

from ._rules import Game, Piece, PieceVariant, encode_history, heuristic_tiles, pieces
from .play.players import heuristic_tile
from .play.tree_search import RandomPlayout, RootSearch, gumbel_search_games, search, search_games
from .selfplay.settings import Settings

__all__ = [
    "Game",
    "Piece",
    "PieceVariant",
    "RandomPlayout",
    "RootSearch",
    "Settings",
    "StoredGame",
    "encode_history",
    "gumbel_search_games",
    "heuristic_tile",
    "heuristic_tiles",
    "pieces",
    "read_games",
    "search",
    "search_games",
]


def __getattr__(name: str):
    # The record store needs pyarrow, which would otherwise cost every worker process a third of a
    # second at start-up (the loop starts dozens of them per generation) for nothing.
    if name in ("StoredGame", "read_games"):
        from .runs import store

        return getattr(store, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
