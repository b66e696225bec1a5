"""Pictures of a board, for the command line's PNG and the browser page: which action laid which piece, and
the board drawn with matplotlib (no display needed), pieces outlined and squares named by coordinates.

A coordinate names a column by a letter from ``a`` (left) and a row by a number from 1 (top), so tile
``row * dim + column`` is ``a1`` at the top left; the page uses the same names.
"""

from __future__ import annotations

import io
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .._rules import Game
from ..errors import InputError

# Empty, then players 0 to 3, in the colours of the engine's text board.
COLOURS = ("#f2f2f2", "#d62728", "#1f77b4", "#f1c40f", "#2ca02c")
COLUMN_LETTERS = "abcdefghijklmnopqrstuvwxyz"  # the largest board has 26 columns


class PictureError(InputError):
    """A picture that cannot be written where it was asked for."""


@dataclass(frozen=True)
class Timeline:
    """A replayed game's actions with the pieces they lay.

    players, tiles: per action; piece: per action, the number of the piece it belongs to (0 for the game's
    first piece, counted over all players); placed: per action, the catalogue id of the piece that action
    completes, -1 while the piece is unfinished; final: the position after the last action."""

    players: list[int]
    tiles: list[int]
    piece: list[int]
    placed: list[int]
    final: Game

    def piece_grid(self) -> np.ndarray:
        """int32 (dim, dim): the piece number covering each square, -1 for an empty one."""
        dim = self.final.dim
        grid = np.full(dim * dim, -1, dtype=np.int32)
        grid[self.tiles] = self.piece
        return grid.reshape(dim, dim)


def timeline(tiles, dim: int) -> Timeline:
    """Replay ``tiles`` (one per action) from a new board; ValueError at the first illegal one, naming it."""
    game = Game(dim)
    players, piece, placed = [], [], []
    pieces_done = 0
    hands = [set(game.remaining_pieces(p)) for p in range(4)]
    for index, tile in enumerate(tiles):
        player = game.current_player
        try:
            game.apply(tile)
        except ValueError as error:
            raise ValueError(f"action {index}: {error}") from None
        players.append(player)
        piece.append(pieces_done)
        if game.turn_tiles:
            placed.append(-1)
        else:  # the piece is complete: the one that left the player's hand
            hand = set(game.remaining_pieces(player))
            placed.append(next(iter(hands[player] - hand)))
            hands[player] = hand
            pieces_done += 1
    return Timeline(players, list(tiles), piece, placed, game)


def coordinate(tile: int, dim: int) -> str:
    """The square's name: column letter and row number from 1, e.g. ``c4``."""
    row, column = divmod(tile, dim)
    return f"{COLUMN_LETTERS[column]}{row + 1}"


def text_board(game: Game) -> str:
    """The engine's text board (one character per square) with the column letters above and below and the
    row numbers on both sides, so that a square is found by the name the picture and the page give it."""
    dim = game.dim
    letters = "   " + " ".join(COLUMN_LETTERS[:dim])
    rows = game.render().split("\n")[:dim]
    # Each square is a character two columns wide in a terminal: the letters are spaced to match.
    lines = [letters, *(f"{row + 1:>2} {squares} {row + 1}" for row, squares in enumerate(rows)), letters]
    return "\n".join(lines) + "\n"


def check_picture_path(path: str | Path) -> Path:
    """``path`` when a PNG can be written there (its folder exists and is writable, and it is not a
    folder); PictureError otherwise, before anything is drawn."""
    path = Path(path)
    folder = path.parent
    if path.is_dir():
        raise PictureError(f"cannot write the picture to {path}: it is a directory")
    if not folder.is_dir():
        raise PictureError(f"cannot write the picture to {path}: there is no directory {folder}")
    if not os.access(folder, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise PictureError(f"cannot write the picture to {path}: permission denied")
    return path


def draw_board(game: Game, path: str | Path, title: str = "") -> Path:
    """Write a PNG of ``game``'s board to ``path``: one square per tile in its player's colour, a dark
    outline around every piece, coordinates along the edges and the players' scores in the legend.
    WriteError when the file cannot be written; a partial file is never left behind."""
    from matplotlib.colors import ListedColormap
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    path = check_picture_path(path)
    dim = game.dim
    owners = np.asarray(game.cells()) & 0x0F  # 0 empty, p + 1 for player p
    pieces = timeline([tile for _, tile in game.history], dim).piece_grid()
    figure = Figure(figsize=(6.4, 7))  # no pyplot: the caller's backend and figures stay untouched
    axes = figure.subplots()
    axes.imshow(owners, cmap=ListedColormap(COLOURS), vmin=0, vmax=4)
    for line in np.arange(-0.5, dim + 0.5):
        axes.axhline(line, color="white", linewidth=0.8)
        axes.axvline(line, color="white", linewidth=0.8)
    axes.add_collection(_outlines(pieces))
    labels = [coordinate(c, dim)[0] for c in range(dim)]
    axes.set_xticks(range(dim), labels, fontsize=7)
    axes.set_yticks(range(dim), [str(r + 1) for r in range(dim)], fontsize=7)
    axes.tick_params(length=0, top=True, labeltop=True, right=True, labelright=True)
    axes.set_xlim(-0.5, dim - 0.5)
    axes.set_ylim(dim - 0.5, -0.5)
    scores = game.scores()
    axes.legend(
        handles=[Patch(color=COLOURS[p + 1], label=f"player {p}: {scores[p]}") for p in range(4)],
        loc="upper center",
        bbox_to_anchor=(0.5, -0.04),
        ncol=4,
        frameon=False,
        fontsize=8,
    )
    if title:
        axes.set_title(title, pad=18)
    figure.tight_layout()
    picture = io.BytesIO()
    figure.savefig(picture, format="png", dpi=100)
    from ..runs.atomic import write_atomically

    write_atomically(path, picture.getvalue())  # WriteError, one line, when it cannot be written
    return path


def _outlines(pieces: np.ndarray):
    """Line segments between squares of different pieces (an empty square counts as none), and along the
    board's edge where a piece meets it."""
    from matplotlib.collections import LineCollection

    dim = pieces.shape[0]
    padded = np.full((dim + 2, dim + 2), -1, dtype=np.int32)
    padded[1:-1, 1:-1] = pieces
    segments = []
    for row in range(dim + 1):  # horizontal edges above padded row + 1
        for column in range(dim):
            above, below = padded[row, column + 1], padded[row + 1, column + 1]
            if above != below and max(above, below) >= 0:
                segments.append([(column - 0.5, row - 0.5), (column + 0.5, row - 0.5)])
    for column in range(dim + 1):
        for row in range(dim):
            left, right = padded[row + 1, column], padded[row + 1, column + 1]
            if left != right and max(left, right) >= 0:
                segments.append([(column - 0.5, row - 0.5), (column - 0.5, row + 0.5)])
    return LineCollection(segments, colors="#222222", linewidths=1.6)
