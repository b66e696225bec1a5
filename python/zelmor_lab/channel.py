"""The shared-memory transport between the workers and the inference service (Linux).

Each worker owns one slot of a block mapped into every process of the run (``zelmor_lab._channel``).
The engine's inference queue and pipe are the slot's ``queue(slot, network)`` and ``pipe(slot, timeout)``
objects. The engine recognises them and writes the encoded position into the slot as bytes; called from
Python, ``put`` copies the nested lists of a request into the slot. ``recv`` sleeps without the GIL
until the reply is in the slot, and raises TimeoutError, or ConnectionError as soon as the service has
gone, so a worker never hangs on a dead service. The service takes the waiting slots as one numpy gather
over the block, runs each network once on its part of the batch, writes the logits back into the block
and wakes the workers.

The block is an anonymous memory file: it has no name in /dev/shm, so nothing is left behind however
the run ends, even under SIGKILL.
"""

from __future__ import annotations

import sys
import time

import numpy as np

from .inference import VALUE_LOGITS, ServiceConfig, ServiceStats, load_runners, run_service

try:
    from ._channel import Channel
except ImportError:  # not built on this platform
    Channel = None  # type: ignore[assignment,misc]

_WAIT_S = 0.1  # longest sleep between looks at the stop event and the parent process


def available() -> bool:
    """Whether the shared-memory transport can be used here."""
    return Channel is not None and sys.platform.startswith("linux")


def serve_channel(
    config: ServiceConfig, channel_path: str, active_workers, stats: ServiceStats, stop, messages
) -> None:
    """Process entry point of the service over the channel at ``channel_path``; a failure is reported on
    ``messages`` as (SERVICE_FAILED, text) before the process exits with status 1."""
    run_service(
        lambda: ChannelService(config, Channel.attach(channel_path), stats, stop, active_workers=active_workers),
        messages,
    )


class ChannelService:
    """Answers the channel's slots until ``stop`` is set or the parent process is gone.

    networks: the runners by network index (see backends); None for each means a null network that
    answers zeros without computing (what the throughput benchmark measures the channel with). active_workers: shared
    count of workers still playing, or None when every slot has one: a batch waits for no more requests
    than there are workers to send them, so the slots of workers that have ended do not hold up the
    last games of a run."""

    def __init__(
        self, config: ServiceConfig, channel, stats: ServiceStats | None, stop, networks=None, active_workers=None
    ):
        from .evaluation_cache import EvaluationCache

        self._networks = load_runners(config) if networks is None else networks
        self._cache = EvaluationCache(config.cache_bytes)
        self._config = config
        self._channel = channel
        self._stats = stats
        self._stop = stop
        self._active_workers = active_workers

    def run(self) -> None:
        import multiprocessing

        channel = self._channel
        channel.serve()
        parent = multiprocessing.parent_process()
        requests, policies, values = channel.requests(), channel.policies(), channel.values()
        started = None
        try:
            while not self._stop.is_set() and (parent is None or parent.is_alive()):
                batch = self._config.max_batch
                if self._active_workers is not None:
                    batch = max(1, min(batch, self._active_workers.value))
                groups = channel.wait_batch(self._config.batch_wait_s, _WAIT_S, batch)
                if not groups:
                    continue
                if started is None:
                    started = time.monotonic()
                model_seconds, size, hits = 0.0, 0, 0
                for network, slots in groups:
                    seconds, cached = self._evaluate(network, requests[slots], policies, values, slots)
                    model_seconds += seconds
                    hits += cached
                    size += len(slots)
                if self._stats is not None:
                    self._stats.record_batch(size, model_seconds, time.monotonic() - started, hits)
                for _, slots in groups:
                    channel.complete(slots)
        finally:
            channel.close()

    def _evaluate(
        self, network: int, inputs: np.ndarray, policies: np.ndarray, values: np.ndarray, slots: np.ndarray
    ) -> tuple[float, int]:
        """Runs one network on inputs (B, 5, dim, dim) or (B, dim, dim, 5) uint8, or takes the logits
        from the evaluation cache, and writes them into the slots' rows of policies (slots, dim * dim)
        and values (slots, 4); returns the seconds spent and how many rows came from the cache."""
        if not 0 <= network < len(self._networks):
            raise ValueError(f"request for network {network}; the service holds {len(self._networks)}")
        runner = self._networks[network]
        if runner is None:
            policies[slots] = 0.0
            values[slots] = 0.0
            return 0.0, 0
        started = time.perf_counter()
        logits, hits = self._cache.evaluate(network, inputs, runner)
        policies[slots] = logits[:, :-VALUE_LOGITS]
        values[slots] = logits[:, -VALUE_LOGITS:]
        return time.perf_counter() - started, hits
