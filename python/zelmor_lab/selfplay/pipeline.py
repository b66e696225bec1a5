"""The running pipeline: S inference service processes and N worker processes, watched from the main
process.

    workers --(id, network, planes)--> request queue --> services --(logits)--> each worker's own pipe
    workers --(finished games, ends, failures)--> message queue --> main process (events())

With the "shm" transport (the Linux default) the request queue and the pipes are replaced by one slot
per worker in a shared-memory block (see channel.py), each service answering its own share of the
workers; everything else stays the same. Each service runs the network on one core, so S services put
it on S cores; a service that fails or dies takes the whole pipeline down, as one alone does.

Processes are started with 'spawn' (no inherited torch threads or file descriptors) and with SIGINT
ignored, so Ctrl-C reaches only the main process. There the first Ctrl-C (or SIGTERM) only sets
``interrupted``; events() then stops everything in order: the service ends, the workers' pipes report
it, the workers post what they finished and end, and events() hands over the last finished games
before it returns. A second Ctrl-C raises KeyboardInterrupt as usual; a second SIGTERM is ignored, then
and for the rest of the process, so that what the stop has to store is stored. A process that does not
end in time is killed.
"""

from __future__ import annotations

import multiprocessing
import multiprocessing.connection
import queue
import signal
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .inference import SERVICE_FAILED, ServiceConfig, ServiceCounts, ServiceStats
from .spawning import process_with_payload, start_ignoring_ctrl_c
from .training_game import TrainingGame
from .transports import make_transport
from .workers import ABANDONED, GAME, UNLIMITED, WORKER_ENDED, WORKER_FAILED, WorkerConfig, work

_STOP_GRACE_S = 10.0
_JOIN_TIMEOUT_S = 5.0
_SERVICE_CHECK_S = 0.5


class PipelineError(Exception):
    """The pipeline could not go on: the service or a worker failed. The message says which and why."""


@dataclass(frozen=True)
class FinishedGame:
    worker: int
    finished_at: float  # seconds since the epoch
    game: TrainingGame


@dataclass(frozen=True)
class AbandonedGame:
    worker: int


@dataclass(frozen=True)
class Idle:
    """No message for a moment; lets the caller refresh its progress display."""


class Pipeline:
    """Plays ``games`` training games (None: until stop()) over ``settings.workers`` workers and
    ``settings.service_count()`` inference services (never more services than workers).

    checkpoints: checkpoint bytes of the network (the workers ask network 0).
    onnx_dir: where the service keeps the networks it exports to ONNX, for the next pipeline (None:
    nowhere). Use as a context manager around events(); leaving the block ends every process."""

    def __init__(
        self,
        config: WorkerConfig,
        checkpoints: tuple[bytes, ...],
        games: int | None = None,
        onnx_dir: str | Path | None = None,
    ):
        settings = config.settings
        self._games = games
        self._started_at_finish: int | None = None
        self.workers = settings.workers if games is None else max(1, min(settings.workers, games))
        self.services = min(settings.service_count(), self.workers)
        context = multiprocessing.get_context("spawn")
        self._messages = context.Queue()
        self._stop = context.Event()
        self._games_left = context.Value("q", UNLIMITED if games is None else games)
        self._active_workers = context.Value("i", self.workers)
        self._stats = [ServiceStats(context) for _ in range(self.services)]
        service_config = ServiceConfig(
            checkpoints=checkpoints,
            rep=settings.rep,
            device=settings.device,
            threads=max(1, (multiprocessing.cpu_count() - self.workers) // self.services),
            batch_wait_s=settings.batch_wait_ms / 1000,
            max_batch=settings.batch_limit(self.workers, self.services),
            backend=settings.backend,
            cache_bytes=settings.cache_bytes,
            onnx_dir=None if onnx_dir is None else str(onnx_dir),
            services=self.services,
        )
        self._transport = make_transport(settings, context, self.workers, self.services)
        self._services, self._configs = [], []
        for index in range(self.services):
            service_target, transport_args = self._transport.service(index)
            # The config holds the checkpoints, so it travels by queue (see spawning).
            service, configs = process_with_payload(
                context,
                service_target,
                service_config,
                *transport_args,
                # Read without the lock: a service killed while it held the lock would leave every
                # worker stuck at its end, where it counts itself out.
                self._active_workers.get_obj(),
                self._stats[index],
                self._stop,
                self._messages,
                name="zelmor-inference" if self.services == 1 else f"zelmor-inference-{index}",
            )
            self._services.append(service)
            self._configs.append(configs)
        self._workers = [
            context.Process(
                target=work,
                name=f"zelmor-worker-{i}",
                daemon=True,
                args=(
                    i,
                    config,
                    self._transport.worker_end(i),
                    self._messages,
                    self._games_left,
                    self._active_workers,
                    self._stop,
                ),
            )
            for i in range(self.workers)
        ]
        self._ended: set[int] = set()
        self._found_dead: set[int] = set()
        self._failure: str | None = None
        self._stop_requested_at: float | None = None
        self._previous_handlers: dict[int, Any] = {}
        self.interrupted = False

    def __enter__(self) -> Pipeline:
        start_ignoring_ctrl_c([*self._services, *self._workers])
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                self._previous_handlers[signum] = signal.signal(signum, self._on_interrupt)
        self._transport.started()
        return self

    def _on_interrupt(self, signum, frame) -> None:
        # Only a flag: the main thread may be inside a queue read, which must not be cut short.
        self.interrupted = True
        if signum == signal.SIGINT:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        else:  # the process is asked to end: later SIGTERMs, now and after this pipeline, wait for the stop
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
            self._previous_handlers[signal.SIGTERM] = signal.SIG_IGN

    def __exit__(self, *exc) -> None:
        for signum, handler in self._previous_handlers.items():
            signal.signal(signum, handler)
        self.stop()
        for process in [*self._services, *self._workers]:
            process.join(_JOIN_TIMEOUT_S if process.is_alive() else None)
            if process.is_alive():
                process.kill()
                process.join()
        self._messages.close()
        for configs in self._configs:
            configs.close()
        self._transport.close()

    @property
    def stats(self) -> ServiceCounts:
        """The services' counts together."""
        return ServiceCounts.combined([stats.snapshot() for stats in self._stats])

    @property
    def playing(self) -> int:
        """Workers still running, each with a game in progress or about to claim one."""
        return self._active_workers.value

    @property
    def started(self) -> int | None:
        """Games the workers have claimed so far; None for a pipeline of unlimited games. Unlike
        ``playing``, a worker that is still starting up counts for nothing here."""
        if self._games is None:
            return None
        with self._games_left.get_lock():
            if self._started_at_finish is not None:
                return self._started_at_finish
            return self._games - self._games_left.value

    def finish(self) -> None:
        """Start no new game; events() returns once the games in progress are played."""
        with self._games_left.get_lock():
            if self._games is not None and self._started_at_finish is None:
                self._started_at_finish = self._games - self._games_left.value
            self._games_left.value = 0

    def stop(self) -> None:
        """Ask every process to end now; games in progress are lost. events() then drains and returns."""
        if self._stop_requested_at is None:
            self._stop_requested_at = time.monotonic()
        self._stop.set()

    def events(self) -> Iterator[FinishedGame | AbandonedGame | Idle]:
        """Finished and abandoned games as they come, until every worker has ended (all games played,
        or stopped). Raises PipelineError at the end when the service or a worker failed; the games
        finished before are yielded first."""
        next_service_check = time.monotonic() + _SERVICE_CHECK_S
        while len(self._ended) < self.workers:
            if self.interrupted:
                self.stop()
            if time.monotonic() >= next_service_check:
                # Games keep coming while one service of several is dead: look even when the queue is busy.
                self._check_services()
                next_service_check = time.monotonic() + _SERVICE_CHECK_S
            try:
                message = self._messages.get(timeout=0.1)
            except queue.Empty:
                self._watch_processes()
                yield Idle()
                continue
            kind = message[0]
            if kind == GAME:
                yield FinishedGame(worker=message[1], finished_at=message[2], game=message[3])
            elif kind == ABANDONED:
                yield AbandonedGame(worker=message[1])
            elif kind == WORKER_ENDED:
                self._ended.add(message[1])
                if message[2] is not None:
                    # A worker that lost its service tells before the service's death is seen: name the cause.
                    self._await_dying_services()
                    self._check_services()
                    self._fail(f"worker {message[1]} stopped: {message[2]}")
            elif kind == WORKER_FAILED:
                self._ended.add(message[1])
                self._fail(f"worker {message[1]} failed: {message[2]}")
            elif kind == SERVICE_FAILED:
                self._fail(f"the inference service failed: {message[1]}")
        self.stop()
        if self._failure is not None:
            raise PipelineError(self._failure)

    def _fail(self, reason: str) -> None:
        if self._failure is None:
            self._failure = reason
        self.stop()

    def _await_dying_services(self) -> None:
        """Waits up to _JOIN_TIMEOUT_S for a service to end and reaps those that have. A killed
        service's sentinel becomes ready as its files close, a moment before the process can be
        reaped; is_alive() in that moment still says True and the worker's message would be taken
        for the cause."""
        ready = multiprocessing.connection.wait([s.sentinel for s in self._services], _JOIN_TIMEOUT_S)
        for service in self._services:
            if service.sentinel in ready:
                service.join()

    def _check_services(self) -> None:
        if self._stop_requested_at is not None:
            return
        for index, service in enumerate(self._services):
            if not service.is_alive():
                name = "the inference service" if self.services == 1 else f"inference service {index}"
                self._fail(f"{name} died (exit code {service.exitcode})")
                return

    def _watch_processes(self) -> None:
        """Called only when the message queue was found empty. A worker that died without its last
        message is given up at the next such call: whatever it posted before it died was in the queue
        when its death was seen, so it has been read by then."""
        self._check_services()
        stop_requested_at = self._stop_requested_at
        stopping = stop_requested_at is not None
        overdue = stop_requested_at is not None and time.monotonic() - stop_requested_at > _STOP_GRACE_S
        for worker, process in enumerate(self._workers):
            if worker in self._ended:
                continue
            if worker in self._found_dead:
                self._ended.add(worker)
                if not stopping:
                    self._fail(f"worker {worker} died (exit code {process.exitcode})")
            elif overdue and process.is_alive():
                process.kill()
                process.join()
                self._ended.add(worker)
            elif not process.is_alive():
                self._found_dead.add(worker)
