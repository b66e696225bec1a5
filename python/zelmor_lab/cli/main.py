"""The ``zelmor-lab`` command: its parser, made of one module per subcommand, and the one place where a
command's failure becomes a printed line and an exit status (see exits)."""

from __future__ import annotations

import argparse
import signal
import sys
import threading

from ..cli import check, evaluate, export, info, loop, selfplay, serve, show, train
from ..errors import InputError, WriteError
from .exits import EXIT_BAD_INPUT, EXIT_FAILED, EXIT_INTERRUPTED, CommandFailed

COMMANDS = (selfplay, evaluate, info, show, export, serve, train, loop, check)  # in the order of the help
EXAMPLES = {
    "selfplay": "zelmor-lab selfplay runs/demo --games 8 --dim 10",
    "eval": "zelmor-lab eval --model runs/demo/training/model.pt --vs heuristic --games 200",
    "info": "zelmor-lab info runs/demo",
    "show": "zelmor-lab show runs/demo --game -1 --png last.png",
    "export": "zelmor-lab export runs/demo --format csv --out games.csv",
    "serve": "zelmor-lab serve runs/demo --model runs/demo/training/model.pt",
    "train": "zelmor-lab train runs/demo --steps 500",
    "loop": "zelmor-lab loop runs/loop --minutes 60",
    "check": "zelmor-lab check runs/demo --move-aside",
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zelmor-lab",
        description="Self-play, training and evaluation for Zelmor, a four-player polyomino game.",
        epilog="Each command's help (zelmor-lab COMMAND --help) ends with an example.",
    )
    parser.add_argument("--version", action="version", version=f"zelmor-lab {_version()}")
    commands = parser.add_subparsers(required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.register(commands)
    for name, subparser in commands.choices.items():
        subparser.epilog = f"example: {EXAMPLES[name]}"
    return parser


def _way_on(error: InputError, args) -> str:
    """How to go on past a damaged shard, which every command reading the run stops at."""
    from ..runs.store import CorruptShardError

    if not isinstance(error, CorruptShardError) or getattr(args, "run", None) is None:
        return ""
    return f"; zelmor-lab check {args.run} --move-aside moves damaged shards aside, and the rest reads"


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("zelmor-lab")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "(not installed)"


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _stop_on_sigterm)
    try:
        return args.command(args)
    except InputError as error:
        print(f"zelmor-lab: error: {error}{_way_on(error, args)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except (WriteError, CommandFailed) as error:
        print(f"zelmor-lab: error: {error}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("zelmor-lab: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        if previous is not None and signal.getsignal(signal.SIGTERM) is _stop_on_sigterm:
            signal.signal(signal.SIGTERM, previous)  # no SIGTERM came: the caller's handling is back


def _stop_on_sigterm(signum, frame) -> None:
    """SIGTERM stops a command as Ctrl-C does (a running pipeline takes it over while it runs); a
    second one must not cut that stop short."""
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise KeyboardInterrupt
