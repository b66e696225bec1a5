"""What a value head knows: over games of four heuristic players, how often the player a network's value
names as the likeliest winner is the one who wins, by fifth of the game, beside a plain count of the
squares each player has placed so far. Read at every position that starts a turn; a named player scores
its payoff share (a shared win counts in part), so chance scores 0.25. Also each network's Brier score
of its four shares against the payoffs (a uniform guess scores 0.75 where one player takes all).

    PYTHONPATH=python python bench/value_head.py --model CKPT [--model CKPT ...] [--games 400] [--seed 5]
"""

from __future__ import annotations

import argparse

import numpy as np

FIFTHS = ("first fifth", "second", "third", "fourth", "last")


def turn_starts(window) -> tuple[np.ndarray, np.ndarray]:
    """The positions of ``window`` that start a turn (int (M,)) and the fifth of its game each lies in."""
    game = window.position_game
    starts = window.turn_starts()
    first = np.flatnonzero(np.diff(game, prepend=-1))
    lengths = np.diff(np.append(first, len(game)))
    index_in_game = np.arange(len(game)) - np.repeat(first, lengths)
    fifth = np.minimum(5 * index_in_game // np.repeat(lengths, lengths), 4)
    return starts, fifth[starts]


def named_share(shares: np.ndarray, payoff: np.ndarray) -> np.ndarray:
    """shares, payoff: (M, 4) in the same order. The payoff of the players ``shares`` rates highest, tied
    ones averaged: float (M,)."""
    top = shares == shares.max(1, keepdims=True)
    return (payoff * top).sum(1) / top.sum(1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", action="append", required=True, help="a checkpoint; give several to compare")
    parser.add_argument("--games", type=int, default=400)
    parser.add_argument("--seed", type=int, default=5)
    args = parser.parse_args()

    import torch

    from zelmor_lab.constants import PLAYERS
    from zelmor_lab.loop.warm_start import warmup_window
    from zelmor_lab.training.model import load_checkpoint

    torch.set_num_threads(1)
    checkpoints = [load_checkpoint(path) for path in args.model]
    dim = checkpoints[0].model.dim
    window = warmup_window(args.games, dim, args.seed, heuristic_share=1.0)
    positions, fifth = turn_starts(window)
    payoff = window.value[positions]
    planes = window.inputs(positions)
    squares = planes[:, :PLAYERS].reshape(len(positions), PLAYERS, -1).sum(2)
    columns = {"count": (named_share(squares, payoff), None)}
    for path, checkpoint in zip(args.model, checkpoints):
        model = checkpoint.model.eval()
        with torch.no_grad():
            shares = np.concatenate(
                [
                    torch.softmax(model(torch.from_numpy(planes[i : i + 1024]))[1], dim=1).numpy()
                    for i in range(0, len(planes), 1024)
                ]
            )
        brier = ((shares - payoff) ** 2).sum(1)
        columns[path] = (named_share(shares, payoff), brier)
    print(f"{args.games} games of four heuristic players (seed {args.seed}), {len(positions)} turn starts")
    names = list(columns)
    print("| part of the game | " + " | ".join(f"`{n}`" for n in names) + " |")
    print("|---|" + "---:|" * len(names))
    for part, label in enumerate(FIFTHS):
        rows = fifth == part
        print(f"| {label} | " + " | ".join(f"{columns[n][0][rows].mean():.3f}" for n in names) + " |")
    print("| all | " + " | ".join(f"{columns[n][0].mean():.3f}" for n in names) + " |")
    for name in names[1:]:
        brier = columns[name][1]
        by_part = " ".join(f"{brier[fifth == part].mean():.3f}" for part in range(5))
        print(f"Brier by fifth, `{name}`: {by_part}")


if __name__ == "__main__":
    main()
