"""A worker and an inference service in separate processes, joined by a real multiprocessing queue and
pipe, as a Python driver runs them."""

import multiprocessing
import types

import pytest

import zelmor_self_play
from stand_ins import PAYOFF_SHARES, make_config

SERVICE_TIMEOUT = 30.0


def serve(requests, answers, log) -> None:
    """The inference service: answers every (worker, planes) request on the worker's pipe, favouring the
    first legal tile in the last plane; reports (worker, plane count, side) of each request on `log`; stops
    at None."""
    while (request := requests.get(timeout=SERVICE_TIMEOUT)) is not None:
        worker, planes = request
        dim = len(planes[0])
        legal = [r * dim + c for r in range(dim) for c in range(dim) if planes[4][r][c]]
        logits = [0.0] * (dim * dim)
        logits[legal[0]] = 1.0
        answers[worker].send((logits, [0.0, 0.5, 1.0, 1.5]))
        log.put((worker, len(planes), dim))


@pytest.fixture(scope="module")
def service():
    """A service process (started once: a fresh interpreter is slow to start) with its request queue, one
    pipe end per worker id (0 and 1) and its log."""
    context = multiprocessing.get_context("spawn")
    requests, log = context.Queue(), context.Queue()
    pipes = {worker: context.Pipe() for worker in (0, 1)}
    process = context.Process(target=serve, args=(requests, {w: p[1] for w, p in pipes.items()}, log), daemon=True)
    process.start()
    yield types.SimpleNamespace(context=context, requests=requests, log=log, pipes={w: p[0] for w, p in pipes.items()})
    requests.put(None)
    process.join(SERVICE_TIMEOUT)
    assert process.exitcode == 0


def logged(log, worker: int) -> set:
    """What the service logged for `worker`: waits for its first entry, then takes whatever else has arrived
    (entries of an earlier test's worker may still trickle in; they are dropped)."""
    entries = [log.get(timeout=SERVICE_TIMEOUT)]
    while entries[-1][0] != worker:
        entries.append(log.get(timeout=SERVICE_TIMEOUT))
    while not log.empty():
        entries.append(log.get(timeout=5))
    return {entry for entry in entries if entry[0] == worker}


def test_match_against_random_with_a_service_in_another_process(service):
    results = service.context.Queue()
    status = zelmor_self_play.play_test_against_random(
        1, make_config(dim=7), results, service.requests, service.pipes[1]
    )
    assert status == 0
    worker, payoff = results.get(timeout=SERVICE_TIMEOUT)
    assert worker == 1 and payoff in PAYOFF_SHARES
    assert logged(service.log, 1) == {(1, 5, 7)}


def test_training_game_with_a_service_in_another_process(service):
    results = service.context.Queue()
    status = zelmor_self_play.play_training_game(
        0, make_config(dim=5, sims_per_move=3), results, service.requests, service.pipes[0]
    )
    assert status == 0
    worker, (history, policies, payoff) = results.get(timeout=SERVICE_TIMEOUT)
    assert worker == 0 and len(history) == len(policies) > 0 and len(payoff) == 4
    assert logged(service.log, 0) == {(0, 5, 5)}
