"""What the tree search adds to its network, in seat-balanced matches against three random players.

Rows, per board side: random play (the baseline of every seat), the heuristic player, and the search player
at --sims simulations with two networks, the untrained embedded default network (seeded) and a random
playout as the value, each with the search as built and with the search as first written (the build switch
ZELMOR_UNMENDED_SEARCH, compiled here into build/unmended-search). Every figure is the mean payoff of the
player under test with its 95% interval, overall and per seat.

    PYTHONPATH=python python bench/search_strength.py [--games 400] [--network-games N] [--dims 10,20]
                                                      [--sims 32] [--seed 1] [--players random,heuristic,...]

--network-games (default: --games) sizes the rows of the network, which cost the most by far.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PLAYERS = ("random", "heuristic", "network", "playout")


def play_row(player: str, dim: int, games: int, sims: int, seed: int) -> dict:
    """One row, in this process, with whichever build of the package is on the path."""
    import numpy as np

    from zelmor_lab.play.match import SEATS, play_match
    from zelmor_lab.play.players import HeuristicPlayer, RandomPlayer, SearchPlayer
    from zelmor_lab.play.tree_search import RandomPlayout

    rng = np.random.default_rng(seed)
    if player == "random":
        hero = RandomPlayer(rng)
    elif player == "heuristic":
        hero = HeuristicPlayer(rng)
    elif player == "playout":
        hero = SearchPlayer(RandomPlayout(), sims, rng)
    else:
        import torch

        from zelmor_lab.training.model import Architecture, PolicyValueNet, network_evaluator

        torch.manual_seed(seed)
        hero = SearchPlayer(network_evaluator(PolicyValueNet(dim, Architecture())), sims, rng)
    started = time.process_time()
    result = play_match(hero, RandomPlayer(rng), games, dim)
    summaries = [result.overall()] + [result.seat(s) for s in range(SEATS)]
    return {"cpu_s": time.process_time() - started, "figures": [(s.mean, s.half_width, s.games) for s in summaries]}


def unmended_package() -> Path:
    """A copy of the package whose native rules module carries the search as first written."""
    build = ROOT / "build" / "unmended-search"
    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(build),
            "-G",
            "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DZELMOR_UNMENDED_SEARCH=ON",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(["cmake", "--build", str(build), "--target", "_rules"], check=True, stdout=subprocess.DEVNULL)
    home = Path(tempfile.mkdtemp(prefix="unmended-"))
    shutil.copytree(
        ROOT / "python" / "zelmor_lab", home / "zelmor_lab", ignore=shutil.ignore_patterns("_rules*.so", "__pycache__")
    )
    for so in build.glob("_rules*.so"):
        shutil.copy(so, home / "zelmor_lab" / so.name)
    return home


def run_row(player: str, dim: int, args, package: Path | None) -> dict:
    """A row in a child process, so the unmended build can be imported in place of the package's own."""
    env = dict(os.environ, PYTHONPATH=str(package or ROOT / "python"))
    games = args.network_games if player == "network" and args.network_games else args.games
    out = subprocess.run(
        [
            sys.executable,
            __file__,
            "--row",
            player,
            "--dims",
            str(dim),
            "--games",
            str(games),
            "--sims",
            str(args.sims),
            "--seed",
            str(args.seed),
        ],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out.splitlines()[-1])


def cell(mean: float, half_width: float, games: int) -> str:
    return f"{mean:.3f} ± {half_width:.3f}" if games > 1 else f"{mean:.3f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=400)
    parser.add_argument("--network-games", type=int, help="games of the network rows (default: --games)")
    parser.add_argument("--players", default=",".join(PLAYERS), help="the rows to play (default: all)")
    parser.add_argument("--dims", default="10,20")
    parser.add_argument("--sims", type=int, default=32)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--row", choices=PLAYERS, help=argparse.SUPPRESS)
    args = parser.parse_args()
    dims = [int(d) for d in args.dims.split(",")]
    if args.row:
        print(json.dumps(play_row(args.row, dims[0], args.games, args.sims, args.seed)))
        return

    unmended = unmended_package()
    print(
        f"{args.games} games per row ({args.network_games or args.games} for the network), seats in turn, "
        f"against 3 random players; search rows at {args.sims} simulations, no noise, most visited tile; "
        f"seed {args.seed}\n"
    )
    print("| board | player | search | games | overall | seat 0 | seat 1 | seat 2 | seat 3 | CPU s |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    chosen = args.players.split(",")
    rows = [
        row
        for row in [
            ("random", None),
            ("heuristic", None),
            ("playout", "mended"),
            ("playout", "unmended"),
            ("network", "mended"),
            ("network", "unmended"),
        ]
        if row[0] in chosen
    ]
    for dim in dims:
        for player, search in rows:
            row = run_row(player, dim, args, unmended if search == "unmended" else None)
            figures = " | ".join(cell(*f) for f in row["figures"])
            label = {
                "random": "random",
                "heuristic": "heuristic",
                "playout": "random playout value",
                "network": "untrained default network",
            }[player]
            print(
                f"| {dim} x {dim} | {label} | {search or '-'} | {row['figures'][0][2]} | {figures} | "
                f"{row['cpu_s']:.0f} |",
                flush=True,
            )
    shutil.rmtree(unmended)


if __name__ == "__main__":
    main()
