"""How far each root search's policy target moves from its network's prior: over positions of games the
network plays greedily against three heuristic players, the share of positions where the target's most
likely tile is not the prior's, for PUCT (visit counts) and the Gumbel search (improved policy), at each
budget. A target that agrees with the prior everywhere teaches the next network nothing new.

    PYTHONPATH=python python bench/root_search.py --model CKPT [--positions 400] [--sims 16,32] [--seed 1]
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True)
    parser.add_argument("--positions", type=int, default=400)
    parser.add_argument("--sims", default="16,32")
    parser.add_argument("--seed", type=int, default=1)
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


if __name__ == "__main__":
    main()
