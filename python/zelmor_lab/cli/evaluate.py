"""zelmor-lab eval: a network against random, heuristic or network players, each seat in turn, beside random
play in the same seats."""

from __future__ import annotations

import sys
from pathlib import Path

from ..constants import STANDARD_DIM
from ..errors import InputError
from ..selfplay.settings import load_settings
from .arguments import add_root_search_flag, positive_int
from .board_side import implied_dim
from .requirements import require_cuda, require_torch


def register(commands) -> None:
    evaluate = commands.add_parser(
        "eval",
        help="measure a network against random, heuristic or network players",
        description="Play the network against three copies of an opponent, taking "
        "each seat in turn, and report its mean payoff overall and per "
        "seat beside what random play scores in the same seats. The "
        "network plays its highest-prior tile, or with --sims the most "
        "visited tile of a tree search. Against a checkpoint both sides "
        "draw their tiles from their policies (the search excepted), so "
        "that the games differ; a game that repeats an earlier one counts once.",
    )
    evaluate.add_argument(
        "--vs", default="random", metavar="random|heuristic|CHECKPOINT", help="the opponents (default: random)"
    )
    evaluate.add_argument(
        "--games", type=positive_int, default=100, help="games to play, spread evenly over the seats (default: 100)"
    )
    evaluate.add_argument(
        "--sims", type=int, default=0, help="tree-search simulations per action; 0 plays greedily (default: 0)"
    )
    add_root_search_flag(evaluate, " with --sims (default: puct)")
    evaluate.add_argument("--model", type=Path, metavar="CKPT", help="the network's checkpoint")
    evaluate.add_argument(
        "--dim", type=positive_int, help=f"board side (default: --model's, else --vs's, else {STANDARD_DIM})"
    )
    evaluate.add_argument(
        "--config",
        type=Path,
        metavar="FILE.toml",
        help="settings file (c_base, c_init and the root search's settings; flags take precedence)",
    )
    evaluate.add_argument("--seed", type=int, help="seed of the players' random choices (default: fresh)")
    evaluate.add_argument("--device", help='where the networks run: "cpu" (default) or "cuda:N"')
    evaluate.add_argument("--boards", action="store_true", help="print the final board of every game")
    evaluate.set_defaults(command=run)


def run(args) -> int:
    import numpy as np

    from ..play.match import SEATS, play_match
    from ..play.players import GreedyPlayer, HeuristicPlayer, Player, RandomPlayer, SampledPlayer, SearchPlayer
    from ..progress import progress_bar

    if args.sims < 0:
        raise InputError(f"--sims must be at least 0, got {args.sims}")
    opponent_checkpoint = None if args.vs in ("random", "heuristic") else Path(args.vs)
    dim_given = implied_dim(args.dim, args.config, checkpoints=[args.model, opponent_checkpoint])
    settings = load_settings(args.config, dim=dim_given, device=args.device, root_search=args.root_search)
    dim = settings.dim
    opponent_kind = args.vs if args.vs in ("random", "heuristic") else None
    if opponent_kind is None and not Path(args.vs).is_file():
        raise InputError(f"--vs takes random, heuristic or a checkpoint file; {args.vs!r} is none of them")
    require_torch("the network")
    require_cuda(settings.device)
    network = _network_evaluator(args.model, dim, settings.device)
    rng = np.random.default_rng(args.seed)
    opponent: Player
    if opponent_kind == "random":
        opponent, opponents = RandomPlayer(rng), "3 random players"
    elif opponent_kind == "heuristic":
        opponent, opponents = HeuristicPlayer(rng), "3 heuristic players"
    else:
        # Two greedy networks play one game per seat however many are asked for: both sides sample instead.
        opponent = SampledPlayer(_network_evaluator(Path(args.vs), dim, settings.device), rng)
        opponents = f"3 sampling copies of {args.vs}"
    player: Player
    if args.sims:
        player = SearchPlayer(network, args.sims, rng, settings.c_base, settings.c_init, settings.root())
    elif opponent_kind is None:
        player = SampledPlayer(network, rng)
    else:
        player = GreedyPlayer(network)

    if args.model is None:
        print("note: no --model given, so this is a fresh, untrained default network")
    print(f"{player.name} against {opponents} on a {dim} x {dim} board, {args.games} games, seats in turn")
    with progress_bar(total=2 * args.games, unit="game", dynamic_ncols=True) as bar:

        def finished(game, seat) -> None:
            bar.update(1)
            if args.boards:
                bar.write(f"game over, network in seat {seat}\n{game.render()}", file=sys.stdout)

        played = play_match(player, opponent, args.games, dim, on_game=finished)
        baseline = play_match(RandomPlayer(rng), opponent, args.games, dim, on_game=lambda *_: bar.update(1)).distinct()
    result = played.distinct()
    if result.games < played.games:
        print(f"{played.games - result.games} of the {played.games} games repeated an earlier one and count once")
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
    if not summary.has_interval:
        return f"{summary.mean:.3f}"
    return f"{summary.mean:.3f} ± {summary.half_width:.3f}"


def _network_evaluator(path: Path | None, dim: int, device: str):
    """The network of the checkpoint at ``path``, or a fresh default one, as a search's evaluate."""
    from ..training.model import Architecture, PolicyValueNet, load_checkpoint, network_evaluator

    model = PolicyValueNet(dim, Architecture()) if path is None else load_checkpoint(path, dim=dim).model
    return network_evaluator(model, device)
