"""The loop's plan: everything that stays fixed for the life of a loop, its defaults (sized for two cores;
the README says why each is what it is), and how a TOML file and the command line's flags change them. A
loop stores its plan when it starts and keeps it; loops started by older versions read back with the
values they ran with.
"""

from __future__ import annotations

import os
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

from ..errors import InputError
from ..selfplay.settings import Settings, read_toml
from ..training.model import OLDER_HEADS, Architecture
from ..training.train import TrainingSettings
from ..validation import check_kinds, require


class LoopError(InputError):
    """A loop directory that cannot be started or continued as asked."""


@dataclass(frozen=True)
class LoopPlan:
    """Everything that stays fixed for the life of a loop; stored in loop.json when the loop starts.

    engine: self-play and match settings; architecture: of network 0 and so of all; training: optimizer
    and window; games_per_generation: self-play games by each network; steps_per_generation: training
    steps between two networks; random_games: games of each greedy figure against random and heuristic
    players; search_games: games of each figure with a search of eval_sims simulations (a search costs
    eval_sims network calls a move, so these figures are the evaluation's time); baseline_games: games
    against the predecessor; warmup_games, warmup_steps: network 0's warm start (0 for none), which stops
    early once it has spent warmup_share of the first session's minutes. threads: PyTorch's and ONNX
    Runtime's threads in the loop's own process (training, evaluation); their threads wait for each other
    by spinning, and where another job shares the cores, two threads made a training step up to ten times
    slower than one. eval_processes: the processes that play each evaluation's games (see strength),
    one per core unless set; 1 plays them in the loop's own process. eval_every: the strength matches are
    played on every eval_every-th network (and on the last one of a generation limit); the others only
    play and train, so that the loop spends its time making networks rather than measuring them."""

    # The settings' own workers and batches (eight workers per core, batches of half of them): as fast as
    # any pair of a sweep with ONNX Runtime and the reply cache on two cores, and cheaper in worker
    # CPU than more workers (see bench/README.md). Playout cap randomization (a full search of 96 on a
    # quarter of the actions, 8 elsewhere: 30 network calls an action on average) learned at least as
    # fast as 32 on every action, on both boards and both seeds measured (docs/experiments.md).
    engine: Settings = field(
        default_factory=lambda: Settings(sims_per_move=96, sample_moves=30, full_search_share=0.25, fast_sims=8)
    )
    architecture: Architecture = Architecture(
        blocks=2, channels=16, value_hidden=32, value_head="squares", ownership=True
    )
    training: TrainingSettings = TrainingSettings(batch_size=128, learning_rate=2e-3, window=400)
    games_per_generation: int = 32
    steps_per_generation: int = 200
    random_games: int = 400  # an interval of about ± 0.05
    search_games: int = 100
    baseline_games: int = 400
    eval_sims: int = 32
    threads: int = 1
    eval_processes: int = field(default_factory=lambda: os.cpu_count() or 1)
    # With every network measured, the matches took half of a loop's hour; with every fourth, 0.21 of it once
    # training ran a fifth faster (docs/experiments.md).
    eval_every: int = 5
    warmup_games: int = 2000  # games network 0 learns from before any self-play (see warmup)
    warmup_steps: int = 2000
    warmup_heuristic_share: float = 0.75  # of the warm start's games, those the heuristic player plays
    warmup_share: float = 0.25
    seed: int = 0  # network 0's first weights, the warm start's games and batches

    def __post_init__(self):
        check_kinds(self, "loop setting", LoopError)
        for name in (
            "games_per_generation",
            "steps_per_generation",
            "random_games",
            "search_games",
            "baseline_games",
            "eval_sims",
            "threads",
            "eval_processes",
            "eval_every",
        ):
            require(self, "loop setting", LoopError, getattr(self, name) >= 1, name, "must be a positive integer")
        for name in ("warmup_games", "warmup_steps", "seed"):
            require(self, "loop setting", LoopError, getattr(self, name) >= 0, name, "must be a whole number")
        for name in ("warmup_heuristic_share", "warmup_share"):
            require(self, "loop setting", LoopError, 0.0 <= getattr(self, name) <= 1.0, name, "must be between 0 and 1")

    def as_dict(self) -> dict[str, Any]:
        return {
            "engine": self.engine.as_dict(),
            "architecture": asdict(self.architecture),
            "training": asdict(self.training),
            "games_per_generation": self.games_per_generation,
            "steps_per_generation": self.steps_per_generation,
            "random_games": self.random_games,
            "baseline_games": self.baseline_games,
            "warmup_games": self.warmup_games,
            "warmup_steps": self.warmup_steps,
            "warmup_heuristic_share": self.warmup_heuristic_share,
            "warmup_share": self.warmup_share,
            "seed": self.seed,
            "eval_sims": self.eval_sims,
            "search_games": self.search_games,
            "threads": self.threads,
            "eval_processes": self.eval_processes,
            "eval_every": self.eval_every,
        }

    @staticmethod
    def from_dict(values: dict[str, Any]) -> LoopPlan:
        architecture = Architecture(**{**OLDER_HEADS, **values["architecture"]})
        # Loops started before the warm start had none, those before the heuristic's warm start learnt from
        # random play alone, those started before max_batch let every worker into one batch, and those
        # started before eval_processes played each evaluation in the loop's own process, and those started
        # before eval_every measured every network.
        engine = Settings(**{"max_batch": values["engine"]["workers"], **values["engine"]})
        return LoopPlan(
            engine=engine,
            architecture=architecture,
            training=TrainingSettings(**values["training"]),
            warmup_games=values.get("warmup_games", 0),
            warmup_steps=values.get("warmup_steps", 0),
            warmup_heuristic_share=values.get("warmup_heuristic_share", 0.0),
            seed=values.get("seed", 0),
            eval_sims=values.get("eval_sims", 32),
            search_games=values.get("search_games", values["random_games"]),
            threads=values.get("threads", 1),
            eval_processes=values.get("eval_processes", 1),
            eval_every=values.get("eval_every", 1),
            warmup_share=values.get("warmup_share", 1.0),
            **{
                k: values[k] for k in ("games_per_generation", "steps_per_generation", "random_games", "baseline_games")
            },
        )


def load_plan(
    toml_path: str | Path | None = None,
    dim: int | None = None,
    sims: int | None = None,
    seed: int | None = None,
    root_search: str | None = None,
    full_search_share: float | None = None,
    fast_sims: int | None = None,
    value_lambda: float | None = None,
) -> LoopPlan:
    """The default plan, then a TOML file, then the flags that are not None. The file sets the plan's own
    fields at its top level and those of its parts in the tables [engine], [architecture] and [training]."""
    values = LoopPlan().as_dict()
    if toml_path is not None:
        for name, value in read_toml(toml_path).items():
            if name not in values:
                raise LoopError(f"{toml_path}: no loop setting is called {name!r}")
            if isinstance(values[name], dict):
                if not isinstance(value, dict):
                    raise LoopError(f"{toml_path}: {name} must be a table of settings")
                unknown = sorted(set(value) - set(values[name]))
                if unknown:
                    raise LoopError(f"{toml_path}: [{name}] has no setting called {unknown[0]!r}")
                values[name] = {**values[name], **value}
            else:
                values[name] = value
    for flag, part, name in (
        (dim, "engine", "dim"),
        (sims, "engine", "sims_per_move"),
        (root_search, "engine", "root_search"),
        (full_search_share, "engine", "full_search_share"),
        (fast_sims, "engine", "fast_sims"),
        (value_lambda, "training", "value_lambda"),
    ):
        if flag is not None:
            values[part][name] = flag
    if seed is not None:
        values["seed"] = seed
    try:
        return LoopPlan.from_dict(values)
    except TypeError as error:  # a value of the wrong kind; the parts' own checks raise InputErrors
        raise LoopError(f"the loop's plan cannot be made: {error}") from None
