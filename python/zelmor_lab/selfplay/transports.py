"""How the workers and the inference service exchange positions and logits: one interface, two transports.

A transport is made in the main process before the children start, for a number of workers and of services.
It names each service's entry point with the arguments of its own it needs, and hands each worker a WorkerEnd:
a small picklable record that the worker process opens into the request queue and reply pipe the engine is
given. In a service's process its service side (QueueSource, ChannelSource) supplies that process's
InferenceService (see inference) with batches of requests grouped by network, and answers the workers with
the logits.

- QueueTransport: one multiprocessing queue of requests, which every service reads, and one pipe per worker;
  any platform.
- ChannelTransport: the shared-memory channel (zelmor_lab.selfplay.channel), one slot per worker in a block every
  process maps, each service answering its own lane of the slots (worker w's is w % services) and all of them
  filling one reply table; Linux only, and the default there.
"""

from __future__ import annotations

import queue
import time
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import Any, Protocol

import numpy as np

from .inference import (
    InferenceService,
    ReplyPipe,
    RequestQueue,
    ServiceConfig,
    ServiceStats,
    load_runners,
    run_service,
)
from .settings import Settings, SettingsError

_WAIT_S = 0.1  # longest wait for a first request between looks at the stop event and the parent process


class WorkerEnd(Protocol):
    def open(self, worker: int, timeout_s: float) -> tuple[Any, Any]:
        """In the worker process: the engine's request queue (asking network 0) and reply pipe."""

    def release(self) -> None:
        """As the worker ends: let it exit whatever is left unread."""


class Transport(Protocol):
    def service(self, index: int) -> tuple[Callable[..., None], tuple[Any, ...]]:
        """Service ``index``'s entry point and its first arguments: (service config, ...) follow those
        of the transport, then active_workers, stats, stop and messages."""

    def worker_end(self, worker: int) -> WorkerEnd: ...

    def started(self) -> None:
        """The children have started: drop the main process's copies of their ends."""

    def close(self) -> None:
        """The children have ended."""


@dataclass(frozen=True)
class QueueEnd:
    requests: Any  # the shared multiprocessing queue
    reply_end: Any  # the read end of this worker's pipe

    def open(self, worker: int, timeout_s: float) -> tuple[Any, Any]:
        return RequestQueue(self.requests, 0), ReplyPipe(self.reply_end, timeout_s)

    def release(self) -> None:
        self.requests.cancel_join_thread()  # a request left unread must not hold up the exit


@dataclass(frozen=True)
class ChannelEnd:
    path: str  # where the worker maps the block

    def open(self, worker: int, timeout_s: float) -> tuple[Any, Any]:
        from .channel import Channel

        channel = Channel.attach(self.path)
        return channel.queue(worker, 0), channel.pipe(worker, timeout_s)

    def release(self) -> None:
        pass


class QueueTransport:
    def __init__(self, context, workers: int):
        self._requests = context.Queue()
        self._pipes = [context.Pipe(duplex=False) for _ in range(workers)]

    def service(self, index: int) -> tuple[Callable[..., None], tuple[Any, ...]]:
        # Every service takes whichever requests come first: the queue balances them by itself.
        return serve_queue, (self._requests, [writer for _, writer in self._pipes])

    def worker_end(self, worker: int) -> WorkerEnd:
        return QueueEnd(self._requests, self._pipes[worker][0])

    def started(self) -> None:
        # Closing our copies is what lets a worker see the service's end of its pipe close when it stops.
        for reader, writer in self._pipes:
            reader.close()
            writer.close()

    def close(self) -> None:
        self._requests.close()


class ChannelTransport:
    def __init__(self, workers: int, dim: int, rep: int, cache_bytes: int, services: int = 1):
        from .channel import Channel

        # The main process holds the block for the run's life; children map it by its path.
        self._channel: Any = Channel.create(workers, dim, rep, cache_bytes, services)
        self._path = self._channel.path

    def service(self, index: int) -> tuple[Callable[..., None], tuple[Any, ...]]:
        return serve_channel, (self._path, index)

    def worker_end(self, worker: int) -> WorkerEnd:
        return ChannelEnd(self._path)

    def started(self) -> None:
        pass

    def close(self) -> None:
        self._channel = None  # unmapped once the children are gone


def check_transport(settings: Settings) -> None:
    """SettingsError when ``settings.transport`` cannot run on this machine. Settings may be made on one
    machine and played on another (a cluster's driver and its nodes), so the check belongs where they play."""
    if settings.transport == "shm":
        from .channel import available

        if not available():
            raise SettingsError('setting transport "shm" needs Linux; use "queue", got \'shm\'')


def make_transport(settings: Settings, context, workers: int, services: int) -> Transport:
    """The transport ``settings.transport`` names, for ``workers`` workers and ``services`` services (at most
    one per worker)."""
    check_transport(settings)
    if settings.transport == "shm":
        return ChannelTransport(workers, settings.dim, settings.rep, settings.cache_bytes, services)
    return QueueTransport(context, workers)


# ---- the service's side -------------------------------------------------------------------------


class QueueSource:
    """The queue transport in the service: requests (worker, network, planes as uint8 bytes) from the shared
    queue, each reply as float32 bytes on the worker's own pipe (``reply_ends[worker]``)."""

    def __init__(self, requests, reply_ends, rep: int, dims: list[int]):
        self._requests = requests
        self._reply_ends = reply_ends
        self._rep = rep
        self._dims = dims  # board side of each network

    def __enter__(self) -> QueueSource:
        return self

    def __exit__(self, *exc) -> None:
        pass

    def next_batch(self, limit: int, wait_s: float, networks: int) -> list[tuple[int, np.ndarray, list[int]]]:
        """(network, inputs uint8 (B, *layout), workers to answer) per network of the requests waiting: the
        first within _WAIT_S, then more until ``limit`` or ``wait_s``. ValueError for a request of an unknown
        network or worker or of the wrong size."""
        try:
            batch = [self._requests.get(timeout=_WAIT_S)]
        except queue.Empty:
            return []
        deadline = time.monotonic() + wait_s
        while len(batch) < limit:
            try:
                batch.append(self._requests.get_nowait())
            except queue.Empty:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                try:
                    batch.append(self._requests.get(timeout=remaining))
                except queue.Empty:
                    break
        groups = []
        for network in {request[1] for request in batch}:
            requests = [request for request in batch if request[1] == network]
            if not 0 <= network < networks:
                raise ValueError(f"request for network {network}; the service holds {networks}")
            dim = self._dims[network]
            for worker, _, planes in requests:
                if not 0 <= worker < len(self._reply_ends):
                    raise ValueError(f"request from unknown worker {worker}")
                if len(planes) != 5 * dim * dim:
                    raise ValueError(
                        f"request of {len(planes)} values from worker {worker}; "
                        f"network {network} takes {5 * dim * dim} (board side {dim})"
                    )
            shape = (5, dim, dim) if self._rep == 1 else (dim, dim, 5)
            inputs = np.frombuffer(bytearray().join(r[2] for r in requests), dtype=np.uint8)
            groups.append((network, inputs.reshape(len(requests), *shape), [r[0] for r in requests]))
        return groups

    def answered_from_cache(self) -> int:
        """Requests this source answered itself since the last call: none, the service's cache answers."""
        return 0

    def reply(self, workers: list[int], logits: np.ndarray) -> None:
        for worker, row in zip(workers, logits):
            try:
                self._reply_ends[worker].send_bytes(row)
            except OSError:
                pass  # the worker has ended; the pipeline notices that on its own


class ChannelSource:
    """The shared-memory transport in the service of ``lane``: the lane's waiting slots gathered as one numpy
    gather over the block, the logits written into the slots' rows before their workers are woken. Completing
    a batch also stores its replies in the channel's reply table, where every worker finds a repeated position
    itself."""

    def __init__(self, channel, lane: int = 0):
        self._channel = channel
        self._lane = lane
        self._hits_counted = 0

    def __enter__(self) -> ChannelSource:
        self._channel.serve(self._lane)
        self._hits_counted = self._channel.served_hits
        self._requests = self._channel.requests()
        return self

    def __exit__(self, *exc) -> None:
        self._channel.close()

    def next_batch(self, limit: int, wait_s: float, networks: int) -> list[tuple[int, np.ndarray, np.ndarray]]:
        """(network, inputs uint8 (B, *layout), slots) per network of the waiting slots."""
        return [
            (network, self._requests[slots], slots)
            for network, slots in self._channel.wait_batch(wait_s, _WAIT_S, limit)
        ]

    def answered_from_cache(self) -> int:
        """Requests of the lane's workers found in the reply table since the last call."""
        hits = self._channel.served_hits
        new, self._hits_counted = hits - self._hits_counted, hits
        return new

    def reply(self, slots: np.ndarray, logits: np.ndarray) -> None:
        self._channel.complete(slots, np.ascontiguousarray(logits, dtype=np.float32))


def serve_queue(
    config: ServiceConfig, requests, reply_ends, active_workers, stats: ServiceStats, stop, messages
) -> None:
    """Process entry point of the service over the queue transport. reply_ends[w]: the write end of worker
    w's pipe; active_workers: shared count of workers still playing; a failure is reported on ``messages``
    as (SERVICE_FAILED, text) before the process exits with status 1."""

    def service() -> InferenceService:
        networks = load_runners(config)
        source = QueueSource(requests, reply_ends, config.rep, [runner.dim for runner in networks])
        return InferenceService(config, source, stats, stop, active_workers, networks)

    run_service(service, messages)


def serve_channel(
    config: ServiceConfig, channel_path: str, lane: int, active_workers, stats: ServiceStats, stop, messages
) -> None:
    """Process entry point of the service of ``lane`` over the channel at ``channel_path``; failures as
    serve_queue's."""
    from .channel import Channel

    def service() -> InferenceService:
        # The channel's reply table is the cache here, so the service keeps none of its own.
        source = ChannelSource(Channel.attach(channel_path), lane)
        return InferenceService(replace(config, cache_bytes=0), source, stats, stop, active_workers)

    run_service(service, messages)
