"""The ``train`` and ``loop`` commands of ``zelmor-lab``.

They follow the command line's exit statuses: 0 done, 1 the self-play or evaluation pipeline failed,
2 bad input (raised as InputError and reported by the caller), 130 Ctrl-C (KeyboardInterrupt, likewise);
an interrupted training or loop continues where it stopped when run again.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path
from typing import Any

from .constants import STANDARD_DIM

_EXIT_FAILED = 1


def add_training_commands(subparsers) -> None:
    """Register ``train`` and ``loop`` on the ``zelmor-lab`` subparsers; each sets ``command``."""
    train = subparsers.add_parser(
        "train", help="train a network on the latest games of a run",
        description="Train the network on positions drawn uniformly from the latest games of RUN. "
                    "When --out already has a training state, the training resumes from it.")
    train.add_argument("run", type=Path, metavar="RUN")
    train.add_argument("--model", type=Path, metavar="CKPT",
                       help="start from this network (default: a fresh network of the default architecture)")
    train.add_argument("--steps", type=positive_int, default=1000, help="optimizer steps to take (default: 1000)")
    train.add_argument("--out", type=Path, metavar="CKPT",
                       help="the trained network; its training state, metrics and learning curve go beside "
                            "it (default: RUN/training/model.pt)")
    train.add_argument("--window", type=positive_int, metavar="GAMES",
                       help="train on the latest GAMES games of the run (default: 400)")
    train.add_argument("--device", default="cpu", help='where the network trains: "cpu" (default) or "cuda:N"')
    train.set_defaults(command=_train)

    loop = subparsers.add_parser(
        "loop", help="self-play, train and evaluate, generation after generation",
        description="Run the training loop in RUN: self-play with the current network, training on the "
                    "latest games, evaluation against random players and the previous network. Running "
                    "it again continues the loop where it stopped.")
    loop.add_argument("run", type=Path, metavar="RUN")
    loop.add_argument("--generations", type=positive_int, metavar="G",
                      help="stop once the network of generation G is evaluated (default: no limit)")
    loop.add_argument("--minutes", type=_positive_minutes, default=60.0, metavar="M",
                      help="time budget of this session in minutes; no generation starts that would not "
                           "end in time (default: 60)")
    loop.add_argument("--dim", type=positive_int, help=f"board side of a new loop (default: {STANDARD_DIM})")
    loop.add_argument("--sims", type=positive_int, help="simulations per self-play action of a new loop")
    loop.add_argument("--seed", type=_whole_number,
                      help="seed of a new loop's first weights, warm-start games and batches (default: 0)")
    loop.add_argument("--config", type=Path, metavar="FILE.toml",
                      help="the plan of a new loop: its fields at the top level, [engine], [architecture] and "
                           "[training] tables for its parts (flags take precedence)")
    add_cluster_flags(loop)
    loop.set_defaults(command=_loop)


def add_cluster_flags(parser: argparse.ArgumentParser) -> None:
    """--ray, --nodes and --workers-per-node of the commands that can play on a Ray cluster."""
    parser.add_argument("--ray", metavar="ADDRESS",
                        help="play on a Ray cluster: auto, host:port of its head node, or local for one "
                             "started on this machine (needs pip install 'zelmor-lab[ray]')")
    parser.add_argument("--nodes", type=positive_int, metavar="N",
                        help="with --ray: nodes to play on (default: every node offering the resource "
                             "zelmor_selfplay)")
    parser.add_argument("--workers-per-node", type=positive_int, metavar="W",
                        help="with --ray: worker processes on each node (default: four per CPU of the node)")


def check_cluster_flags(args) -> None:
    """InputError for cluster flags given without --ray."""
    from .errors import InputError

    if args.ray is None and (args.nodes is not None or args.workers_per_node is not None):
        raise InputError("--nodes and --workers-per-node need --ray ADDRESS")


def cluster_nodes(args) -> int:
    """The self-play nodes to use on the cluster joined with --ray: --nodes, or every node that offers
    itself. ClusterError when there are none or fewer than asked."""
    from .cluster import SELFPLAY_RESOURCE, ClusterError, selfplay_nodes

    offered = selfplay_nodes()
    if offered == 0:
        raise ClusterError(f"no node of the Ray cluster at {args.ray} offers the resource {SELFPLAY_RESOURCE} "
                           f"(start them with ray start --resources '{{\"{SELFPLAY_RESOURCE}\": 1}}')")
    if args.nodes is not None and args.nodes > offered:
        raise ClusterError(f"--nodes {args.nodes}: only {offered} nodes of the Ray cluster at {args.ray} offer "
                           f"the resource {SELFPLAY_RESOURCE}")
    return offered if args.nodes is None else args.nodes


def _integer_from(least: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, got {value}")
        return value

    return parse


positive_int = _integer_from(1)  # argparse type of every count flag of the command line
_whole_number = _integer_from(0)


def _positive_minutes(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be greater than 0, got {text}")
    return value


def _train(args) -> int:
    from .train import TrainingSettings, train

    settings = TrainingSettings() if args.window is None else TrainingSettings(window=args.window)
    summary = train(args.run, args.out, args.steps, model=args.model, settings=settings, progress=True,
                    device=args.device)
    metrics = summary.last_metrics or {}
    print(f"steps {summary.start_step} -> {summary.step} on {summary.positions} positions of the latest "
          f"{summary.games} games; policy loss {metrics.get('policy_loss', math.nan):.3f}, "
          f"value loss {metrics.get('value_loss', math.nan):.3f}, "
          f"policy top-1 {metrics.get('policy_top1', math.nan):.2f}")
    print(f"network: {summary.out}")
    return 0


def _loop(args) -> int:
    from .loop import LoopDirectory, best_generation, load_plan, run_loop
    from .pipeline import PipelineError

    check_cluster_flags(args)
    chosen = (args.config, args.dim, args.sims, args.seed)
    plan = None if chosen == (None,) * 4 else load_plan(*chosen)  # None: the new loop's defaults, or the loop's own
    try:
        if args.ray is None:
            state = run_loop(args.run, generations=args.generations, minutes=args.minutes, plan=plan,
                             progress=True, on_record=_print_record)
        else:
            state = _loop_on_cluster(args, plan)
    except PipelineError as error:
        print(f"zelmor-lab: error: {error}", file=sys.stderr)
        return _EXIT_FAILED
    directory = LoopDirectory(args.run)
    print(f"generation {state.generation}: {args.run / directory.network_name(state.generation)}; "
          f"best against random players: generation {best_generation(state.records)}, {directory.best_path}; "
          f"summary in {directory.summary_png}, table in {directory.results_md}")
    return 0


def _loop_on_cluster(args, plan):
    """The loop with self-play on the cluster's nodes and training and evaluation in its learner."""
    from .cluster import ClusterJobs, connect, disconnect
    from .loop import run_loop

    connect(args.ray)
    try:
        with ClusterJobs(cluster_nodes(args), args.workers_per_node) as jobs:
            return run_loop(args.run, generations=args.generations, minutes=args.minutes, plan=plan, progress=True,
                            on_record=_print_record, jobs=jobs)
    finally:
        disconnect()


def _print_record(record: dict[str, Any]) -> None:
    def payoff(summary):
        return "-" if summary is None else f"{summary['mean']:.3f} ± {summary['half_width']:.3f} ({summary['games']})"

    losses = ""
    if record["unseen"] is not None and record["training"] is not None:
        losses = (f"; value loss on unseen games {record['unseen']['value_loss']:.3f}, "
                  f"on trained batches {record['training']['value_loss']:.3f}")
    print(f"generation {record['generation']} ({record['elapsed_s'] / 60:.1f} min, {record['games']} games, "
          f"step {record['step']}): greedy vs random {payoff(record['vs_random'])}, "
          f"search vs random {payoff(record.get('search_vs_random'))}, "
          f"greedy vs heuristic {payoff(record.get('greedy_vs_heuristic'))}, "
          f"search vs heuristic {payoff(record.get('vs_heuristic'))}, "
          f"vs previous {payoff(record['vs_previous'])}{losses}", flush=True)
