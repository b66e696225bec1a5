"""zelmor-lab loop: self-play, training and evaluation, generation after generation."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

from ..constants import STANDARD_DIM
from .arguments import (
    add_cluster_flags,
    add_fast_search_flags,
    add_root_search_flag,
    add_run_command,
    add_value_lambda_flag,
    check_cluster_flags,
    cluster_nodes,
    positive_int,
    positive_minutes,
    whole_number,
)
from .exits import CommandFailed

if TYPE_CHECKING:
    from ..loop.records import GenerationRecord


def register(commands) -> None:
    loop = add_run_command(
        commands,
        run,
        "loop",
        help="self-play, train and evaluate, generation after generation",
        description="Run the training loop in RUN: self-play with the current network, training on the "
        "latest games, evaluation against random and heuristic players and the previous network. Running "
        "it again continues the loop where it stopped.",
    )
    loop.add_argument(
        "--generations",
        type=positive_int,
        metavar="G",
        help="stop once the network of generation G is evaluated (default: no limit)",
    )
    loop.add_argument(
        "--minutes",
        type=positive_minutes,
        default=60.0,
        metavar="M",
        help="time budget of this session in minutes; no generation starts that would not end in time (default: 60)",
    )
    loop.add_argument("--dim", type=positive_int, help=f"board side of a new loop (default: {STANDARD_DIM})")
    loop.add_argument(
        "--sims", type=positive_int, help="simulations of a full search in a new loop's self-play (default: 96)"
    )
    add_root_search_flag(loop, " in a new loop's self-play and strength matches")
    add_fast_search_flags(loop, " in a new loop's self-play", share_default="0.25")
    add_value_lambda_flag(loop, " in a new loop")
    loop.add_argument(
        "--seed",
        type=whole_number,
        help="seed of a new loop's first weights, warm-start games and batches (default: 0)",
    )
    loop.add_argument(
        "--config",
        type=Path,
        metavar="FILE.toml",
        help="the plan of a new loop: its fields at the top level, [engine], [architecture] and "
        "[training] tables for its parts (flags take precedence)",
    )
    add_cluster_flags(loop)


def run(args) -> int:
    from ..loop.generations import LoopDirectory
    from ..loop.plan import load_plan
    from ..loop.records import best_generation
    from ..selfplay.pipeline import PipelineError

    check_cluster_flags(args)
    chosen = (
        args.config,
        args.dim,
        args.sims,
        args.seed,
        args.root_search,
        args.full_search_share,
        args.fast_sims,
        args.value_lambda,
    )
    # None: the new loop's defaults, or the loop's own
    plan = None if chosen == (None,) * len(chosen) else load_plan(*chosen)
    try:
        state = _run_loop(args, plan) if args.ray is None else _on_cluster(args, plan)
    except PipelineError as error:
        raise CommandFailed(str(error)) from None
    directory = LoopDirectory(args.run)
    print(
        f"generation {state.generation}: {args.run / directory.network_name(state.generation)}; "
        f"best against heuristic players: generation {best_generation(state.records)}, {directory.best_path}; "
        f"summary in {directory.summary_png}, table in {directory.results_md}"
    )
    return 0


def _run_loop(args, plan, jobs=None):
    from ..loop.generations import run_loop

    return run_loop(args.run, args.generations, args.minutes, plan, True, _print_record, jobs)


def _on_cluster(args, plan):
    """The loop with self-play on the cluster's nodes and training and evaluation in its learner."""
    from ..cluster import ClusterJobs, connect, disconnect

    connect(args.ray)
    try:
        with ClusterJobs(cluster_nodes(args), args.workers_per_node) as jobs:
            return _run_loop(args, plan, jobs)
    finally:
        disconnect()


def _print_record(record: GenerationRecord) -> None:
    def payoff(summary):
        return "-" if summary is None else f"{summary.mean:.3f} ± {summary.half_width:.3f} ({summary.games})"

    losses = ""
    if record.unseen is not None and record.training is not None:
        losses = (
            f"; value loss on unseen games {record.unseen['value_loss']:.3f}, "
            f"on trained batches {record.training['value_loss']:.3f}"
        )
    print(
        f"generation {record.generation} ({record.elapsed_s / 60:.1f} min, {record.games} games, "
        f"step {record.step}): greedy vs random {payoff(record.vs_random)}, "
        f"search vs random {payoff(record.search_vs_random)}, "
        f"greedy vs heuristic {payoff(record.greedy_vs_heuristic)}, "
        f"search vs heuristic {payoff(record.vs_heuristic)}, "
        f"vs previous {payoff(record.vs_previous)}{losses}",
        flush=True,
    )
