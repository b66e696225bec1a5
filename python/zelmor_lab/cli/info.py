"""zelmor-lab info: statistics of a run's games."""

from __future__ import annotations

import sys

from .arguments import add_run_command


def register(commands) -> None:
    add_run_command(commands, run, "info", help="statistics of the games of a run")


def run(args) -> int:
    from tqdm import tqdm

    from ..runs.replay import RunSummary
    from ..runs.store import Run

    run = Run(args.run)
    summary = RunSummary(run.dim)
    for index, game in enumerate(tqdm(run.games(), unit="game", file=sys.stderr, disable=None, leave=False)):
        summary.add(game, index)
    print(
        f"run {args.run}: {run.dim} x {run.dim} board, sessions: {len(run.meta['sessions'])}, "
        f"shards: {len(run.shards())}"
    )
    print(summary.describe())
    return 0
