"""The loop's strength matches (``measure_strength``): a network's seat taken in turn against three random
players, three heuristic players and three seats of its predecessor (see match). The loop's settings and
progress bar call this phase its evaluation (eval_sims, eval_processes).

A strength match is one process's work per game, and on a machine of several cores it used to leave all but
one idle for most of a generation. So its games are shared among ``eval_processes`` processes, each
playing a share of every figure: the shares cost alike, and every share but the last is a whole number
of rounds of the four seats, so that the seats of the games played are those of one process playing
them all.
"""

from __future__ import annotations

import multiprocessing
import queue
import traceback
from collections.abc import Callable
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any

import numpy as np

from ..play.match import SEATS, play_match
from ..play.payoffs import PayoffSummary, summarize_payoffs
from ..play.players import GreedyPlayer, HeuristicPlayer, Player, RandomPlayer, SampledPlayer, SearchPlayer
from ..selfplay.spawning import process_with_payload, start_ignoring_ctrl_c
from ..training.network import Network
from .plan import LoopPlan

_POLL_S = 0.5


class StrengthError(Exception):
    """A process that played part of the strength matches failed or ended without its results."""


@dataclass(frozen=True)
class Strength:
    """How one network plays, each figure the mean payoff of its seat with the seats taken in turn (see
    match): greedily (its most probable legal tile) and with a search of ``eval_sims`` simulations, against
    three random players and against three heuristic players; and against three seats of its predecessor,
    both drawing their tiles from their policies, since two greedy networks would play the same game in
    every match of a seat (None for network 0)."""

    vs_random: PayoffSummary
    search_vs_random: PayoffSummary
    vs_heuristic: PayoffSummary
    greedy_vs_heuristic: PayoffSummary
    vs_previous: PayoffSummary | None

    def figures(self) -> dict[str, Any]:
        """The figures by name, the names of a GenerationRecord's fields."""
        return {f.name: getattr(self, f.name) for f in fields(self)}


@dataclass(frozen=True)
class _Figure:
    """The match behind one figure of an Strength: how the network under test chooses ("greedy",
    "search" or "sampled") and whom it plays ("random", "heuristic" or "previous")."""

    key: str
    games: int
    chooser: str
    opponent: str


@dataclass(frozen=True)
class _Networks:
    """What a process needs to build the players: it crosses into each evaluation process."""

    plan: LoopPlan
    network: Network
    previous: Network | None
    onnx_dir: Path | None


def measure_strength(
    plan: LoopPlan, network: Network, previous: Network | None, progress: bool, onnx_dir: Path | None = None
) -> Strength:
    """``network``'s figures under ``plan`` (see Strength), played by ``plan.eval_processes`` processes
    (1: this one), each with the plan's backend and threads; ``previous``: the network it is measured
    against (None for network 0). onnx_dir: where the ONNX exports are kept for the next generation's
    evaluation (None: not kept). Raises StrengthError when a process fails."""
    from ..progress import progress_bar

    figures = [
        _Figure("vs_random", plan.random_games, "greedy", "random"),
        _Figure("search_vs_random", plan.search_games, "search", "random"),
        _Figure("vs_heuristic", plan.search_games, "search", "heuristic"),
        _Figure("greedy_vs_heuristic", plan.random_games, "greedy", "heuristic"),
    ]
    if previous is not None:
        figures.append(_Figure("vs_previous", plan.baseline_games, "sampled", "previous"))
    networks = _Networks(plan, network, previous, onnx_dir)
    total = sum(figure.games for figure in figures)
    with progress_bar(total=total, unit="game", desc="evaluation", disable=not progress, leave=False) as bar:
        if plan.eval_processes == 1:
            payoffs = _play_share(networks, [(figure, figure.games) for figure in figures], lambda: bar.update(1))
        else:
            payoffs = _play_in_processes(networks, figures, plan.eval_processes, lambda: bar.update(1))
    summaries = {key: summarize_payoffs(values) for key, values in payoffs.items()}
    return Strength(vs_previous=summaries.pop("vs_previous", None), **summaries)


def seat_rounds(games: int, processes: int) -> list[int]:
    """``games`` split into ``processes`` shares as even as whole rounds of the four seats allow; the games
    short of a round go to the last share, which a single process would also have played last."""
    rounds = games // SEATS
    shares = [SEATS * (rounds // processes + (k < rounds % processes)) for k in range(processes)]
    shares[-1] += games % SEATS
    return shares


def _play_share(
    networks: _Networks, shares: list[tuple[_Figure, int]], on_game: Callable[[], None]
) -> dict[str, list[float]]:
    """Plays the given number of games of each figure here; the payoffs of the network's seat by figure."""
    plan = networks.plan
    evaluate = _evaluator(plan, networks.network, networks.onnx_dir)
    rng = np.random.default_rng()
    choosers: dict[str, Player] = {
        "greedy": GreedyPlayer(evaluate),
        "search": SearchPlayer(
            evaluate, plan.eval_sims, rng, plan.engine.c_base, plan.engine.c_init, plan.engine.root()
        ),
        "sampled": SampledPlayer(evaluate, rng),
    }
    opponents: dict[str, Player] = {"random": RandomPlayer(rng), "heuristic": HeuristicPlayer(rng)}
    if networks.previous is not None:
        opponents["previous"] = SampledPlayer(_evaluator(plan, networks.previous, networks.onnx_dir), rng)
    payoffs = {}
    for figure, games in shares:
        result = play_match(
            choosers[figure.chooser], opponents[figure.opponent], games, plan.engine.dim, on_game=lambda *_: on_game()
        )
        payoffs[figure.key] = list(result.payoffs)
    return payoffs


def _evaluator(plan: LoopPlan, network: Network, onnx_dir: Path | None):
    from ..selfplay.backends import make_runner
    from ..training.model import decode_checkpoint

    model = decode_checkpoint(network.data, network.path).model
    return make_runner(
        model, network.digest, plan.engine.backend, 1, plan.engine.device, plan.threads, onnx_dir
    ).evaluator()


def _play_in_processes(
    networks: _Networks, figures: list[_Figure], processes: int, on_game: Callable[[], None]
) -> dict[str, list[float]]:
    """The figures' games shared among ``processes`` spawned processes (see the module's docstring). Every
    process is gone when this returns or raises, Ctrl-C included: a process ignores Ctrl-C, and is killed
    when the evaluation is given up."""
    splits = {figure.key: seat_rounds(figure.games, processes) for figure in figures}
    context = multiprocessing.get_context("spawn")
    messages = context.Queue()
    # The networks' checkpoints travel by queue (see spawning).
    workers, inboxes = zip(
        *(
            process_with_payload(
                context,
                _share_process,
                (k, networks, [(figure, splits[figure.key][k]) for figure in figures]),
                messages,
                name=f"zelmor-eval-{k}",
            )
            for k in range(processes)
        )
    )
    start_ignoring_ctrl_c(workers)
    payoffs: dict[str, list[float]] = {figure.key: [] for figure in figures}
    finished: set[int] = set()
    try:
        while len(finished) < processes:
            try:
                k, kind, value = messages.get(timeout=_POLL_S)
            except queue.Empty:
                # A process puts its results before it ends, so one found dead with nothing left to read
                # ended without them.
                if len(finished) + sum(worker.is_alive() for worker in workers) < processes and messages.empty():
                    code = next((w.exitcode for w in workers if w.exitcode not in (None, 0)), None)
                    raise StrengthError(
                        f"an evaluation process ended with exit code {code} before its games were played"
                    ) from None
                continue
            if kind == "game":
                on_game()
            elif kind == "failed":
                raise StrengthError(f"evaluation process {k} failed:\n{value}")
            else:
                finished.add(k)
                for key, values in value.items():
                    payoffs[key].extend(values)
    finally:
        for worker in workers:
            if worker.is_alive():
                worker.kill()
            worker.join()
        messages.close()
        for inbox in inboxes:
            inbox.close()
    return payoffs


def _share_process(job: tuple[int, _Networks, list[tuple[_Figure, int]]], messages) -> None:
    k, networks, shares = job
    try:
        payoffs = _play_share(networks, shares, lambda: messages.put((k, "game", None)))
    except Exception:
        messages.put((k, "failed", traceback.format_exc()))
    else:
        messages.put((k, "done", payoffs))
