"""The board as a game shows it: cell bytes with their blocked bits, corner cells, placement rules at the
board's edges, scores with the all-pieces bonuses, and the print-out."""

import numpy as np
import pytest

from zelmor_lab import Game, pieces

EMPTY, RED, BLUE, YELLOW, GREEN = "⬜", "🟥", "🟦", "🟨", "🟩"


def take(game: Game, *tiles: int) -> Game:
    for tile in tiles:
        game.apply(tile)
    return game


def placements(game: Game) -> dict[tuple[int, int, int], frozenset[int]]:
    """Every move of the current map with the tiles it covers."""
    catalogue = pieces(game.dim)
    ids = game.remaining_pieces(game.current_player)
    return {
        move: frozenset(move[2] + offset for offset in catalogue[ids[move[0]]].variants[move[1]].offsets)
        for moves in game.tile_moves().values()
        for move in moves
    }


def lay(game: Game, tiles: frozenset[int]) -> None:
    for tile in sorted(tiles):
        game.apply(tile)


def test_new_board():
    game = Game(20)
    assert not game.cells().any()
    assert game.cells().dtype == np.uint8 and game.cells().shape == (20, 20)
    assert [game.corners(p) for p in range(4)] == [[0], [19], [399], [380]]
    assert game.scores() == [-89, -89, -89, -89]
    assert [game.remaining_pieces(p) for p in range(4)] == [list(range(21))] * 4


def test_covering_a_cell_blocks_its_edge_neighbours_and_adds_diagonal_corners():
    game = take(Game(20), 0)
    cells = game.cells().ravel()
    assert cells[0] == 0xF1
    assert cells[1] == cells[20] == 0x10
    assert not cells[21] and not cells[19]
    # 21 is diagonal to 0 but not yet blocked; 19 would be a step that wraps to the other edge.
    assert game.corners(0) == [21]
    assert [game.corners(p) for p in (1, 2, 3)] == [[19], [399], [380]]

    take(game, 1)
    assert game.corners(0) == [22]  # 21 now touches 1 along an edge
    cells = game.cells().ravel()
    assert (cells[0], cells[1], cells[2], cells[20], cells[21]) == (0xF1, 0xF1, 0x10, 0x10, 0x10)


def test_corner_cells_never_wrap_around_the_right_edge():
    game = take(Game(20), 0, 1, 2, 3, 4)
    assert game.corners(0) == [25]
    take(game, 19)  # player 1's first tile: 40 and 0 would be steps that wrap
    assert game.corners(1) == [38]
    cells = game.cells().ravel()
    assert (cells[19], cells[18], cells[39]) == (0xF2, 0x20, 0x20)


def test_a_cell_covered_by_another_player_stays_fully_blocked():
    game = take(Game(5), 0, 1, 2, 3, 4)  # player 0's straight five fills row 0, with player 1's corner
    assert game.cells().ravel()[4] == 0xF1
    assert game.corners(1) == []


def test_player_two_can_lay_the_l_tetromino_only_into_its_corner():
    game = take(Game(20), 0, 1, 2, 3, 4, 19, 39, 59, 79, 99)
    assert game.current_player == 2
    l_moves = {move for move in placements(game) if move[0] == 5}
    assert l_moves == {(5, 1, 377), (5, 3, 377), (5, 5, 377), (5, 2, 358), (5, 4, 358), (5, 6, 358)}


def test_no_placement_runs_off_the_right_edge_into_the_next_row():
    game = take(Game(20), 0, 1, 2, 3, 4)
    moves = placements(game)
    catalogue = pieces(20)
    assert (1, 1, 19) in moves  # the vertical domino fits in column 19
    assert (1, 0, 19) not in moves  # the horizontal one would cover 19 and 20
    for (index, variant, origin), tiles in moves.items():
        width = catalogue[index].variants[variant].width
        assert origin % 20 + width <= 20
        assert all(t // 20 - origin // 20 == (t - origin) // 20 for t in tiles)


def test_a_player_whose_corner_is_taken_has_no_move_and_is_skipped():
    game = take(Game(4), 0, 1, 2, 3)
    assert game.legal_tiles() == [4, 5, 6, 7]  # five-cell pieces still extend the straight four
    take(game, 4)
    assert game.corners(1) == []
    assert game.finished == [False, True, False, False]
    assert game.current_player == 2


def test_scores_with_the_bonuses_for_placing_every_piece():
    """Each player lays its largest piece that can be completed, as far from its start as possible; player 1
    spends its monomino as soon as a corner admits nothing else, so its last piece is the domino."""
    game = Game(24)
    starts = [0, 23, 575, 552]
    while not game.is_terminal():
        player = game.current_player
        catalogue = pieces(24)
        ids = game.remaining_pieces(player)
        moves = placements(game)
        completable = {m: s for m, s in moves.items() if not any(s < other for other in moves.values())}
        r0, c0 = divmod(starts[player], 24)

        def preference(move):
            size = catalogue[ids[move[0]]].size
            distance = min(abs(t // 24 - r0) + abs(t % 24 - c0) for t in completable[move])
            monomino_first = player == 1 and ids[move[0]] == 0
            return (not monomino_first, -size, -distance, move)

        lay(game, completable[min(completable, key=preference)])

    assert [game.remaining_pieces(p) for p in range(4)] == [[]] * 4
    assert game.last_sizes == [1, 2, 1, 1]
    assert game.scores() == [20, 15, 20, 20]
    third = float(np.float32(1) / np.float32(3))
    assert game.payoff() == [third, 0.0, third, third]


def test_an_empty_board_prints_as_white_squares_and_an_empty_line():
    assert Game(20).render() == (EMPTY * 20 + "\n") * 20 + "\n"
    assert Game(4).render() == (EMPTY * 4 + "\n") * 4 + "\n"


def test_each_player_prints_in_its_colour():
    game = take(Game(7), 0)
    assert game.render().split("\n")[0] == RED + EMPTY * 6
    while min(game.scores()) == -89:  # until every player has covered a cell
        game.apply(game.legal_tiles()[0])
    text = game.render()
    rows = text.split("\n")
    assert len(rows) == 9 and rows[-2:] == ["", ""]
    colours = [EMPTY, RED, BLUE, YELLOW, GREEN]
    assert rows[:7] == ["".join(colours[owner] for owner in row) for row in game.cells() & 0x0F]
    assert {RED, BLUE, YELLOW, GREEN} <= set(text)


@pytest.mark.parametrize("player", [4, -1, 2**64])
def test_players_outside_the_four_are_refused(player):
    game = Game(20)
    with pytest.raises(ValueError, match=f"^player {player} is not in 0..3$"):
        game.corners(player)
    with pytest.raises(ValueError, match=f"^player {player} is not in 0..3$"):
        game.remaining_pieces(player)
