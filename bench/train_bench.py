"""Training steps of the loop's network on one thread: milliseconds a step (the loop's batch, its
20 x 20 board and architecture) as the trainer lays the weights out (channels last) and in the usual
order, the two layouts taking turns so that a change of the machine's pace falls on both. The batches
come from games of heuristic and random players, so no run is needed.

    PYTHONPATH=python python bench/train_bench.py [--steps 40] [--repeats 3] [--games 32]
"""

from __future__ import annotations

import argparse
import statistics
import time


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--steps", type=int, default=40, help="timed steps per measurement")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--games", type=int, default=32, help="games the batches are drawn from")
    args = parser.parse_args()

    import numpy as np
    import torch

    from zelmor_lab.loop.plan import LoopPlan
    from zelmor_lab.loop.warm_start import warmup_window
    from zelmor_lab.training.model import PolicyValueNet
    from zelmor_lab.training.train import Trainer

    torch.set_num_threads(1)
    plan = LoopPlan()
    window = warmup_window(args.games, plan.engine.dim, seed=1)
    rng = np.random.default_rng(1)
    batches = [window.sample(rng, plan.training.batch_size) for _ in range(args.steps + 5)]

    def ms_per_step(layout: torch.memory_format) -> float:
        torch.manual_seed(1)
        trainer = Trainer(PolicyValueNet(plan.engine.dim, plan.architecture), plan.training)
        trainer.model.to(memory_format=layout)
        for batch in batches[:5]:  # the first steps allocate the optimizer's state
            trainer.train_step(batch)
        start = time.perf_counter()
        for batch in batches[5:]:
            trainer.train_step(batch)
        return (time.perf_counter() - start) / args.steps * 1e3

    times: dict[str, list[float]] = {"channels last": [], "usual order": []}
    for _ in range(args.repeats):
        times["channels last"].append(ms_per_step(torch.channels_last))
        times["usual order"].append(ms_per_step(torch.contiguous_format))
    medians = {name: statistics.median(values) for name, values in times.items()}
    for name, values in times.items():
        print(f"{name}: {medians[name]:.1f} ms a step (median of {', '.join(f'{v:.1f}' for v in values)})")
    print(f"usual order / channels last: {medians['usual order'] / medians['channels last']:.2f}x")


if __name__ == "__main__":
    main()
