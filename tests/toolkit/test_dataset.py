"""Training positions read back from a run: inputs, policy and value targets, the window of latest games."""

from __future__ import annotations

import numpy as np
import pytest

from zelmor_lab import Game, heuristic_tiles
from zelmor_lab.loop.warm_start import warmup_window
from zelmor_lab.runs.store import CorruptShardError, RunWriter, session_record
from zelmor_lab.training.dataset import DatasetError, WindowBuilder, lambda_targets, load_window, value_targets

DIM = 7


def play_game(pick) -> Game:
    """A finished game in which every action is pick(legal tiles, action number)."""
    game = Game(DIM)
    while not game.is_terminal():
        game.apply(pick(game.legal_tiles(), len(game.history)))
    return game


def spread_policies(game: Game) -> list[list[tuple[int, float]]]:
    """Per action: the played tile with 0.6 and up to two other legal tiles sharing 0.4 (the last share
    is a 32-bit rounding short of a true distribution, as the engine's visit shares can be)."""
    replay, entries = Game(DIM), []
    for _, tile in game.history:
        others = [t for t in replay.legal_tiles() if t != tile][:2]
        entry = [(tile, 0.6)] + [(t, 0.4 / len(others) - 1e-7) for t in others] if others else [(tile, 1.0)]
        entries.append(entry)
        replay.apply(tile)
    return entries


def write_run(path, games, flush_every=100):
    """games: [(history, policies, payoff)], written in order."""
    with RunWriter(path, DIM, session_record("test", {}, {}), flush_every) as writer:
        for history, policies, payoff in games:
            writer.add(0, history, policies, payoff, "hand-made", 0.0)
        writer.flush()


@pytest.fixture(scope="module")
def first_legal_game() -> Game:
    return play_game(lambda legal, n: legal[0])


@pytest.fixture(scope="module")
def last_legal_game() -> Game:
    return play_game(lambda legal, n: legal[-1])


class TestTargets:
    def test_value_targets_put_the_player_to_act_first(self):
        payoff = np.array([0.1, 0.2, 0.3, 0.4])
        assert value_targets(payoff, np.array([0, 1, 2, 3])) == pytest.approx(
            np.array(
                [
                    [0.1, 0.2, 0.3, 0.4],
                    [0.2, 0.3, 0.4, 0.1],
                    [0.3, 0.4, 0.1, 0.2],
                    [0.4, 0.1, 0.2, 0.3],
                ]
            )
        )

    def test_lambda_targets_mix_the_payoff_with_later_values_within_each_game(self):
        """Two games worked out by hand: players 0, 0, 1 winning 1:0, then players 2, 3 splitting 0.5:0.5.
        The judge's values, relative to the player to act, name one absolute share vector per position."""
        builder = WindowBuilder(3)
        for players, payoff in (([0, 0, 1], [1.0, 0, 0, 0]), ([2, 3], [0, 0, 0.5, 0.5])):
            players = np.array(players)
            builder.add_game(np.zeros((len(players), 6), np.uint8), players, np.arange(len(players)), np.array(payoff))
        window = builder.build(np.zeros(6, np.int64), np.zeros(0, np.int64), np.zeros(0, np.float32))
        absolute = np.array(
            [[0.1, 0.2, 0.3, 0.4], [0.4, 0.3, 0.2, 0.1], [0.7, 0.1, 0.1, 0.1], [0, 1, 0, 0], [0.25] * 4]
        )
        judged = np.stack([np.roll(row, -p) for row, p in zip(absolute, window.position_player)])

        def relative(rows):  # absolute shares as each position's own targets
            return np.stack([np.roll(row, -p) for row, p in zip(rows, window.position_player)])

        assert np.array_equal(lambda_targets(window, judged, 1.0), window.value)
        one_on = relative([absolute[1], absolute[2], [1, 0, 0, 0], absolute[4], [0, 0, 0.5, 0.5]])
        assert lambda_targets(window, judged, 0.0) == pytest.approx(one_on)
        second = 0.5 * absolute[2] + 0.5 * np.array([1, 0, 0, 0])
        halves = relative(
            [
                0.5 * absolute[1] + 0.5 * second,
                second,
                [1, 0, 0, 0],
                0.5 * absolute[4] + [0, 0, 0.25, 0.25],
                [0, 0, 0.5, 0.5],
            ]
        )
        assert lambda_targets(window, judged, 0.5) == pytest.approx(halves)
        # Judged at turn starts only, an action bootstraps from the next judged position of its own game.
        starts = window.turn_starts()
        assert starts.tolist() == [0, 2, 3, 4]
        to_next_turn = relative([absolute[2], absolute[2], [1, 0, 0, 0], absolute[4], [0, 0, 0.5, 0.5]])
        assert lambda_targets(window, judged[starts], 0.0, starts) == pytest.approx(to_next_turn)
        assert lambda_targets(window, judged[[0]], 0.0, np.array([0])) == pytest.approx(window.value)

    def test_each_position_matches_its_replayed_game(self, tmp_path, last_legal_game):
        """Inputs are the planes before each action; the value target, rotated back as the engine reads
        the value head (entry i belongs to player (i + player to act) mod 4), is the payoff."""
        game = last_legal_game
        payoff = [0.1, 0.2, 0.3, 0.4]
        policies = spread_policies(game)
        write_run(tmp_path / "run", [(game.history, policies, payoff)])
        window = load_window(tmp_path / "run", 10)
        assert (window.games, window.positions) == (1, len(game.history))
        batch = window.batch(np.arange(window.positions))

        players = [player for player, _ in game.history]
        assert set(players) == {0, 1, 2, 3}, "the hand-made game lets every player act"
        replay = Game(DIM)
        for i, (player, tile) in enumerate(game.history):
            assert batch.planes[i].tolist() == np.asarray(replay.state(False), dtype=np.float32).tolist()
            absolute = [batch.value[i][(k - player) % 4] for k in range(4)]
            assert absolute == pytest.approx(payoff)
            final_squares = [batch.squares[i][(k - player) % 4] * 89 for k in range(4)]
            assert final_squares == pytest.approx([players.count(k) for k in range(4)])
            # Every position sees the same final board, its owners renumbered from the player to act.
            owners = np.zeros(DIM * DIM, dtype=np.int64)
            for owner, covered in game.history:
                owners[covered] = (owner - player) % 4 + 1
            assert batch.ownership[i].tolist() == owners.tolist()
            replay.apply(tile)
        assert (batch.ownership[0] == 0).any(), "the hand-made game leaves some cells empty"

    def test_policy_targets_are_dense_distributions_over_the_candidates(self, tmp_path, last_legal_game):
        game = last_legal_game
        policies = spread_policies(game)
        write_run(tmp_path / "run", [(game.history, policies, [0.0, 0.0, 1.0, 0.0])])
        window = load_window(tmp_path / "run", 1)
        batch = window.batch(np.arange(window.positions)[::-1])  # any order of positions
        for row, entry in zip(batch.policy, reversed(policies)):
            assert row.shape == (DIM * DIM,)
            assert row.sum() == pytest.approx(1.0, abs=1e-6)
            expected = np.zeros(DIM * DIM)
            for tile, p in entry:
                expected[tile] = p
            assert row == pytest.approx(expected / expected.sum(), abs=1e-6)

    def test_sampled_batch_has_the_network_shapes(self, tmp_path, first_legal_game):
        write_run(tmp_path / "run", [(first_legal_game.history, spread_policies(first_legal_game), [0, 0, 1, 0])])
        batch = load_window(tmp_path / "run", 1).sample(np.random.default_rng(0), 5)
        assert batch.planes.shape == (5, 5, DIM, DIM) and batch.planes.dtype == np.float32
        assert batch.policy.shape == (5, DIM * DIM) and batch.value.shape == batch.squares.shape == (5, 4)
        assert batch.ownership.shape == (5, DIM * DIM) and batch.ownership.dtype == np.int64


class TestWindow:
    def test_window_holds_the_latest_games_across_shards(self, tmp_path, first_legal_game, last_legal_game):
        """Five games in three shards; each game's payoff names it. A window of 3 reaches into the
        middle shard and keeps only its last game."""
        games = []
        for k in range(5):
            game = first_legal_game if k % 2 else last_legal_game
            games.append((game.history, spread_policies(game), [k / 10, 0.0, 0.0, 0.0]))
        write_run(tmp_path / "run", games, flush_every=2)
        assert len(list((tmp_path / "run" / "games").glob("*.parquet"))) == 3

        window = load_window(tmp_path / "run", 3)
        assert window.games == 3
        kept = games[2:]
        assert window.positions == sum(len(history) for history, _, _ in kept)
        assert sorted({round(float(v), 3) for v in window.value.max(axis=1)}) == [0.2, 0.3, 0.4]

        whole = load_window(tmp_path / "run", 100)
        assert whole.games == 5 and whole.positions == sum(len(history) for history, _, _ in games)

    def test_empty_run_has_nothing_to_train_on(self, tmp_path):
        RunWriter(tmp_path / "run", DIM, session_record("test", {}, {}), 1).close()
        with pytest.raises(DatasetError, match=r"^.*/run holds no games to train on$"):
            load_window(tmp_path / "run", 5)

    def test_game_that_does_not_replay_is_named(self, tmp_path, first_legal_game):
        history = list(first_legal_game.history)
        history[3] = (history[3][0], history[0][1])  # a tile taken twice
        write_run(tmp_path / "run", [(history, spread_policies(first_legal_game), [1, 0, 0, 0])])
        with pytest.raises(DatasetError, match=r"does not replay: history entry 3: tile \d+ is not legal$"):
            load_window(tmp_path / "run", 5)

    def test_policy_outside_the_board_is_refused(self, tmp_path, first_legal_game):
        policies = spread_policies(first_legal_game)
        policies[4] = [(DIM * DIM, 1.0)]
        write_run(tmp_path / "run", [(first_legal_game.history, policies, [1, 0, 0, 0])])
        with pytest.raises(DatasetError, match=r"has a policy tile outside the 7 x 7 board$"):
            load_window(tmp_path / "run", 5)

    def test_policy_without_mass_is_refused(self, tmp_path, first_legal_game):
        policies = spread_policies(first_legal_game)
        policies[2] = [(tile, 0.0) for tile, _ in policies[2]]
        write_run(tmp_path / "run", [(first_legal_game.history, policies, [1, 0, 0, 0])])
        with pytest.raises(DatasetError, match=r"has a policy that is not a distribution over its tiles$"):
            load_window(tmp_path / "run", 5)

    def test_an_empty_policy_is_a_position_without_policy_target(self, tmp_path, first_legal_game):
        """A fast search's action: its input and value target as any other's, a policy row of zeros."""
        policies = spread_policies(first_legal_game)
        fast = [0, 3, len(policies) - 1]
        for i in fast:
            policies[i] = []
        write_run(tmp_path / "run", [(first_legal_game.history, policies, [0.0, 1.0, 0.0, 0.0])])
        window = load_window(tmp_path / "run", 1)
        assert window.positions == len(first_legal_game.history)
        batch = window.batch(np.arange(window.positions))
        sums = batch.policy.sum(axis=1)
        assert sums[fast].tolist() == [0.0] * len(fast)
        assert np.delete(sums, fast) == pytest.approx(1.0, abs=1e-6)
        assert batch.value.sum(axis=1) == pytest.approx(1.0)

    def test_corrupt_shard_in_the_window_is_named(self, tmp_path, first_legal_game):
        write_run(tmp_path / "run", [(first_legal_game.history, spread_policies(first_legal_game), [1, 0, 0, 0])])
        shard = next((tmp_path / "run" / "games").glob("*.parquet"))
        shard.write_bytes(shard.read_bytes()[:-40])
        with pytest.raises(CorruptShardError, match=str(shard)):
            load_window(tmp_path / "run", 5)


@pytest.mark.parametrize("heuristic_share", [0.0, 1.0])
def test_warm_start_positions_learn_the_heuristics_tiles_and_the_final_squares(heuristic_share):
    window = warmup_window(games=3, dim=8, seed=7, heuristic_share=heuristic_share)
    batch = window.batch(np.arange(window.positions))
    legal = batch.planes[:, 4].reshape(window.positions, -1) > 0
    # Every position's policy is spread evenly over tiles its input marks as legal, the heuristic's.
    assert (batch.policy > 0).any(1).all() and not (batch.policy > 0)[~legal].any()
    assert np.allclose(batch.policy.sum(1), 1.0)
    assert np.allclose(batch.policy.max(1) * (batch.policy > 0).sum(1), 1.0)
    # A game starts on an empty board; all of its positions share its outcome and its final squares,
    # which count one square per position of the game.
    starts = np.flatnonzero(batch.planes[:, :4].reshape(window.positions, -1).sum(1) == 0)
    assert len(starts) == window.games == 3
    first = Game(8)
    assert set(np.flatnonzero(batch.policy[starts[0]])) == set(heuristic_tiles(first))
    for begin, end in zip(starts, [*starts[1:], window.positions]):
        assert np.allclose(batch.value[begin:end].sum(1), 1.0)
        assert np.allclose(batch.squares[begin:end].sum(1) * 89, end - begin)
    again = warmup_window(games=3, dim=8, seed=7, heuristic_share=heuristic_share)
    assert np.array_equal(again.planes, window.planes) and np.array_equal(again.candidate_tiles, window.candidate_tiles)


def test_a_window_after_another_keeps_each_positions_targets(tmp_path, first_legal_game, last_legal_game):
    """The warm start's games before a run's: every position keeps its own policy, value and final board."""
    write_run(tmp_path / "run", [(last_legal_game.history, spread_policies(last_legal_game), [0.0, 1.0, 0.0, 0.0])])
    newer = load_window(tmp_path / "run", 5)
    older = warmup_window(games=2, dim=DIM, seed=3)
    joined = newer.after(older)
    assert (joined.games, joined.positions) == (3, older.positions + newer.positions)
    everything = joined.batch(np.arange(joined.positions))
    for part, rows in ((older, slice(0, older.positions)), (newer, slice(older.positions, None))):
        alone = part.batch(np.arange(part.positions))
        for name in ("planes", "policy", "value", "squares", "ownership"):
            assert np.array_equal(getattr(everything, name)[rows], getattr(alone, name)), name
