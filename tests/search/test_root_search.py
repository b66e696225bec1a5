"""The root searches on positions small enough to reason about: the Gumbel search finds a winning tile the
prior nearly rules out where PUCT at the same budget does not, Sequential Halving spends exactly the budget,
the self-play target is a distribution over the legal tiles; PUCT valuing an unvisited child at its
parent's mean tries that tile within a budget where valuing it at 0 does not."""

import numpy as np
import pytest

from stand_ins import FAR_BELOW, make_config, policy, replay_training_record, run_training_game
from zelmor_lab import Game, search_games
from zelmor_lab.play.tree_search import RootSearch, gumbel_search_games

FAVOURITE, WINNER = 0, 4  # both legal first tiles of player 0 on a new 6 x 6 board (the five-long piece)


def losing_favourite(planes: np.ndarray, favourite_value: float = -10.0):
    """At the root the prior puts 98% on FAVOURITE and under 2% on WINNER. Whoever covers FAVOURITE loses
    (with the default value logit); otherwise whoever covers WINNER wins; a position with neither is even.
    Below the root, uniform priors."""
    batch, _, dim, _ = planes.shape
    cells = planes[:, :4].reshape(batch, 4, dim * dim)
    policies = np.zeros((batch, dim * dim), dtype=np.float32)
    values = np.zeros((batch, 4), dtype=np.float32)
    for b in range(batch):
        if not cells[b].any():
            policies[b] = policy(dim, {FAVOURITE: 0.0, WINNER: -4.0})
        if cells[b, :, FAVOURITE].any():
            values[b, np.argmax(cells[b, :, FAVOURITE])] = favourite_value
        elif cells[b, :, WINNER].any():
            values[b, np.argmax(cells[b, :, WINNER])] = 10.0
    return policies, values


def test_gumbel_finds_the_low_prior_winner_that_puct_misses():
    game = Game(6)
    assert {FAVOURITE, WINNER} <= set(game.legal_tiles())
    visits = search_games([game], losing_favourite, 16)[0]
    assert visits[WINNER] == 0 and visits[FAVOURITE] == 16  # PUCT needs about 55 simulations to try it

    target, chosen = gumbel_search_games([game], losing_favourite, 16, RootSearch("gumbel", gumbel_actions=16))
    assert chosen.tolist() == [WINNER]
    assert target[0, WINNER] > 0.99
    assert np.flatnonzero(target[0]).tolist() == [FAVOURITE, WINNER]  # the root's only two children


def test_puct_tries_the_low_prior_tile_sooner_from_the_parents_mean():
    """FAVOURITE merely even (0.25 for its player): from a value of 0, WINNER would need some 250 simulations
    to be tried; from the parent's mean, about 55."""

    def even_favourite(planes):
        return losing_favourite(planes, favourite_value=0.0)

    game = Game(6)
    assert search_games([game], even_favourite, 64)[0][WINNER] == 0
    assert search_games([game], even_favourite, 64, first_play="parent")[0][WINNER] > 0


@pytest.mark.parametrize("actions, sims", [(16, 16), (16, 5), (4, 24), (3, 31), (1, 7), (16, 100)])
def test_sequential_halving_spends_exactly_the_budget(actions, sims):
    batches = []

    def counting(planes):
        batches.append(len(planes))
        return np.zeros((len(planes), planes.shape[2] ** 2), np.float32), np.zeros((len(planes), 4), np.float32)

    games = [Game(8), Game(8)]
    games[1].apply(games[1].legal_tiles()[0])
    target, chosen = gumbel_search_games(games, counting, sims, RootSearch("gumbel", gumbel_actions=actions))
    assert batches == [2] * (1 + sims)  # the roots, then one leaf of each game per simulation: none terminal
    for game, shares, tile in zip(games, target, chosen):
        assert tile in game.legal_tiles()
        assert shares.sum() == pytest.approx(1.0, abs=1e-5)


def test_the_training_target_is_the_improved_policy_over_the_legal_tiles():
    def network(request):
        # Priors and values that differ from tile to tile and position to position.
        logits = {tile: float((tile * 7919 + len(request.legal)) % 13) / 4 for tile in request.legal}
        return policy(request.dim, logits, FAR_BELOW), [float(k == len(request.legal) % 4) for k in range(4)]

    config = make_config(dim=5, sims_per_move=6, sample_moves=8, root_search="gumbel", gumbel_actions=4)
    status, service, results = run_training_game(config, network)
    assert status == 0
    history, policies, _ = results.records[0][1]
    game = Game(5)
    for (_, tile), entry in zip(history, policies):
        tiles = [t for t, _ in entry]
        assert sorted(tiles) == sorted(game.legal_tiles())
        assert sum(p for _, p in entry) == pytest.approx(1.0, abs=1e-5)
        assert tile in tiles
        game.apply(tile)
    replay_training_record(results.records[0], 1, 5)


def test_the_training_game_takes_its_first_play_value_from_the_settings():
    """Self-play values an unvisited child as its settings say: the first action's 64 simulations (no noise
    mixed in) try WINNER only from the parent's mean, as the search player's do."""

    def network(request):
        policies, values = losing_favourite(request.planes[None], favourite_value=0.0)
        return policies[0].tolist(), values[0].tolist()

    for first_play, tried in (("zero", False), ("parent", True)):
        config = make_config(dim=6, sims_per_move=64, exploration_fraction=0.0, first_play=first_play)
        status, _, results = run_training_game(config, network)
        assert status == 0
        first_entry = dict(results.records[0][1][1][0])
        assert (first_entry.get(WINNER, 0.0) > 0) is tried, first_play
