"""The exchange with the network as the greedy matches show it: what is sent, how replies become priors,
every way an exchange can fail, and the texts the matches write."""

import ctypes
import math
import operator
import random
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import zelmor_self_play
from engine_helpers import mcts_error_line, root_error_line, run_python
from stand_ins import (
    PAYOFF_SHARES,
    Endless,
    Request,
    ResultQueue,
    Service,
    make_config,
    owners,
    planes_of,
    policy,
    run_against_random,
    uniform_network,
)
from zelmor_lab import Game

NO_PRIOR_LINE = mcts_error_line("No legal tile has a positive prior")
MATCH_FAILED = '"Error running MCTS"'


# ----------------------------------------------------------------------------------------------------------
# Networks that follow the game they are asked about


def greedy_reply(game: Game, tile: int, rng: random.Random):
    """Logits that make `tile` the greedy choice among the legal tiles, with NaN and large values on the
    illegal ones (which must be ignored), and arbitrary value logits."""
    n = game.dim * game.dim
    logits = [rng.choice((math.nan, 50.0, -50.0, math.inf)) for _ in range(n)]
    for t in game.legal_tiles():
        logits[t] = rng.uniform(-1.0, 1.0)
    logits[tile] = 2.0
    return logits, [rng.uniform(-3.0, 3.0) for _ in range(4)]


class TableMirror:
    """Every seat of `play_test_game`: keeps its own copy of the game, notes how each request differs from
    that copy's position and which queue it came by, picks a random legal tile, answers so that the tile
    is the greedy choice, and plays it on its copy."""

    def __init__(self, seed: int):
        self.game = Game(20)
        self.rng = random.Random(seed)
        self.seats: list[tuple[int, str]] = []  # (player to act, queue) per request
        self.mismatches: list[int] = []

    def __call__(self, request: Request):
        if not np.array_equal(request.planes, planes_of(self.game)):
            self.mismatches.append(len(self.seats))
        self.seats.append((self.game.current_player, request.queue))
        tile = self.rng.choice(self.game.legal_tiles())
        reply = greedy_reply(self.game, tile, self.rng)
        self.game.apply(tile)
        return reply


def catch_up(game: Game, planes: np.ndarray) -> None:
    """Plays on `game` the pieces the random seats laid since player 0's last decision, as player 0's view
    `planes` shows them. A tile no legal placement allowed raises ValueError; a seat that passed although
    it could move fails."""
    seen = np.full(game.dim * game.dim, -1)
    for player in range(4):
        seen[planes[player].ravel()] = player
    while not game.is_terminal() and game.current_player != 0:
        player = game.current_player
        new = np.flatnonzero((seen == player) & (owners(game) == -1))
        assert len(new), f"player {player} passed a turn it could play"
        for tile in new:  # any order of a piece's tiles is legal
            game.apply(int(tile))


class SeatMirror:
    """The network seat of `play_test_against_random`: catches its copy of the game up with the random
    seats' moves, checks the request against it, and plays a random legal tile greedily."""

    def __init__(self, dim: int, seed: int):
        self.game = Game(dim)
        self.rng = random.Random(seed)
        self.mismatches: list[int] = []
        self.decisions = 0

    def __call__(self, request: Request):
        catch_up(self.game, request.planes)
        if self.game.current_player != 0 or not np.array_equal(request.planes, planes_of(self.game)):
            self.mismatches.append(self.decisions)
        self.decisions += 1
        tile = self.rng.choice(self.game.legal_tiles())
        reply = greedy_reply(self.game, tile, self.rng)
        self.game.apply(tile)
        return reply


def play_table(config, model_network, baseline_network=None, *, worker=5):
    """Runs `play_test_game` with one service behind both queues; returns (result or exception, service)."""
    service = Service(model_network, channels_last=config.rep == 2)
    if baseline_network is not None:
        service.network = lambda r: (model_network if r.queue == "model" else baseline_network)(r)
    try:
        result = zelmor_self_play.play_test_game(
            worker, config, NoResults(), service.queue("model"), service.queue("baseline"), service.pipe
        )
    except Exception as e:  # noqa: BLE001 - the match's failure is a plain Exception
        result = e
    return result, service


class NoResults:
    """`play_test_game` takes a result queue but must not use it."""

    def __getattribute__(self, name):
        raise AssertionError(f"result queue touched: {name}")


# ----------------------------------------------------------------------------------------------------------
# What is sent, and the greedy choice


@pytest.mark.parametrize("dim,rep,seed", [(14, 1, 1), (3, 2, 2)])
def test_table_match_plays_on_20_by_20_and_splits_the_queues(dim, rep, seed, capfd):
    mirror = TableMirror(seed)
    result, service = play_table(make_config(dim=dim, rep=rep), mirror)
    game = mirror.game
    assert game.is_terminal()
    assert type(result) is float and result == game.payoff()[0]
    assert mirror.mismatches == []
    assert all(queue == ("model" if player == 0 else "baseline") for player, queue in mirror.seats)
    assert {player for player, _ in mirror.seats} == {0, 1, 2, 3}
    assert {r.worker for r in service.requests} == {5}
    assert capfd.readouterr().out == "Finished Game\n" + game.render()


@pytest.mark.parametrize("rep", [1, 2])
def test_match_against_random_sends_the_seat_position_in_both_layouts(rep):
    for seed in range(3):
        mirror = SeatMirror(6, seed)
        status, service, results = run_against_random(make_config(dim=6, rep=rep), mirror, worker=9)
        assert status == 0
        assert mirror.decisions == len(service.requests) > 0
        assert mirror.mismatches == []
        assert len(results.records) == 1
        record = results.records[0]
        assert type(record) is tuple and len(record) == 2 and record[0] == 9
        assert type(record[1]) is float and record[1] in PAYOFF_SHARES


@pytest.mark.parametrize("results", [ResultQueue(error=OSError("collector gone")), object()])
def test_a_failing_result_queue_is_ignored(results):
    status, _, _ = run_against_random(make_config(dim=5), uniform_network, results=results)
    assert status == 0
    assert sys.exc_info() == (None, None, None)
    if isinstance(results, ResultQueue):
        assert len(results.records) == 1


def test_random_seats_do_not_always_play_alike():
    first_tiles = set()
    for seed in range(12):
        mirror = SeatMirror(7, seed)
        mirror.rng = random.Random(0)  # the network seat plays the same every game
        run_against_random(make_config(dim=7), mirror)
        first_tiles.update(tile for player, tile in mirror.game.history[:10] if player == 1)
    assert len(first_tiles) >= 8


def test_equal_top_priors_go_either_way(capfd):
    def two_best(request):
        if request.planes[0].any():  # the second decision: stop here
            raise EOFError
        return policy(request.dim, {0: 1.0, 4: 1.0}, rest=0.0), [0.0] * 4

    played = set()
    for _ in range(40):
        service = Service(two_best)
        zelmor_self_play.play_test_against_random(
            1, make_config(dim=5), ResultQueue(), service.inference_queue, service.pipe
        )
        played.update(int(t) for t in np.flatnonzero(service.requests[1].planes[0].ravel()))
    assert played == {0, 4}
    capfd.readouterr()


@pytest.mark.parametrize("extra", [0, 9])
def test_policy_needs_only_to_reach_the_largest_legal_tile(extra):
    def short_policy(request):
        legal = request.legal
        logits = [-1.0] * (legal[-1] + 1) + [1e30] * extra
        logits[legal[-1]] = 1.0
        return logits, [0.0] * 4

    status, service, results = run_against_random(make_config(dim=5), short_policy)
    assert status == 0 and len(results.records) == 1
    assert service.requests[1].planes[0].ravel()[20]  # the first decision took tile 20, the largest legal


def test_policy_shorter_than_a_legal_tile_is_fatal(panic_exception):
    def too_short(request):
        return [0.0] * request.legal[-1], [0.0] * 4

    with pytest.raises(panic_exception):
        run_against_random(make_config(dim=5), too_short)


@pytest.mark.parametrize("values,fatal", [([0.0, 0.0], True), ([0.0, 0.0, 0.0], False)])
def test_value_list_shorter_than_the_seat_to_act(values, fatal, panic_exception):
    """Values are rotated by the seat to act; rotating a list by more than its length is fatal."""
    model = TableMirror(3)

    def baseline(request):
        return model(request)[0], values

    if fatal:
        with pytest.raises(panic_exception):
            play_table(make_config(), model, baseline)
        assert model.seats[-1][0] == 3  # failed at the first decision of player 3
    else:
        result, _ = play_table(make_config(), model, baseline)
        assert result == model.game.payoff()[0]


class Row:
    """A sequence that is neither a list nor a tuple: __len__ and __getitem__, no mapping."""

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


def test_reply_items_may_be_any_sequence_of_numbers():
    """Lists, tuples and other sequences of floats, ints or number-like objects read alike: each reply
    below makes tile 20, the largest legal tile of a new 5 x 5 game, the greedy first choice."""
    logits = [0.0] * 25
    logits[20] = 0.75
    ints = [0] * 25
    ints[20] = 3
    replies = [
        (logits, [0.0] * 4),
        (tuple(logits), (0.0, 1.0, 2.0, 3.0)),
        [ints, [0, 1, 2, 3]],
        (tuple(ints), (True, False, 1, 2.5)),
        {0: logits, 1: [0] * 4},
        (np.array(logits, np.float32), np.zeros(4)),
        (Row([x == 3 for x in ints]), Row([np.float64(1.5)] * 4), "ignored"),
        (range(25), [Fraction(1, 3), Decimal("0.5"), 2, 3]),
        (Row([Fraction(x, 7) for x in ints]), [0.0] * 4),
        (Row(logits + [0.0] * (POLICY_BOUND - 25)), [0.0] * VALUE_BOUND),  # as long as a reply may be
    ]
    for reply in replies:
        status, service, results = run_against_random(make_config(dim=5), lambda request: reply)
        assert status == 0 and len(results.records) == 1
        assert service.requests[1].planes[0].ravel()[20], reply


# ----------------------------------------------------------------------------------------------------------
# Failed exchanges


class Raising:
    """A method that raises a fresh error each call; the errors are kept for the expected text."""

    def __init__(self, make_error):
        self.make_error = make_error
        self.raised = []

    def __call__(self, *args):
        self.raised.append(self.make_error())
        raise self.raised[-1]


def c_level_error(operation, *args):
    """The exception an interpreter operation raises, without a traceback (as the module meets it)."""
    try:
        operation(*args)
    except BaseException as e:  # noqa: BLE001
        return e.with_traceback(None)
    raise AssertionError("did not fail")


_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double


def float_error(value):
    """The interpreter's error converting `value` to a float."""
    return c_level_error(_as_double, value)


POLICY_BOUND, VALUE_BOUND = 65536, 256  # the longest policy and value replies read


def too_long(item: str, bound: int) -> ValueError:
    return ValueError(f"the network's {item} logits run past {bound} numbers")


def failing_exchanges(n: int) -> dict:
    """Exchanges that fail at the first request of a dim * dim = n board:
    name -> (make(service) -> (queue, pipe), expected() -> the error the module must report)."""
    put = Raising(lambda: ConnectionError("queue closed"))
    recv = Raising(lambda: EOFError("pipe closed"))
    raising_queue = type("RaisingQueue", (), {"put": put})()
    raising_pipe = type("RaisingPipe", (), {"recv": recv})()

    def reply(value):
        def make(service):
            service.network = lambda request: value
            return service.inference_queue, service.pipe

        return make

    text_error = lambda: TypeError("Can't extract `str` to `Vec`")  # noqa: E731
    return {
        "put raises": (lambda s: (raising_queue, s.pipe), lambda: put.raised[-1]),
        "queue without put": (lambda s: (object(), s.pipe), lambda: c_level_error(getattr, object(), "put")),
        "recv raises": (lambda s: (s.inference_queue, raising_pipe), lambda: recv.raised[-1]),
        "pipe without recv": (lambda s: (s.inference_queue, 7), lambda: c_level_error(getattr, 7, "recv")),
        "reply not indexable": (reply(5), lambda: c_level_error(operator.getitem, 5, 0)),
        "reply of one item": (reply(([0.0] * n,)), lambda: c_level_error(operator.getitem, (0,), 1)),
        "policy is a string": (reply(("x" * n, [0.0] * 4)), text_error),
        "values are a str subclass": (reply(([0.0] * n, type("Text", (str,), {})("abcd"))), text_error),
        "policy element is a string": (
            reply(([0.0] * 3 + ["0.5"] + [0.0] * (n - 4), [0.0] * 4)),
            lambda: float_error("0.5"),
        ),
        "value element is None": (reply(([0.0] * n, [0.0, None, 0.0, 0.0])), lambda: float_error(None)),
        "value element too large": (reply(([0.0] * n, [0.0, 10**400, 0.0, 0.0])), lambda: float_error(10**400)),
        "policy never ends": (reply((Endless(), [0.0] * 4)), lambda: too_long("policy", POLICY_BOUND)),
        "values never end": (reply(([0.0] * n, Endless())), lambda: too_long("value", VALUE_BOUND)),
        "policy past the bound": (
            reply(([0.0] * (POLICY_BOUND + 1), [0.0] * 4)),
            lambda: too_long("policy", POLICY_BOUND),
        ),
    }


@pytest.mark.parametrize("case", list(failing_exchanges(25)))
def test_failed_exchange_abandons_the_match_against_random(case, capfd):
    make, expected = failing_exchanges(25)[case]
    service, results = Service(uniform_network), ResultQueue()
    queue, pipe = make(service)
    status = zelmor_self_play.play_test_against_random(1, make_config(dim=5), results, queue, pipe)
    assert status == 1 and results.records == []
    assert capfd.readouterr().out == root_error_line(expected())


def test_errors_raised_by_python_code_are_shown_with_their_traceback(capfd):
    class Items:
        def __init__(self):
            self.raised = None

        def __getitem__(self, key):
            self.raised = LookupError(f"no item {key}")
            raise self.raised

    items = Items()
    status, _, _ = run_against_random(make_config(dim=5), lambda r: items)
    assert status == 1
    assert capfd.readouterr().out == root_error_line(items.raised)

    class Number:
        def __init__(self):
            self.raised = None

        def __float__(self):
            self.raised = ArithmeticError('no "float"\\here')
            raise self.raised

    number = Number()
    status, _, _ = run_against_random(make_config(dim=5), lambda r: ([0.0] * 24 + [number], [0.0] * 4))
    assert status == 1
    line = capfd.readouterr().out
    assert line == root_error_line(number.raised)
    assert r"""value: ArithmeticError('no \"float\"\\\\here'), traceback: Some(\"Traceback""" in line


def test_reply_that_is_not_a_sequence(capfd):
    for bad in (5, {0: 1.0}, {0.5}, (x for x in range(25)), None):
        status, _, results = run_against_random(make_config(dim=5), lambda r: (bad, [0.0] * 4))
        assert status == 1 and results.records == []
        line = capfd.readouterr().out
        prefix = (
            "Error running MCTS: \"Error evaluating root node: PyErr { type: <class 'TypeError'>, value: TypeError("
        )
        assert line.startswith(prefix) and line.endswith('), traceback: None }"\n'), line
        assert "cannot be converted to 'Sequence'" in line, line


@pytest.mark.parametrize("seat", [0, 2])
def test_failed_exchange_fails_the_table_match(seat, capfd):
    mirror = TableMirror(4)

    def failing(request):
        if mirror.game.current_player == seat and mirror.game.history:
            return "policy", [0.0] * 4
        return mirror(request)

    result, service = play_table(make_config(), failing)
    assert type(result) is Exception and result.args == (MATCH_FAILED,)
    assert capfd.readouterr().out == root_error_line(TypeError("Can't extract `str` to `Vec`"))


# ----------------------------------------------------------------------------------------------------------
# No legal tile with a positive prior


def no_prior_policies(n: int, legal: list[int]):
    """Policies that give no legal tile a positive prior."""
    nan_everywhere = [math.nan] * n
    one_nan = [0.0] * n
    one_nan[legal[-1]] = math.nan
    infinite = [0.0] * n
    infinite[legal[0]] = math.inf
    minus_infinite = [-math.inf] * n
    return [nan_everywhere, one_nan, infinite, minus_infinite]


@pytest.mark.parametrize("which", range(4))
def test_no_positive_prior_fails_the_decision(which, capfd):
    def hopeless(request):
        return no_prior_policies(request.dim**2, request.legal)[which], [0.0] * 4

    status, service, results = run_against_random(make_config(dim=5), hopeless)
    assert status == 1 and results.records == [] and len(service.requests) == 1
    assert capfd.readouterr().out == NO_PRIOR_LINE

    mirror = TableMirror(5)

    def hopeless_baseline(request):
        return hopeless(request) if mirror.game.current_player == 1 else mirror(request)

    result, service = play_table(make_config(), hopeless_baseline)
    assert type(result) is Exception and result.args == (MATCH_FAILED,)
    assert [r.queue for r in service.requests][-1] == "baseline"
    assert capfd.readouterr().out == NO_PRIOR_LINE


# ----------------------------------------------------------------------------------------------------------
# Fatal errors of the exchange


@pytest.mark.parametrize("rep", [0, 3])
def test_unknown_layout_is_fatal_before_anything_is_sent(rep, panic_exception, capfd):
    with pytest.raises(panic_exception) as e:
        play_table(make_config(rep=rep), TableMirror(6))
    assert e.value.args == ("Invalid representation type",)
    assert capfd.readouterr().out == ""


# ----------------------------------------------------------------------------------------------------------
# Standard output


def test_texts_keep_their_place_among_python_output():
    """The module's lines neither overtake Python's buffered output nor get lost at an abrupt exit."""
    script = textwrap.dedent("""
        import os, sys, types
        import zelmor_self_play

        class Queue:
            def put(self, item):
                pass

        class Pipe:
            def recv(self):
                return "policy", [0.0] * 4

        config = types.SimpleNamespace(dim=5, rep=1, sims_per_move=1, sample_moves=0, c_base=1.0, c_init=1.0,
                                       dirichlet_alpha=1.0, exploration_fraction=0.0)
        sys.stdout.write("before\\n")
        status = zelmor_self_play.play_test_against_random(1, config, Queue(), Queue(), Pipe())
        sys.stdout.write(f"status {status}\\n")
        sys.stdout.flush()
        zelmor_self_play.play_test_against_random(1, config, Queue(), Queue(), Pipe())
        os._exit(0)
    """)
    done = run_python(script)
    line = root_error_line(TypeError("Can't extract `str` to `Vec`"))
    assert done.stderr == ""
    assert done.stdout == "before\n" + line + "status 1\n" + line


def test_table_match_writes_one_board_per_finished_game(capfd):
    boards = []
    for seed in (7, 8):
        mirror = TableMirror(seed)
        result, _ = play_table(make_config(), mirror)
        assert result in PAYOFF_SHARES
        boards.append("Finished Game\n" + mirror.game.render())
    assert capfd.readouterr().out == "".join(boards)
