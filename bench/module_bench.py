"""Throughput of the zelmor_self_play module with an in-process network stand-in that answers at once.

    PYTHONPATH=python python bench/module_bench.py            # after tools/dev-build, or with the package installed

Greedy matches: decisions per second and microseconds per exchange (request built, reply converted) for
both request layouts. Training game: simulations per second at 20 x 20, and the peak resident memory of one
whole game at 200 and 800 simulations per move, each measured in a fresh process.
"""

from __future__ import annotations

import argparse
import resource
import statistics
import subprocess
import sys
import time

import zelmor_self_play


class Settings:
    def __init__(self, **overrides):
        self.dim, self.rep, self.sims_per_move, self.sample_moves = 20, 1, 200, 30
        self.c_base, self.c_init, self.dirichlet_alpha, self.exploration_fraction = 19652.0, 1.25, 0.3, 0.25
        self.__dict__.update(overrides)


class InstantNetwork:
    """Queue and pipe in one: counts requests and answers every one with the same uniform reply."""

    def __init__(self, dim: int):
        self.requests = 0
        self.reply = ([0.0] * (dim * dim), [0.0] * 4)

    def put(self, request):
        self.requests += 1

    def recv(self):
        return self.reply


class Discard:
    def put(self, record):
        pass


def greedy_matches(rep: int, games: int) -> tuple[float, float]:
    """Decisions per second and µs per exchange over `games` matches against random players."""
    net = InstantNetwork(20)
    start = time.perf_counter()
    for _ in range(games):
        zelmor_self_play.play_test_against_random(0, Settings(rep=rep), Discard(), net, net)
    elapsed = time.perf_counter() - start
    # The random seats cost next to nothing, so the exchange dominates the decision time.
    return net.requests / elapsed, elapsed / net.requests * 1e6


def training_game(sims: int) -> float:
    net = InstantNetwork(20)
    start = time.perf_counter()
    zelmor_self_play.play_training_game(0, Settings(sims_per_move=sims), Discard(), net, net)
    return net.requests / (time.perf_counter() - start)


def peak_memory_mib(sims: int) -> float:
    code = f"import sys, resource; sys.argv = ['x', '--one-game', '{sims:d}']; exec(open({__file__!r}).read())"
    output = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    return float(output.split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=20, help="greedy matches per layout")
    parser.add_argument("--repeats", type=int, default=3, help="training games per measurement")
    parser.add_argument("--one-game", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.one_game is not None:
        training_game(args.one_game)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
        return

    for rep, name in ((1, "planes first"), (2, "planes last")):
        rates = [greedy_matches(rep, args.games) for _ in range(args.repeats)]
        best = statistics.median(r[0] for r in rates)
        micros = statistics.median(r[1] for r in rates)
        print(f"greedy match, {name}: {best:,.0f} decisions/s, {micros:.1f} µs per exchange")
    rates = [training_game(200) for _ in range(args.repeats)]
    rate = statistics.median(rates)
    print(f"training game, 200 sims/move: {rate:,.0f} simulations/s, {1e6 / rate:.1f} µs per simulation")
    for sims in (200, 800):
        print(f"peak resident memory, one game at {sims} sims/move: {peak_memory_mib(sims):.0f} MiB")


if __name__ == "__main__":
    main()
