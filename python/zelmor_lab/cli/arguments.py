"""Argument types and the flag groups several commands share."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from pathlib import Path

from ..constants import STANDARD_DIM
from ..errors import InputError
from ..selfplay.backends import BACKENDS


def integer_from(least: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, got {value}")
        return value

    return parse


positive_int = integer_from(1)  # argparse type of every count flag of the command line
whole_number = integer_from(0)


def positive_minutes(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be greater than 0, got {text}")
    return value


def share(text: str) -> float:
    """A chance greater than 0 and at most 1."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value <= 1:  # NaN fails too
        raise argparse.ArgumentTypeError(f"must be greater than 0 and at most 1, got {text}")
    return value


def port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535, got {value}")
    return value


def add_run_command(
    commands, run: Callable[[argparse.Namespace], int], name: str, **texts: str
) -> argparse.ArgumentParser:
    """The subcommand ``name`` (help and description in ``texts``) on a run directory, its first argument
    RUN, carried out by ``run(args)``."""
    parser = commands.add_parser(name, **texts)
    parser.add_argument("run", type=Path, metavar="RUN")
    parser.set_defaults(command=run)
    return parser


def add_pipeline_flags(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", type=Path, metavar="CKPT", help="the network's checkpoint")
    parser.add_argument("--workers", type=positive_int, help="worker processes (default: eight per core)")
    parser.add_argument(
        "--services", type=positive_int, help="inference service processes (default: one per core, one on a GPU)"
    )
    parser.add_argument(
        "--max-batch",
        type=positive_int,
        help="most requests a service evaluates at once (default: half its workers)",
    )
    parser.add_argument(
        "--dim", type=positive_int, help=f"board side (default: the run's, else --model's, else {STANDARD_DIM})"
    )
    parser.add_argument("--config", type=Path, metavar="FILE.toml", help="settings file (flags take precedence)")
    parser.add_argument(
        "--transport",
        choices=("shm", "queue"),
        help="worker-service exchange: shared memory (Linux default) or multiprocessing queues",
    )
    parser.add_argument(
        "--backend", choices=BACKENDS, help="how the service runs the network (default: onnxruntime where installed)"
    )
    parser.add_argument("--device", help='where the service runs the network: "cpu" (default) or "cuda:N"')


def add_root_search_flag(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "--root-search",
        choices=("puct", "gumbel"),
        help=f"how the search spends its simulations at the root (setting root_search){what}",
    )


def add_fast_search_flags(parser: argparse.ArgumentParser, what: str, share_default: str = "1: every action") -> None:
    parser.add_argument(
        "--full-search-share",
        type=share,
        metavar="P",
        help=f"chance that a self-play action gets the full search; the others get a fast one whose "
        f"policy is not trained on (setting full_search_share, default {share_default}){what}",
    )
    parser.add_argument(
        "--fast-sims",
        type=positive_int,
        metavar="N",
        help=f"simulations of a fast search (setting fast_sims, default 8){what}",
    )


def add_value_lambda_flag(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument(
        "--value-lambda",
        type=float,
        metavar="L",
        help=f"train the value on the lambda-return of the network's own values of later positions, "
        f"between 0 and 1 (setting value_lambda, default 1: the game's payoff alone){what}",
    )


def add_cluster_flags(parser: argparse.ArgumentParser) -> None:
    """--ray, --nodes and --workers-per-node of the commands that can play on a Ray cluster."""
    parser.add_argument(
        "--ray",
        metavar="ADDRESS",
        help="play on a Ray cluster: auto, host:port of its head node, or local for one "
        "started on this machine (needs pip install 'zelmor-lab[ray]')",
    )
    parser.add_argument(
        "--nodes",
        type=positive_int,
        metavar="N",
        help="with --ray: nodes to play on (default: every node offering the resource zelmor_selfplay)",
    )
    parser.add_argument(
        "--workers-per-node",
        type=positive_int,
        metavar="W",
        help="with --ray: worker processes on each node (default: four per CPU of the node)",
    )


def check_cluster_flags(args) -> None:
    """InputError for cluster flags given without --ray."""
    if args.ray is None and (args.nodes is not None or args.workers_per_node is not None):
        raise InputError("--nodes and --workers-per-node need --ray ADDRESS")


def cluster_nodes(args) -> int:
    """The self-play nodes to use on the cluster joined with --ray: --nodes, or every node that offers
    itself. ClusterError when there are none or fewer than asked."""
    from ..cluster import SELFPLAY_RESOURCE, ClusterError, selfplay_nodes

    offered = selfplay_nodes()
    if offered == 0:
        raise ClusterError(
            f"no node of the Ray cluster at {args.ray} offers the resource {SELFPLAY_RESOURCE} "
            f"(start them with ray start --resources '{{\"{SELFPLAY_RESOURCE}\": 1}}')"
        )
    if args.nodes is not None and args.nodes > offered:
        raise ClusterError(
            f"--nodes {args.nodes}: only {offered} nodes of the Ray cluster at {args.ray} offer "
            f"the resource {SELFPLAY_RESOURCE}"
        )
    return offered if args.nodes is None else args.nodes
