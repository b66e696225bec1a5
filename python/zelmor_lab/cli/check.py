"""zelmor-lab check: read back every shard of a run and, when asked, move the damaged ones aside."""

from __future__ import annotations

from .arguments import add_run_command
from .exits import CommandFailed


def register(commands) -> None:
    check = add_run_command(
        commands,
        run,
        "check",
        help="find a run's damaged shards and move them aside",
        description="Read back every shard of RUN and name those that cannot be read. With "
        "--move-aside they go into RUN/damaged/ (nothing is deleted), after which the rest "
        "of the run reads again.",
    )
    check.add_argument("--move-aside", action="store_true", help="move the damaged shards into RUN/damaged/")


def run(args) -> int:
    from ..runs.salvage import check_shards, move_aside
    from ..runs.store import Run

    found = check_shards(Run(args.run))
    for _, reason in found.damaged:
        print(f"damaged: {reason}")
    shards = f"{found.readable} shards read, {found.games} games"
    if not found.damaged:
        print(f"{shards}; no damaged shard")
        return 0
    if not args.move_aside:
        raise CommandFailed(
            f"{_damaged(len(found.damaged))} in {args.run}; zelmor-lab check {args.run} --move-aside moves them aside"
        )
    moved = move_aside(Run(args.run), [shard for shard, _ in found.damaged])
    print(f"{shards}; {_damaged(len(moved))} moved to {moved[0].parent}")
    return 0


def _damaged(count: int) -> str:
    return f"{count} damaged shard" + ("" if count == 1 else "s")
