"""Reference counts and memory: every object the module is given or answered with keeps its count, every
object it makes is released or handed over with exactly one reference, on good and failing paths alike."""

import contextlib
import gc
import os
import sys
import textwrap
import weakref

import pytest

import zelmor_self_play
from engine_helpers import resident_bytes, run_python
from stand_ins import ResultQueue, Service, make_config

MiB = 1 << 20


class BadFloat:
    def __float__(self):
        raise ArithmeticError("no float")


class PipeClosed(EOFError):
    """An error that can be watched through a weak reference (built-in exceptions cannot)."""


class Replies:
    """Reply kinds, each one prebuilt object (so its reference count can be watched) or a raising call.
    `errors` holds weak references to every exception raised towards the module."""

    def __init__(self, dim: int):
        n = dim * dim
        self.values = [0.5, -0.25, 0.125, 2.0]
        self.logits = [float(i % 7) / 7.0 for i in range(n)]
        self.good = (self.logits, self.values)
        self.text = ("x" * n, self.values)
        self.opaque = (object(), self.values)
        self.bad_element = (self.logits[:-1] + [BadFloat()], self.values)
        self.unindexable = 10**30
        self.errors: list[weakref.ref] = []

    def watched(self) -> list:
        return [
            self.values,
            self.logits,
            self.good,
            self.text,
            self.text[0],
            self.opaque,
            self.opaque[0],
            self.bad_element,
            self.bad_element[0],
            self.bad_element[0][-1],
            self.unindexable,
            self.logits[3],
            self.values[1],
        ]

    def raising(self, request):
        raise self.new_error()  # no local keeps it: a frame in its traceback must not hold it

    def new_error(self) -> PipeClosed:
        error = PipeClosed("pipe closed")
        self.errors.append(weakref.ref(error))
        return error

    def network(self, kind: str):
        if kind == "raising":
            return self.raising
        reply = getattr(self, kind)
        return lambda request: reply


KINDS = ["good", "text", "opaque", "bad_element", "unindexable", "raising"]


@contextlib.contextmanager
def quiet_stdout():
    """Sends the greedy matches' lines to /dev/null, at the file-descriptor and the Python level."""
    sys.stdout.flush()
    saved, python_stdout = os.dup(1), sys.stdout
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        sys.stdout = null
        try:
            yield
        finally:
            sys.stdout = python_stdout
            os.dup2(saved, 1)
            os.close(saved)


class Returning:
    """A queue whose `put` answers with `token`, a result the module must drop."""

    def __init__(self, queue, token):
        self.queue, self.token = queue, token

    def put(self, item):
        self.queue.put(item)
        return self.token


TOKEN = ["returned by put"]


def play(function: str, worker, config, results, service):
    results = Returning(results, TOKEN)
    if function == "play_test_game":
        return zelmor_self_play.play_test_game(
            worker,
            config,
            results,
            Returning(service.queue("model"), TOKEN),
            Returning(service.queue("baseline"), TOKEN),
            service.pipe,
        )
    return getattr(zelmor_self_play, function)(
        worker, config, results, Returning(service.inference_queue, TOKEN), service.pipe
    )


def extra_owners(holder: list) -> list[tuple[int, int]]:
    """(depth, index) of every list or tuple in `holder`, or nested in one (the first three items of each,
    three levels down), that is referenced by more than its container.

    Counts are taken outside `assert` statements, whose rewriting by pytest holds the values it shows."""
    found = []

    def walk(container, depth):
        for i in range(len(container) if depth == 0 else min(3, len(container))):
            if isinstance(container[i], (list, tuple)):
                if sys.getrefcount(container[i]) != 2:  # the container's reference and the argument's
                    found.append((depth, i))
                if depth < 3:
                    walk(container[i], depth + 1)

    walk(holder, 0)
    return found


def exercise(function, rounds, worker, config, result_queues, service, replies) -> None:
    """Plays every reply kind against every result queue, `rounds` times."""
    for _ in range(rounds):
        for kind in KINDS:
            service.network = replies.network(kind)
            for queue in result_queues:
                try:
                    play(function, worker, config, queue, service)
                except Exception:  # noqa: BLE001 - play_test_game's failure
                    pass


@pytest.mark.parametrize("function", ["play_training_game", "play_test_against_random", "play_test_game"])
def test_reference_counts_stay_put(function):
    dim = 20 if function == "play_test_game" else 4
    replies = Replies(dim)
    worker = int("123457")
    config = make_config(dim=4, sims_per_move=2)
    results = ResultQueue()
    raising_results = ResultQueue(error=OSError("collector gone"))
    service = Service(replies.network("good"), keep_raw=True)
    watched = [
        worker,
        config,
        results,
        raising_results,
        service,
        service.pipe,
        service.inference_queue,
        TOKEN,
        *replies.watched(),
    ]
    rounds = 2 if function == "play_test_game" else 12
    gc.collect()
    gc.disable()
    try:
        with quiet_stdout():
            play(function, worker, config, results, service)  # first-use objects are made here
            service.network = replies.network(KINDS[-1])  # as it is left after the rounds
            service.raw_requests.clear()
            before = [sys.getrefcount(o) for o in watched]
            bools_before = sys.getrefcount(True), sys.getrefcount(False)
            exercise(function, rounds, worker, config, (results, raising_results), service, replies)
        after = [sys.getrefcount(o) for o in watched]
        request_extra = extra_owners(service.raw_requests)
        service.raw_requests.clear()  # they hold the only references to True and False the module handed out
        bools_after = sys.getrefcount(True), sys.getrefcount(False)  # before any local holds a bool
        assert after == before
        assert bools_after == bools_before
        assert request_extra == []
        assert all(ref() is None for ref in replies.errors) and replies.errors
        posts = function != "play_test_game"
        assert bool(results.records) == bool(raising_results.records) == posts
        assert extra_owners(results.records) == extra_owners(raising_results.records) == []
    finally:
        gc.enable()


class Quick:
    """The leanest stand-ins: a queue that drops what it is given and a pipe that always says the same."""

    def __init__(self, reply):
        self.reply = reply

    def put(self, item):
        pass

    def recv(self):
        return self.reply


def test_memory_after_ten_thousand_malformed_replies():
    config = make_config(dim=4)
    malformed = [
        Quick(("x", [0.0] * 4)),
        Quick((object(), [0.0] * 4)),
        Quick(([0.0] * 15 + [None], [0.0] * 4)),
        Quick(7),
        Quick(([0.0] * 16,)),
    ]

    def rounds(n):
        for i in range(n):
            stand_in = malformed[i % len(malformed)]
            assert zelmor_self_play.play_training_game(1, config, stand_in, stand_in, stand_in) == 1
        with quiet_stdout():
            for i in range(n // 5):
                stand_in = malformed[i % len(malformed)]
                assert zelmor_self_play.play_test_against_random(1, config, stand_in, stand_in, stand_in) == 1

    rounds(500)
    gc.collect()
    start = resident_bytes()
    rounds(10_000)
    gc.collect()
    assert resident_bytes() - start < MiB


def test_memory_stays_flat_over_many_games():
    config = make_config(dim=5, sims_per_move=6, sample_moves=4)
    good = Quick(([0.0] * 25, [0.1, 0.2, 0.3, 0.4]))

    class FailsLate(Quick):
        def __init__(self):
            super().__init__(good.reply)
            self.calls = 0

        def recv(self):
            self.calls += 1
            return self.reply if self.calls < 15 else ("x", [])  # a few actions into the game

    def games(n):
        for _ in range(n):
            assert zelmor_self_play.play_training_game(1, config, good, good, good) == 0
            late = FailsLate()
            assert zelmor_self_play.play_training_game(1, config, late, late, late) == 1
            assert zelmor_self_play.play_test_against_random(1, config, good, good, good) == 0

    games(20)
    gc.collect()
    start = resident_bytes()
    games(300)
    gc.collect()
    assert resident_bytes() - start < MiB


def test_a_long_game_holds_only_the_subtree_still_reachable():
    """Some 30,000 expansions on a 10 x 10 board: kept whole, the tree would take tens of MiB at its end;
    with the unplayed subtrees released at every action the peak stays near one search's tree."""
    script = textwrap.dedent("""
        import resource, types
        import zelmor_self_play

        class Instant:
            reply = ([0.0] * 100, [0.0] * 4)
            requests = 0

            def put(self, item):
                self.requests += 1

            def recv(self):
                return self.reply

        settings = dict(dim=10, rep=1, sims_per_move=1, sample_moves=0, c_base=19652.0, c_init=1.25,
                        dirichlet_alpha=0.3, exploration_fraction=0.25)
        warm = Instant()
        zelmor_self_play.play_training_game(1, types.SimpleNamespace(**settings), warm, warm, warm)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        stand_in = Instant()
        settings["sims_per_move"] = 400
        status = zelmor_self_play.play_training_game(1, types.SimpleNamespace(**settings), stand_in, stand_in,
                                                     stand_in)
        growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(status, stand_in.requests, growth)
    """)
    done = run_python(script, timeout=120)
    assert done.returncode == 0, done.stderr
    status, requests, growth_kib = map(int, done.stdout.split())
    assert status == 0 and requests > 20_000
    assert growth_kib < 4 * 1024
