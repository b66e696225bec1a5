"""The ``zelmor-lab`` command: its parser, made of one module per subcommand, and the one place where a
command's failure becomes a printed line and an exit status (see exits)."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from collections.abc import Callable
from typing import IO, Any

from ..cli import check, evaluate, export, info, loop, selfplay, serve, show, train
from ..errors import InputError, WriteError
from .exits import EXIT_BAD_INPUT, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OUTPUT_CLOSED, CommandFailed

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
    stdout = sys.stdout
    sys.stdout = _Output(stdout)
    try:
        code = args.command(args)
        sys.stdout.flush()
        return code
    except _OutputClosed:
        return EXIT_OUTPUT_CLOSED
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
        sys.stdout = stdout
        if previous is not None and signal.getsignal(signal.SIGTERM) is _stop_on_sigterm:
            signal.signal(signal.SIGTERM, previous)  # no SIGTERM came: the caller's handling is back


class _OutputClosed(Exception):
    """The reader of standard output went away (a pipe into head): the command ends quietly."""


class _Output:
    """Standard output whose failures are told apart from those of any other file: a closed pipe ends the
    command quietly, and a write that fails otherwise (a full disk) is a WriteError. Either way what is
    still buffered goes nowhere, so that the interpreter's last flush at exit cannot fail again."""

    def __init__(self, stream: IO[str]):
        self._stream = stream

    def write(self, text: str) -> int:
        return self._guarded(lambda: self._stream.write(text))

    def flush(self) -> None:
        self._guarded(self._stream.flush)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)

    def _guarded(self, operation: Callable[[], Any]) -> Any:
        try:
            return operation()
        except OSError as error:
            self._discard()
            if isinstance(error, BrokenPipeError):
                raise _OutputClosed from None
            raise WriteError(f"cannot write to standard output: {error.strerror or error}") from None

    def _discard(self) -> None:
        try:
            descriptor = self._stream.fileno()
        except (OSError, ValueError):  # not a file (captured by a caller): nothing flushes it at exit
            return
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, descriptor)
        os.close(null)


def _stop_on_sigterm(signum, frame) -> None:
    """SIGTERM stops a command as Ctrl-C does (a running pipeline takes it over while it runs); a
    second one must not cut that stop short."""
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise KeyboardInterrupt
