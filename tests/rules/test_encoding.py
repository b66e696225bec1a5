"""The network input: four occupancy planes relative to the player to act and the legal-tile plane, in both
layouts."""

import numpy as np
import pytest

from zelmor_lab import Game

FIRST_CELLS = [
    (0, 0),
    (0, 1),
    (0, 2),
    (0, 3),
    (0, 4),
    (1, 0),
    (1, 1),
    (1, 2),
    (1, 3),
    (2, 0),
    (2, 1),
    (2, 2),
    (3, 0),
    (3, 1),
    (4, 0),
]


def take(game: Game, *tiles: int) -> Game:
    for tile in tiles:
        game.apply(tile)
    return game


def marked(plane: np.ndarray) -> list[tuple[int, int]]:
    return [(int(r), int(c)) for r, c in zip(*np.nonzero(plane))]


def test_a_new_game_shows_only_the_first_legal_tiles():
    state = Game(20).state()
    assert state.dtype == np.bool_ and state.shape == (5, 20, 20)
    assert not state[:4].any()
    assert marked(state[4]) == FIRST_CELLS


@pytest.mark.parametrize("dim", [4, 7, 20])
def test_channels_last_is_the_same_values_transposed(dim):
    game = Game(dim)
    for tile in (0, 1):
        game.apply(tile)
    while game.current_player == 0:
        game.apply(game.legal_tiles()[0])
    game.apply(game.legal_tiles()[0])  # the next player's piece in progress
    first, last = game.state(False), game.state(channels_last=True)
    assert last.shape == (dim, dim, 5) and last.dtype == np.bool_
    assert np.array_equal(np.moveaxis(last, 2, 0), first)


def test_planes_follow_the_player_to_act():
    game = take(Game(20), 0, 1, 2, 3, 4)
    state = game.state()
    assert game.current_player == 1
    assert marked(state[3]) == [(0, c) for c in range(5)]  # player 0 is three seats after player 1
    assert not state[:3].any()
    assert marked(state[4]) == sorted((r, 19 - c) for r, c in FIRST_CELLS)

    take(game, 19, 39, 59, 79, 99)  # player 1's straight five down the right edge
    state = game.state()
    assert game.current_player == 2
    assert marked(state[3]) == [(r, 19) for r in range(5)]  # player 1 is three seats after player 2
    assert marked(state[2]) == [(0, c) for c in range(5)]  # player 0 two seats after
    assert not state[0].any() and not state[1].any()

    take(game, 399, 398, 397, 396, 395)
    state = game.state()
    assert game.current_player == 3
    assert marked(state[3]) == [(19, c) for c in range(15, 20)]
    assert marked(state[1]) == [(0, c) for c in range(5)]  # player 0 is one seat after player 3


def test_a_piece_in_progress_is_the_actors_own_and_plane_four_extends_it():
    game = take(Game(20), 0, 1, 20, 21)
    state = game.state()
    assert marked(state[0]) == [(0, 0), (0, 1), (1, 0), (1, 1)]
    assert marked(state[4]) == [(0, 2), (1, 2), (2, 0), (2, 1)]


def test_a_terminal_game_shows_no_legal_tile():
    game = Game(5)
    while not game.is_terminal():
        game.apply(game.legal_tiles()[-1])
    for channels_last in (False, True):
        state = game.state(channels_last)
        legal = state[..., 4] if channels_last else state[4]
        assert not legal.any()
    owners = game.cells() & 0x0F
    state = game.state()
    me = game.current_player
    for k in range(4):
        assert np.array_equal(state[k], owners == (me + k) % 4 + 1)


def test_the_returned_array_belongs_to_the_caller():
    game = Game(20)
    state = game.state()
    state[:] = True
    assert marked(game.state()[4]) == FIRST_CELLS and not game.state()[:4].any()
