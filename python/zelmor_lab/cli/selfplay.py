"""zelmor-lab selfplay: self-play training games into a run, on this machine or on a Ray cluster, with
a progress bar."""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass
from pathlib import Path

from ..backends import ONNX_DIR
from ..errors import InputError
from ..settings import load_settings
from .arguments import (
    add_cluster_flags,
    add_pipeline_flags,
    check_cluster_flags,
    cluster_nodes,
    positive_int,
)
from .exits import CommandFailed
from .requirements import require_pipeline

REFRESH_S = 0.5  # seconds between two refreshes of the progress bar's rates


def register(commands) -> None:
    selfplay = commands.add_parser("selfplay", help="play self-play training games into a run directory",
                                   description="Play self-play games with tree search and store them in RUN "
                                               "(created, or appended to). Without --model a new run starts "
                                               "from a fresh default network and a run that goes on keeps "
                                               "the network of its latest session.")
    selfplay.add_argument("run", type=Path, metavar="RUN")
    selfplay.add_argument("--games", type=positive_int, help="games to play (default: until Ctrl-C)")
    add_pipeline_flags(selfplay)
    selfplay.add_argument("--sims", type=positive_int, help="simulations per action (setting sims_per_move)")
    add_cluster_flags(selfplay)
    selfplay.set_defaults(command=run)


@dataclass(frozen=True)
class SelfPlayNetwork:
    """Checkpoint bytes ready for the service. path: where it lives, relative to the run directory for
    a network the run keeps itself."""

    data: bytes
    digest: str
    path: str
    step: int
    fresh: bool

    def record(self) -> dict:
        return {"digest": self.digest, "path": self.path, "step": self.step}


def run(args) -> int:
    from ..store import RunWriter, session_record
    from ..workers import TRAINING, WorkerConfig

    check_cluster_flags(args)
    if args.ray is not None and args.workers is not None:
        raise InputError("--workers sets the workers of this machine; on a cluster use --workers-per-node")
    settings = load_settings(args.config, dim=args.dim, sims_per_move=args.sims, workers=args.workers,
                             max_batch=args.max_batch, transport=args.transport, backend=args.backend,
                             device=args.device)
    require_pipeline(settings)
    network = selfplay_network(args.run, args.model, settings.dim)
    session = session_record("selfplay", settings.as_dict(), network.record())
    if args.ray is not None:
        return _on_cluster(args, settings, network, session)
    new_files = {network.path: network.data} if network.fresh else None
    with RunWriter(args.run, settings.dim, session, settings.flush_every, new_files) as writer:
        stored = []

        def store(event) -> int:
            _, (history, policies, payoff) = event.record
            writer.add(event.worker, history, policies, payoff, network.digest, event.finished_at)
            stored.append(len(history))
            return len(history)

        try:
            outcome = _play(WorkerConfig(TRAINING, settings), (network.data,), args.games, store,
                            onnx_dir=args.run / ONNX_DIR)
        finally:
            writer.flush()
    print(f"{len(stored)} games, {sum(stored)} positions stored in {args.run}"
          + (f"; {outcome.abandoned} abandoned" if outcome.abandoned else ""))
    return outcome.report()


def _on_cluster(args, settings, network: SelfPlayNetwork, session: dict) -> int:
    from ..cluster import connect, disconnect
    from ..store import RunWriter, check_run_target
    from ..workers import TRAINING, WorkerConfig

    check_run_target(args.run, settings.dim)
    connect(args.ray)
    try:
        nodes = cluster_nodes(args)
        session = dict(session, cluster={"address": args.ray, "nodes": nodes,
                                         "workers_per_node": args.workers_per_node})
        new_files = {network.path: network.data} if network.fresh else None
        with RunWriter(args.run, settings.dim, session, settings.flush_every, new_files) as writer:
            outcome, played = _play_on_cluster(WorkerConfig(TRAINING, settings), network, args, writer, nodes)
    finally:
        disconnect()
    games, positions, from_nodes, lost = played
    print(f"{games} games, {positions} positions stored in {args.run} from {from_nodes} nodes"
          + (f"; {lost} games in progress lost with their nodes" if lost else "")
          + (f"; {outcome.abandoned} abandoned" if outcome.abandoned else ""))
    return outcome.report()


def _play_on_cluster(config, network: SelfPlayNetwork, args, writer, nodes: int) -> tuple[Outcome, tuple]:
    """Self-play over the cluster's nodes into ``writer`` with a progress bar; returns the outcome and
    (games, positions, nodes they came from, games lost with nodes)."""
    from tqdm import tqdm

    from ..cluster import (
        Abandoned,
        ClusterFailed,
        ClusterSelfPlay,
        NodeGame,
        NodeJoined,
        NodeLost,
    )

    games = positions = abandoned = lost = 0
    from_nodes: set[str] = set()
    failure = None
    with ClusterSelfPlay(nodes, args.workers_per_node) as cluster, \
            tqdm(total=args.games, unit="game", dynamic_ncols=True, file=sys.stderr, disable=None) as bar:
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
                    bar.write(f"zelmor-lab: node {event.node} lost with {event.games} games in progress; "
                              f"its actor waits for a node to rejoin", file=sys.stderr)
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
    return Outcome(abandoned, interrupted, failure), (games, positions, len(from_nodes), lost)


def selfplay_network(run: Path, model: Path | None, dim: int) -> SelfPlayNetwork:
    from ..model import (
        Architecture,
        CheckpointError,
        PolicyValueNet,
        checkpoint_digest,
        decode_checkpoint,
        encode_checkpoint,
        read_checkpoint_file,
    )
    from ..store import Run

    if model is not None:
        data = read_checkpoint_file(model)
        checkpoint = decode_checkpoint(data, str(model), dim=dim)
        return SelfPlayNetwork(data, checkpoint.digest, str(model.resolve()), checkpoint.step, fresh=False)
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
            raise CheckpointError(f"checkpoint {path} has changed since the run's latest session used it "
                                  f"(digest {checkpoint.digest}, recorded {latest['digest']}); pass --model")
        return SelfPlayNetwork(data, checkpoint.digest, latest["path"], checkpoint.step, fresh=False)
    data = encode_checkpoint(PolicyValueNet(dim, Architecture()))
    digest = checkpoint_digest(data)
    return SelfPlayNetwork(data, digest, f"models/{digest}.pt", 0, fresh=True)


@dataclass(frozen=True)
class Outcome:
    abandoned: int
    interrupted: bool
    failure: str | None

    def report(self) -> int:
        """0 for a run that played its games; otherwise the failure, the interruption or the abandoned games
        raised for the command line to report."""
        if self.failure is not None:
            raise CommandFailed(self.failure)
        if self.interrupted:
            raise KeyboardInterrupt
        if self.abandoned:
            raise CommandFailed(f"the engine abandoned {self.abandoned} games (a search failed, as it does "
                                f"when the network answers NaN)")
        return 0


def _play(config, checkpoints, games, on_game, onnx_dir=None) -> Outcome:
    """Run the pipeline until its games are played, it fails or Ctrl-C stops it; on_game(event) takes
    each finished game and returns its number of positions. onnx_dir: see Pipeline."""
    from tqdm import tqdm

    from ..pipeline import AbandonedGame, FinishedGame, Pipeline, PipelineError

    abandoned, positions, failure = 0, 0, None
    with Pipeline(config, checkpoints, games, onnx_dir) as pipeline, \
            tqdm(total=games, unit="game", dynamic_ncols=True, file=sys.stderr, disable=None) as bar:
        started = last_refresh = time.monotonic()
        try:
            for event in pipeline.events():
                if isinstance(event, FinishedGame):
                    positions += on_game(event)
                    bar.update(1)
                elif isinstance(event, AbandonedGame):
                    abandoned += 1
                now = time.monotonic()
                if now - last_refresh >= REFRESH_S:
                    last_refresh = now
                    counts = pipeline.stats
                    postfix = {"eval/s": f"{counts.evaluations / (now - started):.0f}",
                               "batch": f"{counts.mean_batch:.1f}", "cached": f"{counts.hit_rate:.0%}"}
                    if positions:
                        postfix["pos/s"] = f"{positions / (now - started):.1f}"
                    bar.set_postfix(postfix, refresh=False)
                    bar.refresh()
        except PipelineError as error:
            failure = str(error)
        interrupted = pipeline.interrupted
    return Outcome(abandoned, interrupted, failure)
