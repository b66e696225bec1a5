"""The ``zelmor-lab`` command: selfplay, eval, info, show, export and serve here, train and loop in train_cli.

Exit status: 0 done; 1 the pipeline failed, the engine abandoned games or a file could not be written
(the message says why; finished games are stored, or the message says how many are not);
2 bad input (settings, checkpoint, run directory), reported in one line with nothing written;
130 interrupted by Ctrl-C or SIGTERM (finished games are stored).
"""

from __future__ import annotations

import argparse
import importlib.util
import signal
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from .backends import BACKENDS, ONNX_DIR
from .errors import InputError, WriteError
from .settings import load_settings
from .train_cli import add_cluster_flags, add_training_commands, check_cluster_flags, cluster_nodes, positive_int

EXIT_FAILED, EXIT_BAD_INPUT, EXIT_INTERRUPTED = 1, 2, 130
_REFRESH_S = 0.5


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _stop_on_sigterm)
    try:
        return args.command(args)
    except InputError as error:
        print(f"zelmor-lab: error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except WriteError as error:
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

    evaluate = commands.add_parser("eval", help="measure a network against random, heuristic or network players",
                                   description="Play the network against three copies of an opponent, taking "
                                               "each seat in turn, and report its mean payoff overall and per "
                                               "seat beside what random play scores in the same seats. The "
                                               "network plays its highest-prior tile, or with --sims the most "
                                               "visited tile of a tree search.")
    evaluate.add_argument("--vs", default="random", metavar="random|heuristic|CHECKPOINT",
                          help="the opponents (default: random)")
    evaluate.add_argument("--games", type=positive_int, default=100,
                          help="games to play, spread evenly over the seats (default: 100)")
    evaluate.add_argument("--sims", type=int, default=0,
                          help="tree-search simulations per action; 0 plays greedily (default: 0)")
    evaluate.add_argument("--model", type=Path, metavar="CKPT", help="the network's checkpoint")
    evaluate.add_argument("--dim", type=positive_int, help="board side (default: 20)")
    evaluate.add_argument("--config", type=Path, metavar="FILE.toml",
                          help="settings file (c_base and c_init of the search; flags take precedence)")
    evaluate.add_argument("--seed", type=int, help="seed of the players' random choices (default: fresh)")
    evaluate.add_argument("--device", help='where the networks run: "cpu" (default) or "cuda:N"')
    evaluate.add_argument("--boards", action="store_true", help="print the final board of every game")
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

    export = commands.add_parser("export", help="write a run's games for other tools, one game per line",
                                 description="Write every game of RUN, one per line: JSON Lines with the search's "
                                             "visit shares, or CSV without them.")
    export.add_argument("run", type=Path, metavar="RUN")
    export.add_argument("--format", default="jsonl", metavar="jsonl|csv", help="(default: jsonl)")
    export.add_argument("--out", type=Path, metavar="FILE", help="file to write (default: standard output)")
    export.set_defaults(command=_export)

    serve = commands.add_parser("serve", help="watch, analyse and play games in the browser",
                                description="Serve a page on 127.0.0.1 to list and replay the games of RUN, see "
                                            "what the network makes of a position, and play against it. Without "
                                            "--model the network is the last one a session of the run played "
                                            "with, if any.")
    serve.add_argument("run", type=Path, metavar="RUN")
    serve.add_argument("--model", type=Path, metavar="CKPT", help="the network's checkpoint")
    serve.add_argument("--port", type=_port, default=8765, help="port on 127.0.0.1; 0 picks a free one (default: 8765)")
    serve.set_defaults(command=_serve)
    add_training_commands(commands)
    return parser


def _add_pipeline_flags(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", type=Path, metavar="CKPT", help="the network's checkpoint")
    parser.add_argument("--workers", type=positive_int, help="worker processes (default: eight per core)")
    parser.add_argument("--max-batch", type=positive_int,
                        help="most requests the service evaluates at once (default: half the workers)")
    parser.add_argument("--dim", type=positive_int, help="board side (default: 20)")
    parser.add_argument("--config", type=Path, metavar="FILE.toml", help="settings file (flags take precedence)")
    parser.add_argument("--transport", choices=("shm", "queue"),
                        help="worker-service exchange: shared memory (Linux default) or multiprocessing queues")
    parser.add_argument("--backend", choices=BACKENDS,
                        help="how the service runs the network (default: onnxruntime where installed)")
    parser.add_argument("--device", help='where the service runs the network: "cpu" (default) or "cuda:N"')


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
                             max_batch=args.max_batch, transport=args.transport, backend=args.backend,
                             device=args.device)
    _require_pipeline(settings)
    network = _selfplay_network(args.run, args.model, settings.dim)
    session = session_record("selfplay", settings.as_dict(), network.record())
    if args.ray is not None:
        return _selfplay_on_cluster(args, settings, network, session)
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
    from .model import (
        Architecture,
        CheckpointError,
        PolicyValueNet,
        checkpoint_digest,
        decode_checkpoint,
        encode_checkpoint,
        read_checkpoint_file,
    )
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
    import numpy as np
    from tqdm import tqdm

    from .match import SEATS, play_match
    from .players import GreedyPlayer, HeuristicPlayer, Player, RandomPlayer, SearchPlayer

    if args.sims < 0:
        raise InputError(f"--sims must be at least 0, got {args.sims}")
    settings = load_settings(args.config, dim=args.dim, device=args.device)
    dim = settings.dim
    opponent_kind = args.vs if args.vs in ("random", "heuristic") else None
    if opponent_kind is None and not Path(args.vs).is_file():
        raise InputError(f"--vs takes random, heuristic or a checkpoint file; {args.vs!r} is none of them")
    _require_torch("the network")
    _require_cuda(settings.device)
    network = _network_evaluator(args.model, dim, settings.device)
    rng = np.random.default_rng(args.seed)
    opponent: Player
    if opponent_kind == "random":
        opponent, opponents = RandomPlayer(rng), "3 random players"
    elif opponent_kind == "heuristic":
        opponent, opponents = HeuristicPlayer(rng), "3 heuristic players"
    else:
        opponent = GreedyPlayer(_network_evaluator(Path(args.vs), dim, settings.device))
        opponents = f"3 greedy copies of {args.vs}"
    player = (SearchPlayer(network, args.sims, rng, settings.c_base, settings.c_init) if args.sims
              else GreedyPlayer(network))

    if args.model is None:
        print("note: no --model given, so this is a fresh, untrained default network")
    print(f"{player.name} against {opponents} on a {dim} x {dim} board, {args.games} games, seats in turn")
    with tqdm(total=2 * args.games, unit="game", dynamic_ncols=True, file=sys.stderr, disable=None) as bar:
        def finished(game, seat) -> None:
            bar.update(1)
            if args.boards:
                bar.write(f"game over, network in seat {seat}\n{game.render()}", file=sys.stdout)

        result = play_match(player, opponent, args.games, dim, on_game=finished)
        baseline = play_match(RandomPlayer(rng), opponent, args.games, dim, on_game=lambda *_: bar.update(1))
    print(f"{'seat':>4}  {'games':>5}  {'network':<14}  random play in the seat")
    for seat in range(SEATS):
        mine, random_play = result.seat(seat), baseline.seat(seat)
        print(f"{seat:>4}  {mine.games:>5}  {_short(mine):<14}  {_short(random_play)}")
    print(f"{'all':>4}  {result.games:>5}  {_short(result.overall()):<14}  {_short(baseline.overall())}")
    print(result.overall().describe())
    return 0


def _short(summary) -> str:
    """A mean with the half width of its 95% interval, as a table cell."""
    if summary.games == 0:
        return "-"
    if summary.games < 2:
        return f"{summary.mean:.3f}"
    return f"{summary.mean:.3f} ± {summary.half_width:.3f}"


def _network_evaluator(path: Path | None, dim: int, device: str):
    """The network of the checkpoint at ``path``, or a fresh default one, as a search's evaluate."""
    from .model import Architecture, PolicyValueNet, load_checkpoint, network_evaluator

    model = PolicyValueNet(dim, Architecture()) if path is None else load_checkpoint(path, dim=dim).model
    return network_evaluator(model, device)


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


def _play(config, checkpoints, games, on_game, onnx_dir=None) -> _Outcome:
    """Run the pipeline until its games are played, it fails or Ctrl-C stops it; on_game(event) takes
    each finished game and returns its number of positions. onnx_dir: see Pipeline."""
    from tqdm import tqdm

    from .pipeline import AbandonedGame, FinishedGame, Pipeline, PipelineError

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
                if now - last_refresh >= _REFRESH_S:
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
    return _Outcome(abandoned, interrupted, failure)


def _require_torch(needed_by: str) -> None:
    if importlib.util.find_spec("torch") is None:
        raise InputError(f"{needed_by} needs PyTorch: pip install 'zelmor-lab[torch]'")


def _require_cuda(device: str) -> None:
    if device != "cpu":
        import torch

        if not torch.cuda.is_available():
            raise InputError(f"setting device is {device!r}, but CUDA is not available")


def _require_pipeline(settings) -> None:
    """Refuse early, before anything is written, when the engine or PyTorch (or the device) is missing."""
    if importlib.util.find_spec("zelmor_self_play") is None:
        raise InputError("the engine module zelmor_self_play is not installed (pip install . builds it)")
    _require_torch("the inference service")
    _require_cuda(settings.device)
    if settings.device != "cpu":
        from .backends import onnxruntime_runs_on

        if settings.backend == "onnxruntime" and not onnxruntime_runs_on(settings.device):
            raise InputError(f"setting backend onnxruntime runs on {settings.device!r} only with ONNX Runtime's "
                             f"CUDA provider (onnxruntime-gpu); use --backend torch")


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

    if args.png is not None:
        from .render import check_picture_path

        check_picture_path(args.png)
        if args.png.suffix.lower() != ".png":
            raise InputError(f"--png {args.png}: the board is drawn as a PNG image; name a file ending in .png")
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


# ---- export and serve ----------------------------------------------------------------------------

def _export(args) -> int:
    from .export import export_run
    from .store import Run

    count = export_run(Run(args.run), args.format, args.out)
    if args.out is not None:
        print(f"{count} games written to {args.out}")
    return 0


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be from 0 to 65535, got {value}")
    return value


def _serve(args) -> int:
    from .serve import serve

    if args.model is not None:
        _require_torch("the page's network")
    serve(args.run, args.model, args.port)
    return 0
