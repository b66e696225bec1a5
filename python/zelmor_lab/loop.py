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
     Evaluation): greedily and with a search against three random players, with a search against three
     heuristic players, each seat in turn, and on the 20 x 20 board greedily against network g;
  4. the generation's record is added to RUN/loop/loop.json, in the same atomic write that moves the
     loop on to generation g + 1; then the summary plot and results table are redrawn, and the network
     that scored best against heuristic players so far is copied to RUN/loop/best.pt.
Self-play always uses the latest network; best.pt is what the loop offers a user who wants the
strongest network it made, since one generation's training can leave a network weaker than its
predecessor.
Whatever stops the loop (Ctrl-C, a crash, the time budget), running it again continues where it stood:
stored games are kept and counted, the training resumes from its state, an unrecorded evaluation is
played again. Network 0 learns from the heuristic player's games first (see warmup) and is evaluated against
random and heuristic players before the first generation.

The inference service keeps each network it exports to ONNX in RUN/onnx/.
Files under RUN/loop/: loop.json (plan, current generation, records), gen-<g>.pt, trainer.pt with
trainer.pt.state / .metrics.jsonl / .curve.png, summary.png, results.md, best.pt, .lock.
"""

from __future__ import annotations

import fcntl
import io
import json
import math
import os
import sys
import time
from contextlib import contextmanager
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterator

import numpy as np

from .dataset import load_window
from .errors import InputError
from .evaluation import RANDOM_SHARE, PayoffSummary, summarize_payoffs
from .backends import ONNX_DIR
from .model import OLDER_HEADS, Architecture, PolicyValueNet, decode_checkpoint, read_checkpoint_file
from .pipeline import FinishedGame, Pipeline
from .settings import Settings, read_toml
from .store import Run, RunWriter, check_run_target, read_shard, session_record, write_atomically
from .train import (Trainer, TrainingFiles, TrainingSettings, read_metrics, resume_training, save_training,
                    train_on_window)
from .warmup import warmup_window
from .workers import AGAINST_BASELINE, TRAINING, WorkerConfig

LOOP_FORMAT = "zelmor-lab loop 1"
_UNSEEN_SAMPLE = 2048  # positions of a generation's games measured before training on them
BASELINE_DIM = 20  # the engine plays every match between two networks on this board


class LoopError(InputError):
    """A loop directory that cannot be started or continued as asked."""


@dataclass(frozen=True)
class LoopPlan:
    """Everything that stays fixed for the life of a loop; stored in loop.json when the loop starts.

    engine: self-play and match settings; architecture: of network 0 and so of all; training: optimizer
    and window; games_per_generation: self-play games by each network; steps_per_generation: training
    steps between two networks; random_games, baseline_games: evaluation games of each new network
    against random players and against its predecessor; warmup_games, warmup_steps: network 0's warm
    start (0 for none)."""

    # Twelve workers per core in batches of eight per core: the fastest pair of a sweep of workers and
    # batch sizes with ONNX Runtime and the evaluation cache on two cores (see the README).
    engine: Settings = field(default_factory=lambda: Settings(sims_per_move=32, sample_moves=30,
                                                              workers=12 * (os.cpu_count() or 1),
                                                              max_batch=8 * (os.cpu_count() or 1)))
    architecture: Architecture = Architecture(blocks=2, channels=16, value_hidden=32, value_head="squares")
    training: TrainingSettings = TrainingSettings(batch_size=128, learning_rate=2e-3, window=400)
    games_per_generation: int = 32
    steps_per_generation: int = 200
    random_games: int = 400  # games per figure against random and heuristic players: an interval of about ± 0.05
    baseline_games: int = 2
    eval_sims: int = 32  # simulations of the search player in the evaluation matches
    warmup_games: int = 2000  # games network 0 learns from before any self-play (see warmup)
    warmup_steps: int = 2000
    warmup_heuristic_share: float = 0.75  # of the warm start's games, those the heuristic player plays
    seed: int = 0  # network 0's first weights, the warm start's games and batches

    def __post_init__(self):
        for name in ("games_per_generation", "steps_per_generation", "random_games", "baseline_games", "eval_sims"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise LoopError(f"loop setting {name} must be a positive integer, got {value!r}")
        for name in ("warmup_games", "warmup_steps"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise LoopError(f"loop setting {name} must be a whole number, got {value!r}")
        share = self.warmup_heuristic_share
        if isinstance(share, bool) or not isinstance(share, (int, float)) or not 0.0 <= share <= 1.0:
            raise LoopError(f"loop setting warmup_heuristic_share must be between 0 and 1, got {share!r}")
        if isinstance(self.seed, bool) or not isinstance(self.seed, int) or self.seed < 0:
            raise LoopError(f"loop setting seed must be a whole number, got {self.seed!r}")

    def as_dict(self) -> dict[str, Any]:
        return {"engine": self.engine.as_dict(), "architecture": asdict(self.architecture),
                "training": asdict(self.training), "games_per_generation": self.games_per_generation,
                "steps_per_generation": self.steps_per_generation, "random_games": self.random_games,
                "baseline_games": self.baseline_games, "warmup_games": self.warmup_games,
                "warmup_steps": self.warmup_steps, "warmup_heuristic_share": self.warmup_heuristic_share,
                "seed": self.seed, "eval_sims": self.eval_sims}

    @staticmethod
    def from_dict(values: dict[str, Any]) -> LoopPlan:
        architecture = Architecture(**{**OLDER_HEADS, **values["architecture"]})
        # Loops started before the warm start had none, those before the heuristic's warm start learnt from
        # random play alone, and those started before max_batch let every worker into one batch.
        engine = Settings(**{"max_batch": values["engine"]["workers"], **values["engine"]})
        return LoopPlan(engine=engine, architecture=architecture,
                        training=TrainingSettings(**values["training"]),
                        warmup_games=values.get("warmup_games", 0), warmup_steps=values.get("warmup_steps", 0),
                        warmup_heuristic_share=values.get("warmup_heuristic_share", 0.0),
                        seed=values.get("seed", 0), eval_sims=values.get("eval_sims", 32),
                        **{k: values[k] for k in ("games_per_generation", "steps_per_generation",
                                                  "random_games", "baseline_games")})


def load_plan(toml_path: str | Path | None = None, dim: int | None = None, sims: int | None = None,
              seed: int | None = None) -> LoopPlan:
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


@dataclass(frozen=True)
class Network:
    """A network as the pipeline takes it. path: relative to the run directory."""

    path: str
    data: bytes
    digest: str
    step: int

    @staticmethod
    def load(run: Path, path: str, dim: int) -> Network:
        data = read_checkpoint_file(run / path)
        checkpoint = decode_checkpoint(data, str(run / path), dim=dim)
        return Network(path, data, checkpoint.digest, checkpoint.step)

    def record(self) -> dict[str, Any]:
        return {"digest": self.digest, "path": self.path, "step": self.step}


@dataclass
class LoopState:
    """Contents of loop.json: the plan, the generation now under way, the loop's time spent in finished
    generations (over all sessions) and one record per evaluated network (see GenerationRecord)."""

    plan: LoopPlan
    generation: int
    elapsed_s: float
    records: list[dict[str, Any]]

    def to_json(self) -> str:
        return json.dumps({"format": LOOP_FORMAT, "plan": self.plan.as_dict(), "generation": self.generation,
                           "elapsed_s": round(self.elapsed_s, 3), "records": self.records}, indent=1)

    @staticmethod
    def read(path: Path) -> LoopState:
        try:
            values = json.loads(path.read_text())
            if values["format"] != LOOP_FORMAT:
                raise ValueError(f"format {values['format']!r}")
            return LoopState(plan=LoopPlan.from_dict(values["plan"]), generation=int(values["generation"]),
                             elapsed_s=float(values["elapsed_s"]), records=list(values["records"]))
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


class LocalJobs:
    """The loop's three jobs on this machine: self-play, training and evaluation (cluster.ClusterJobs
    runs them on a Ray cluster)."""

    def self_play(self, run: Path, plan: LoopPlan, network: Network, games: int, deadline: float,
                  progress: bool) -> Played:
        return _self_play(run, plan, network, games, deadline, progress)

    def train(self, files: TrainingFiles, window, plan: LoopPlan, network: Network, generation: int,
              fresh_positions: int, progress: bool) -> dict[str, float] | None:
        return train_generation(files, window, plan, network, generation, fresh_positions, progress)

    def __init__(self, run: Path):
        self._onnx_dir = run / ONNX_DIR  # the run keeps the networks the services export

    def evaluate(self, plan: LoopPlan, network: Network, previous: Network | None, progress: bool) -> Evaluation:
        return _evaluate(plan, network, previous, progress, self._onnx_dir)


def run_loop(run: str | Path, generations: int | None = None, minutes: float | None = 60.0,
             plan: LoopPlan | None = None, progress: bool = False,
             on_record: Callable[[dict[str, Any]], None] | None = None, jobs=None) -> LoopState:
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
            raise LoopError(f"{directory.path} holds a loop with other settings; continue it without new "
                            f"settings or choose another run")
    else:
        state = _start(directory, plan if plan is not None else LoopPlan(), progress)
    with directory.locked():
        return _continue(directory, state, generations, deadline, progress, on_record or (lambda record: None),
                         jobs or LocalJobs(run))


def _start(directory: LoopDirectory, plan: LoopPlan, progress: bool) -> LoopState:
    """Network 0 (warm-started, see warmup), the trainer and loop.json, written only once the run
    directory accepted the loop. The warm start counts in the loop's time."""
    from tqdm import tqdm

    import torch

    check_run_target(directory.run, plan.engine.dim)
    started = time.monotonic()
    torch.manual_seed(plan.seed)
    trainer = Trainer(PolicyValueNet(plan.engine.dim, plan.architecture), plan.training, device=plan.engine.device)
    if plan.warmup_games and plan.warmup_steps:
        window = warmup_window(plan.warmup_games, plan.engine.dim, plan.seed, plan.warmup_heuristic_share)
        rng = np.random.default_rng(plan.seed)
        for _ in tqdm(range(plan.warmup_steps), unit="step", desc="warm start", disable=not progress,
                      leave=False, file=sys.stderr):
            trainer.train_step(window.sample(rng, plan.training.batch_size))
    data = trainer.checkpoint_bytes()
    network = Network(directory.network_name(0), data, decode_checkpoint(data, "network 0").digest, trainer.step)
    session = session_record("loop", plan.as_dict(), network.record())
    with RunWriter(directory.run, plan.engine.dim, session, plan.engine.flush_every, {network.path: data}):
        save_training(trainer, directory.trainer_files)
        state = LoopState(plan=plan, generation=0, elapsed_s=time.monotonic() - started, records=[])
        directory.write_state(state)
    return state


def _continue(directory: LoopDirectory, state: LoopState, generations: int | None, deadline: float,
              progress: bool, on_record: Callable[[dict[str, Any]], None], jobs) -> LoopState:
    plan = state.plan
    network = Network.load(directory.run, directory.network_name(state.generation), plan.engine.dim)
    if not state.records:
        started = time.monotonic()
        evaluation = jobs.evaluate(plan, network, None, progress)
        state.elapsed_s += time.monotonic() - started
        state.records.append(GenerationRecord.first(network, evaluation, state.elapsed_s).as_dict())
        _finish_generation(directory, state)
        on_record(state.records[-1])
    while generations is None or state.generation < generations:
        last = state.records[-1]
        if time.monotonic() + last["selfplay_s"] + last["train_s"] + last["eval_s"] > deadline:
            break
        try:
            network = _generation(directory, state, network, deadline, progress, jobs)
        except Stopped:
            break
        on_record(state.records[-1])
    return state


def _generation(directory: LoopDirectory, state: LoopState, network: Network, deadline: float,
                progress: bool, jobs) -> Network:
    """Play, train and evaluate generation ``state.generation``; returns the next network."""
    plan, run, generation = state.plan, directory.run, state.generation
    timer = time.monotonic()
    before = count_games(run, network.digest)
    played = Played(0, 0)
    while before.games + played.games < plan.games_per_generation:
        if time.monotonic() > deadline:
            raise Stopped()
        more = jobs.self_play(run, plan, network, plan.games_per_generation - before.games - played.games,
                          deadline, progress)
        played = Played(played.games + more.games, played.positions + more.positions)
    selfplay_s = time.monotonic() - timer

    timer = time.monotonic()
    files = directory.trainer_files
    window = load_window(run, plan.training.window)
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
        generation=generation + 1, model=successor.digest, step=successor.step,
        games=previous["games"] + before.games + played.games,
        positions=previous["positions"] + before.positions + played.positions,
        window_games=window.games, window_positions=window.positions,
        selfplay_s=selfplay_s, train_s=train_s, eval_s=eval_s,
        elapsed_s=state.elapsed_s + selfplay_s + train_s + eval_s,
        vs_random=evaluation.vs_random, vs_previous=evaluation.vs_previous,
        search_vs_random=evaluation.search_vs_random, vs_heuristic=evaluation.vs_heuristic,
        training=metrics[-1] if metrics else None, unseen=unseen)
    state.records.append(record.as_dict())
    state.generation = generation + 1
    state.elapsed_s = record.elapsed_s
    _finish_generation(directory, state)
    return successor


def train_generation(files: TrainingFiles, window, plan: LoopPlan, network: Network, generation: int,
                     fresh_positions: int, progress: bool) -> dict[str, float] | None:
    """Train the state in ``files`` on ``window`` up to ``network``'s step plus the generation's steps;
    ``fresh_positions``: how many of the window's newest positions ``network`` played itself. Returns
    the metrics on those unseen positions (see GenerationRecord), None when the training had begun
    before."""
    trainer = resume_training(files, plan.engine.dim, plan.training, plan.engine.device)
    if trainer.step < network.step:
        raise LoopError(f"the training state {files.state} is at step {trainer.step}, behind network "
                        f"{network.path} at step {network.step}")
    target = network.step + plan.steps_per_generation
    unseen = None
    if trainer.step == network.step:
        # The generation's own games are the newest positions of the window and the trainer still
        # holds the network that played them: its metrics there are those of games it never learnt from.
        fresh = min(window.positions, fresh_positions)
        rng = np.random.default_rng()
        unseen = trainer.measure(window.batch(window.positions - 1 - rng.permutation(fresh)[:_UNSEEN_SAMPLE]))
    if trainer.step < target:
        train_on_window(trainer, window, target, files, plan.training, extra={"generation": generation},
                        progress=progress)
    return unseen


def _finish_generation(directory: LoopDirectory, state: LoopState) -> None:
    directory.write_state(state)
    plot_summary(state.records, directory.summary_png)
    write_atomically(directory.results_md, results_table(state.records).encode())
    # Derived from the records, so a crash between the writes is mended by the next generation.
    best = (directory.run / directory.network_name(best_generation(state.records))).read_bytes()
    if not directory.best_path.exists() or directory.best_path.read_bytes() != best:
        write_atomically(directory.best_path, best)


def best_generation(records: list[dict[str, Any]]) -> int:
    """The generation whose network scored the highest mean against heuristic players (against random
    players in loops whose records have no such figure); of equal scores the latest, which learnt from the
    most games."""
    key = "vs_heuristic" if any(r.get("vs_heuristic") for r in records) else "vs_random"
    return max((r for r in records if r.get(key)), key=lambda r: (r[key]["mean"], r["generation"]))["generation"]


@dataclass(frozen=True)
class GenerationRecord:
    """What one network is and did. games, positions: self-play games stored by the loop up to the end of
    the generation that trained it (cumulative); window_*: what it was trained on; *_s: seconds spent in
    each phase of that generation by the session that finished it; elapsed_s: the loop's seconds so far
    (the sum of those, so the time of a session cut short is not counted); vs_random, vs_previous: payoff
    of the network's seat (vs_previous None for network 0 and off the 20 x 20 board); training: the
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
    search_vs_random: PayoffSummary | None = None  # None in the records of older loops
    vs_heuristic: PayoffSummary | None = None

    @staticmethod
    def first(network: Network, evaluation: Evaluation, elapsed_s: float) -> GenerationRecord:
        """Network 0, before any game: its evaluation, with no predecessor."""
        return GenerationRecord(generation=0, model=network.digest, step=network.step, games=0, positions=0,
                                window_games=0, window_positions=0, selfplay_s=0.0, train_s=0.0,
                                eval_s=elapsed_s, elapsed_s=elapsed_s, vs_random=evaluation.vs_random,
                                vs_previous=None, training=None, unseen=None,
                                search_vs_random=evaluation.search_vs_random, vs_heuristic=evaluation.vs_heuristic)

    def as_dict(self) -> dict[str, Any]:
        values = asdict(self)
        for name in ("selfplay_s", "train_s", "eval_s", "elapsed_s"):
            values[name] = round(values[name], 3)
        return values


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


def _self_play(run: Path, plan: LoopPlan, network: Network, games: int, deadline: float,
               progress: bool) -> Played:
    """Play up to ``games`` training games with ``network`` into the run, until the deadline."""
    from tqdm import tqdm

    played = Played(0, 0)
    session = session_record("loop", plan.as_dict(), network.record())
    with RunWriter(run, plan.engine.dim, session, plan.engine.flush_every) as writer, \
            Pipeline(WorkerConfig(TRAINING, plan.engine), (network.data,), games, run / ONNX_DIR) as pipeline, \
            tqdm(total=games, unit="game", desc="self-play", disable=not progress, leave=False,
                 file=sys.stderr) as bar:
        try:
            for event in pipeline.events():
                if isinstance(event, FinishedGame):
                    _, (history, policies, payoff) = event.record
                    writer.add(event.worker, history, policies, payoff, network.digest, event.finished_at)
                    played = Played(played.games + 1, played.positions + len(history))
                    bar.update(1)
                if time.monotonic() > deadline:
                    pipeline.stop()
        finally:
            writer.flush()
        if pipeline.interrupted:
            raise KeyboardInterrupt
    return played


@dataclass(frozen=True)
class Evaluation:
    """How one network plays, each figure the mean payoff of its seat with the seats taken in turn (see
    match): greedily against three random players, with a search of ``eval_sims`` simulations against
    three random and three heuristic players, and greedily against its predecessor in seat 0 on the
    20 x 20 board (None for network 0 and on other boards)."""

    vs_random: PayoffSummary
    search_vs_random: PayoffSummary
    vs_heuristic: PayoffSummary
    vs_previous: PayoffSummary | None


def _evaluate(plan: LoopPlan, network: Network, previous: Network | None, progress: bool,
              onnx_dir: Path | None = None) -> Evaluation:
    from tqdm import tqdm

    from .match import play_match
    from .model import network_evaluator
    from .players import GreedyPlayer, HeuristicPlayer, RandomPlayer, SearchPlayer

    evaluate = network_evaluator(decode_checkpoint(network.data, network.path).model, plan.engine.device)
    rng = np.random.default_rng()
    search = SearchPlayer(evaluate, plan.eval_sims, rng, plan.engine.c_base, plan.engine.c_init)
    figures = []
    for label, player, opponent in (("greedy vs random", GreedyPlayer(evaluate), RandomPlayer(rng)),
                                    ("search vs random", search, RandomPlayer(rng)),
                                    ("search vs heuristic", search, HeuristicPlayer(rng))):
        with tqdm(total=plan.random_games, unit="game", desc=label, disable=not progress, leave=False,
                  file=sys.stderr) as bar:
            result = play_match(player, opponent, plan.random_games, plan.engine.dim,
                                on_game=lambda game, seat: bar.update(1))
        figures.append(result.overall())
    vs_previous = None
    if previous is not None and plan.engine.dim == BASELINE_DIM:
        vs_previous = _match(plan, AGAINST_BASELINE, (network.data, previous.data), plan.baseline_games,
                             "against previous", progress, onnx_dir)
    return Evaluation(*figures, vs_previous)


def _match(plan: LoopPlan, kind: str, checkpoints: tuple[bytes, ...], games: int, label: str, progress: bool,
           onnx_dir: Path | None) -> PayoffSummary:
    from tqdm import tqdm

    payoffs = []
    with Pipeline(WorkerConfig(kind, plan.engine), checkpoints, games, onnx_dir) as pipeline, \
            tqdm(total=games, unit="game", desc=label, disable=not progress, leave=False, file=sys.stderr) as bar:
        for event in pipeline.events():
            if isinstance(event, FinishedGame):
                payoffs.append(event.record[1])
                bar.update(1)
        if pipeline.interrupted:
            raise KeyboardInterrupt
    return summarize_payoffs(payoffs)


# ---- what the loop shows ------------------------------------------------------------------------

def plot_summary(records: list[dict[str, Any]], png_path: Path) -> None:
    """Strength across generations: mean payoff against random players and against the predecessor,
    with 95% intervals, and the share random play gets."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    figure, axes = plt.subplots(figsize=(8, 4.5))
    for key, label in (("vs_random", "greedy, against 3 random players"),
                       ("search_vs_random", "with search, against 3 random players"),
                       ("vs_heuristic", "with search, against 3 heuristic players"),
                       ("vs_previous", "greedy, against the previous network")):
        shown = [r for r in records if r.get(key) is not None]
        if not shown:
            continue
        axes.errorbar([r["generation"] for r in shown], [r[key]["mean"] for r in shown],
                      yerr=[0.0 if math.isnan(r[key]["half_width"]) else r[key]["half_width"] for r in shown],
                      marker="o", capsize=3, label=label)
    axes.axhline(RANDOM_SHARE, color="grey", linestyle="--", label="four alike (0.25)")
    axes.set_xlabel("generation")
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_ylabel("mean payoff of the network's seat")
    axes.set_ylim(0, 1)
    if records:
        minutes = records[-1]["elapsed_s"] / 60
        axes.set_title(f"generations: {len(records) - 1}, self-play games: {records[-1]['games']}, "
                       f"minutes: {minutes:.0f}")
    axes.legend(loc="upper left")
    figure.tight_layout()
    image = io.BytesIO()  # drawn whole, then written as every file of a run is (WriteError on failure)
    figure.savefig(image, format="png", dpi=100)
    plt.close(figure)
    write_atomically(png_path, image.getvalue())


def results_table(records: list[dict[str, Any]]) -> str:
    """A Markdown table: one row per network, what the loop had spent to make it and how it plays."""
    def payoff(summary: dict[str, Any] | None) -> str:
        if summary is None:
            return "-"
        interval = "" if math.isnan(summary["half_width"]) else f" ± {summary['half_width']:.2f}"
        return f"{summary['mean']:.2f}{interval} ({summary['games']})"

    lines = ["| generation | minutes | self-play games | positions | training steps | greedy vs 3 random "
             "(games) | search vs 3 random (games) | search vs 3 heuristic (games) | greedy vs previous (games) |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in records:
        lines.append(f"| {r['generation']} | {r['elapsed_s'] / 60:.1f} | {r['games']} | {r['positions']} | "
                     f"{r['step']} | {payoff(r['vs_random'])} | {payoff(r.get('search_vs_random'))} | "
                     f"{payoff(r.get('vs_heuristic'))} | {payoff(r['vs_previous'])} |")
    if records:
        against = "heuristic" if any(r.get("vs_heuristic") for r in records) else "random"
        lines.append(f"\nBest against {against} players: generation {best_generation(records)} (loop/best.pt).")
    return "\n".join(lines) + "\n"
