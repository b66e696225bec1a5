"""zelmor-lab selfplay: self-play training games into a run, on this machine or on a Ray cluster, with
a progress bar."""

from __future__ import annotations

import sys
import time
from pathlib import Path

from ..errors import InputError
from ..selfplay.session import REFRESH_S, SelfPlayOutcome, play_games
from ..selfplay.settings import load_settings
from ..training.network import Network
from .arguments import (
    add_cluster_flags,
    add_fast_search_flags,
    add_pipeline_flags,
    add_root_search_flag,
    add_run_command,
    check_cluster_flags,
    cluster_nodes,
    positive_int,
)
from .board_side import implied_dim
from .exits import CommandFailed
from .requirements import require_pipeline


def register(commands) -> None:
    selfplay = add_run_command(
        commands,
        run,
        "selfplay",
        help="play self-play training games into a run directory",
        description="Play self-play games with tree search and store them in RUN "
        "(created, or appended to). Without --model a new run starts "
        "from a fresh default network and a run that goes on keeps "
        "the network of its latest session.",
    )
    selfplay.add_argument("--games", type=positive_int, help="games to play (default: until Ctrl-C)")
    add_pipeline_flags(selfplay)
    selfplay.add_argument("--sims", type=positive_int, help="simulations per action (setting sims_per_move)")
    add_root_search_flag(selfplay, "")
    add_fast_search_flags(selfplay, "")
    add_cluster_flags(selfplay)


def run(args) -> int:
    from ..runs.store import session_record

    check_cluster_flags(args)
    if args.ray is not None and args.workers is not None:
        raise InputError("--workers sets the workers of this machine; on a cluster use --workers-per-node")
    settings = load_settings(
        args.config,
        dim=implied_dim(args.dim, args.config, args.run, [args.model]),
        sims_per_move=args.sims,
        root_search=args.root_search,
        full_search_share=args.full_search_share,
        fast_sims=args.fast_sims,
        workers=args.workers,
        services=args.services,
        max_batch=args.max_batch,
        transport=args.transport,
        backend=args.backend,
        device=args.device,
    )
    require_pipeline(settings)
    network, fresh = selfplay_network(args.run, args.model, settings.dim)
    session = session_record("selfplay", settings.as_dict(), network.record())
    new_files = {network.path: network.data} if fresh else None
    before = stored_games(args.run)
    if args.ray is not None:
        return _on_cluster(args, settings, network, session, new_files, before)
    outcome = play_games(args.run, settings, network, args.games, session, new_files)
    print(
        f"{outcome.games} games, {outcome.positions} positions stored in {args.run}"
        + _run_total(before, outcome.games)
        + (f"; {outcome.abandoned} abandoned" if outcome.abandoned else "")
    )
    return report(outcome)


def stored_games(run: Path) -> int | None:
    """Games the run holds already, from the shards' footers; None when they cannot be counted (a new run,
    or a damaged shard, which the commands that read the games name)."""
    import pyarrow.parquet as pq

    from ..runs.store import Run, RunError

    if not (run / "run.json").is_file():
        return None
    try:
        return sum(pq.read_metadata(shard).num_rows for shard in Run(run).shards())
    except (OSError, ValueError, RunError):  # pyarrow's ArrowInvalid is a ValueError
        return None


def _run_total(before: int | None, played: int) -> str:
    return "" if not before else f"; the run now holds {before + played} games ({before} before this session)"


def _on_cluster(args, settings, network: Network, session: dict, new_files: dict | None, before: int | None) -> int:
    from ..cluster import connect, disconnect
    from ..runs.store import RunWriter, check_run_target
    from ..selfplay.workers import WorkerConfig

    check_run_target(args.run, settings.dim)
    connect(args.ray)
    try:
        nodes = cluster_nodes(args)
        session = dict(
            session, cluster={"address": args.ray, "nodes": nodes, "workers_per_node": args.workers_per_node}
        )
        with RunWriter(args.run, settings.dim, session, settings.flush_every, new_files) as writer:
            outcome, from_nodes, lost = _play_on_cluster(WorkerConfig(settings), network, args, writer, nodes)
    finally:
        disconnect()
    print(
        f"{outcome.games} games, {outcome.positions} positions stored in {args.run} from {from_nodes} nodes"
        + _run_total(before, outcome.games)
        + (f"; {lost} games in progress lost with their nodes" if lost else "")
        + (f"; {outcome.abandoned} abandoned" if outcome.abandoned else "")
    )
    return report(outcome)


def _play_on_cluster(config, network: Network, args, writer, nodes: int) -> tuple[SelfPlayOutcome, int, int]:
    """Self-play over the cluster's nodes into ``writer`` with a progress bar; returns the outcome, the
    number of nodes the games came from and the games lost with nodes."""
    from ..cluster import Abandoned, ClusterFailed, ClusterSelfPlay, NodeGame, NodeJoined, NodeLost
    from ..progress import progress_bar

    games = positions = abandoned = lost = 0
    from_nodes: set[str] = set()
    failure = None
    with (
        ClusterSelfPlay(nodes, args.workers_per_node) as cluster,
        progress_bar(total=args.games, unit="game", dynamic_ncols=True) as bar,
    ):
        started = last_refresh = time.monotonic()
        try:
            for event in cluster.play(config, network.data, network.digest, args.games):
                if isinstance(event, NodeGame):
                    stored = event.store(writer)
                    if stored:
                        games, positions = games + 1, positions + stored
                        from_nodes.add(event.node)
                        bar.update(1)
                elif isinstance(event, NodeLost):
                    lost += event.games
                    bar.write(
                        f"zelmor-lab: node {event.node} lost with {event.games} games in progress; "
                        f"its actor waits for a node to rejoin",
                        file=sys.stderr,
                    )
                elif isinstance(event, NodeJoined):
                    bar.write(f"zelmor-lab: node {event.node} playing", file=sys.stderr)
                elif isinstance(event, Abandoned):
                    abandoned += event.games
                now = time.monotonic()
                if now - last_refresh >= REFRESH_S:
                    last_refresh = now
                    bar.set_postfix({"pos/s": f"{positions / (now - started):.1f}"}, refresh=True)
        except ClusterFailed as error:
            failure = str(error)
        finally:
            writer.flush()
        interrupted = cluster.interrupted
    return SelfPlayOutcome(games, positions, abandoned, interrupted, failure), len(from_nodes), lost


def selfplay_network(run: Path, model: Path | None, dim: int) -> tuple[Network, bool]:
    """The network to play with and whether it is a fresh one, which the run must then keep."""
    from ..runs.store import Run
    from ..training.model import (
        Architecture,
        CheckpointError,
        PolicyValueNet,
        checkpoint_digest,
        decode_checkpoint,
        encode_checkpoint,
        read_checkpoint_file,
    )

    if model is not None:
        data = read_checkpoint_file(model)
        checkpoint = decode_checkpoint(data, str(model), dim=dim)
        return Network(str(model.resolve()), data, checkpoint.digest, checkpoint.step), False
    if (run / "run.json").exists():
        existing = Run(run)
        existing.check_dim(dim)
        latest = existing.meta["sessions"][-1].get("model", {})
        if "path" not in latest or "digest" not in latest:
            raise InputError(f"the latest session of {run} does not name its network; pass --model")
        path = run / latest["path"]  # an absolute path stays as it is
        data = read_checkpoint_file(path)
        checkpoint = decode_checkpoint(data, str(path), dim=dim)
        if checkpoint.digest != latest["digest"]:
            raise CheckpointError(
                f"checkpoint {path} has changed since the run's latest session used it "
                f"(digest {checkpoint.digest}, recorded {latest['digest']}); pass --model"
            )
        return Network(latest["path"], data, checkpoint.digest, checkpoint.step), False
    data = encode_checkpoint(PolicyValueNet(dim, Architecture()))
    digest = checkpoint_digest(data)
    return Network(f"models/{digest}.pt", data, digest, 0), True


def report(outcome: SelfPlayOutcome) -> int:
    """0 for a play that ended as asked; otherwise its failure, interruption or abandoned games, raised for
    the command line to report."""
    if outcome.failure is not None:
        raise CommandFailed(outcome.failure)
    if outcome.interrupted:
        raise KeyboardInterrupt
    if outcome.abandoned:
        raise CommandFailed(
            f"the engine abandoned {outcome.abandoned} games (a search failed, as it does when the network answers NaN)"
        )
    return 0
