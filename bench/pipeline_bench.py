"""Throughput of the whole self-play pipeline (workers, request queue, inference service, pipes) and, in
the same run, of the network alone on batches of the size the pipeline formed.

    PYTHONPATH=python python bench/pipeline_bench.py [--seconds 10] [--rounds 5] [--dim 20] [--sims 32]
        [--workers W] [--max-batch M] [--networks default,trivial]

For each network named (default: the default network; trivial: one block of one channel, so the network
costs almost nothing and the exchange shows; loop: the loop's network): evaluations per second, games
per hour (the evaluation rate divided by simulations per action times the mean length of random-play
games, which an untrained network's games resemble; a window rarely sees enough finished games to
average), the games that did finish in the windows, mean batch size, the share of the service's wall time spent inside the network, the network
alone on batches of the pipeline's mean size rounded, and the ratio pipeline / network alone (medians over
the rounds, see measure(); the lowest and highest round follow).
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import random
import signal
import statistics
import time

from zelmor_lab import Game
from zelmor_lab.pipeline import FinishedGame, Pipeline
from zelmor_lab.settings import Settings
from zelmor_lab.workers import TRAINING, WorkerConfig

# torch is imported inside the functions: the workers start by importing this file, and like the
# command line's workers they should not carry torch.
NETWORKS = ("default", "trivial", "loop")


def architecture_of(network: str):
    from zelmor_lab.loop import LoopPlan
    from zelmor_lab.model import Architecture

    return {"default": Architecture(), "trivial": Architecture(blocks=1, channels=1, value_hidden=1),
            "loop": LoopPlan().architecture}[network]


def random_game_length(dim: int, games: int = 20) -> float:
    total = 0
    for _ in range(games):
        game = Game(dim)
        while not game.is_terminal():
            game.apply(random.choice(game.legal_tiles()))
        total += len(game.history)
    return total / games


def measure(architecture, settings: Settings, threads: int, rounds: int, seconds: float,
            game_length: float) -> dict:
    """The pipeline and the network alone in alternating windows: ``rounds`` times, ``seconds`` of the
    pipeline, then, with every process of the pipeline stopped (SIGSTOP), ``seconds / 2`` of the network
    alone in this process with the service's thread count, on batches of the pipeline's mean size. This
    machine's speed drifts by 20% within a minute, so each pipeline window is compared with the network
    alone measured right after it: the ratio is the median of the rounds' ratios."""
    import torch
    from zelmor_lab.model import PolicyValueNet, decode_checkpoint, encode_checkpoint

    checkpoint = encode_checkpoint(PolicyValueNet(settings.dim, architecture))
    torch.set_num_threads(threads)
    model = decode_checkpoint(checkpoint, "alone").model
    pipeline_rates, alone_rates, model_shares, finished = [], [], [], 0
    with Pipeline(WorkerConfig(TRAINING, settings), (checkpoint,)) as pipeline:
        # A window opens once the service has counted a batch after ``opens_after`` evaluations: the first
        # batch of the run, and after a pause the batch that the pause interrupted, whose time includes it.
        window, opens_after = None, 0  # window: (start time, service counts at the start)
        for event in pipeline.events():
            if isinstance(event, FinishedGame):
                finished += 1
            counts = pipeline.stats
            if window is None:
                if counts.evaluations > opens_after:
                    window = (time.monotonic(), counts)
                continue
            now = time.monotonic()
            if now - window[0] < seconds:
                continue
            pipeline_rates.append((counts.evaluations - window[1].evaluations) / (now - window[0]))
            model_shares.append((counts.model_seconds - window[1].model_seconds) / (now - window[0]))
            children = multiprocessing.active_children()
            for child in children:
                os.kill(child.pid, signal.SIGSTOP)
            try:
                alone_rates.append(network_alone_rate(model, settings.dim, max(1, round(counts.mean_batch)),
                                                      seconds / 2))
            finally:
                for child in children:
                    os.kill(child.pid, signal.SIGCONT)
            if len(pipeline_rates) == rounds:
                pipeline.stop()
            window, opens_after = None, pipeline.stats.evaluations
    evaluations_per_s = statistics.median(pipeline_rates)
    return {"evaluations/s": evaluations_per_s,
            "games/hour": evaluations_per_s * 3600 / (settings.sims_per_move * game_length),
            "games finished": finished, "mean batch": counts.mean_batch,
            "model share": statistics.median(model_shares),
            "alone": statistics.median(alone_rates),
            "ratios": [p / a for p, a in zip(pipeline_rates, alone_rates)]}


def network_alone_rate(model, dim: int, batch: int, seconds: float) -> float:
    """Evaluations per second of ``model`` alone on real positions of a game in progress, over the whole
    window: the statistic of the pipeline's windows, so that a burst of load from elsewhere weighs on
    both alike."""
    import torch

    game = Game(dim)
    for _ in range(40):
        game.apply(game.legal_tiles()[len(game.legal_tiles()) // 2])
    planes = torch.tensor([game.state().tolist()] * batch, dtype=torch.float32)
    with torch.inference_mode():
        for _ in range(3):
            model(planes)
        runs, started = 0, time.perf_counter()
        while time.perf_counter() - started < seconds:
            model(planes)
            runs += 1
    return runs * batch / (time.perf_counter() - started)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="pipeline window of each round")
    parser.add_argument("--rounds", type=int, default=5, help="pipeline windows per network")
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--sims", type=int, default=Settings().sims_per_move)
    parser.add_argument("--workers", type=int, default=Settings().workers)
    parser.add_argument("--max-batch", type=int, default=Settings().max_batch, help="0: half the workers")
    parser.add_argument("--networks", default="default,trivial", help=f"comma-separated, of {', '.join(NETWORKS)}")
    args = parser.parse_args()
    networks = args.networks.split(",")
    if not set(networks) <= set(NETWORKS):
        parser.error(f"--networks takes {', '.join(NETWORKS)}")
    settings = Settings(dim=args.dim, sims_per_move=args.sims, workers=args.workers, max_batch=args.max_batch)
    threads = max(1, (os.cpu_count() or 1) - settings.workers)  # as the pipeline gives the service
    game_length = random_game_length(settings.dim)
    print(f"{os.cpu_count()} cores, {settings.workers} workers, batches of at most "
          f"{settings.batch_limit(settings.workers)}, board {settings.dim}, "
          f"{settings.sims_per_move} simulations per action, service threads {threads}, "
          f"{args.rounds} rounds of {args.seconds:g} s, random-play game length {game_length:.0f} actions")
    header = (f"{'network':<8} {'params':>8} {'evals/s':>8} {'games/h':>8} {'finished':>8} {'batch':>6} "
              f"{'model share':>11} {'alone evals/s':>13} {'pipeline/alone':>14}")
    print(header)
    from zelmor_lab.model import PolicyValueNet

    for name in networks:
        architecture = architecture_of(name)
        result = measure(architecture, settings, threads, args.rounds, args.seconds, game_length)
        params = sum(p.numel() for p in PolicyValueNet(settings.dim, architecture).parameters())
        print(f"{name:<8} {params:>8} {result['evaluations/s']:>8.0f} {result['games/hour']:>8.1f} "
              f"{result['games finished']:>8} {result['mean batch']:>6.2f} {result['model share']:>11.1%} "
              f"{result['alone']:>8.0f} (B={max(1, round(result['mean batch']))}) "
              f"{statistics.median(result['ratios']):>14.1%} (rounds {min(result['ratios']):.0%} to "
              f"{max(result['ratios']):.0%})")


if __name__ == "__main__":
    main()
