"""Move generation and the tile-by-tile turn flow: the first-turn maps, narrowing within a turn, completing
a piece, the hand-over of the turn, finished players, rejected tiles and payoffs."""

import itertools

import numpy as np
import pytest

from zelmor_lab import Game

FIRST_TILES = [0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80]


def take(game: Game, *tiles: int) -> Game:
    for tile in tiles:
        game.apply(tile)
    return game


def all_moves(game: Game) -> set[tuple[int, int, int]]:
    return set().union(*game.tile_moves().values())


def mirror(tile: int, player: int, dim: int = 20) -> int:
    """Player 0's tile seen from `player`'s corner."""
    row, col = divmod(tile, dim)
    if player in (1, 2):
        col = dim - 1 - col
    if player in (2, 3):
        row = dim - 1 - row
    return row * dim + col


def test_a_new_game():
    game = Game(20)
    assert game.current_player == 0
    assert not game.is_terminal()
    assert game.legal_tiles() == FIRST_TILES
    assert game.payoff() == [0.25] * 4
    assert game.history == [] and game.last_sizes == [0, 0, 0, 0] and game.finished == [False] * 4


def test_the_first_map_of_every_player():
    """58 moves through each start corner; a player's keys mirror player 0's. The earlier players' first
    pieces (straight fives along the top and right edges) stay clear of the later corners."""
    game = Game(20)
    first_pieces = [[0, 1, 2, 3, 4], [19, 39, 59, 79, 99], [399, 398, 397, 396, 395], []]
    for player in range(4):
        assert game.current_player == player
        tile_moves = game.tile_moves()
        corner = mirror(0, player)
        assert sorted(tile_moves) == sorted(mirror(t, player) for t in FIRST_TILES)
        assert len(all_moves(game)) == 58
        assert tile_moves[corner] == all_moves(game)
        take(game, *first_pieces[player])


def test_only_variants_filled_at_their_top_left_start_in_the_corner():
    moves = all_moves(Game(20))
    assert {origin for _, _, origin in moves} == {0}
    assert (18, 0, 0) not in moves  # the cross's top-left cell is empty
    assert (0, 0, 0) in moves and (1, 0, 0) in moves and (1, 1, 0) in moves  # different variants, both listed


def test_taking_a_tile_narrows_the_map_but_keeps_the_player():
    first_moves = all_moves(Game(20))
    game = take(Game(20), 0)
    assert game.current_player == 0
    assert game.legal_tiles() == FIRST_TILES[1:]
    # Every move is still possible; the monomino's only tile is taken, so no key lists it any more.
    assert all_moves(game) == first_moves - {(0, 0, 0)}


@pytest.mark.parametrize("order", [(0, 1, 2, 3, 4), (4, 3, 2, 1, 0), (2, 0, 4, 1, 3)])
def test_the_straight_five_in_any_order(order):
    game = take(Game(20), *order)
    assert game.remaining_pieces(0) == [p for p in range(21) if p != 9]
    assert game.last_sizes == [5, 0, 0, 0]
    assert game.current_player == 1
    assert game.legal_tiles() == sorted(mirror(t, 1) for t in FIRST_TILES)
    assert game.history == [(0, t) for t in order]


def test_the_vertical_straight_five():
    game = take(Game(20), 0, 20, 40, 60, 80)
    assert game.remaining_pieces(0) == [p for p in range(21) if p != 9]
    assert game.last_sizes == [5, 0, 0, 0] and game.current_player == 1


def test_a_placement_inside_a_larger_one_cannot_be_completed():
    game = take(Game(20), 0, 1, 2, 3)
    assert game.legal_tiles() == [4, 20, 21, 22, 23]
    assert game.current_player == 0
    game = take(Game(20), 0, 1, 20, 21)
    assert game.legal_tiles() == [2, 22, 40, 41]
    # The narrowed sets hold exactly the moves through all tiles taken so far: P pentominoes at origin 0.
    assert game.tile_moves() == {2: {(12, 0, 0)}, 22: {(12, 6, 0)}, 40: {(12, 7, 0)}, 41: {(12, 1, 0)}}


def test_a_rejected_tile_leaves_the_game_as_it_was():
    game = take(Game(20), 0, 1)
    before = (game.legal_tiles(), game.tile_moves(), game.cells().copy(), game.history)
    for tile in (399, 1, 43):
        with pytest.raises(ValueError, match=f"^Invalid move - Player 0, Tile {tile}$"):
            game.apply(tile)
    assert (game.legal_tiles(), game.tile_moves(), game.history) == before[:2] + before[3:]
    assert np.array_equal(game.cells(), before[2])
    take(game, 2, 3, 4)
    with pytest.raises(ValueError, match="^Invalid move - Player 1, Tile 0$"):
        game.apply(0)


def test_a_stuck_player_is_finished_and_skipped_while_the_others_play_on():
    """On a 4 x 4 board player 0's L pentomino along the top row covers player 1's start corner."""
    game = take(Game(4), 0, 1, 2, 3, 4)
    assert game.finished == [False, True, False, False]
    assert game.current_player == 2
    seen = []
    while not game.is_terminal():
        seen.append(game.current_player)
        game.apply(game.legal_tiles()[-1])
        assert game.finished[1]
    assert 1 not in seen and {0, 2} <= set(seen)
    assert game.finished == [True] * 4
    assert game.legal_tiles() == [] and game.tile_moves() == {}


def test_the_last_player_able_to_move_keeps_the_turn():
    """On a 7 x 7 board, always taking the smallest legal tile, player 1 outlasts the others and then lays
    three pieces in a row."""
    game = Game(7)
    while sum(game.finished) < 3:
        game.apply(game.legal_tiles()[0])
    assert game.finished == [True, False, True, True] and game.current_player == 1
    pieces_before = len(game.remaining_pieces(1))
    while not game.is_terminal():
        assert game.current_player == 1
        game.apply(game.legal_tiles()[0])
    assert len(game.remaining_pieces(1)) == pieces_before - 3


def test_a_terminal_game_refuses_every_tile():
    game = Game(4)
    while not game.is_terminal():
        game.apply(game.legal_tiles()[0])
    history = game.history
    for tile in range(16):
        with pytest.raises(ValueError, match=f"^Invalid move - Player {game.current_player}, Tile {tile}$"):
            game.apply(tile)
    assert game.history == history
    assert sum(game.payoff()) == pytest.approx(1.0)


@pytest.mark.parametrize(
    "pieces_laid, payoff",
    [
        (0, [0.25, 0.25, 0.25, 0.25]),
        (1, [1.0, 0.0, 0.0, 0.0]),
        (2, [0.5, 0.5, 0.0, 0.0]),
        (3, [float(np.float32(1) / np.float32(3))] * 3 + [0.0]),
    ],
)
def test_payoff_shares_among_the_best_scores(pieces_laid, payoff):
    """Each of the first players lays a straight five from its corner; the others still hold 89 squares."""
    straight_fives = [[0, 1, 2, 3, 4], [19, 39, 59, 79, 99], [399, 398, 397, 396, 395]]
    game = take(Game(20), *itertools.chain(*straight_fives[:pieces_laid]))
    assert game.payoff() == payoff


@pytest.mark.parametrize("tile", [400, -1, 2**64])
def test_tiles_off_the_board_are_refused_naming_the_tile(tile):
    game = Game(20)
    with pytest.raises(ValueError, match=f"^tile {tile} is off the 20 x 20 board$"):
        game.apply(tile)
    assert game.history == []
