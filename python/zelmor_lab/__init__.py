"""Zelmor self-play toolkit: the rules, self-play, storage, training and evaluation around the
``zelmor_self_play`` engine."""

from ._rules import Game, Piece, PieceVariant, encode_history, pieces
from .settings import Settings
from .store import StoredGame, read_games

__all__ = ["Game", "Piece", "PieceVariant", "Settings", "StoredGame", "encode_history", "pieces", "read_games"]
