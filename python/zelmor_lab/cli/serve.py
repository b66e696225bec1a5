"""zelmor-lab serve: the browser page over a run."""

from __future__ import annotations

from pathlib import Path

from .arguments import add_run_command, port
from .requirements import require_torch


def register(commands) -> None:
    serve = add_run_command(
        commands,
        run,
        "serve",
        help="watch, analyse and play games in the browser",
        description="Serve a page on 127.0.0.1 to list and replay the games of RUN, see "
        "what the network makes of a position, and play against it. Without "
        "--model the network is the last one a session of the run played "
        "with, if any.",
    )
    serve.add_argument("--model", type=Path, metavar="CKPT", help="the network's checkpoint")
    serve.add_argument("--port", type=port, default=8765, help="port on 127.0.0.1; 0 picks a free one (default: 8765)")


def run(args) -> int:
    from ..web.serve import serve

    if args.model is not None:
        require_torch("the page's network")
    serve(args.run, args.model, args.port)
    return 0
