"""Self-play into a run on this machine: the one way the command line and the loop play training games,
with a progress bar of the pipeline's rates, each game stored as it finishes."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..training.network import Network
from .backends import ONNX_DIR
from .settings import Settings

REFRESH_S = 0.5  # seconds between two refreshes of the progress bar's rates


@dataclass(frozen=True)
class SelfPlayOutcome:
    """games and positions stored; abandoned: games the engine gave up; interrupted: Ctrl-C or SIGTERM;
    failure: why the pipeline could not go on, or None."""

    games: int
    positions: int
    abandoned: int
    interrupted: bool
    failure: str | None


def play_games(
    run: Path,
    settings: Settings,
    network: Network,
    games: int | None,
    session: dict[str, Any],
    new_files: dict[str, bytes] | None = None,
    deadline: float = math.inf,
    progress: bool = True,
    label: str | None = None,
) -> SelfPlayOutcome:
    """Play up to ``games`` training games (None: until stopped) with ``network`` into ``run``, recording
    ``session`` (and writing ``new_files``, see RunWriter) first; stops at ``deadline`` (time.monotonic())
    or at Ctrl-C. Games finished are stored whatever ends the play."""
    from ..progress import progress_bar
    from ..runs.store import RunWriter
    from .pipeline import AbandonedGame, FinishedGame, Pipeline, PipelineError
    from .workers import WorkerConfig

    stored = positions = abandoned = 0
    failure = None
    with (
        RunWriter(run, settings.dim, session, settings.flush_every, new_files) as writer,
        Pipeline(WorkerConfig(settings), (network.data,), games, run / ONNX_DIR) as pipeline,
        progress_bar(
            total=games, unit="game", desc=label, dynamic_ncols=True, disable=not progress, leave=label is None
        ) as bar,
    ):
        started = last_refresh = time.monotonic()
        try:
            for event in pipeline.events():
                if isinstance(event, FinishedGame):
                    game = event.game
                    writer.add(
                        event.worker, game.history, game.policies, game.payoff, network.digest, event.finished_at
                    )
                    stored, positions = stored + 1, positions + game.positions
                    bar.update(1)
                elif isinstance(event, AbandonedGame):
                    abandoned += 1
                now = time.monotonic()
                if now > deadline:
                    pipeline.stop()
                if now - last_refresh >= REFRESH_S:
                    last_refresh = now
                    counts = pipeline.stats
                    postfix = {
                        "eval/s": f"{counts.evaluations / (now - started):.0f}",
                        "batch": f"{counts.mean_batch:.1f}",
                        "cached": f"{counts.hit_rate:.0%}",
                    }
                    if positions:
                        postfix["pos/s"] = f"{positions / (now - started):.1f}"
                    bar.set_postfix(postfix, refresh=False)
                    bar.refresh()
        except PipelineError as error:
            failure = str(error)
        finally:
            writer.flush()
        interrupted = pipeline.interrupted
    return SelfPlayOutcome(stored, positions, abandoned, interrupted, failure)
