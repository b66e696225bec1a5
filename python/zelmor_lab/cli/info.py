"""zelmor-lab info: statistics of a run's games."""

from __future__ import annotations

from .arguments import add_run_command


def register(commands) -> None:
    add_run_command(commands, run, "info", help="statistics of the games of a run")


def run(args) -> int:
    from ..progress import progress_bar
    from ..runs.replay import RunSummary
    from ..runs.store import Run

    run = Run(args.run)
    summary = RunSummary(run.dim)
    for index, game in enumerate(progress_bar(run.games(), unit="game", leave=False)):
        summary.add(game, index)
    print(
        f"run {args.run}: {run.dim} x {run.dim} board, sessions: {len(run.meta['sessions'])}, "
        f"shards: {len(run.shards())}"
    )
    print(summary.describe())
    return 0
