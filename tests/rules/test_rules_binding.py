"""The Python surface of the rules: value types, argument errors, copies, and encode_history."""

import copy
import random

import numpy as np
import pytest

from zelmor_lab import Game, encode_history, pieces


def random_game(dim: int, seed: int, actions: int | None = None) -> Game:
    """A game played by uniformly random legal tiles, to the end or for `actions` actions."""
    rng = random.Random(seed)
    game = Game(dim)
    while not game.is_terminal() and (actions is None or len(game.history) < actions):
        game.apply(rng.choice(game.legal_tiles()))
    return game


def test_values_come_back_as_plain_python_types():
    game = random_game(20, seed=3, actions=7)
    assert type(game.dim) is int and type(game.current_player) is int
    assert all(type(t) is int for t in game.legal_tiles())
    assert game.legal_tiles() == sorted(game.legal_tiles())
    for tile, moves in game.tile_moves().items():
        assert type(tile) is int and type(moves) is set
        assert all(type(m) is tuple and len(m) == 3 and all(type(x) is int for x in m) for m in moves)
    assert all(type(p) is tuple and list(map(type, p)) == [int, int] for p in game.history)
    assert list(map(type, game.finished)) == [bool] * 4
    assert list(map(type, game.last_sizes)) == [int] * 4
    assert list(map(type, game.scores())) == [int] * 4
    assert list(map(type, game.payoff())) == [float] * 4
    assert all(game.corners(p) == sorted(game.corners(p)) for p in range(4))
    assert repr(Game(7)) == "Game(dim=7, current_player=0, actions=0)"


def test_numpy_integers_are_accepted():
    game = Game(np.int64(20))
    game.apply(np.uint16(0))
    assert game.corners(np.int8(0)) == [21]
    assert len(pieces(np.int32(5))) == 21


@pytest.mark.parametrize("bad", ["20", 20.0, None, [20]])
def test_arguments_that_are_not_integers_raise_type_error(bad):
    game = Game(20)
    calls = [
        lambda: Game(bad),
        lambda: game.apply(bad),
        lambda: game.corners(bad),
        lambda: game.remaining_pieces(bad),
        lambda: pieces(bad),
        lambda: encode_history([], bad),
    ]
    for call in calls:
        with pytest.raises(TypeError):
            call()
    assert game.history == []


@pytest.mark.parametrize("dim", [3, 33, -1, 2**64, 10**30])
def test_board_sides_out_of_range_raise_value_error_naming_them(dim):
    for make in (Game, pieces, lambda d: encode_history([], d)):
        with pytest.raises(ValueError, match=f"^board side {dim} is not in 4..32$"):
            make(dim)


def test_out_of_range_tiles_and_players_name_the_value():
    game = Game(7)
    with pytest.raises(ValueError, match="^tile 49 is off the 7 x 7 board$"):
        game.apply(49)
    with pytest.raises(ValueError, match=f"^tile {-(2**70)} is off the 7 x 7 board$"):
        game.apply(-(2**70))
    with pytest.raises(ValueError, match="^player 4 is not in 0..3$"):
        game.corners(4)
    assert game.history == [] and not game.cells().any()


def test_read_only_properties():
    game = Game(20)
    for name in ("dim", "current_player", "finished", "history", "last_sizes"):
        with pytest.raises(AttributeError):
            setattr(game, name, 0)


def snapshot(game: Game):
    return (
        game.current_player,
        game.legal_tiles(),
        game.tile_moves(),
        game.history,
        game.finished,
        game.last_sizes,
        game.cells().tobytes(),
        [game.corners(p) for p in range(4)],
        [game.remaining_pieces(p) for p in range(4)],
        game.render(),
    )


@pytest.mark.parametrize("duplicate", [Game.copy, copy.copy, copy.deepcopy], ids=["copy", "copy.copy", "deepcopy"])
def test_a_copy_is_independent_of_its_original(duplicate):
    original = random_game(20, seed=11, actions=42)
    assert original.turn_tiles  # mid-piece: the narrowed map must travel with the copy
    before = snapshot(original)
    twin = duplicate(original)
    assert snapshot(twin) == before

    rng = random.Random(5)
    while not twin.is_terminal():
        twin.apply(rng.choice(twin.legal_tiles()))
    assert snapshot(original) == before

    moved = snapshot(twin)
    original.apply(original.legal_tiles()[0])
    assert snapshot(twin) == moved


def test_a_copy_plays_on_exactly_like_its_original():
    original = random_game(9, seed=8, actions=13)
    twin = original.copy()
    rng = random.Random(2)
    while not original.is_terminal():
        tile = rng.choice(original.legal_tiles())
        original.apply(tile)
        twin.apply(tile)
        assert snapshot(twin) == snapshot(original)


@pytest.mark.parametrize("dim, seed", [(4, 1), (7, 2), (20, 3)])
def test_encode_history_is_the_state_before_each_action(dim, seed):
    game = random_game(dim, seed)
    replay = Game(dim)
    expected_first, expected_last = [], []
    for _player, tile in game.history:
        expected_first.append(replay.state())
        expected_last.append(replay.state(channels_last=True))
        replay.apply(tile)
    steps = len(game.history)
    first = encode_history(game.history, dim)
    last = encode_history(game.history, dim, channels_last=True)
    assert first.shape == (steps, 5, dim, dim) and first.dtype == np.bool_
    assert last.shape == (steps, dim, dim, 5) and last.dtype == np.bool_
    assert np.array_equal(first, np.stack(expected_first))
    assert np.array_equal(last, np.stack(expected_last))
    # Any sequence of integer pairs will do, numpy arrays included.
    assert np.array_equal(encode_history(np.array(game.history, dtype=np.uint16), dim), first)
    assert np.array_equal(encode_history([list(p) for p in game.history], dim), first)


def test_encode_history_of_no_actions_is_empty():
    assert encode_history([], 20).shape == (0, 5, 20, 20)
    assert encode_history((), 6, channels_last=True).shape == (0, 6, 6, 5)


def test_encode_history_names_the_first_bad_entry():
    history = random_game(20, seed=4).history
    wrong_player = list(history)
    player, tile = wrong_player[30]
    wrong_player[30] = ((player + 1) % 4, tile)
    with pytest.raises(
        ValueError,
        match=f"^history entry 30: player {(player + 1) % 4} is not the player to act "
        rf"\({player}\)$",
    ):
        encode_history(wrong_player, 20)

    taken = list(history)
    taken[12] = (taken[12][0], taken[3][1])
    with pytest.raises(ValueError, match=f"^history entry 12: tile {taken[3][1]} is not legal$"):
        encode_history(taken, 20)

    for tile in (400, -1, 2**70):
        with pytest.raises(ValueError, match=f"^history entry 0: tile {tile} is not legal$"):
            encode_history([(0, tile)], 20)
    with pytest.raises(ValueError, match=f"^history entry 0: player {2**64} is not the player to act \\(0\\)$"):
        encode_history([(2**64, 0)], 20)


def test_encode_history_past_the_end_of_the_game():
    history = random_game(5, seed=6).history
    extra = history + [(0, 0)] * 100_000
    with pytest.raises(ValueError, match=f"^history entry {len(history)}: "):
        encode_history(extra, 5)


@pytest.mark.parametrize("entry", [(0,), (0, 0, 0), 0, "ab", (0, "0"), (0.0, 0), None])
def test_encode_history_entries_must_be_integer_pairs(entry):
    with pytest.raises(TypeError, match="^history entry 1 is not a \\(player, tile\\) pair of integers$"):
        encode_history([(0, 0), entry], 20)


def test_encode_history_needs_a_sequence():
    with pytest.raises(TypeError, match="^history must be a sequence of \\(player, tile\\) pairs$"):
        encode_history(5, 20)
