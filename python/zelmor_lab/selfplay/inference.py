"""The inference service, and the two objects through which the engine reaches it over the queue transport.

The engine evaluates a position by calling ``put((id, state))`` on its inference queue and then
``recv()`` on its pipe, and blocks, holding its interpreter lock, until the reply is there. Every worker
process gets:
  RequestQueue  the engine's inference queue (one per network: ``model_queue``, ``baseline_queue``);
                it turns the nested boolean lists into bytes and puts them on the one request queue
                shared by all workers and read by the services;
  ReplyPipe     the engine's pipe: the worker's own read end of a one-way pipe from the service, with
                a timeout, raising ServiceGone when the service has stopped.

Request on the shared queue: (worker id, network index, planes as uint8 bytes in the ``rep`` layout).
Reply on the worker's pipe: float32 bytes, dim * dim policy logits followed by 4 value logits.

The service (InferenceService, run in its own process) takes its batches from a transport's service side
(see transports): the requests waiting once every active worker has one waiting, the batch holds
``max_batch`` or ``batch_wait_s`` has passed, grouped by network. It runs each network once on the part of
its group that the reply cache does not answer (see backends and reply_cache) and hands the logits
back to the transport, which answers the workers. It stops when the stop event is set, when the process that
started it is gone, or on an error, which it reports on the message queue before it exits.
"""

from __future__ import annotations

import multiprocessing
import time
import traceback
from dataclasses import dataclass

import numpy as np

VALUE_LOGITS = 4
SERVICE_FAILED = "service failed"  # message kind on the message queue: (SERVICE_FAILED, text)
_PARENT_CHECK_S = 1.0


class ServiceGone(Exception):
    """The inference service stopped answering; the engine abandons the game it is playing."""


class RequestQueue:
    """The engine's inference queue for one network (index 0: the model, 1: the baseline)."""

    def __init__(self, requests: multiprocessing.Queue, network: int):
        self._requests = requests
        self._network = network

    def put(self, request) -> None:
        """request: (worker id, planes as nested lists of bool, (5, dim, dim) or (dim, dim, 5))."""
        worker, planes = request
        # bytes() of each innermost list of bools is the fastest way from the engine's lists to bytes.
        self._requests.put((worker, self._network, b"".join(bytes(cells) for block in planes for cells in block)))


class ReplyPipe:
    """The engine's pipe: ``recv()`` returns (policy logits list of dim*dim floats, value logits list
    of 4 floats) or raises ServiceGone when the service has stopped or stays silent for ``timeout_s``.
    Once it has raised, ``failure`` holds the error and every later call raises it again."""

    def __init__(self, connection, timeout_s: float):
        self._connection = connection
        self._timeout_s = timeout_s
        self.failure: ServiceGone | None = None

    def recv(self) -> tuple[list[float], list[float]]:
        if self.failure is None:
            try:
                if self._connection.poll(self._timeout_s):
                    logits = np.frombuffer(self._connection.recv_bytes(), dtype=np.float32)
                    return logits[:-VALUE_LOGITS].tolist(), logits[-VALUE_LOGITS:].tolist()
                self.failure = ServiceGone(f"no reply from the inference service within {self._timeout_s:g} s")
            except (EOFError, OSError):
                self.failure = ServiceGone("the inference service has stopped")
        raise self.failure


@dataclass(frozen=True)
class ServiceCounts:
    """The service's totals since its first request."""

    evaluations: int
    batches: int
    model_seconds: float  # inside the networks' forward passes and the reply cache
    wall_seconds: float  # from the first request to the end of the latest batch
    cache_hits: int = 0  # evaluations answered without a network run

    @property
    def hit_rate(self) -> float:
        """Share of the evaluations answered by the reply cache."""
        return self.cache_hits / self.evaluations if self.evaluations else 0.0

    @property
    def mean_batch(self) -> float:
        """Rows per network run: the evaluations the cache answered are in no batch."""
        return (self.evaluations - self.cache_hits) / self.batches if self.batches else 0.0

    @property
    def model_share(self) -> float:
        """Share of the service's wall time spent inside the networks (of several services': their sum's)."""
        return self.model_seconds / self.wall_seconds if self.wall_seconds else 0.0

    @staticmethod
    def combined(counts: list[ServiceCounts]) -> ServiceCounts:
        """Several services' counts as one; the wall time is the longest-running service's."""
        return ServiceCounts(
            sum(c.evaluations for c in counts),
            sum(c.batches for c in counts),
            sum(c.model_seconds for c in counts),
            max((c.wall_seconds for c in counts), default=0.0),
            sum(c.cache_hits for c in counts),
        )


class ServiceStats:
    """Counters the service writes and any process may read (shared memory, one writer)."""

    def __init__(self, context):
        self._values = context.Array("d", 5, lock=False)

    def snapshot(self) -> ServiceCounts:
        evaluations, batches, model_seconds, wall_seconds, cache_hits = self._values[:]
        return ServiceCounts(int(evaluations), int(batches), model_seconds, wall_seconds, int(cache_hits))

    def record_batch(self, size: int, model_seconds: float, wall_seconds: float, cache_hits: int = 0) -> None:
        """Counts ``size`` evaluations, ``cache_hits`` of them answered without a network run; a batch only
        when some of them reached a network."""
        values = self._values
        values[0] += size
        values[1] += size > cache_hits
        values[2] += model_seconds
        values[3] = wall_seconds
        values[4] += cache_hits


@dataclass(frozen=True)
class ServiceConfig:
    """What the service process needs. checkpoints: checkpoint bytes per network index; rep: input
    layout of the requests (1 or 2); threads: intra-op threads of the backend; batch_wait_s: longest
    wait for a full batch; max_batch: the most requests in one batch; backend: one of
    backends.BACKENDS; cache_bytes: bound of the reply cache (0: none); onnx_dir: where networks
    exported to ONNX are kept for the next start (None: not kept); services: how many services share
    the run's workers."""

    checkpoints: tuple[bytes, ...]
    rep: int
    device: str
    threads: int
    batch_wait_s: float
    max_batch: int
    backend: str = "torch"
    cache_bytes: int = 0
    onnx_dir: str | None = None
    services: int = 1


def run_service(make_service, messages) -> None:
    """Builds a service with ``make_service()`` and runs it to its end; a failure on the way is reported on
    ``messages`` as (SERVICE_FAILED, text) and the process exits with status 1."""
    try:
        make_service().run()
    except BaseException as error:
        text = "".join(traceback.format_exception_only(type(error), error)).strip()
        messages.put((SERVICE_FAILED, text))
        messages.close()
        messages.join_thread()
        raise SystemExit(1) from None


def load_runners(config: ServiceConfig) -> list:
    """The service's networks by index, each as a runner of its backend (see backends)."""
    from ..training.model import decode_checkpoint
    from .backends import make_runner

    runners = []
    for i, data in enumerate(config.checkpoints):
        checkpoint = decode_checkpoint(data, f"network {i}")
        runners.append(
            make_runner(
                checkpoint.model,
                checkpoint.digest,
                config.backend,
                config.rep,
                config.device,
                config.threads,
                config.onnx_dir,
            )
        )
    return runners


class InferenceService:
    """Answers the batches of ``source`` (a transport's service side, see transports) until ``stop`` is set or
    the parent process is gone.

    networks: the runners by network index (default: the checkpoints of ``config``); None for one means a
    null network that answers zeros without computing (what the transports' benchmark measures them with).
    active_workers: shared count of the run's workers still playing, or None when every worker is: a batch
    waits for no more requests than its share of them can send, so the workers that have ended do not hold
    up the last games of a run. stats: where each batch is counted (None: nowhere)."""

    def __init__(
        self,
        config: ServiceConfig,
        source,
        stats: ServiceStats | None,
        stop,
        active_workers=None,
        networks: list | None = None,
    ):
        from .reply_cache import ReplyCache

        self._networks = load_runners(config) if networks is None else networks
        self._cache = ReplyCache(config.cache_bytes)
        self._config = config
        self._source = source
        self._stats = stats
        self._stop = stop
        self._active_workers = active_workers

    def run(self) -> None:
        parent = multiprocessing.parent_process()
        started = None
        next_parent_check = time.monotonic() + _PARENT_CHECK_S
        with self._source:
            while not self._stop.is_set():
                now = time.monotonic()
                if now >= next_parent_check:
                    if parent is not None and not parent.is_alive():
                        return
                    next_parent_check = now + _PARENT_CHECK_S
                limit = self._config.max_batch
                if self._active_workers is not None:
                    # Their share of the workers still playing: nobody counts the workers of each service.
                    share = -(-self._active_workers.value // self._config.services)
                    limit = max(1, min(limit, share))
                groups = self._source.next_batch(limit, self._config.batch_wait_s, len(self._networks))
                repeats = self._source.answered_from_cache()
                if not groups and not repeats:
                    continue
                if started is None:
                    started = time.monotonic()
                answers = [self.evaluate(network, inputs) for network, inputs, _ in groups]
                if self._stats is not None:  # counted before the replies go out, so a worker sees it counted
                    self._stats.record_batch(
                        repeats + sum(len(inputs) for _, inputs, _ in groups),
                        sum(seconds for _, seconds, _ in answers),
                        time.monotonic() - started,
                        repeats + sum(hits for _, _, hits in answers),
                    )
                for (_, _, reply_to), (logits, _, _) in zip(groups, answers):
                    self._source.reply(reply_to, logits)

    def evaluate(self, network: int, inputs: np.ndarray) -> tuple[np.ndarray, float, int]:
        """Logits float32 (B, dim * dim + 4) of network ``network`` for uint8 ``inputs`` (B, 5, dim, dim) or
        (B, dim, dim, 5), from the reply cache or the network; the seconds spent and how many rows came
        from the cache."""
        if not 0 <= network < len(self._networks):
            raise ValueError(f"request for network {network}; the service holds {len(self._networks)}")
        runner = self._networks[network]
        if runner is None:
            return np.zeros((len(inputs), inputs[0].size // 5 + VALUE_LOGITS), dtype=np.float32), 0.0, 0
        started = time.perf_counter()
        logits, hits = self._cache.evaluate(network, inputs, runner)
        return logits, time.perf_counter() - started, hits
