"""A network seat's mean payoff over a match, with its interval: the one figure every strength
measurement reports."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

RANDOM_SHARE = 0.25  # the mean payoff of any seat when all four play alike


@dataclass(frozen=True)
class PayoffSummary:
    """Mean payoff of the network's seat over ``games`` games and the half width of its 95% interval
    (normal approximation; NaN with fewer than two games)."""

    games: int
    mean: float
    half_width: float

    def describe(self) -> str:
        if self.games == 0:
            return "no game finished"
        interval = "no interval" if math.isnan(self.half_width) else f"± {self.half_width:.3f} (95% interval)"
        return f"mean payoff {self.mean:.3f} {interval} over {self.games} games"


def summarize_payoffs(payoffs: Sequence[float]) -> PayoffSummary:
    values = np.asarray(payoffs, dtype=np.float64)
    if values.size == 0:
        return PayoffSummary(0, math.nan, math.nan)
    half_width = 1.96 * values.std(ddof=1) / math.sqrt(values.size) if values.size > 1 else math.nan
    return PayoffSummary(int(values.size), float(values.mean()), float(half_width))
