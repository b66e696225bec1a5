"""Whole self-play games: the training record, its replay through the rules, and how a game ends when the
network or the result queue fails."""

import math
import sys
import threading
import time

import pytest

import zelmor_self_play
from stand_ins import (
    FAR_BELOW,
    Endless,
    Request,
    ResultQueue,
    Service,
    is_nan,
    make_config,
    policy,
    replay_training_record,
    run_training_game,
    uniform_network,
)
from zelmor_lab import Game


def check_entries(record, dim: int, admitted, fast: bool = False) -> None:
    """Each policy entry lists exactly the tiles the network admitted at that action's position, once each,
    with probabilities summing to 1, and the tile played is among them. With ``fast``, empty entries (fast
    actions) are passed over."""
    history, policies, payoff = record[1]
    game = Game(dim)
    for i, ((_, tile), entry) in enumerate(zip(history, policies)):
        if fast and not entry:
            game.apply(tile)
            continue
        tiles = [t for t, _ in entry]
        assert len(set(tiles)) == len(tiles)
        assert sorted(tiles) == admitted(game), f"action {i}"
        assert math.fsum(p for _, p in entry) == pytest.approx(1.0, abs=1e-6)
        assert all(0.0 <= p <= 1.0 for _, p in entry)
        assert tile in tiles
        game.apply(tile)
    assert len(payoff) == 4 and math.fsum(payoff) == pytest.approx(1.0, abs=1e-6)


def some_tiles_network(request: Request):
    """Admits the legal tiles in even rows only (the smallest legal tile when there are none); gives huge
    logits to every illegal tile."""
    admitted = even_row_tiles(request.legal, request.dim)
    logits = [1e6] * request.dim**2
    for t in request.legal:
        logits[t] = 0.0 if t in admitted else FAR_BELOW
    return logits, [0.3, -1.0, 2.0, 0.0]


def even_row_tiles(legal, dim):
    return [t for t in legal if (t // dim) % 2 == 0] or legal[:1]


@pytest.mark.parametrize("dim,rep,sims,sample_moves", [(4, 1, 6, 0), (5, 2, 3, 10), (6, 1, 2, 1000)])
def test_a_game_replays_legally_with_one_entry_per_action(dim, rep, sims, sample_moves):
    config = make_config(dim=dim, rep=rep, sims_per_move=sims, sample_moves=sample_moves)
    for worker in (0, -3):
        status, service, results = run_training_game(config, uniform_network, worker=worker)
        assert type(status) is int and status == 0 and len(results.records) == 1
        replay_training_record(results.records[0], worker, dim)
        check_entries(results.records[0], dim, lambda game: game.legal_tiles())
        assert {r.worker for r in service.requests} == {worker}


def test_entries_list_only_the_admitted_tiles():
    config = make_config(dim=6, sims_per_move=5, sample_moves=20)
    status, _, results = run_training_game(config, some_tiles_network)
    assert status == 0
    replay_training_record(results.records[0], 1, 6)
    check_entries(results.records[0], 6, lambda game: even_row_tiles(game.legal_tiles(), 6))


# ----------------------------------------------------------------------------------------------------------
# Fast searches: a share of the actions searched with fewer simulations and no policy target


@pytest.mark.parametrize("root_search", ["puct", "gumbel"])
def test_fast_actions_leave_empty_entries_and_spend_fast_sims(root_search):
    """About half the actions are full (entries as without the option), the others fast: an empty entry,
    and at most one root evaluation and fast_sims leaf evaluations."""
    sims, fast = 12, 2
    config = make_config(
        dim=6, sims_per_move=sims, sample_moves=10, root_search=root_search, full_search_share=0.5, fast_sims=fast
    )
    status, service, results = run_training_game(config, uniform_network)
    assert status == 0
    replay_training_record(results.records[0], 1, 6)
    policies = results.records[0][1][1]
    full = [i for i, entry in enumerate(policies) if entry]
    assert 0 < len(full) < len(policies)
    check_entries(results.records[0], 6, lambda game: game.legal_tiles(), fast=True)
    assert len(service.requests) <= len(full) * (sims + 1) + (len(policies) - len(full)) * (fast + 1)


def favourite_network(request: Request):
    """The smallest legal tile far ahead of the other legal tiles, which keep small positive priors."""
    logits = {t: -3.0 for t in request.legal}
    logits[request.legal[0]] = 0.0
    return policy(request.dim, logits), [0.0, 0.0, 0.0, 0.0]


def test_fast_actions_go_without_root_noise():
    """With all-noise roots (exploration_fraction 1) a full search plays anything, while fast searches,
    greedy, play the network's favourite every time."""
    noisy = dict(dim=6, sample_moves=0, exploration_fraction=1.0)
    config = make_config(**noisy, sims_per_move=1000, full_search_share=1e-6, fast_sims=2)  # a full one: 1 in 10^6
    status, service, results = run_training_game(config, favourite_network)
    assert status == 0
    history, policies, _ = results.records[0][1]
    assert all(entry == [] for entry in policies)
    assert len(service.requests) <= len(history) * 3
    replay_training_record(results.records[0], 1, 6)
    assert [tile for _, tile in history] == favourites(history, 6)

    status, _, results = run_training_game(make_config(**noisy, sims_per_move=1), favourite_network)
    history = results.records[0][1][0]
    assert [tile for _, tile in history] != favourites(history, 6)


def favourites(history, dim: int) -> list[int]:
    """The smallest legal tile at each position of the game ``history`` played."""
    game, smallest = Game(dim), []
    for _, tile in history:
        smallest.append(min(game.legal_tiles()))
        game.apply(tile)
    return smallest


def failing_at(k: int, failure):
    """A uniform network whose k-th request (counting from 0) fails in the given way."""
    seen = []

    def network(request: Request):
        seen.append(request)
        if len(seen) - 1 == k:
            return failure(request)
        return uniform_network(request)

    return network


def raise_eof(request):
    raise EOFError("service gone")


FAILURES = {
    "recv raises": raise_eof,
    "policy is a string": lambda r: ("x", [0.0] * 4),
    "values hold a string": lambda r: ([0.0] * r.dim**2, [0.0, "1", 0.0, 0.0]),
    "reply too short": lambda r: ([0.0] * r.dim**2,),
    "policy never ends": lambda r: (Endless(), [0.0] * 4),
}


@pytest.mark.parametrize("failure", list(FAILURES))
@pytest.mark.parametrize("k", [0, 1, 40])
def test_a_failed_evaluation_abandons_the_game(failure, k, capfd):
    """At the root (request 0), at a leaf (1) or deep in the game (40): status 1, nothing posted or printed.
    A 6 x 6 game makes 74 requests or more at 4 simulations per action (300 games); a 5 x 5 one can end
    after 32, before the 41st request comes."""
    status, service, results = run_training_game(make_config(dim=6, sims_per_move=4), failing_at(k, FAILURES[failure]))
    assert status == 1 and results.records == []
    assert len(service.requests) == k + 1
    assert capfd.readouterr() == ("", "")


def test_a_raising_request_queue_abandons_the_game():
    class Flaky:
        def __init__(self, queue):
            self.queue, self.calls = queue, 0

        def put(self, request):
            self.calls += 1
            if self.calls == 30:
                raise BrokenPipeError("queue full")
            self.queue.put(request)

    service, results = Service(uniform_network), ResultQueue()
    flaky = Flaky(service.inference_queue)
    status = zelmor_self_play.play_training_game(1, make_config(dim=5), results, flaky, service.pipe)
    assert status == 1 and results.records == [] and flaky.calls == 30


@pytest.mark.parametrize("queue", [ResultQueue(error=OSError("collector gone")), object(), None])
def test_a_failing_result_queue_is_ignored(queue):
    status, _, _ = run_training_game(make_config(dim=4, sims_per_move=2), uniform_network, results=queue)
    assert status == 0
    assert sys.exc_info() == (None, None, None)
    if isinstance(queue, ResultQueue):
        assert len(queue.records) == 1  # it was offered the record once
        replay_training_record(queue.records[0], 1, 4)
    assert run_training_game(make_config(dim=4, sims_per_move=1), uniform_network)[0] == 0


def test_a_fatal_error_mid_game_posts_nothing(panic_exception):
    """A policy too short for a legal tile, met after some actions were played, ends the call."""

    def short_later(request: Request):
        logits, values = uniform_network(request)
        return (logits[: request.legal[-1]] if request.planes[:4].sum() >= 6 else logits), values

    results = ResultQueue()
    with pytest.raises(panic_exception):
        run_training_game(make_config(dim=5, sims_per_move=3), short_later, results=results)
    assert results.records == []


def test_games_in_several_threads_share_nothing():
    """Calls from several Python threads interleave wherever a stand-in releases the interpreter lock; each
    still plays its own game with its own id."""

    def yielding(request: Request):
        time.sleep(0)
        return uniform_network(request)

    outcomes = {}

    def play(worker):
        outcomes[worker] = run_training_game(
            make_config(dim=4, sims_per_move=3, sample_moves=5), yielding, worker=worker
        )

    threads = [threading.Thread(target=play, args=(worker,)) for worker in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert sorted(outcomes) == [0, 1, 2, 3]
    for worker, (status, service, results) in outcomes.items():
        assert status == 0
        replay_training_record(results.records[0], worker, 4)
        assert {r.worker for r in service.requests} == {worker}


def test_no_simulations_give_nan_entries_that_still_replay():
    status, _, results = run_training_game(make_config(dim=4, sims_per_move=0), uniform_network)
    assert status == 0
    replay_training_record(results.records[0], 1, 4)
    assert all(is_nan(p) for entry in results.records[0][1][1] for _, p in entry)
