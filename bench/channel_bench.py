"""The worker-service exchange alone: shared-memory channel against multiprocessing queue and pipes.

    PYTHONPATH=python python bench/channel_bench.py [--seconds 10] [--workers 4] [--dim 20]

W worker processes each send the engine's request for a 20 x 20 position (nested lists of bool) and wait
for the reply, in a loop, as the engine does; one service process answers through the real service code
of each transport with a null network that returns zeros without computing. Prints evaluations per
second for both transports and their ratio, the median of --repeats windows.
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import time

import numpy as np

from zelmor_lab import Game
from zelmor_lab.selfplay.channel import Channel
from zelmor_lab.selfplay.inference import InferenceService, ReplyPipe, RequestQueue, ServiceConfig
from zelmor_lab.selfplay.transports import ChannelSource, QueueSource


class NullNetwork:
    """Answers any batch with zero logits, costing nothing."""

    def __init__(self, dim: int):
        self.dim = dim

    def __call__(self, planes: np.ndarray) -> np.ndarray:
        return np.zeros((len(planes), self.dim * self.dim + 4), dtype=np.float32)


def service_config(dim: int, batch_wait_s: float, workers: int) -> ServiceConfig:
    """Every worker in one batch: with a null network nothing overlaps with the evaluation."""
    from zelmor_lab.training.model import Architecture, PolicyValueNet, encode_checkpoint

    checkpoint = encode_checkpoint(PolicyValueNet(dim, Architecture(blocks=1, channels=1, value_hidden=1)))
    return ServiceConfig(
        checkpoints=(checkpoint,), rep=1, device="cpu", threads=1, batch_wait_s=batch_wait_s, max_batch=workers
    )


def queue_service(dim, requests, reply_ends, active, stop, batch_wait_s):
    from zelmor_lab.selfplay.inference import ServiceStats

    InferenceService(
        service_config(dim, batch_wait_s, active.value),
        QueueSource(requests, reply_ends, 1, [dim]),
        ServiceStats(multiprocessing.get_context("spawn")),
        stop,
        active,
        networks=[NullNetwork(dim)],
    ).run()


def channel_service(dim, path, stop, batch_wait_s):
    channel = Channel.attach(path)
    InferenceService(
        service_config(dim, batch_wait_s, channel.slots), ChannelSource(channel), None, stop, networks=[None]
    ).run()


def ask(slot, dim, transport, endpoints, count, stop):
    if transport == "shm":
        channel = Channel.attach(endpoints)
        queue, pipe = channel.queue(slot), channel.pipe(slot, 30)
    else:
        requests, reply_end = endpoints
        queue, pipe = RequestQueue(requests, 0), ReplyPipe(reply_end, 30)
    request = (slot, Game(dim).state().tolist())
    while not stop.is_set():
        queue.put(request)
        try:
            pipe.recv()
        except Exception:  # the service stopped first at the end of the window
            return
        count.value += 1


def rate(transport: str, workers: int, dim: int, seconds: float, batch_wait_s: float) -> float:
    context = multiprocessing.get_context("spawn")
    stop = context.Event()
    counts = [context.Value("q", 0, lock=False) for _ in range(workers)]
    if transport == "shm":
        channel = Channel.create(workers, dim, 1)
        service = context.Process(target=channel_service, args=(dim, channel.path, stop, batch_wait_s))
        endpoints = [channel.path] * workers
    else:
        requests = context.Queue()
        pipes = [context.Pipe(duplex=False) for _ in range(workers)]
        active = context.Value("i", workers)
        service = context.Process(
            target=queue_service, args=(dim, requests, [w for _, w in pipes], active, stop, batch_wait_s)
        )
        endpoints = [(requests, r) for r, _ in pipes]
    processes = [service] + [
        context.Process(target=ask, args=(s, dim, transport, endpoints[s], counts[s], stop)) for s in range(workers)
    ]
    for process in processes:
        process.start()
    while sum(c.value for c in counts) < 100:  # start-up (torch import in the service) is not measured
        time.sleep(0.05)
    before, started = sum(c.value for c in counts), time.perf_counter()
    time.sleep(seconds)
    done, elapsed = sum(c.value for c in counts) - before, time.perf_counter() - started
    stop.set()
    for process in processes:
        process.join(10)
        if process.is_alive():
            process.kill()
    return done / elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--batch-wait-ms", type=float, default=1.0, help="the service's gathering wait")
    args = parser.parse_args()
    results = {}
    for transport in ("queue", "shm"):
        rates = [
            rate(transport, args.workers, args.dim, args.seconds, args.batch_wait_ms / 1000)
            for _ in range(args.repeats)
        ]
        results[transport] = statistics.median(rates)
        print(
            f"{transport:>5}: {results[transport]:,.0f} evaluations/s (null network, {args.workers} workers, "
            f"{args.dim} x {args.dim}; windows: {', '.join(f'{r:,.0f}' for r in rates)})"
        )
    print(f"shm / queue: {results['shm'] / results['queue']:.1f}x")


if __name__ == "__main__":
    main()
