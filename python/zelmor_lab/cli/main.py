"""The ``zelmor-lab`` command: its parser, made of one module per subcommand, and the one place where a
command's failure becomes a printed line and an exit status (see exits)."""

from __future__ import annotations

import argparse
import signal
import sys
import threading

from ..cli import evaluate, export, info, loop, selfplay, serve, show, train
from ..errors import InputError, WriteError
from .exits import EXIT_BAD_INPUT, EXIT_FAILED, EXIT_INTERRUPTED, CommandFailed

COMMANDS = (selfplay, evaluate, info, show, export, serve, train, loop)  # in the order of the help


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zelmor-lab", description="Self-play, training and evaluation for Zelmor, a four-player polyomino game."
    )
    commands = parser.add_subparsers(required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.register(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _stop_on_sigterm)
    try:
        return args.command(args)
    except InputError as error:
        print(f"zelmor-lab: error: {error}", file=sys.stderr)
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
