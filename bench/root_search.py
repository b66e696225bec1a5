"""The root searches side by side on one network. First, how far each search's policy target moves from the
prior: over positions of games the network plays greedily against three heuristic players, the share where
the target's most likely tile is not the prior's, for PUCT (visit counts) and the Gumbel search (improved
policy); a target that agrees with the prior everywhere teaches the next network nothing new. Then, with
--games, each search's strength: the network with the search against three heuristic players, seats in turn,
its games shared among --processes processes as the loop's strength matches are, beside random play in the
same seats.

    PYTHONPATH=python python bench/root_search.py --model CKPT [--positions 400] [--sims 16,32] [--seed 1]
        [--games 400 --searches puct,gumbel,puct-parent --processes 2] [--gumbel-actions 8] [--c-scale 1]
"""

from __future__ import annotations

import argparse
import math

import numpy as np


def sampled_positions(evaluate, dim: int, count: int, rng: np.random.Generator):
    """Positions of games in which seat (game mod 4) plays greedily and the others heuristically, every
    position with at least two legal tiles, drawn evenly from the whole game."""
    from zelmor_lab import Game
    from zelmor_lab.play.players import GreedyPlayer, HeuristicPlayer

    greedy, heuristic = GreedyPlayer(evaluate), HeuristicPlayer(rng)
    positions: list = []
    game_number = 0
    while len(positions) < count:
        game, seat, seen = Game(dim), game_number % 4, []
        while not game.is_terminal():
            if len(game.legal_tiles()) >= 2:
                seen.append(game.copy())
            player = greedy if game.current_player == seat else heuristic
            game.apply(player.choose([game])[0])
        take = rng.choice(len(seen), size=min(len(seen), 10), replace=False)
        positions.extend(seen[i] for i in sorted(take))
        game_number += 1
    return positions[:count]


def disagreement(evaluate, positions, sims: int) -> tuple[float, float]:
    """Shares of positions whose PUCT and Gumbel targets' top tile is not the prior's."""
    from zelmor_lab import RootSearch, gumbel_search_games, search_games

    prior, _ = evaluate(np.stack([p.state() for p in positions]))
    visits = search_games(positions, evaluate, sims)
    improved, _ = gumbel_search_games(positions, evaluate, sims, RootSearch("gumbel"))
    puct = gumbel = 0
    for k, position in enumerate(positions):
        legal = np.asarray(position.legal_tiles())
        top = legal[np.argmax(prior[k][legal])]
        puct += legal[np.argmax(visits[k][legal])] != top
        gumbel += legal[np.argmax(improved[k][legal])] != top
    return puct / len(positions), gumbel / len(positions)


def strength(checkpoint_path: str, dim: int, sims: int, search: str, games: int, processes: int, root_args):
    """The mean payoff (with its interval) of the network searching with ``search`` against three heuristic
    players: "puct", "puct-parent" (first play at the parent's mean) or "gumbel"."""
    from pathlib import Path

    from zelmor_lab.loop import strength as matches
    from zelmor_lab.loop.plan import LoopPlan
    from zelmor_lab.play.payoffs import summarize_payoffs
    from zelmor_lab.selfplay.settings import Settings
    from zelmor_lab.training.model import decode_checkpoint
    from zelmor_lab.training.network import Network

    data = Path(checkpoint_path).read_bytes()
    checkpoint = decode_checkpoint(data, checkpoint_path)
    network = Network(checkpoint_path, data, checkpoint.digest, checkpoint.step)
    kind, first_play = ("puct", "parent") if search == "puct-parent" else (search, "zero")
    engine = Settings(dim=dim, root_search=kind, first_play=first_play, **root_args)
    plan = LoopPlan(engine=engine, eval_sims=sims, eval_processes=processes)
    figure = matches._Figure("vs_heuristic", games, "search", "heuristic")
    networks = matches._Networks(plan, network, None, None)
    payoffs = matches._play_in_processes(networks, [figure], processes, lambda: None)["vs_heuristic"]
    return summarize_payoffs(payoffs)


def random_baseline(dim: int, games: int, seed: int):
    from zelmor_lab.play.match import play_match
    from zelmor_lab.play.players import HeuristicPlayer, RandomPlayer

    rng = np.random.default_rng(seed)
    return play_match(RandomPlayer(rng), HeuristicPlayer(rng), games, dim).overall()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True)
    parser.add_argument("--positions", type=int, default=400)
    parser.add_argument("--sims", default="16,32")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--games", type=int, default=0, help="games per strength figure (0: none)")
    parser.add_argument("--searches", default="puct,gumbel")
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--gumbel-actions", type=int, default=8)
    parser.add_argument("--c-scale", type=float, default=1.0)
    args = parser.parse_args()

    import torch

    from zelmor_lab.training.model import load_checkpoint, network_evaluator

    torch.set_num_threads(1)
    checkpoint = load_checkpoint(args.model)
    evaluate = network_evaluator(checkpoint.model)
    dim = checkpoint.model.dim
    positions = sampled_positions(evaluate, dim, args.positions, np.random.default_rng(args.seed))
    print(f"{len(positions)} positions of {dim} x {dim} games, network {checkpoint.digest}")
    print("sims  PUCT top tile != prior's  Gumbel top tile != prior's   (95% interval ±)")
    for sims in (int(s) for s in args.sims.split(",")):
        puct, gumbel = disagreement(evaluate, positions, sims)
        half = 1.96 * math.sqrt(0.25 / len(positions))
        print(f"{sims:>4}  {puct:>25.3f}  {gumbel:>27.3f}   {half:.3f}")
    if not args.games:
        return
    import time

    baseline = random_baseline(dim, args.games, args.seed)
    print(f"random play against 3 heuristic players, same seats: {baseline.mean:.3f} ± {baseline.half_width:.3f}")
    root_args = {"gumbel_actions": args.gumbel_actions, "c_scale": args.c_scale}
    for sims in (int(s) for s in args.sims.split(",")):
        for search in args.searches.split(","):
            started = time.monotonic()
            summary = strength(args.model, dim, sims, search, args.games, args.processes, root_args)
            print(
                f"{search:<12} {sims:>3} simulations vs 3 heuristic: {summary.mean:.3f} ± {summary.half_width:.3f} "
                f"over {summary.games} games ({time.monotonic() - started:.0f} s)",
                flush=True,
            )


if __name__ == "__main__":
    main()
