"""zelmor-lab train: a network trained on the latest games of a run."""

from __future__ import annotations

import math
from pathlib import Path

from .arguments import add_run_command, add_value_lambda_flag, positive_int


def register(commands) -> None:
    train = add_run_command(
        commands,
        run,
        "train",
        help="train a network on the latest games of a run",
        description="Train the network on positions drawn uniformly from the latest games of RUN. "
        "When --out already has a training state, the training resumes from it.",
    )
    train.add_argument(
        "--model",
        type=Path,
        metavar="CKPT",
        help="start from this network (default: a fresh network of the default architecture)",
    )
    train.add_argument("--steps", type=positive_int, default=1000, help="optimizer steps to take (default: 1000)")
    train.add_argument(
        "--out",
        type=Path,
        metavar="CKPT",
        help="the trained network; its training state, metrics and learning curve go beside "
        "it (default: RUN/training/model.pt)",
    )
    train.add_argument(
        "--window", type=positive_int, metavar="GAMES", help="train on the latest GAMES games of the run (default: 400)"
    )
    add_value_lambda_flag(train, "")
    train.add_argument("--device", default="cpu", help='where the network trains: "cpu" (default) or "cuda:N"')
    train.add_argument(
        "--seed",
        type=int,
        help="seed of a fresh network's weights and of the batches: the same seed, data and "
        "--threads give the same network (default: fresh)",
    )
    train.add_argument(
        "--threads",
        type=positive_int,
        help="CPU threads of the training (default: PyTorch's, one per core); "
        "fewer are faster when other jobs share the cores",
    )


def run(args) -> int:
    from ..training.train import TrainingSettings, train

    chosen = {"window": args.window, "value_lambda": args.value_lambda}
    settings = TrainingSettings(**{name: value for name, value in chosen.items() if value is not None})
    if args.threads is not None:
        import torch

        torch.set_num_threads(args.threads)
    summary = train(
        args.run,
        args.out,
        args.steps,
        model=args.model,
        settings=settings,
        progress=True,
        device=args.device,
        seed=args.seed,
    )
    metrics = summary.last_metrics or {}
    print(
        f"steps {summary.start_step} -> {summary.step} on {summary.positions} positions of the latest "
        f"{summary.games} games; policy loss {metrics.get('policy_loss', math.nan):.3f}, "
        f"value loss {metrics.get('value_loss', math.nan):.3f}, "
        f"policy top-1 {metrics.get('policy_top1', math.nan):.2f}"
    )
    print(f"network: {summary.out}")
    return 0
