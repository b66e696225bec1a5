"""The search player: the engine's tree search run in-process and batched across games, the heuristic
player of the rules library, and seat-balanced matches."""

import zlib

import numpy as np
import pytest

from stand_ins import make_config, run_training_game
from zelmor_lab import Game, heuristic_tiles, pieces, search, search_games
from zelmor_lab.play.match import play_match
from zelmor_lab.play.players import HeuristicPlayer, RandomPlayer, SampledPlayer, SearchPlayer
from zelmor_lab.play.tree_search import GUMBEL, PUCT, RandomPlayout

# A 7 x 7 line of play, a pentomino for each player, to a position where player 0, starting its second piece,
# may complete one at once with tile 34 (only its monomino fits there: the turn passes) or go on with tile 16
# (the same player takes another tile).
FORK_DIM = 7
TO_THE_FORK = [3, 2, 4, 1, 0, 26, 5, 12, 19, 6, 33, 47, 41, 48, 40, 35, 43, 29, 28, 42]
COMPLETES, CONTINUES = 34, 16


def the_fork() -> Game:
    game = Game(FORK_DIM)
    for tile in TO_THE_FORK:
        game.apply(tile)
    return game


def after(game: Game, tile: int) -> Game:
    child = game.copy()
    child.apply(tile)
    return child


def scripted(table: dict[bytes, tuple[list[float], list[float]]], dim: int):
    """A batched network answering the positions of `table` (keyed by their planes) as given, and every other
    position with even logits and values."""
    calls = []

    def evaluate(planes):
        calls.append(len(planes))
        policy, value = np.zeros((len(planes), dim * dim), np.float32), np.zeros((len(planes), 4), np.float32)
        for i, p in enumerate(planes):
            if p.tobytes() in table:
                policy[i], value[i] = table[p.tobytes()]
        return policy, value

    evaluate.calls = calls
    return evaluate


def fork_network(chooser_favoured_by_completing: bool):
    """Offers only tiles 34 and 16 at the fork. Wherever one player holds cell 34 but not cell 16, the value
    logits make either that player or the player after it the near-certain winner; elsewhere every value is
    even."""
    fork = the_fork()
    chooser, completed, continued = fork.current_player, after(fork, COMPLETES), after(fork, CONTINUES)
    assert completed.current_player != chooser and continued.current_player == chooser
    assert not completed.turn_tiles and continued.turn_tiles == [CONTINUES]
    fork_planes = fork.state()
    row, col = divmod(COMPLETES, FORK_DIM)
    other_row, other_col = divmod(CONTINUES, FORK_DIM)
    favoured = 0 if chooser_favoured_by_completing else (completed.current_player - chooser) % 4

    def evaluate(planes):
        cells = FORK_DIM * FORK_DIM
        policy, value = np.zeros((len(planes), cells), np.float32), np.zeros((len(planes), 4), np.float32)
        for i, p in enumerate(planes):
            if np.array_equal(p, fork_planes):
                policy[i] = -1e30
                policy[i, [COMPLETES, CONTINUES]] = 0.0
            owner = np.flatnonzero(p[:4, row, col])  # relative to the player to act
            if owner.size and not p[owner[0], other_row, other_col]:
                value[i, (owner[0] + favoured) % 4] = 6.0
        return policy, value

    return fork, evaluate


@pytest.mark.parametrize("completing_wins", [True, False])
def test_a_completed_piece_is_valued_for_the_player_who_completed_it(completing_wins):
    """The child reached by completing a piece holds the chooser's value, not that of the player who acts
    next: the search completes the piece when that wins for the chooser and goes on with it when it would
    make the next player the winner."""
    fork, network = fork_network(completing_wins)
    for _ in range(3):  # the order of the children is drawn anew each search
        visits = search(fork, network, 24)
        assert visits.sum() == 24 and set(np.flatnonzero(visits)) <= {COMPLETES, CONTINUES}
        favoured, other = (COMPLETES, CONTINUES) if completing_wins else (CONTINUES, COMPLETES)
        assert visits[favoured] > 2 * visits[other], visits[[COMPLETES, CONTINUES]]


def test_one_network_call_serves_every_game_of_a_round():
    """The root expansions go out in one batch, then one leaf of every game per simulation; a finished game
    asks for nothing and gets no visits."""
    games = [Game(5), after(Game(5), 0), after(after(Game(5), 4), 3)]
    finished = Game(4)
    while not finished.is_terminal():
        finished.apply(finished.legal_tiles()[0])
    network = scripted({}, 5)
    visits = search_games(games, network, 7)
    assert visits.shape == (3, 25) and visits.dtype == np.uint32
    assert visits.sum(axis=1).tolist() == [7, 7, 7]
    assert network.calls == [3] * 8
    assert all(set(np.flatnonzero(v)) <= set(g.legal_tiles()) for g, v in zip(games, visits))
    assert search(finished, scripted({}, 4), 5).sum() == 0


def test_the_search_player_runs_the_same_search_as_self_play():
    """With distinct priors and values everywhere and no noise, the first action's visit counts of a
    self-play game are exactly those of the search player on a new board."""
    dim, sims = 5, 12

    def hashed(planes: np.ndarray):
        rng = np.random.default_rng(zlib.crc32(np.packbits(planes).tobytes()))
        return rng.normal(0.0, 1.0, dim * dim).tolist(), rng.normal(0.0, 1.5, 4).tolist()

    def batched(planes):
        answers = [hashed(p) for p in planes]
        return np.array([a[0] for a in answers]), np.array([a[1] for a in answers])

    visits = search(Game(dim), batched, sims)
    status, _, results = run_training_game(
        make_config(dim=dim, sims_per_move=sims, exploration_fraction=0.0), lambda request: hashed(request.planes)
    )
    assert status == 0
    first = results.records[0][1][1][0]
    assert {tile: round(p * sims) for tile, p in first} == {t: int(visits[t]) for t in Game(dim).legal_tiles()}


def test_a_network_that_cannot_answer_is_refused_in_one_place():
    game = Game(5)
    with pytest.raises(
        ValueError,
        match=r"^evaluate answered shapes \(1, 24\) and \(1, 4\) for 1 positions of a "
        r"5 x 5 board; expected \(1, 25\) and \(1, 4\)$",
    ):
        search(game, lambda planes: (np.zeros((1, 24)), np.zeros((1, 4))), 3)
    with pytest.raises(ZeroDivisionError, match="^the network's own$"):
        search(game, lambda planes: (_ for _ in ()).throw(ZeroDivisionError("the network's own")), 3)
    with pytest.raises(ValueError, match="^the games of one search must share a board side$"):
        search_games([Game(5), Game(6)], RandomPlayout(), 3)
    with pytest.raises(TypeError, match="^evaluate must be a callable or a RandomPlayout, not int$"):
        search(game, 3, 3)
    with pytest.raises(ValueError, match="^sims must be a whole number of at least 0, got -1$"):
        search(game, RandomPlayout(), -1)

    fork = the_fork()  # two children: once both are visited, NaN values leave nothing to choose
    two = np.full(FORK_DIM * FORK_DIM, -1e30, np.float32)
    two[[COMPLETES, CONTINUES]] = 0.0
    with pytest.raises(ValueError, match="^every selection score is NaN: the network's values are not numbers$"):
        search(fork, lambda planes: (np.tile(two, (len(planes), 1)), np.full((len(planes), 4), np.nan)), 4)


def test_a_random_playout_search_spends_every_simulation_on_legal_tiles():
    fork = the_fork()
    visits = search(fork, RandomPlayout(), 200)
    assert visits.sum() == 200 and set(np.flatnonzero(visits)) <= set(fork.legal_tiles())


# ---- the heuristic player -------------------------------------------------------------------------


def test_the_heuristic_takes_the_largest_piece_nearest_the_centre():
    """On a new 20 x 20 board a pentomino through the corner reaches (2, 2) at most, the cell nearest the
    centre; after it, the W-pentomino's cells (1, 2) and (2, 1) tie."""
    game = Game(20)
    assert heuristic_tiles(game) == [42]
    game.apply(42)
    assert heuristic_tiles(game) == [22, 41]


def test_the_heuristic_lays_the_largest_piece_that_fits_every_turn():
    sizes = {p.piece_id: p.size for p in pieces(9)}
    rng = np.random.default_rng(11)
    for _ in range(6):
        game = Game(9)
        while not game.is_terminal():
            player = game.current_player
            remaining = game.remaining_pieces(player)
            largest = max(sizes[remaining[i]] for moves in game.tile_moves().values() for i, _, _ in moves)
            laid = 0
            while not game.is_terminal() and game.current_player == player and (laid == 0 or game.turn_tiles):
                tiles = heuristic_tiles(game)
                assert tiles and set(tiles) <= set(game.legal_tiles())
                game.apply(int(rng.choice(tiles)))
                laid += 1
            assert laid == largest
            game.check_consistency()
        assert heuristic_tiles(game) == []


# ---- matches ----------------------------------------------------------------------------------------


def test_a_match_seats_the_player_in_each_seat_in_turn():
    rng = np.random.default_rng(3)
    asked: dict[int, set[int]] = {}

    class Recording(RandomPlayer):
        def choose(self, games):
            assert len(games) <= 3
            for game in games:
                asked.setdefault(id(game), set()).add(game.current_player)
            return super().choose(games)

    finals = []
    result = play_match(
        Recording(rng), HeuristicPlayer(rng), 10, 6, in_flight=3, on_game=lambda game, seat: finals.append((game, seat))
    )
    assert result.seats == (0, 1, 2, 3, 0, 1, 2, 3, 0, 1) and len(finals) == 10
    assert all(asked[id(game)] == {seat} for game, seat in finals)
    assert sorted(result.payoffs) == sorted(game.payoff()[seat] for game, seat in finals)
    assert [result.seat(s).games for s in range(4)] == [3, 3, 2, 2]
    assert result.overall().mean == pytest.approx(np.mean(result.payoffs))


def test_a_game_repeated_move_for_move_counts_once_and_few_games_give_no_interval():
    class FirstLegal:
        name = "first legal tile"

        def choose(self, games):
            return [game.legal_tiles()[0] for game in games]

    result = play_match(FirstLegal(), FirstLegal(), 9, 5)
    assert result.repeats == (False,) * 4 + (True,) * 5
    distinct = result.distinct()
    assert (distinct.seats, distinct.payoffs) == ((0, 1, 2, 3), result.payoffs[:4])
    assert distinct.overall().describe() == (
        f"mean payoff {np.mean(result.payoffs[:4]):.3f} over 4 games (too few for a 95% interval, which takes 10)"
    )
    rng = np.random.default_rng(8)
    varied = play_match(RandomPlayer(rng), RandomPlayer(rng), 12, 6)
    assert not any(varied.repeats) and varied.distinct() == varied
    assert varied.overall().describe().endswith(" (95% interval) over 12 games")


@pytest.mark.parametrize("root", [PUCT, GUMBEL])
def test_the_search_player_plays_legal_tiles_to_the_end(root):
    rng = np.random.default_rng(4)
    result = play_match(SearchPlayer(RandomPlayout(), 4, rng, root=root), RandomPlayer(rng), 4, 5)
    assert result.games == 4 and all(0.0 <= p <= 1.0 for p in result.payoffs)


def test_the_sampling_player_draws_legal_tiles_by_the_policys_odds():
    """A network whose logits favour the first legal tile by ln 3 over each other legal tile: it comes three
    times as often as each of them; tiles the rules forbid never come, however high their logits."""
    game = Game(6)
    legal = game.legal_tiles()
    logits = np.full(36, 50.0, dtype=np.float32)
    logits[legal] = 0.0
    logits[legal[0]] = np.log(3.0)

    def evaluate(planes):
        return np.tile(logits, (len(planes), 1)), np.zeros((len(planes), 4), dtype=np.float32)

    player = SampledPlayer(evaluate, np.random.default_rng(5))
    picks = player.choose([game] * 4000)
    assert set(picks) <= set(legal)
    share = picks.count(legal[0]) / len(picks)
    assert abs(share - 3 / (3 + len(legal) - 1)) < 0.03
