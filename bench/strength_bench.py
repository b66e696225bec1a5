"""Wall-clock time of one loop evaluation (every figure of a generation, see zelmor_lab.loop.strength) played
in the loop's own process against shared among N processes.

    PYTHONPATH=python python bench/strength_bench.py [--run RUN] [--generation 1] [--rounds 1]
        [--processes N] [--scale 1.0] [--dim 20]

--run: a loop's run directory; its network of --generation is measured against its predecessor, with the
loop's plan. Without it, two freshly seeded networks of the loop's default architecture (untrained, so
their games differ from a trained network's). --scale multiplies every figure's games (1.0: the plan's 400
greedy, 100 search and 400 against the predecessor). Rounds of the two ways alternate; prints the median
seconds of each and their ratio.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import statistics
import time
from pathlib import Path

from zelmor_lab.loop.generations import LoopDirectory, LoopState
from zelmor_lab.loop.plan import LoopPlan
from zelmor_lab.loop.strength import measure_strength
from zelmor_lab.training.network import Network


def fresh_networks(plan: LoopPlan) -> tuple[Network, Network]:
    import torch

    from zelmor_lab.training.model import PolicyValueNet, checkpoint_digest, encode_checkpoint

    networks = []
    for seed in (1, 2):
        torch.manual_seed(seed)
        data = encode_checkpoint(PolicyValueNet(plan.engine.dim, plan.architecture))
        networks.append(Network(f"fresh-{seed}", data, checkpoint_digest(data), 0))
    return networks[0], networks[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--run", type=Path)
    parser.add_argument("--generation", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--processes", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--dim", type=int, default=20)
    args = parser.parse_args()
    if args.processes < 2 or args.rounds < 1:
        parser.error("--processes must be at least 2 (it is compared with one process) and --rounds at least 1")

    if args.run is not None:
        directory = LoopDirectory(args.run)
        plan = LoopState.read(directory.state_path).plan
        network, previous = (
            Network.load(args.run, directory.network_name(g), plan.engine.dim)
            for g in (args.generation, args.generation - 1)
        )
    else:
        default = LoopPlan()
        plan = dataclasses.replace(default, engine=dataclasses.replace(default.engine, dim=args.dim))
        network, previous = fresh_networks(plan)
    plan = dataclasses.replace(
        plan,
        random_games=max(1, round(plan.random_games * args.scale)),
        search_games=max(1, round(plan.search_games * args.scale)),
        baseline_games=max(1, round(plan.baseline_games * args.scale)),
    )
    seconds: dict[int, list[float]] = {1: [], args.processes: []}
    for _ in range(args.rounds):
        for processes in seconds:
            started = time.monotonic()
            evaluation = measure_strength(dataclasses.replace(plan, eval_processes=processes), network, previous, False)
            seconds[processes].append(time.monotonic() - started)
    games = sum(figure.games for figure in evaluation.figures().values() if figure is not None)
    for processes, times in seconds.items():
        print(f"{processes} process{'es' if processes > 1 else ''}: {statistics.median(times):.1f} s ({games} games)")
    one, many = (statistics.median(times) for times in seconds.values())
    print(f"one/{args.processes} processes: {one / many:.2f}")


if __name__ == "__main__":
    main()
