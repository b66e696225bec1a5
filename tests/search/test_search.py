"""The tree search, seen through the self-play record: each policy entry is the visit distribution over the
children of that action's search root, in the root's walking order, and every leaf evaluation is one
request. Scripted networks on small boards make the searches predictable."""

import math
import zlib

import numpy as np
import pytest

import zelmor_self_play
from stand_ins import (
    Request,
    ResultQueue,
    Service,
    is_nan,
    make_config,
    planes_of,
    policy,
    replay_training_record,
    run_training_game,
    smallest_tile_network,
    uniform_network,
)
from zelmor_lab import Game

f32 = np.float32


def hashed_network(request: Request):
    """A deterministic network: pseudo-random logits drawn from the position, so that no two tiles share a
    prior and values differ from position to position and from player to player."""
    rng = np.random.default_rng(zlib.crc32(np.packbits(request.planes).tobytes()))
    return rng.normal(0.0, 1.0, request.dim**2).tolist(), rng.normal(0.0, 1.5, 4).tolist()


def counts_of(entry, total: int) -> dict[int, int]:
    """Visit counts behind one policy entry whose counts sum to `total`; each probability must be exactly the
    32-bit quotient of its count."""
    counts = {tile: round(p * total) for tile, p in entry}
    assert all(p == float(f32(counts[tile]) / f32(total)) for tile, p in entry), (entry, total)
    assert sum(counts.values()) == total
    return counts


def greedy_tile(entry) -> int:
    """The most visited tile of an entry; among equal counts the last in the root's walking order."""
    best = max(p for _, p in entry)
    return [tile for tile, p in entry if p == best][-1]


# ----------------------------------------------------------------------------------------------------------
# A model of the search, to predict whole records


class Ambiguous(Exception):
    """Two selection scores too close to tell apart across 32-bit rounding differences, or tied at a node
    whose walking order the record does not show."""


class Node:
    __slots__ = ("children", "player", "value_sum", "visits", "prior")

    def __init__(self, prior):
        self.children: dict[int, Node] = {}
        self.player = 0
        self.value_sum = f32(0.0)
        self.visits = 0
        self.prior = f32(prior)


def softmax32(x: np.ndarray) -> np.ndarray:
    """float32 (n,) -> float32 (n,): max subtracted first, NaN-ignoring max, sum from first to last."""
    if len(x) == 0:
        return x
    m = f32(-np.inf)
    for v in x:
        m = np.fmax(m, v)
    e = np.exp(x - m)
    s = f32(-0.0)
    for v in e:
        s = f32(s + v)
    return e / s


class ReferenceSearch:
    """Follows a training game's record with its own tree, driven by the same network: predicts every
    request and every action's visit counts. Needs `exploration_fraction` 0 (noise drawn but unused)."""

    def __init__(self, network, config):
        assert config.exploration_fraction == 0.0
        self.network = network
        self.sims = config.sims_per_move
        self.c_base, self.c_init = f32(config.c_base), f32(config.c_init)
        self.requests: list[np.ndarray] = []

    def evaluate(self, node: Node, game: Game) -> np.ndarray:
        if game.is_terminal():
            return np.array(game.payoff(), f32)
        planes = planes_of(game)
        self.requests.append(planes)
        logits, value_logits = self.network(Request("inference", 0, planes))
        legal = game.legal_tiles()
        priors = softmax32(np.array(logits, np.float64).astype(f32)[legal])
        values = np.roll(softmax32(np.array(value_logits, np.float64).astype(f32)), game.current_player)
        node.player = game.current_player
        for tile, prior in zip(legal, priors):
            if prior > 0:
                node.children[tile] = Node(prior)
        return values

    def exploration(self, node: Node) -> np.float32:
        n = f32(node.visits)
        t = f32(f32(f32(self.c_base + n) + f32(1.0)) / self.c_base)
        return f32(np.sqrt(n) * f32(self.c_init + np.log(t)))

    def select(self, node: Node, order: list[int] | None) -> int:
        e = self.exploration(node)
        scores = {}
        for action, child in node.children.items():
            n = f32(child.visits)
            q = f32(child.value_sum / n) if child.visits else f32(0.0)
            scores[action] = f32(q + f32(child.prior * f32(e / f32(n + f32(1.0)))))
        best = max(scores.values())
        close = [a for a, s in scores.items() if s >= best - 2e-6 * abs(best) - 1e-12]
        if len(close) == 1:
            return close[0]
        if order is not None and all(scores[a] == best for a in close):
            return [a for a in order if a in close][-1]
        raise Ambiguous(scores)

    def backup(self, root: Node, path: list[int], values: np.ndarray) -> None:
        node = root
        for action in path:
            chooser = node.player
            node = node.children[action]
            node.visits += 1
            node.value_sum = f32(values[chooser] + node.value_sum)

    def search(self, root: Node, game: Game, order: list[int]) -> None:
        if not root.children:
            self.evaluate(root, game)
        for _ in range(self.sims):
            root.visits += 1
            copy, node, path = game.copy(), root, []
            while node.children:
                action = self.select(node, order if node is root else None)
                copy.apply(action)
                path.append(action)
                node = node.children[action]
            self.backup(root, path, self.evaluate(node, copy))

    def follow(self, record, dim: int) -> tuple[int, int]:
        """Replays the record; returns (actions whose entry and choice it confirmed, requests predicted up to
        the first action it could not predict). An unpredicted entry or choice fails the test."""
        history, policies, _ = record[1]
        game, root = Game(dim), Node(0.0)
        for i, ((_, tile), entry) in enumerate(zip(history, policies)):
            requests_before = len(self.requests)
            order = [t for t, _ in entry]
            try:
                self.search(root, game, order)
            except Ambiguous:
                return i, requests_before
            assert order and sorted(order) == sorted(root.children), f"action {i}: entry lists other tiles"
            counts = {t: root.children[t].visits for t in order}
            total = sum(counts.values())
            expected = [(t, float(f32(counts[t]) / f32(total))) for t in order]
            assert entry == expected, f"action {i}"
            assert tile == greedy_tile(entry), f"action {i}: greedy choice"
            game.apply(tile)
            root = root.children[tile]
        return len(history), len(self.requests)


def test_model_reproduces_the_worked_example():
    """c_base 10, c_init 1, a node with 4 visits: a child with 1 visit, value sum 0.5 and prior 0.5 scores
    1.203 and beats an unvisited child with prior 0.2 (0.562)."""
    model = ReferenceSearch(None, make_config(c_base=10.0, c_init=1.0, exploration_fraction=0.0))
    node, visited, fresh = Node(0.0), Node(0.5), Node(0.2)
    node.visits, visited.visits, visited.value_sum = 4, 1, f32(0.5)
    node.children = {3: visited, 8: fresh}
    e = model.exploration(node)
    assert e == pytest.approx(2.811, abs=1e-3)
    assert visited.value_sum / 1 + visited.prior * e / 2 == pytest.approx(1.203, abs=1e-3)
    assert fresh.prior * e == pytest.approx(0.562, abs=1e-3)
    assert model.select(node, None) == 3


@pytest.mark.parametrize("c_base,c_init,rep", [(10.0, 1.0, 1), (19652.0, 1.25, 2), (1.0, 0.5, 1)])
def test_searches_follow_the_selection_rule(c_base, c_init, rep):
    """Exact visit counts and requests of whole games against a model of the rule: the root counting one
    visit per simulation, last of equal scores at the root, values rotated to absolute players and
    accumulated in each node for the player who chose it, terminal leaves scored by the payoff."""
    config = make_config(
        dim=4, rep=rep, sims_per_move=16, sample_moves=0, c_base=c_base, c_init=c_init, exploration_fraction=0.0
    )
    confirmed = 0
    for worker in range(3):
        status, service, results = run_training_game(config, hashed_network, worker=worker)
        assert status == 0
        record = results.records[0]
        replay_training_record(record, worker, 4)
        model = ReferenceSearch(hashed_network, config)
        actions, requests = model.follow(record, 4)
        confirmed += actions
        assert len(service.requests) >= requests
        assert all(
            np.array_equal(sent.planes, predicted)
            for sent, predicted in zip(service.requests[:requests], model.requests[:requests])
        )
        if actions == len(record[1][0]):
            assert len(service.requests) == len(model.requests)
    assert confirmed >= 20


# A line of play on a 5 x 5 board to a position where player 2 may take tile 12, which ends the game with
# player 2 the only winner, or tile 6, which completes the piece and hands the turn to player 3.
TO_THE_END = [4, 3, 2, 0, 1, 18, 21, 23, 22, 24, 5, 16, 20, 10, 15, 9, 7, 14, 8]


def fork_at_the_end(request: Request):
    """Follows TO_THE_END with one child per node, offers tiles 12 and 6 at its end, then the smallest tile."""
    taken = int(request.planes[:4].sum())
    if taken < len(TO_THE_END):
        return policy(5, {TO_THE_END[taken]: 0.0}), [0.0] * 4
    if taken == len(TO_THE_END):
        return policy(5, {12: 0.0, 6: -0.5}), [0.0] * 4
    return policy(5, {request.legal[0]: 0.0}), [0.0] * 4


def test_a_terminal_leaf_holds_the_choosers_payoff():
    """Tile 12 ends the game with player 2 the only winner; the terminal child is never expanded, yet it holds
    player 2's payoff, so player 2 takes it rather than tile 6, which hands the turn on at an even value."""
    game = Game(5)
    for tile in TO_THE_END + [12]:
        game.apply(tile)
    assert game.is_terminal() and game.payoff() == [0.0, 0.0, 1.0, 0.0] and game.current_player == 2

    config = make_config(dim=5, sims_per_move=8, exploration_fraction=0.0)
    for worker in range(3):
        status, service, results = run_training_game(config, fork_at_the_end, worker=worker)
        assert status == 0
        record = results.records[0]
        replay_training_record(record, worker, 5)
        model = ReferenceSearch(fork_at_the_end, config)
        actions, requests = model.follow(record, 5)
        assert actions == len(record[1][0]) == len(TO_THE_END) + 1
        assert record[1][0][-1] == (2, 12) and record[1][2] == [0.0, 0.0, 1.0, 0.0]
        assert [r.planes.tolist() for r in service.requests] == [p.tolist() for p in model.requests]


# ----------------------------------------------------------------------------------------------------------
# Hand-worked cases


def favourite_network(request: Request):
    """Prefers the largest legal tile (prior about e^2 times any other's), with even values everywhere."""
    return policy(request.dim, {request.legal[-1]: 2.0}, rest=0.0), [0.0, 0.0, 0.0, 0.0]


def test_the_first_roots_visits_follow_the_priors():
    """The first root of a game counts its visits from the first simulation on, so the priors steer it: the
    favourite takes the most visits, and with even priors the visits spread over many tiles."""
    for network, sims in ((favourite_network, 12), (uniform_network, 24)):
        for worker in range(3):
            config = make_config(dim=5, sims_per_move=sims, sample_moves=0, exploration_fraction=0.0)
            status, _, results = run_training_game(config, network, worker=worker)
            assert status == 0
            history, policies, _ = results.records[0][1]
            counts = counts_of(policies[0], sims)
            if network is favourite_network:
                favourite = Game(5).legal_tiles()[-1]
                assert counts[favourite] == max(counts.values()) > sims // 3 and history[0][1] == favourite
            else:
                assert sum(c > 0 for c in counts.values()) >= 6


@pytest.mark.parametrize("sims", [1, 3, 40])
def test_a_line_of_single_children(sims):
    """With one child per node no noise is drawn, so a non-positive `dirichlet_alpha` is never examined;
    each position along the line is sent once, terminal ones never, whatever the simulation count."""
    for alpha in (0.0, math.nan):
        config = make_config(dim=4, sims_per_move=sims, dirichlet_alpha=alpha, exploration_fraction=math.nan)
        status, service, results = run_training_game(config, smallest_tile_network)
        assert status == 0
        history, policies, payoff = results.records[0][1]
        game = Game(4)
        for (_player, tile), entry in zip(history, policies):
            assert entry == [(game.legal_tiles()[0], 1.0)] and tile == entry[0][0]
            assert np.array_equal(service.requests[len(game.history)].planes, planes_of(game))
            game.apply(tile)
        assert len(service.requests) == len(history)
        assert payoff == game.payoff()


@pytest.mark.parametrize("alpha", [0.0, -1.0, math.nan])
def test_noise_with_alpha_not_positive_is_fatal(alpha, panic_exception):
    service = Service(uniform_network)
    with pytest.raises(panic_exception) as e:
        zelmor_self_play.play_training_game(
            1, make_config(dirichlet_alpha=alpha), ResultQueue(), service.inference_queue, service.pipe
        )
    assert e.value.args == ("Noise should be generated ok: AlphaTooSmall",)
    assert len(service.requests) == 1  # the root was evaluated, no simulation ran


def test_exploration_fraction_nan_fails_the_search():
    """NaN priors at a noised root make every score NaN, even with no visits: the game is abandoned."""
    status, service, results = run_training_game(make_config(exploration_fraction=math.nan), uniform_network)
    assert status == 1 and results.records == [] and len(service.requests) == 1


def dominant_network(request: Request):
    """The smallest legal tile has almost all the prior; every other legal tile keeps a tiny positive one."""
    return policy(request.dim, {request.legal[0]: 0.0}, rest=-15.0), [0.0, 0.0, 0.0, 0.0]


def test_exploration_fraction_weighs_noise_against_the_network_priors():
    """Fraction 0 keeps the network's priors, so reused roots spend every visit on the dominant tile;
    fraction 1 replaces them by the noise, which sends visits elsewhere."""
    config = make_config(dim=5, sims_per_move=12, dirichlet_alpha=1.0, exploration_fraction=0.0)
    for _ in range(2):
        status, _, results = run_training_game(config, dominant_network)
        assert status == 0
        game = Game(5)
        history, policies, _ = results.records[0][1]
        for i, ((_, tile), entry) in enumerate(zip(history, policies)):
            if i > 0:
                assert dict(entry)[game.legal_tiles()[0]] == 1.0
            game.apply(tile)
    config.exploration_fraction = 1.0
    spread = 0
    for _ in range(2):
        status, _, results = run_training_game(config, dominant_network)
        assert status == 0
        game = Game(5)
        history, policies, _ = results.records[0][1]
        for i, ((_, tile), entry) in enumerate(zip(history, policies)):
            spread += i > 0 and dict(entry)[game.legal_tiles()[0]] < 1.0
            game.apply(tile)
    assert spread >= 3


@pytest.mark.parametrize("sample_moves", [0, 1000])
def test_no_simulations(sample_moves):
    """With `sims_per_move` 0 every root is fresh and unvisited: its expansion is the only request, every
    probability is NaN, and the last tile in walking order is played."""
    config = make_config(dim=5, sims_per_move=0, sample_moves=sample_moves)
    status, service, results = run_training_game(config, uniform_network)
    assert status == 0
    history, policies, _ = results.records[0][1]
    game = replay_training_record(results.records[0], 1, 5)
    assert len(service.requests) == len(history)
    replay = Game(5)
    for request, (_, tile), entry in zip(service.requests, history, policies):
        assert np.array_equal(request.planes, planes_of(replay))
        assert sorted(t for t, _ in entry) == replay.legal_tiles()
        assert all(is_nan(p) for _, p in entry) and entry[-1][0] == tile
        replay.apply(tile)
    assert game.is_terminal()


def test_reused_roots_keep_the_visits_of_earlier_searches():
    """A played child becomes the root with its subtree: its children hold its visits but the one that
    expanded it, and the new search adds `sims_per_move` more."""
    sims = 7
    for network in (uniform_network, hashed_network):
        config = make_config(dim=5, sims_per_move=sims, sample_moves=1000, exploration_fraction=0.5)
        status, _, results = run_training_game(config, network)
        assert status == 0
        history, policies, _ = results.records[0][1]
        carried = 0  # visits of the current root's children before its search
        for (_, tile), entry in zip(history, policies):
            counts = counts_of(entry, carried + sims)
            assert counts[tile] > 0  # sampling never plays an unvisited tile
            carried = counts[tile] - 1


def test_sample_moves_threshold():
    """Action m (counting from 1) is sampled while m < `sample_moves`, greedy from then on."""
    off_greedy = 0
    for _ in range(4):
        status, _, results = run_training_game(
            make_config(dim=6, sims_per_move=10, sample_moves=8, exploration_fraction=0.5), uniform_network
        )
        assert status == 0
        history, policies, _ = results.records[0][1]
        for i, ((_, tile), entry) in enumerate(zip(history, policies)):
            if i + 1 >= 8:
                assert tile == greedy_tile(entry), f"action {i + 1}"
            else:
                off_greedy += tile != greedy_tile(entry)
    assert off_greedy >= 1


def test_sampled_actions_follow_the_visit_counts():
    """A sampled tile is drawn in proportion to its count, so the share of the tile played averages the sum
    of squared shares; the greedy choice (the largest share) would average far more."""
    played, expected, greedy = [], [], []
    for _ in range(30):
        config = make_config(dim=6, sims_per_move=10, sample_moves=1000, exploration_fraction=0.5)
        status, _, results = run_training_game(config, uniform_network)
        assert status == 0
        history, policies, _ = results.records[0][1]
        for (_, tile), entry in zip(history, policies):
            shares = dict(entry)
            if max(shares.values()) < 1.0:
                played.append(shares[tile])
                expected.append(sum(p * p for p in shares.values()))
                greedy.append(max(shares.values()))
    assert len(played) > 300
    assert abs(np.mean(played) - np.mean(expected)) < 0.04  # about 4.5 standard errors
    assert np.mean(greedy) - np.mean(expected) > 0.08


def test_a_node_without_children_is_evaluated_at_every_visit(panic_exception):
    """A position whose policy admits no tile stays a leaf and is sent again at each visit; as the root of a
    search it leaves nothing to choose from, which is fatal."""
    sims = 5

    def dead_end_after_one_tile(request: Request):
        taken = request.planes[0].sum()
        return ([math.nan] * request.dim**2 if taken else [0.0] * request.dim**2), [0.0] * 4

    service = Service(dead_end_after_one_tile)
    with pytest.raises(panic_exception) as e:
        zelmor_self_play.play_training_game(
            1, make_config(dim=5, sims_per_move=sims), ResultQueue(), service.inference_queue, service.pipe
        )
    assert e.value.args == ("assertion failed: visit_dist.len() > 0",)
    taken = [int(r.planes[0].sum()) for r in service.requests]
    assert taken == [0] + [1] * sims + [1] + [1] * sims
