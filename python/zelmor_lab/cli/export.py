"""zelmor-lab export: a run's games for other tools, one game per line."""

from __future__ import annotations

from pathlib import Path

from .arguments import add_run_command


def register(commands) -> None:
    export = add_run_command(
        commands,
        run,
        "export",
        help="write a run's games for other tools, one game per line",
        description="Write every game of RUN, one per line: JSON Lines with the search's "
        "visit shares, or CSV without them.",
    )
    export.add_argument("--format", default="jsonl", metavar="jsonl|csv", help="(default: jsonl)")
    export.add_argument("--out", type=Path, metavar="FILE", help="file to write (default: standard output)")


def run(args) -> int:
    from ..runs.export import export_run
    from ..runs.store import Run

    count = export_run(Run(args.run), args.format, args.out)
    if args.out is not None:
        print(f"{count} games written to {args.out}")
    return 0
