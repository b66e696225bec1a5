"""The training loop: generation after generation, self-play with the current network, training on the
latest games, evaluation of the new network, and a record of it all.

Generation g starts with network g (RUN/loop/gen-<g>.pt) and does, in order:
  1. self-play: ``games_per_generation`` training games with network g into RUN/games; every stored
     game carries the digest of the network that played it, so the games of generation g already on
     disk are counted and only the missing ones are played;
  2. training: the trainer (RUN/loop/trainer.pt and its files, see train.TrainingFiles) takes
     ``steps_per_generation`` steps on the window of the latest games, up to the step count of network g
     plus that number; a training cut short resumes from its saved state;
  3. the trained network becomes network g + 1 (RUN/loop/gen-<g+1>.pt), which is evaluated (see
     Evaluation), each seat in turn: greedily and with a search against three random players, greedily and
     with a search against three heuristic players, and against network g;
  4. the generation's record is added to RUN/loop/loop.json, in the same atomic write that moves the
     loop on to generation g + 1; then the summary plot and results table are redrawn, and the network
     that scored best against heuristic players so far is copied to RUN/loop/best.pt.
Self-play always uses the latest network; best.pt is what the loop offers a user who wants the
strongest network it made, since one generation's training can leave a network weaker than its
predecessor.
Whatever stops the loop (Ctrl-C, a crash, the time budget), running it again continues where it stood:
stored games are kept and counted, the training resumes from its state, an unrecorded evaluation is
played again. Network 0 learns from the heuristic player's games first (see warmup), for at most a
``warmup_share`` of the first session's minutes; that warm start is saved as it goes and resumes like the
rest. Network 0 is evaluated before the first generation.

The inference service keeps each network it exports to ONNX in RUN/onnx/.
Files under RUN/loop/: loop.json (plan, current generation, records), gen-<g>.pt, trainer.pt (the warm start's
and then the generations' training) with
trainer.pt.state / .metrics.jsonl / .curve.png, summary.png, results.md, best.pt, .lock.
"""

from __future__ import annotations

import fcntl
import io
import json
import math
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import asdict, dataclass, field, fields
from pathlib import Path
from typing import Any

import numpy as np

from .atomic import write_atomically
from .backends import ONNX_DIR, make_runner
from .dataset import load_window
from .errors import InputError
from .evaluation import RANDOM_SHARE, PayoffSummary
from .model import (
    OLDER_HEADS,
    Architecture,
    PolicyValueNet,
    decode_checkpoint,
)
from .pipeline import PipelineError
from .players import (
    GreedyPlayer,
    HeuristicPlayer,
    Player,
    RandomPlayer,
    SampledPlayer,
    SearchPlayer,
)
from .selfplay import Network, play_games
from .settings import Settings, read_toml
from .store import Run, RunWriter, check_run_target, read_shard, session_record
from .train import (
    Trainer,
    TrainingFiles,
    TrainingSettings,
    read_metrics,
    resume_training,
    save_training,
    train_on_window,
)
from .validation import check_kinds, require
from .warmup import warmup_window

LOOP_FORMAT = "zelmor-lab loop 1"
_UNSEEN_SAMPLE = 2048  # positions of a generation's games measured before training on them


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
    slower than one."""

    # The settings' own workers and batches (eight workers per core, batches of half of them): as fast as
    # any pair of a sweep with ONNX Runtime and the evaluation cache on two cores, and cheaper in worker
    # CPU than more workers (see the README).
    engine: Settings = field(default_factory=lambda: Settings(sims_per_move=32, sample_moves=30))
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
        }

    @staticmethod
    def from_dict(values: dict[str, Any]) -> LoopPlan:
        architecture = Architecture(**{**OLDER_HEADS, **values["architecture"]})
        # Loops started before the warm start had none, those before the heuristic's warm start learnt from
        # random play alone, and those started before max_batch let every worker into one batch.
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
            warmup_share=values.get("warmup_share", 1.0),
            **{
                k: values[k] for k in ("games_per_generation", "steps_per_generation", "random_games", "baseline_games")
            },
        )


def load_plan(
    toml_path: str | Path | None = None, dim: int | None = None, sims: int | None = None, seed: int | None = None
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
    for flag, part, name in ((dim, "engine", "dim"), (sims, "engine", "sims_per_move")):
        if flag is not None:
            values[part][name] = flag
    if seed is not None:
        values["seed"] = seed
    try:
        return LoopPlan.from_dict(values)
    except TypeError as error:  # a value of the wrong kind; the parts' own checks raise InputErrors
        raise LoopError(f"the loop's plan cannot be made: {error}") from None


@dataclass
class LoopState:
    """Contents of loop.json: the plan, the generation now under way, the loop's time spent in the warm
    start and finished generations (over all sessions), one record per evaluated network (see
    GenerationRecord) and the seconds the warm start may take in all (None: no limit)."""

    plan: LoopPlan
    generation: int
    elapsed_s: float
    records: list[GenerationRecord]
    warm_start_budget_s: float | None = None

    def to_json(self) -> str:
        return json.dumps(
            {
                "format": LOOP_FORMAT,
                "plan": self.plan.as_dict(),
                "generation": self.generation,
                "elapsed_s": round(self.elapsed_s, 3),
                "records": [record.as_dict() for record in self.records],
                "warm_start_budget_s": self.warm_start_budget_s,
            },
            indent=1,
        )

    @staticmethod
    def read(path: Path) -> LoopState:
        try:
            values = json.loads(path.read_text())
            if values["format"] != LOOP_FORMAT:
                raise ValueError(f"format {values['format']!r}")
            return LoopState(
                plan=LoopPlan.from_dict(values["plan"]),
                generation=int(values["generation"]),
                elapsed_s=float(values["elapsed_s"]),
                records=[GenerationRecord.from_dict(record) for record in values["records"]],
                warm_start_budget_s=values.get("warm_start_budget_s"),
            )
        except (OSError, ValueError, KeyError, TypeError, InputError) as error:
            raise LoopError(f"{path} is damaged: {error}") from None


@dataclass(frozen=True)
class Played:
    games: int
    positions: int


class LoopDirectory:
    """RUN/loop: where the loop keeps its state, networks and pictures."""

    def __init__(self, run: Path):
        self.run = run
        self.path = run / "loop"

    @property
    def state_path(self) -> Path:
        return self.path / "loop.json"

    @property
    def trainer_files(self) -> TrainingFiles:
        return TrainingFiles(self.path / "trainer.pt")

    @property
    def summary_png(self) -> Path:
        return self.path / "summary.png"

    @property
    def results_md(self) -> Path:
        return self.path / "results.md"

    @property
    def best_path(self) -> Path:
        return self.path / "best.pt"

    @staticmethod
    def network_name(generation: int) -> str:
        return f"loop/gen-{generation:04d}.pt"

    def write_state(self, state: LoopState) -> None:
        write_atomically(self.state_path, state.to_json().encode())

    @contextmanager
    def locked(self) -> Iterator[None]:
        with open(self.path / ".lock", "w") as lock:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise LoopError(f"{self.path} is in use by another zelmor-lab loop") from None
            yield


class Stopped(Exception):
    """The session's time budget ran out in the middle of a generation (which a later session finishes)."""


def run_loop(
    run: str | Path,
    generations: int | None = None,
    minutes: float | None = 60.0,
    plan: LoopPlan | None = None,
    progress: bool = False,
    on_record: Callable[[GenerationRecord], None] | None = None,
    jobs=None,
) -> LoopState:
    """``zelmor-lab loop``: start the loop in ``run`` (with ``plan``, default LoopPlan()) or continue the
    one there (whose stored plan then rules; a different ``plan`` is refused).

    generations: stop once the network of this generation is evaluated (None: no limit); minutes: this
    session's time budget (None: no limit): no generation is started that the last one's duration says
    would not end in time, and self-play stops at the deadline. Returns the loop's state at the end.
    on_record(record) is called with each network's record as it is made. Ctrl-C raises
    KeyboardInterrupt once what was finished is safely stored. jobs: where self-play, training and
    evaluation run (default LocalJobs())."""
    run = Path(run)
    directory = LoopDirectory(run)
    deadline = math.inf if minutes is None else time.monotonic() + 60.0 * minutes
    if directory.state_path.exists():
        state = LoopState.read(directory.state_path)
        if plan is not None and plan != state.plan:
            raise LoopError(
                f"{directory.path} holds a loop with other settings; continue it without new "
                f"settings or choose another run"
            )
    else:
        state = _start(directory, plan if plan is not None else LoopPlan(), minutes)
    import torch

    torch.set_num_threads(state.plan.threads)
    with directory.locked():
        return _continue(
            directory,
            state,
            generations,
            deadline,
            progress,
            on_record or (lambda record: None),
            jobs or LocalJobs(run),
        )


def _start(directory: LoopDirectory, plan: LoopPlan, minutes: float | None) -> LoopState:
    """The run, the trainer of network 0 with its seeded first weights, and loop.json, written only once
    the run directory accepted the loop. The warm start's budget is its share of ``minutes``."""
    import torch

    check_run_target(directory.run, plan.engine.dim)
    torch.manual_seed(plan.seed)
    trainer = Trainer(PolicyValueNet(plan.engine.dim, plan.architecture), plan.training, device=plan.engine.device)
    with RunWriter(directory.run, plan.engine.dim, session_record("loop", plan.as_dict(), {}), plan.engine.flush_every):
        save_training(trainer, directory.trainer_files)
        budget = None if minutes is None else 60.0 * minutes * plan.warmup_share
        state = LoopState(plan=plan, generation=0, elapsed_s=0.0, records=[], warm_start_budget_s=budget)
        directory.write_state(state)
    return state


def _warm_start(directory: LoopDirectory, state: LoopState, deadline: float, progress: bool) -> None:
    """Train network 0 on the heuristic's games (see warmup) from where the trainer stands, up to the plan's
    warm-start steps or the warm start's budget, then store it as network 0. Stopped when the session's
    deadline comes first; the time spent counts in the loop's, whatever ends it."""
    plan, started = state.plan, time.monotonic()
    files = directory.trainer_files
    budget_s = state.warm_start_budget_s
    budget_end = math.inf if budget_s is None else started + budget_s - state.elapsed_s
    try:
        trainer = resume_training(files, plan.engine.dim, plan.training, plan.engine.device)
        if plan.warmup_games and trainer.step < plan.warmup_steps and time.monotonic() < budget_end:
            window = warmup_window(plan.warmup_games, plan.engine.dim, plan.seed, plan.warmup_heuristic_share)
            train_on_window(
                trainer,
                window,
                plan.warmup_steps,
                files,
                plan.training,
                extra={"warm_start": True},
                progress=progress,
                deadline=min(deadline, budget_end),
                rng=np.random.default_rng([plan.seed, trainer.step]),
                label="warm start",
            )
    finally:
        state.elapsed_s += time.monotonic() - started
        directory.write_state(state)
    if plan.warmup_games and trainer.step < plan.warmup_steps and time.monotonic() < budget_end:
        raise Stopped()
    data = files.out.read_bytes()
    network = Network(directory.network_name(0), data, decode_checkpoint(data, "network 0").digest, trainer.step)
    with RunWriter(
        directory.run,
        plan.engine.dim,
        session_record("loop", plan.as_dict(), network.record()),
        plan.engine.flush_every,
        {network.path: data},
    ):
        pass


def _continue(
    directory: LoopDirectory,
    state: LoopState,
    generations: int | None,
    deadline: float,
    progress: bool,
    on_record: Callable[[GenerationRecord], None],
    jobs,
) -> LoopState:
    plan = state.plan
    if not (directory.run / directory.network_name(0)).exists():
        try:
            _warm_start(directory, state, deadline, progress)
        except Stopped:
            return state
    network = Network.load(directory.run, directory.network_name(state.generation), plan.engine.dim)
    if not state.records:
        started = time.monotonic()
        evaluation = jobs.evaluate(plan, network, None, progress)
        state.elapsed_s += time.monotonic() - started
        state.records.append(GenerationRecord.first(network, evaluation, state.elapsed_s))
        _finish_generation(directory, state)
        on_record(state.records[-1])
    while generations is None or state.generation < generations:
        last = state.records[-1]
        if time.monotonic() + last.selfplay_s + last.train_s + last.eval_s > deadline:
            break
        try:
            network = _generation(directory, state, network, deadline, progress, jobs)
        except Stopped:
            break
        on_record(state.records[-1])
    return state


def _generation(
    directory: LoopDirectory, state: LoopState, network: Network, deadline: float, progress: bool, jobs
) -> Network:
    """Play, train and evaluate generation ``state.generation``; returns the next network."""
    plan, run, generation = state.plan, directory.run, state.generation
    timer = time.monotonic()
    before = count_games(run, network.digest)
    played = Played(0, 0)
    while before.games + played.games < plan.games_per_generation:
        if time.monotonic() > deadline:
            raise Stopped()
        more = jobs.self_play(
            run, plan, network, plan.games_per_generation - before.games - played.games, deadline, progress
        )
        played = Played(played.games + more.games, played.positions + more.positions)
    selfplay_s = time.monotonic() - timer

    timer = time.monotonic()
    files = directory.trainer_files
    window = _training_window(plan, run)
    unseen = jobs.train(files, window, plan, network, generation, before.positions + played.positions, progress)
    successor_path = directory.network_name(generation + 1)
    write_atomically(run / successor_path, files.out.read_bytes())
    successor = Network.load(run, successor_path, plan.engine.dim)
    train_s = time.monotonic() - timer

    timer = time.monotonic()
    evaluation = jobs.evaluate(plan, successor, network, progress)
    eval_s = time.monotonic() - timer

    metrics = [line for line in read_metrics(files.metrics) if line.get("generation") == generation]
    previous = state.records[-1]
    record = GenerationRecord(
        generation=generation + 1,
        model=successor.digest,
        step=successor.step,
        games=previous.games + before.games + played.games,
        positions=previous.positions + before.positions + played.positions,
        window_games=window.games,
        window_positions=window.positions,
        selfplay_s=selfplay_s,
        train_s=train_s,
        eval_s=eval_s,
        elapsed_s=state.elapsed_s + selfplay_s + train_s + eval_s,
        training=metrics[-1] if metrics else None,
        unseen=unseen,
        **evaluation.figures(),
    )
    state.records.append(record)
    state.generation = generation + 1
    state.elapsed_s = record.elapsed_s
    _finish_generation(directory, state)
    return successor


def _training_window(plan: LoopPlan, run: Path):
    """The latest ``window`` games of the run, and while the run holds fewer, the warm start's games before
    them up to that number: the first generations' few games alone, each drawn many times, would teach the
    network those games by heart and make it forget what the warm start taught."""
    window = load_window(run, plan.training.window)
    missing = min(plan.training.window - window.games, plan.warmup_games if plan.warmup_steps else 0)
    if missing <= 0:
        return window
    return window.after(warmup_window(missing, plan.engine.dim, plan.seed, plan.warmup_heuristic_share))


def train_generation(
    files: TrainingFiles,
    window,
    plan: LoopPlan,
    network: Network,
    generation: int,
    fresh_positions: int,
    progress: bool,
) -> dict[str, float] | None:
    """Train the state in ``files`` on ``window`` up to ``network``'s step plus the generation's steps;
    ``fresh_positions``: how many of the window's newest positions ``network`` played itself. Returns
    the metrics on those unseen positions (see GenerationRecord), None when the training had begun
    before."""
    trainer = resume_training(files, plan.engine.dim, plan.training, plan.engine.device)
    if trainer.step < network.step:
        raise LoopError(
            f"the training state {files.state} is at step {trainer.step}, behind network "
            f"{network.path} at step {network.step}"
        )
    target = network.step + plan.steps_per_generation
    unseen = None
    if trainer.step == network.step:
        # The generation's own games are the newest positions of the window and the trainer still
        # holds the network that played them: its metrics there are those of games it never learnt from.
        fresh = min(window.positions, fresh_positions)
        rng = np.random.default_rng()
        unseen = trainer.measure(window.batch(window.positions - 1 - rng.permutation(fresh)[:_UNSEEN_SAMPLE]))
    if trainer.step < target:
        train_on_window(
            trainer, window, target, files, plan.training, extra={"generation": generation}, progress=progress
        )
    return unseen


class LocalJobs:
    """The loop's three jobs on this machine: self-play, training and evaluation (cluster.ClusterJobs
    runs them on a Ray cluster)."""

    def self_play(
        self, run: Path, plan: LoopPlan, network: Network, games: int, deadline: float, progress: bool
    ) -> Played:
        return _self_play(run, plan, network, games, deadline, progress)

    train = staticmethod(train_generation)

    def __init__(self, run: Path):
        self._onnx_dir = run / ONNX_DIR  # the run keeps the networks the services export

    def evaluate(self, plan: LoopPlan, network: Network, previous: Network | None, progress: bool) -> Evaluation:
        return _evaluate(plan, network, previous, progress, self._onnx_dir)


def _finish_generation(directory: LoopDirectory, state: LoopState) -> None:
    directory.write_state(state)
    plot_summary(state.records, directory.summary_png)
    write_atomically(directory.results_md, results_table(state.records).encode())
    # Derived from the records, so a crash between the writes is mended by the next generation.
    best = (directory.run / directory.network_name(best_generation(state.records))).read_bytes()
    if not directory.best_path.exists() or directory.best_path.read_bytes() != best:
        write_atomically(directory.best_path, best)


def best_generation(records: list[GenerationRecord]) -> int:
    """The generation whose network scored the highest mean against heuristic players (against random
    players in loops whose records have no such figure); of equal scores the latest, which learnt from the
    most games."""
    key = "vs_heuristic" if any(r.vs_heuristic for r in records) else "vs_random"
    return max((r for r in records if getattr(r, key)), key=lambda r: (getattr(r, key).mean, r.generation)).generation


_SECONDS = ("selfplay_s", "train_s", "eval_s", "elapsed_s")


@dataclass(frozen=True)
class GenerationRecord:
    """What one network is and did. games, positions: self-play games stored by the loop up to the end of
    the generation that trained it (cumulative); window_*: what it was trained on; *_s: seconds spent in
    each phase of that generation by the session that finished it; elapsed_s: the loop's seconds so far
    (the sum of those, so the time of a session cut short is not counted); vs_random, vs_previous,
    search_vs_random, vs_heuristic (with a search), greedy_vs_heuristic: payoff of the network's seat
    (see Evaluation; None where older loops did not measure it, vs_previous for network 0); training: the
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
    vs_random: PayoffSummary
    vs_previous: PayoffSummary | None
    training: dict[str, Any] | None
    unseen: dict[str, float] | None
    search_vs_random: PayoffSummary | None = None
    vs_heuristic: PayoffSummary | None = None
    greedy_vs_heuristic: PayoffSummary | None = None

    @staticmethod
    def first(network: Network, evaluation: Evaluation, elapsed_s: float) -> GenerationRecord:
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
        figures = {f.name for f in fields(Evaluation)}
        read: dict[str, Any] = {
            name: PayoffSummary(**value) if name in figures and value is not None else value
            for name, value in values.items()
        }
        return GenerationRecord(**read)


# ---- the pipeline's three jobs ------------------------------------------------------------------


def count_games(run: Path, digest: str) -> Played:
    """Games (and their positions) stored in ``run`` that the network ``digest`` played."""
    import pyarrow.compute as pc

    games = positions = 0
    for shard in Run(run).shards():
        table = read_shard(shard)
        mine = pc.equal(table["model"], digest)
        games += int(pc.sum(mine).as_py() or 0)
        positions += int(pc.sum(pc.list_value_length(table.filter(mine)["history"])).as_py() or 0)
    return Played(games, positions)


def _self_play(run: Path, plan: LoopPlan, network: Network, games: int, deadline: float, progress: bool) -> Played:
    """Play up to ``games`` training games with ``network`` into the run, until the deadline."""
    outcome = play_games(
        run,
        plan.engine,
        network,
        games,
        session_record("loop", plan.as_dict(), network.record()),
        deadline=deadline,
        progress=progress,
        label="self-play",
    )
    if outcome.failure is not None:
        raise PipelineError(outcome.failure)
    if outcome.interrupted:
        raise KeyboardInterrupt
    return Played(outcome.games, outcome.positions)


@dataclass(frozen=True)
class Evaluation:
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


def _evaluate(
    plan: LoopPlan, network: Network, previous: Network | None, progress: bool, onnx_dir: Path | None = None
) -> Evaluation:
    from tqdm import tqdm

    from .match import play_match

    def evaluator(of: Network):
        model = decode_checkpoint(of.data, of.path).model
        return make_runner(
            model, of.digest, plan.engine.backend, 1, plan.engine.device, plan.threads, onnx_dir
        ).evaluator()

    evaluate = evaluator(network)
    rng = np.random.default_rng()
    search = SearchPlayer(evaluate, plan.eval_sims, rng, plan.engine.c_base, plan.engine.c_init)
    matches: dict[str, tuple[Player, Player, int, str]] = {
        "vs_random": (GreedyPlayer(evaluate), RandomPlayer(rng), plan.random_games, "greedy vs random"),
        "search_vs_random": (search, RandomPlayer(rng), plan.search_games, "search vs random"),
        "vs_heuristic": (search, HeuristicPlayer(rng), plan.search_games, "search vs heuristic"),
        "greedy_vs_heuristic": (GreedyPlayer(evaluate), HeuristicPlayer(rng), plan.random_games, "greedy vs heuristic"),
    }
    if previous is not None:
        matches["vs_previous"] = (
            SampledPlayer(evaluate, rng),
            SampledPlayer(evaluator(previous), rng),
            plan.baseline_games,
            "vs previous",
        )
    figures = {}
    for key, (player, opponent, games, label) in matches.items():
        with tqdm(total=games, unit="game", desc=label, disable=not progress, leave=False, file=sys.stderr) as bar:
            result = play_match(player, opponent, games, plan.engine.dim, on_game=lambda game, seat: bar.update(1))
        figures[key] = result.overall()
    return Evaluation(vs_previous=figures.pop("vs_previous", None), **figures)


# ---- what the loop shows ------------------------------------------------------------------------


def plot_summary(records: list[GenerationRecord], png_path: Path) -> None:
    """Strength across generations: every figure of the evaluation with its 95% interval, and the share
    of four alike."""
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
