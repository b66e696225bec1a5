"""The inference service in its own process, driven by scripted requests, and the worker's pipe."""

import multiprocessing
import os
import signal
import time

import numpy as np
import pytest

torch = pytest.importorskip("torch")

from zelmor_lab import Game  # noqa: E402
from zelmor_lab.selfplay.inference import (  # noqa: E402
    SERVICE_FAILED,
    ReplyPipe,
    RequestQueue,
    ServiceConfig,
    ServiceGone,
    ServiceStats,
)
from zelmor_lab.selfplay.transports import serve_queue  # noqa: E402
from zelmor_lab.training.model import Architecture, PolicyValueNet, decode_checkpoint, encode_checkpoint  # noqa: E402

DIM = 7
TINY = Architecture(blocks=1, channels=8, value_hidden=8)


def network_bytes(seed: int) -> bytes:
    torch.manual_seed(seed)
    return encode_checkpoint(PolicyValueNet(DIM, TINY))


def states(count: int, channels_last: bool = False) -> list:
    """Positions of one game, a few actions apart, as the engine sends them (nested lists of bool)."""
    game, result = Game(DIM), []
    while len(result) < count:
        result.append(game.state(channels_last).tolist())
        for _ in range(3):
            game.apply(game.legal_tiles()[0])
    return result


def expected(data: bytes, state, channels_last: bool = False):
    planes = torch.tensor([state], dtype=torch.float32)
    if channels_last:
        planes = planes.permute(0, 3, 1, 2)
    with torch.inference_mode():
        policy, value = decode_checkpoint(data, "test").model(planes)
    return policy[0].tolist(), value[0].tolist()


class Service:
    """A service process with ``workers`` pipes; the test plays every worker."""

    def __init__(self, checkpoints, workers, rep=1, batch_wait_s=0.001, pending=(), max_batch=None, **config):
        context = multiprocessing.get_context("spawn")
        self.requests = context.Queue()
        self.messages = context.Queue()
        self.stop = context.Event()
        self.stats = ServiceStats(context)
        self.active_workers = context.Value("i", workers)  # kept: the child finds it by name
        for request in pending:
            self.requests.put(request)
        ends = [context.Pipe(duplex=False) for _ in range(workers)]
        config = ServiceConfig(
            checkpoints=tuple(checkpoints),
            rep=rep,
            device="cpu",
            threads=1,
            batch_wait_s=batch_wait_s,
            max_batch=max_batch or workers,
            **config,
        )
        self.process = context.Process(
            target=serve_queue,
            daemon=True,
            args=(
                config,
                self.requests,
                [w for _, w in ends],
                self.active_workers,
                self.stats,
                self.stop,
                self.messages,
            ),
        )
        self.process.start()
        for _, writer in ends:
            writer.close()
        self.pipes = [ReplyPipe(reader, timeout_s=30) for reader, _ in ends]

    def close(self):
        self.stop.set()
        self.process.join(10)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()


@pytest.fixture
def service():
    started = []

    def start(*args, **kwargs):
        started.append(Service(*args, **kwargs))
        return started[-1]

    yield start
    for s in started:
        s.close()


@pytest.mark.parametrize("rep", [1, 2])
def test_each_worker_gets_the_networks_answer_to_its_own_request(service, rep):
    data = network_bytes(1)
    running = service([data], workers=3, rep=rep)
    positions = states(3, channels_last=rep == 2)
    for worker in (2, 0, 1):
        RequestQueue(running.requests, 0).put((worker, positions[worker]))
    for worker in (0, 1, 2):
        policy, value = running.pipes[worker].recv()
        want_policy, want_value = expected(data, positions[worker], channels_last=rep == 2)
        assert isinstance(policy, list) and isinstance(value, list) and len(policy) == DIM * DIM
        np.testing.assert_allclose(policy, want_policy, atol=1e-5)
        np.testing.assert_allclose(value, want_value, atol=1e-5)


@pytest.mark.parametrize("backend", ["onnxruntime", "torch"])
def test_a_repeated_position_gets_the_computed_reply_from_the_cache(service, backend):
    pytest.importorskip(backend)
    data = network_bytes(1)
    running = service([data], workers=2, backend=backend, cache_bytes=2**20)
    position = states(1)[0]
    RequestQueue(running.requests, 0).put((0, position))
    computed = running.pipes[0].recv()
    RequestQueue(running.requests, 0).put((1, position))
    assert running.pipes[1].recv() == computed
    counts = running.stats.snapshot()
    assert (counts.evaluations, counts.cache_hits, counts.hit_rate) == (2, 1, 0.5)
    np.testing.assert_allclose(computed[0], expected(data, position)[0], atol=1e-4)


def test_the_two_networks_of_a_match_answer_on_the_one_pipe(service):
    model, baseline = network_bytes(1), network_bytes(2)
    running = service([model, baseline], workers=1)
    position = states(1)[0]
    for network, data in ((1, baseline), (0, model), (1, baseline)):
        RequestQueue(running.requests, network).put((0, position))
        np.testing.assert_allclose(running.pipes[0].recv()[0], expected(data, position)[0], atol=1e-5)


def test_requests_waiting_together_are_one_batch(service):
    data = network_bytes(1)
    pending = [(worker, 0, np.asarray(state, dtype=np.uint8).tobytes()) for worker, state in enumerate(states(3))]
    running = service([data], workers=3, batch_wait_s=5.0, pending=pending)
    for pipe in running.pipes:
        pipe.recv()
    counts = running.stats.snapshot()
    assert (counts.evaluations, counts.batches) == (3, 1)
    assert 0 < counts.model_seconds <= counts.wall_seconds


def test_a_batch_holds_at_most_max_batch_requests(service):
    pending = [(worker, 0, np.asarray(state, dtype=np.uint8).tobytes()) for worker, state in enumerate(states(3))]
    running = service([network_bytes(1)], workers=3, batch_wait_s=5.0, pending=pending, max_batch=2)
    for pipe in running.pipes:
        pipe.recv()
    counts = running.stats.snapshot()
    assert (counts.evaluations, counts.batches) == (3, 2)


def test_a_batch_waits_no_longer_than_the_batch_wait(service):
    running = service([network_bytes(1)], workers=3, batch_wait_s=0.05)
    RequestQueue(running.requests, 0).put((1, states(1)[0]))
    running.pipes[1].recv()  # two workers never ask; the reply comes anyway
    assert running.stats.snapshot().mean_batch == 1


def test_a_killed_service_makes_the_pipe_raise_at_once(service):
    running = service([network_bytes(1)], workers=1)
    RequestQueue(running.requests, 0).put((0, states(1)[0]))
    running.pipes[0].recv()
    os.kill(running.process.pid, signal.SIGKILL)
    RequestQueue(running.requests, 0).put((0, states(1)[0]))
    started = time.monotonic()
    for _ in range(2):  # and it stays failed
        with pytest.raises(ServiceGone) as error:
            running.pipes[0].recv()
        assert str(error.value) == "the inference service has stopped"
    assert time.monotonic() - started < 5
    assert running.pipes[0].failure is error.value


def test_a_silent_service_makes_the_pipe_raise_after_its_timeout():
    reader, writer = multiprocessing.Pipe(duplex=False)
    pipe = ReplyPipe(reader, timeout_s=0.2)
    started = time.monotonic()
    with pytest.raises(ServiceGone) as error:
        pipe.recv()
    assert str(error.value) == "no reply from the inference service within 0.2 s"
    assert 0.2 <= time.monotonic() - started < 2
    writer.close()


def test_a_malformed_request_stops_the_service_with_a_report(service):
    running = service([network_bytes(1)], workers=1)
    running.requests.put((0, 0, b"\x01\x00"))
    assert running.messages.get(timeout=30) == (
        SERVICE_FAILED,
        "ValueError: request of 2 values from worker 0; network 0 takes 245 (board side 7)",
    )
    running.process.join(10)
    assert running.process.exitcode == 1
    with pytest.raises(ServiceGone):
        running.pipes[0].recv()


def test_the_service_ends_when_asked(service):
    running = service([network_bytes(1)], workers=1)
    RequestQueue(running.requests, 0).put((0, states(1)[0]))
    running.pipes[0].recv()
    running.stop.set()
    running.process.join(5)
    assert running.process.exitcode == 0
