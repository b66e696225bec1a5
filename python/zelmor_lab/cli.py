"""The ``zelmor-lab`` command: selfplay, eval, info and show here, train and loop in train_cli.

Exit status: 0 done; 1 the pipeline failed or the engine abandoned games (the message says why;
finished games are stored);
2 bad input (settings, checkpoint, run directory), reported in one line with nothing written;
130 interrupted by Ctrl-C (finished games are stored).
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
import time
from dataclasses import dataclass
from pathlib import Path

from .errors import InputError
from .settings import load_settings
from .train_cli import add_cluster_flags, add_training_commands, check_cluster_flags, cluster_nodes, positive_int

EXIT_FAILED, EXIT_BAD_INPUT, EXIT_INTERRUPTED = 1, 2, 130
_REFRESH_S = 0.5


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return args.command(args)
    except InputError as error:
        print(f"zelmor-lab: error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("zelmor-lab: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zelmor-lab", description="Self-play, training and evaluation for Zelmor, a four-player polyomino game.")
    commands = parser.add_subparsers(required=True, metavar="COMMAND")

    selfplay = commands.add_parser("selfplay", help="play self-play training games into a run directory",
                                   description="Play self-play games with tree search and store them in RUN "
                                               "(created, or appended to). Without --model a new run starts "
                                               "from a fresh default network and a run that goes on keeps "
                                               "the network of its latest session.")
    selfplay.add_argument("run", type=Path, metavar="RUN")
    selfplay.add_argument("--games", type=positive_int, help="games to play (default: until Ctrl-C)")
    _add_pipeline_flags(selfplay)
    selfplay.add_argument("--sims", type=positive_int, help="simulations per action (setting sims_per_move)")
    add_cluster_flags(selfplay)
    selfplay.set_defaults(command=_selfplay)

    evaluate = commands.add_parser("eval", help="measure a network against random players or a baseline",
                                   description="Play the network greedily in seat 0 against three random "
                                               "players (--vs random, board of side --dim) or against a "
                                               "baseline network in seats 1 to 3 (--vs CHECKPOINT, board "
                                               "of side 20) and report its mean payoff.")
    evaluate.add_argument("--vs", default="random", metavar="random|CHECKPOINT",
                          help="the opponents (default: random)")
    evaluate.add_argument("--games", type=positive_int, default=100, help="games to play (default: 100)")
    _add_pipeline_flags(evaluate)
    evaluate.add_argument("--boards", action="store_true",
                          help="let the engine print the final board of every match against a baseline")
    evaluate.set_defaults(command=_evaluate)

    info = commands.add_parser("info", help="statistics of the games of a run")
    info.add_argument("run", type=Path, metavar="RUN")
    info.set_defaults(command=_info)

    show = commands.add_parser("show", help="replay one stored game")
    show.add_argument("run", type=Path, metavar="RUN")
    show.add_argument("--game", type=int, default=0,
                      help="which game, in order of writing from 0; negative counts from the end (default: 0)")
    show.add_argument("--every-move", action="store_true", help="print the board after every piece")
    show.add_argument("--png", type=Path, metavar="FILE", help="also draw the final board into FILE")
    show.set_defaults(command=_show)
    add_training_commands(commands)
    return parser


def _add_pipeline_flags(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", type=Path, metavar="CKPT", help="the network's checkpoint")
    parser.add_argument("--workers", type=positive_int, help="worker processes (default: four per core)")
    parser.add_argument("--max-batch", type=positive_int,
                        help="most requests the service evaluates at once (default: half the workers)")
    parser.add_argument("--dim", type=positive_int, help="board side (default: 20)")
    parser.add_argument("--config", type=Path, metavar="FILE.toml", help="settings file (flags take precedence)")
    parser.add_argument("--transport", choices=("shm", "queue"),
                        help="worker-service exchange: shared memory (Linux default) or multiprocessing queues")


# ---- selfplay ------------------------------------------------------------------------------------

@dataclass(frozen=True)
class _Network:
    """Checkpoint bytes ready for the service. path: where it lives, relative to the run directory for
    a network the run keeps itself."""

    data: bytes
    digest: str
    path: str
    step: int
    fresh: bool

    def record(self) -> dict:
        return {"digest": self.digest, "path": self.path, "step": self.step}


def _selfplay(args) -> int:
    from .store import RunWriter, session_record
    from .workers import TRAINING, WorkerConfig

    check_cluster_flags(args)
    if args.ray is not None and args.workers is not None:
        raise InputError("--workers sets the workers of this machine; on a cluster use --workers-per-node")
    settings = load_settings(args.config, dim=args.dim, sims_per_move=args.sims, workers=args.workers,
                             max_batch=args.max_batch, transport=args.transport)
    _require_pipeline(settings)
    network = _selfplay_network(args.run, args.model, settings.dim)
    session = session_record("selfplay", settings.as_dict(), network.record())
    if args.ray is not None:
        return _selfplay_on_cluster(args, settings, network, session)
    with RunWriter(args.run, settings.dim, session, settings.flush_every) as writer:
        if network.fresh:
            writer.save_model(network.data, network.digest)
        stored = []

        def store(event) -> int:
            _, (history, policies, payoff) = event.record
            writer.add(event.worker, history, policies, payoff, network.digest, event.finished_at)
            stored.append(len(history))
            return len(history)

        try:
            outcome = _play(WorkerConfig(TRAINING, settings), (network.data,), args.games, store)
        finally:
            writer.flush()
    print(f"{len(stored)} games, {sum(stored)} positions stored in {args.run}"
          + (f"; {outcome.abandoned} abandoned" if outcome.abandoned else ""))
    return outcome.report()


def _selfplay_on_cluster(args, settings, network: _Network, session: dict) -> int:
    from .cluster import connect, disconnect
    from .store import RunWriter, check_run_target
    from .workers import TRAINING, WorkerConfig

    check_run_target(args.run, settings.dim)
    connect(args.ray)
    try:
        nodes = cluster_nodes(args)
        session = dict(session, cluster={"address": args.ray, "nodes": nodes,
                                         "workers_per_node": args.workers_per_node})
        with RunWriter(args.run, settings.dim, session, settings.flush_every) as writer:
            if network.fresh:
                writer.save_model(network.data, network.digest)
            outcome, played = _play_on_cluster(WorkerConfig(TRAINING, settings), network, args, writer, nodes)
    finally:
        disconnect()
    games, positions, from_nodes, lost = played
    print(f"{games} games, {positions} positions stored in {args.run} from {from_nodes} nodes"
          + (f"; {lost} games in progress lost with their nodes" if lost else "")
          + (f"; {outcome.abandoned} abandoned" if outcome.abandoned else ""))
    return outcome.report()


def _play_on_cluster(config, network: _Network, args, writer, nodes: int) -> tuple[_Outcome, tuple]:
    """Self-play over the cluster's nodes into ``writer`` with a progress bar; returns the outcome and
    (games, positions, nodes they came from, games lost with nodes)."""
    from tqdm import tqdm

    from .cluster import Abandoned, ClusterFailed, ClusterSelfPlay, NodeGame, NodeJoined, NodeLost

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
                if now - last_refresh >= _REFRESH_S:
                    last_refresh = now
                    bar.set_postfix({"pos/s": f"{positions / (now - started):.1f}"}, refresh=True)
        except ClusterFailed as error:
            failure = str(error)
        finally:
            writer.flush()
        interrupted = cluster.interrupted
    return _Outcome(abandoned, interrupted, failure), (games, positions, len(from_nodes), lost)


def _selfplay_network(run: Path, model: Path | None, dim: int) -> _Network:
    from .model import (Architecture, CheckpointError, PolicyValueNet, checkpoint_digest, decode_checkpoint,
                        encode_checkpoint, read_checkpoint_file)
    from .store import Run

    if model is not None:
        data = read_checkpoint_file(model)
        checkpoint = decode_checkpoint(data, str(model), dim=dim)
        return _Network(data, checkpoint.digest, str(model.resolve()), checkpoint.step, fresh=False)
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
        return _Network(data, checkpoint.digest, latest["path"], checkpoint.step, fresh=False)
    data = encode_checkpoint(PolicyValueNet(dim, Architecture()))
    digest = checkpoint_digest(data)
    return _Network(data, digest, f"models/{digest}.pt", 0, fresh=True)


# ---- eval ----------------------------------------------------------------------------------------

def _evaluate(args) -> int:
    from .evaluation import RANDOM_SHARE, summarize_payoffs
    from .workers import AGAINST_BASELINE, AGAINST_RANDOM, WorkerConfig

    against_random = args.vs == "random"
    if not against_random and args.dim not in (None, 20):  # the engine plays these matches on 20 x 20
        raise InputError(f"a match against a baseline is played on a 20 x 20 board; --dim {args.dim} is not possible")
    settings = load_settings(args.config, dim=args.dim if against_random else 20, workers=args.workers,
                             max_batch=args.max_batch, transport=args.transport)
    _require_pipeline(settings)
    network = _checkpoint_bytes(args.model, settings.dim)
    if against_random:
        kind, checkpoints, opponents = AGAINST_RANDOM, (network,), "3 random players"
    else:
        kind, checkpoints, opponents = AGAINST_BASELINE, (network, _checkpoint_bytes(Path(args.vs), 20)), args.vs
    payoffs = []

    def record(event) -> int:
        payoffs.append(event.record[1])
        return 0

    config = WorkerConfig(kind, settings, engine_output=args.boards)
    outcome = _play(config, checkpoints, args.games, record)
    print(f"network in seat 0 against {opponents} on a {settings.dim} x {settings.dim} board: "
          f"{summarize_payoffs(payoffs).describe()} (seats playing alike score {RANDOM_SHARE})"
          + (f"; {outcome.abandoned} abandoned" if outcome.abandoned else ""))
    return outcome.report()


def _checkpoint_bytes(path: Path | None, dim: int) -> bytes:
    """The checkpoint at ``path``, checked for the board side, or a fresh default network."""
    from .model import Architecture, PolicyValueNet, decode_checkpoint, encode_checkpoint, read_checkpoint_file

    if path is None:
        return encode_checkpoint(PolicyValueNet(dim, Architecture()))
    data = read_checkpoint_file(path)
    decode_checkpoint(data, str(path), dim=dim)
    return data


# ---- running the pipeline with a progress bar -----------------------------------------------------

@dataclass(frozen=True)
class _Outcome:
    abandoned: int
    interrupted: bool
    failure: str | None

    def report(self) -> int:
        if self.failure is not None:
            print(f"zelmor-lab: error: {self.failure}", file=sys.stderr)
            return EXIT_FAILED
        if self.interrupted:
            print("zelmor-lab: interrupted", file=sys.stderr)
            return EXIT_INTERRUPTED
        if self.abandoned:
            print(f"zelmor-lab: error: the engine abandoned {self.abandoned} games (a search failed, as it does "
                  f"when the network answers NaN)", file=sys.stderr)
            return EXIT_FAILED
        return 0


def _play(config, checkpoints, games, on_game) -> _Outcome:
    """Run the pipeline until its games are played, it fails or Ctrl-C stops it; on_game(event) takes
    each finished game and returns its number of positions."""
    from tqdm import tqdm

    from .pipeline import AbandonedGame, FinishedGame, Pipeline, PipelineError

    abandoned, positions, failure = 0, 0, None
    with Pipeline(config, checkpoints, games) as pipeline, \
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
                if now - last_refresh >= _REFRESH_S:
                    last_refresh = now
                    counts = pipeline.stats
                    postfix = {"eval/s": f"{counts.evaluations / (now - started):.0f}",
                               "batch": f"{counts.mean_batch:.1f}"}
                    if positions:
                        postfix["pos/s"] = f"{positions / (now - started):.1f}"
                    bar.set_postfix(postfix, refresh=False)
                    bar.refresh()
        except PipelineError as error:
            failure = str(error)
        interrupted = pipeline.interrupted
    return _Outcome(abandoned, interrupted, failure)


def _require_pipeline(settings) -> None:
    """Refuse early, before anything is written, when the engine or PyTorch (or the device) is missing."""
    if importlib.util.find_spec("zelmor_self_play") is None:
        raise InputError("the engine module zelmor_self_play is not installed (pip install . builds it)")
    if importlib.util.find_spec("torch") is None:
        raise InputError("the inference service needs PyTorch: pip install 'zelmor-lab[torch]'")
    if settings.device != "cpu":
        import torch

        if not torch.cuda.is_available():
            raise InputError(f"setting device is {settings.device!r}, but CUDA is not available")


# ---- info and show -------------------------------------------------------------------------------

def _info(args) -> int:
    from tqdm import tqdm

    from .evaluation import RunSummary
    from .store import Run

    run = Run(args.run)
    summary = RunSummary(run.dim)
    for index, game in enumerate(tqdm(run.games(), unit="game", file=sys.stderr, disable=None, leave=False)):
        summary.add(game, index)
    print(f"run {args.run}: {run.dim} x {run.dim} board, sessions: {len(run.meta['sessions'])}, "
          f"shards: {len(run.shards())}")
    print(summary.describe())
    return 0


def _show(args) -> int:
    from .evaluation import ReplayError, replay
    from .store import Run

    run = Run(args.run)
    games = list(run.games())
    if not -len(games) <= args.game < len(games):
        raise InputError(f"{args.run} holds {len(games)} games; there is no game {args.game}")
    index = args.game % len(games)
    game = games[index]
    print(f"game {index} of {len(games)}: id {game.game_id}, node {game.node}, worker {game.worker}, "
          f"network {game.model}, "
          f"finished {game.finished_at:%Y-%m-%d %H:%M:%S} UTC, {len(game.history)} actions")

    piece: list[int] = []

    def print_piece(position) -> None:
        player, tile = position.history[-1]
        piece.append(tile)
        if not position.turn_tiles:  # the piece is complete
            print(f"player {player} lays tiles {', '.join(map(str, piece))}")
            print(position.render(), end="")
            piece.clear()

    try:
        final = replay(game.history, run.dim, print_piece if args.every_move else None)
    except ReplayError as error:
        raise ReplayError(f"game {index} does not replay: {error}") from None
    if not args.every_move:
        print(final.render(), end="")
    print("scores:  " + "  ".join(f"player {p}: {s}" for p, s in enumerate(final.scores())))
    print("payoffs: " + "  ".join(f"player {p}: {x:.3f}" for p, x in enumerate(game.payoff)))
    if args.png is not None:
        from .render import draw_board

        draw_board(final, args.png, title=f"{args.run.name}, game {index}")
        print(f"board drawn in {args.png}")
    return 0

