"""A network seat's mean payoff over a match, with its interval: the one figure every strength
measurement reports."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

RANDOM_SHARE = 0.25  # the mean payoff of any seat when all four play alike
# Below this many games the normal approximation's interval says nothing (two games alike give ± 0.000).
MIN_GAMES_FOR_INTERVAL = 10


@dataclass(frozen=True)
class PayoffSummary:
    """Mean payoff of the network's seat over ``games`` games and the half width of its 95% interval
    (normal approximation; NaN with fewer than two games)."""

    games: int
    mean: float
    half_width: float

    @property
    def has_interval(self) -> bool:
        """Enough games for the interval to mean something."""
        return self.games >= MIN_GAMES_FOR_INTERVAL and not math.isnan(self.half_width)

    def describe(self) -> str:
        if self.games == 0:
            return "no game finished"
        if not self.has_interval:
            return (
                f"mean payoff {self.mean:.3f} over {self.games} games "
                f"(too few for a 95% interval, which takes {MIN_GAMES_FOR_INTERVAL})"
            )
        return f"mean payoff {self.mean:.3f} ± {self.half_width:.3f} (95% interval) over {self.games} games"


def summarize_payoffs(payoffs: Sequence[float]) -> PayoffSummary:
    values = np.asarray(payoffs, dtype=np.float64)
    if values.size == 0:
        return PayoffSummary(0, math.nan, math.nan)
    half_width = 1.96 * values.std(ddof=1) / math.sqrt(values.size) if values.size > 1 else math.nan
    return PayoffSummary(int(values.size), float(values.mean()), float(half_width))
