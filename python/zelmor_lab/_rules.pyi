"""
Rules of Zelmor: pieces, board bookkeeping, move generation, turn flow and encoding.
"""

from collections.abc import Sequence

import numpy
import numpy.typing
from numpy.typing import NDArray

class PieceVariant:
    @property
    def offsets(self) -> list[int]: ...
    @property
    def mask(self) -> list[bool]: ...
    @property
    def width(self) -> int: ...
    @property
    def shape(self) -> list: ...
    def __repr__(self) -> str: ...

class Piece:
    @property
    def piece_id(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def variants(self) -> list[PieceVariant]: ...
    @property
    def shape(self) -> list: ...
    def __repr__(self) -> str: ...

def pieces(dim: int = 20) -> list[Piece]:
    """
    The 21 catalogue pieces with their orientations laid out for a board of side `dim`.
    """

def encode_history(
    history: Sequence[tuple[int, int]], dim: int, channels_last: bool = False
) -> numpy.typing.NDArray[numpy.bool_]:
    """
    Network inputs before each action of a game replayed from a new board.

    history: sequence of (player, tile) pairs. Returns bool array (T, 5, dim, dim), or (T, dim, dim, 5)
    when channels_last. Raises ValueError naming the first pair that is not a legal action of the
    player to act.
    """

class Game:
    def __init__(self, dim: int = 20) -> None: ...
    @property
    def dim(self) -> int: ...
    @property
    def current_player(self) -> int: ...
    @property
    def finished(self) -> list[bool]: ...
    @property
    def last_sizes(self) -> list[int]: ...
    @property
    def turn_tiles(self) -> list[int]:
        """Tiles taken so far in the piece being laid."""

    @property
    def history(self) -> list[tuple[int, int]]: ...
    def legal_tiles(self) -> list[int]:
        """Tiles the player to act may take next, ascending."""

    def tile_moves(self) -> dict:
        """
        dict tile -> set of (piece_index, variant_index, origin) still possible through that tile.
        """

    def corners(self, player: int) -> list[int]:
        """
        The player's corner cells, ascending: where its next piece may touch its own.
        """

    def remaining_pieces(self, player: int) -> list[int]:
        """
        Piece ids the player has not placed, in list order (a move's piece_index is a position here).
        """

    def cells(self) -> NDArray[numpy.uint8]:
        """
        Raw cell bytes, uint8 (dim, dim): owner in bits 0-3, player p's blocked bit at 4 + p.
        """

    def apply(self, tile: int) -> None:
        """
        Take one tile for the player to act; ValueError if no legal move covers it.
        """

    def is_terminal(self) -> bool: ...
    def scores(self) -> list[int]: ...
    def payoff(self) -> list[float]: ...
    def state(self, channels_last: bool = False) -> NDArray[numpy.bool_]:
        """
        Network input: bool (5, dim, dim), or (dim, dim, 5) when channels_last.
        """

    def render(self) -> str: ...
    def check_consistency(self) -> None:
        """Raise ValueError naming the first broken invariant of the position."""

    def copy(self) -> Game: ...
    def __copy__(self) -> Game: ...
    def __deepcopy__(self, memo: object) -> Game: ...
    def __repr__(self) -> str: ...

def heuristic_tiles(game: Game) -> list[int]:
    """
    The heuristic player's equally good tiles, ascending: the legal tiles that can still become the
    largest piece placeable this turn, nearest the centre. Empty when the game is over.
    """

class RandomPlayout:
    """
    A stand-in network for the search: uniform priors over the legal tiles, and the payoff of one random game to the end as the value.
    """

    def __init__(self) -> None: ...

def search_games(
    games: Sequence[Game],
    evaluate: object,
    simulations: int,
    c_base: float,
    c_init: float,
    first_play_parent: bool = False,
) -> NDArray[numpy.uint32]:
    """
    Visit counts uint32 (G, dim * dim) of one tree search per game, run in lockstep: each round sends one
    leaf of every search to `evaluate` in one batch. evaluate(planes bool (B, 5, dim, dim)) returns
    (policy logits float32 (B, dim * dim), value logits float32 (B, 4)), both relative to the player to
    act, or is a RandomPlayout. No root noise. A finished game gets no visits. first_play_parent: an
    unvisited child's value is its parent's mean value for the player choosing, not 0.
    """

def gumbel_search_games(
    games: Sequence[Game], evaluate: object, simulations: int, gumbel_actions: int, c_visit: float, c_scale: float
) -> tuple:
    """
    The Gumbel root search of each game, in lockstep like search_games, without Gumbel draws: (improved
    policy float32 (G, dim * dim), zero off the root's children; the tile each search ends on, int64 (G,),
    -1 for a finished game).
    """
