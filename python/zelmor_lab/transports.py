"""How the workers and the inference service exchange positions and logits: one interface, two transports.

A transport is made in the main process before the children start. It names the service's entry point with
the arguments of its own it needs, and hands each worker a WorkerEnd: a small picklable record that the worker
process opens into the request queue and reply pipe the engine is given.

- QueueTransport: one multiprocessing queue of requests and one pipe per worker; any platform.
- ChannelTransport: the shared-memory channel (zelmor_lab.channel), one slot per worker in a block every
  process maps; Linux only, and the default there.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

from .inference import ReplyPipe, RequestQueue, serve
from .settings import Settings, SettingsError


class WorkerEnd(Protocol):
    def open(self, worker: int, timeout_s: float) -> tuple[Any, Any]:
        """In the worker process: the engine's request queue (asking network 0) and reply pipe."""

    def release(self) -> None:
        """As the worker ends: let it exit whatever is left unread."""


class Transport(Protocol):
    def service(self) -> tuple[Callable[..., None], tuple[Any, ...]]:
        """The service's entry point and its first arguments: (service config, ...) follow those of
        the transport, then active_workers, stats, stop and messages."""

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

    def service(self) -> tuple[Callable[..., None], tuple[Any, ...]]:
        return serve, (self._requests, [writer for _, writer in self._pipes])

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
    def __init__(self, workers: int, dim: int, rep: int):
        from .channel import Channel

        # The main process holds the block for the run's life; children map it by its path.
        self._channel: Any = Channel.create(workers, dim, rep)
        self._path = self._channel.path

    def service(self) -> tuple[Callable[..., None], tuple[Any, ...]]:
        from .channel import serve_channel

        return serve_channel, (self._path,)

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


def make_transport(settings: Settings, context, workers: int) -> Transport:
    """The transport ``settings.transport`` names, for ``workers`` workers."""
    check_transport(settings)
    if settings.transport == "shm":
        return ChannelTransport(workers, settings.dim, settings.rep)
    return QueueTransport(context, workers)
