"""What the loop knows of each network it made: how it plays (a Strength, see strength), what it
cost (``GenerationRecord``), which one is best, and the table and picture of them all that RUN/loop/ shows.
"""

from __future__ import annotations

import io
import math
from dataclasses import asdict, dataclass, fields
from pathlib import Path
from typing import Any

from ..play.payoffs import RANDOM_SHARE, PayoffSummary
from ..runs.atomic import write_atomically
from ..training.network import Network
from .strength import Strength


def best_generation(records: list[GenerationRecord]) -> int:
    """The generation whose network scored the highest mean against heuristic players, greedily where the
    records have that figure (its 400 games rather than the search figure's 100, whose noise picked a
    network as often as its strength did), else with the search, else against random players; of equal
    scores the latest, which learnt from the most games. Networks without strength matches are not
    candidates."""
    key = next((k for k in ("greedy_vs_heuristic", "vs_heuristic") if any(getattr(r, k) for r in records)), "vs_random")
    return max((r for r in records if getattr(r, key)), key=lambda r: (getattr(r, key).mean, r.generation)).generation


_SECONDS = ("selfplay_s", "train_s", "eval_s", "elapsed_s")


@dataclass(frozen=True)
class GenerationRecord:
    """What one network is and did. games, positions: self-play games stored by the loop up to the end of
    the generation that trained it (cumulative); window_*: what it was trained on; *_s: seconds spent in
    each phase of that generation by the session that finished it; elapsed_s: the loop's seconds so far
    (the sum of those, so the time of a session cut short is not counted); vs_random, vs_previous,
    search_vs_random, vs_heuristic (with a search), greedy_vs_heuristic: payoff of the network's seat
    (see Strength; None where the loop played no strength match for it, where older loops did not measure
    it, and vs_previous for network 0: vs_previous is against the network measured before); training: the
    last metrics line of its training, measured on the batches it learnt from; unseen: the same metrics
    of the network that played the generation, on a sample of the generation's games before any
    training on them (None when that training began in an earlier session): the measure of how well the
    networks predict games they have not seen."""

    generation: int
    model: str
    step: int
    games: int
    positions: int
    window_games: int
    window_positions: int
    selfplay_s: float
    train_s: float
    eval_s: float
    elapsed_s: float
    vs_random: PayoffSummary | None
    vs_previous: PayoffSummary | None
    training: dict[str, Any] | None
    unseen: dict[str, float] | None
    search_vs_random: PayoffSummary | None = None
    vs_heuristic: PayoffSummary | None = None
    greedy_vs_heuristic: PayoffSummary | None = None

    @staticmethod
    def first(network: Network, evaluation: Strength, elapsed_s: float) -> GenerationRecord:
        """Network 0, before any game: its evaluation, with no predecessor."""
        return GenerationRecord(
            generation=0,
            model=network.digest,
            step=network.step,
            games=0,
            positions=0,
            window_games=0,
            window_positions=0,
            selfplay_s=0.0,
            train_s=0.0,
            eval_s=elapsed_s,
            elapsed_s=elapsed_s,
            training=None,
            unseen=None,
            **evaluation.figures(),
        )

    def __post_init__(self):
        for name in _SECONDS:  # milliseconds are all loop.json keeps, so a record read back equals this one
            object.__setattr__(self, name, round(getattr(self, name), 3))

    def as_dict(self) -> dict[str, Any]:
        """The record as loop.json holds it."""
        return asdict(self)

    @staticmethod
    def from_dict(values: dict[str, Any]) -> GenerationRecord:
        """A record of loop.json; figures older loops did not measure are None."""
        figures = {f.name for f in fields(Strength)}
        read: dict[str, Any] = {
            name: PayoffSummary(**value) if name in figures and value is not None else value
            for name, value in values.items()
        }
        return GenerationRecord(**read)


def plot_summary(
    records: list[GenerationRecord], png_path: Path, random_vs_heuristic: PayoffSummary | None = None
) -> None:
    """Strength across generations: every figure of the evaluation with its 95% interval, the share of four
    alike, and where given what random play scores against heuristic players in the same seats."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    figure, axes = plt.subplots(figsize=(8, 4.5))
    for key, label in (
        ("vs_random", "greedy, against 3 random players"),
        ("search_vs_random", "with search, against 3 random players"),
        ("greedy_vs_heuristic", "greedy, against 3 heuristic players"),
        ("vs_heuristic", "with search, against 3 heuristic players"),
        ("vs_previous", "sampling, against the previous network"),
    ):
        shown = [(r.generation, getattr(r, key)) for r in records if getattr(r, key) is not None]
        if not shown:
            continue
        axes.errorbar(
            [generation for generation, _ in shown],
            [summary.mean for _, summary in shown],
            yerr=[0.0 if math.isnan(summary.half_width) else summary.half_width for _, summary in shown],
            marker="o",
            capsize=3,
            label=label,
        )
    axes.axhline(RANDOM_SHARE, color="grey", linestyle="--", label="four alike (0.25)")
    if random_vs_heuristic is not None:
        axes.axhline(
            random_vs_heuristic.mean,
            color="grey",
            linestyle=":",
            label=f"random, against 3 heuristic players ({random_vs_heuristic.mean:.2f})",
        )
    axes.set_xlabel("generation")
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_ylabel("mean payoff of the network's seat")
    axes.set_ylim(0, 1)
    if records:
        minutes = records[-1].elapsed_s / 60
        axes.set_title(f"generations: {len(records) - 1}, self-play games: {records[-1].games}, minutes: {minutes:.0f}")
    axes.legend(loc="upper left")
    figure.tight_layout()
    image = io.BytesIO()  # drawn whole, then written as every file of a run is (WriteError on failure)
    figure.savefig(image, format="png", dpi=100)
    plt.close(figure)
    write_atomically(png_path, image.getvalue())


def results_table(records: list[GenerationRecord]) -> str:
    """A Markdown table: one row per network, what the loop had spent to make it and how it plays."""

    def payoff(summary: PayoffSummary | None) -> str:
        if summary is None:
            return "-"
        interval = "" if math.isnan(summary.half_width) else f" ± {summary.half_width:.2f}"
        return f"{summary.mean:.2f}{interval} ({summary.games})"

    lines = [
        "| generation | minutes | self-play games | positions | training steps | greedy vs 3 random "
        "(games) | search vs 3 random (games) | greedy vs 3 heuristic (games) | search vs 3 heuristic "
        "(games) | vs previous (games) |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in records:
        lines.append(
            f"| {r.generation} | {r.elapsed_s / 60:.1f} | {r.games} | {r.positions} | {r.step} | "
            f"{payoff(r.vs_random)} | {payoff(r.search_vs_random)} | {payoff(r.greedy_vs_heuristic)} | "
            f"{payoff(r.vs_heuristic)} | {payoff(r.vs_previous)} |"
        )
    if records:
        against = "heuristic" if any(r.vs_heuristic for r in records) else "random"
        lines.append(f"\nBest against {against} players: generation {best_generation(records)} (loop/best.pt).")
    return "\n".join(lines) + "\n"
