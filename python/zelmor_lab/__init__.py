"""Zelmor self-play toolkit: the rules, self-play, storage, training and evaluation around the
``zelmor_self_play`` engine."""

from ._rules import Game, Piece, PieceVariant, encode_history, pieces
from .settings import Settings

__all__ = ["Game", "Piece", "PieceVariant", "Settings", "StoredGame", "encode_history", "pieces", "read_games"]


def __getattr__(name: str):
    # The record store needs pyarrow, which would otherwise cost every worker process a third of a
    # second at start-up (the loop starts dozens of them per generation) for nothing.
    if name in ("StoredGame", "read_games"):
        from . import store

        return getattr(store, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
