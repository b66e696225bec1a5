"""Throughput of the whole self-play pipeline (workers, request queue, inference service, pipes) and, in
the same run, of the network alone on batches of the size the pipeline formed.

    PYTHONPATH=python python bench/pipeline_bench.py [--seconds 60] [--dim 20] [--sims 32] [--workers W]

For the default network and for a trivial one (one block of one channel, so the network costs almost
nothing and the exchange shows): evaluations per second, games per hour (the evaluation rate divided by
simulations per action times the mean length of random-play games, which an untrained network's games
resemble; a window rarely sees enough finished games to average), the games that did finish in the
window, mean batch size, the share of the service's wall time spent inside the network, the network
alone on batches of the pipeline's mean size rounded, and the ratio pipeline / network alone.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import time

from zelmor_lab import Game
from zelmor_lab.pipeline import FinishedGame, Pipeline
from zelmor_lab.settings import Settings
from zelmor_lab.workers import TRAINING, WorkerConfig

# torch is imported inside the functions: the workers start by importing this file, and like the
# command line's workers they should not carry torch.
NETWORKS = {"default": {}, "trivial": {"blocks": 1, "channels": 1, "value_hidden": 1}}


def random_game_length(dim: int, games: int = 20) -> float:
    total = 0
    for _ in range(games):
        game = Game(dim)
        while not game.is_terminal():
            game.apply(random.choice(game.legal_tiles()))
        total += len(game.history)
    return total / games


def pipeline_rate(architecture, settings: Settings, seconds: float, game_length: float) -> dict:
    from zelmor_lab.model import PolicyValueNet, encode_checkpoint

    checkpoint = encode_checkpoint(PolicyValueNet(settings.dim, architecture))
    finished = 0
    with Pipeline(WorkerConfig(TRAINING, settings), (checkpoint,)) as pipeline:
        deadline = None
        for event in pipeline.events():
            if deadline is None and pipeline.stats.evaluations:
                deadline = time.monotonic() + seconds  # the window opens with the first evaluation
            if isinstance(event, FinishedGame):
                finished += 1
            if deadline is not None and time.monotonic() >= deadline:
                counts = pipeline.stats
                pipeline.stop()
    evaluations_per_s = counts.evaluations / counts.wall_seconds
    return {"evaluations/s": evaluations_per_s,
            "games/hour": evaluations_per_s * 3600 / (settings.sims_per_move * game_length),
            "games finished": finished, "mean batch": counts.mean_batch, "model share": counts.model_share}


def network_alone_rate(architecture, dim: int, batch: int, threads: int, seconds: float) -> float:
    """Evaluations per second of the network alone, in this process with the service's thread count,
    on real positions of a game in progress: the median of one-second slices, so that a burst of load
    from other processes moves it less."""
    import torch
    from zelmor_lab.model import PolicyValueNet

    torch.set_num_threads(threads)
    model = PolicyValueNet(dim, architecture).eval()
    game = Game(dim)
    for _ in range(40):
        game.apply(game.legal_tiles()[len(game.legal_tiles()) // 2])
    planes = torch.tensor([game.state().tolist()] * batch, dtype=torch.float32)
    rates = []
    with torch.inference_mode():
        for _ in range(3):
            model(planes)
        for _ in range(max(1, round(seconds))):
            runs, started = 0, time.perf_counter()
            while time.perf_counter() - started < 1.0:
                model(planes)
                runs += 1
            rates.append(runs * batch / (time.perf_counter() - started))
    return statistics.median(rates)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="measuring window per network")
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--sims", type=int, default=Settings().sims_per_move)
    parser.add_argument("--workers", type=int, default=Settings().workers)
    args = parser.parse_args()
    settings = Settings(dim=args.dim, sims_per_move=args.sims, workers=args.workers)
    service_threads = max(1, (os.cpu_count() or 1) - settings.workers)  # as the pipeline gives the service
    game_length = random_game_length(settings.dim)
    print(f"{os.cpu_count()} cores, {settings.workers} workers, board {settings.dim}, "
          f"{settings.sims_per_move} simulations per action, service threads {service_threads}, "
          f"window {args.seconds:g} s, random-play game length {game_length:.0f} actions")
    header = (f"{'network':<8} {'params':>8} {'evals/s':>8} {'games/h':>8} {'finished':>8} {'batch':>6} "
              f"{'model share':>11} {'alone evals/s':>13} {'pipeline/alone':>14}")
    print(header)
    from zelmor_lab.model import Architecture, PolicyValueNet

    for name, shape in NETWORKS.items():
        architecture = Architecture(**shape)
        result = pipeline_rate(architecture, settings, args.seconds, game_length)
        batch = max(1, round(result["mean batch"]))
        alone = network_alone_rate(architecture, settings.dim, batch, service_threads, min(args.seconds, 10))
        params = sum(p.numel() for p in PolicyValueNet(settings.dim, architecture).parameters())
        print(f"{name:<8} {params:>8} {result['evaluations/s']:>8.0f} {result['games/hour']:>8.1f} "
              f"{result['games finished']:>8} {result['mean batch']:>6.2f} {result['model share']:>11.1%} "
              f"{alone:>8.0f} (B={batch}) {result['evaluations/s'] / alone:>14.1%}")


if __name__ == "__main__":
    main()
