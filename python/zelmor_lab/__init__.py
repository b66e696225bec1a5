"""Zelmor self-play toolkit: the rules, self-play, storage, training and evaluation around the
``zelmor_self_play`` engine."""

from ._rules import Game, Piece, PieceVariant, encode_history, pieces

__all__ = ["Game", "Piece", "PieceVariant", "encode_history", "pieces"]
