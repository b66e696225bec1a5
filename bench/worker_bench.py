"""A self-play worker's own CPU time per network evaluation, with the engine meeting the shared-memory channel
as bytes and floats against the same channel objects behind a thin Python wrapper, which the engine can only
use through `put` of nested lists and `recv` of float lists.

    PYTHONPATH=python python bench/worker_bench.py [--rounds 5] [--games 2] [--dim 20] [--sims 32]

One worker process plays --games self-play games per round and measures its CPU time (time.process_time);
a service process answers through the channel with a null network (zero logits, no computing). Rounds of
the two ways alternate; prints the median µs per evaluation of each and their ratio.
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import time

import numpy as np

from zelmor_lab.selfplay.channel import Channel


class Wrapped:
    """The same object seen through Python, so the engine cannot recognise the channel behind it."""

    def __init__(self, inner, method: str):
        setattr(self, method, getattr(inner, method))


def serve(path: str, stop) -> None:
    channel = Channel.attach(path)
    channel.serve()
    while not stop.is_set():
        for _, ready in channel.wait_batch(0.0, 0.05):
            channel.complete(ready, np.zeros((len(ready), channel.dim**2 + 4), dtype=np.float32))


def settings(dim: int, sims: int):
    return type(
        "Settings",
        (),
        dict(
            dim=dim,
            rep=1,
            sims_per_move=sims,
            sample_moves=30,
            c_base=19652.0,
            c_init=1.25,
            dirichlet_alpha=0.3,
            exploration_fraction=0.25,
        ),
    )()


def worker(path: str, wrapped: bool, games: int, dim: int, sims: int, results) -> None:
    import zelmor_self_play

    channel = Channel.attach(path)
    queue, pipe = channel.queue(0), channel.pipe(0, 30.0)
    if wrapped:
        queue, pipe = Wrapped(queue, "put"), Wrapped(pipe, "recv")
    counted = []

    class Counting:
        """Counts the requests by the actions of each finished game: one root and `sims` leaves per action,
        less the leaves that are finished games (few), so evaluations ~ actions * (sims + 1)."""

        def put(self, record):
            counted.append(len(record[1][0]) * (sims + 1))

    started = time.process_time()
    for _ in range(games):
        zelmor_self_play.play_training_game(0, settings(dim, sims), Counting(), queue, pipe)
    results.put((time.process_time() - started) / sum(counted) * 1e6)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--games", type=int, default=2)
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--sims", type=int, default=32)
    args = parser.parse_args()

    channel = Channel.create(1, args.dim, 1)
    stop = multiprocessing.Event()
    service = multiprocessing.Process(target=serve, args=(channel.path, stop))
    service.start()
    results = multiprocessing.Queue()
    micros = {False: [], True: []}
    try:
        for _ in range(args.rounds):
            for wrapped in (False, True):
                process = multiprocessing.Process(
                    target=worker, args=(channel.path, wrapped, args.games, args.dim, args.sims, results)
                )
                process.start()
                micros[wrapped].append(results.get())
                process.join()
    finally:
        stop.set()
        service.join()
    direct, through_python = statistics.median(micros[False]), statistics.median(micros[True])
    print(
        f"worker CPU µs per evaluation, median of {args.rounds} rounds of {args.games} games "
        f"({args.dim} x {args.dim}, {args.sims} simulations):"
    )
    print(f"  bytes into the slot:       {direct:.1f}  (rounds: {', '.join(f'{m:.1f}' for m in micros[False])})")
    print(
        f"  nested lists through Python: {through_python:.1f}  (rounds: {', '.join(f'{m:.1f}' for m in micros[True])})"
    )
    print(f"lists/bytes: {through_python / direct:.2f}")


if __name__ == "__main__":
    main()
