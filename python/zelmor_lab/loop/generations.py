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
     Strength), each seat in turn: greedily and with a search against three random players, greedily and
     with a search against three heuristic players, and against network g;
  4. the generation's record is added to RUN/loop/loop.json, in the same atomic write that moves the
     loop on to generation g + 1; then the summary plot and results table are redrawn, and the network
     that scored best against heuristic players so far is copied to RUN/loop/best.pt.
Self-play always uses the latest network; best.pt is what the loop offers a user who wants the
strongest network it made, since one generation's training can leave a network weaker than its
predecessor.
Whatever stops the loop (Ctrl-C, a crash, the time budget), running it again continues where it stood:
stored games are kept and counted, the training resumes from its state, an unrecorded evaluation is
played again. Network 0 learns from the heuristic player's games first (see warm_start), for at most a
``warmup_share`` of the first session's minutes; that warm start is saved as it goes and resumes like the
rest. Network 0 is evaluated before the first generation.

The plan a loop keeps for life is plan.LoopPlan; what the loop measures and records of each network,
and the table and picture of them, are in records.

The inference service keeps each network it exports to ONNX in RUN/onnx/.
Files under RUN/loop/: loop.json (plan, current generation, records), gen-<g>.pt, trainer.pt (the warm start's
and then the generations' training) with
trainer.pt.state / .metrics.jsonl / .curve.png, summary.png, results.md, best.pt, .lock.
"""

from __future__ import annotations

import dataclasses
import fcntl
import json
import math
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any

import numpy as np

from ..errors import InputError
from ..play.match import play_match
from ..play.payoffs import PayoffSummary
from ..play.players import HeuristicPlayer, RandomPlayer
from ..runs.atomic import write_atomically
from ..runs.store import Run, RunWriter, check_run_target, read_shard, session_record
from ..selfplay.backends import ONNX_DIR
from ..selfplay.pipeline import PipelineError
from ..selfplay.session import play_games
from ..training.dataset import load_window
from ..training.events import write_strength
from ..training.model import PolicyValueNet, decode_checkpoint
from ..training.network import Network
from ..training.train import Trainer, TrainingFiles, read_metrics, resume_training, save_training, train_on_window
from ..validation import load_json
from .plan import LoopError, LoopPlan
from .records import GenerationRecord, best_generation, plot_summary, results_table
from .strength import Strength, measure_strength
from .warm_start import warmup_window

LOOP_FORMAT = "zelmor-lab loop 1"
_UNSEEN_SAMPLE = 2048  # positions of a generation's games measured before training on them


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
            values = load_json(path.read_text())
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

    def random_vs_heuristic(self, plan: LoopPlan) -> PayoffSummary:
        """What a random player scores against three heuristic players in the seats of a greedy figure: the
        floor the summary draws under those figures. Played once per loop (seeded by the plan), then read
        from random-baseline.json."""
        path = self.path / "random-baseline.json"
        try:
            return PayoffSummary(**json.loads(path.read_text()))
        except (OSError, ValueError, TypeError):
            pass  # not played yet, or not readable: played again
        rng = np.random.default_rng(plan.seed)
        summary = play_match(RandomPlayer(rng), HeuristicPlayer(rng), plan.random_games, plan.engine.dim).overall()
        write_atomically(path, json.dumps(dataclasses.asdict(summary)).encode())
        return summary

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


def _plan_differences(given: LoopPlan, kept: LoopPlan) -> str:
    """The settings in which two plans differ, as "name: given X, the loop's Y", dotted into their parts."""

    def flat(values: dict, prefix: str = "") -> dict:
        items: dict = {}
        for name, value in values.items():
            items.update(flat(value, f"{prefix}{name}.") if isinstance(value, dict) else {prefix + name: value})
        return items

    mine, theirs = flat(given.as_dict()), flat(kept.as_dict())
    return "; ".join(
        f"{name}: given {mine.get(name)}, the loop's {theirs.get(name)}"
        for name in sorted(mine.keys() | theirs.keys())
        if mine.get(name) != theirs.get(name)
    )


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
                f"{directory.path} holds a loop with other settings ({_plan_differences(plan, state.plan)}); "
                f"continue it without new settings or choose another run"
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
    """Train network 0 on the heuristic's games (see warm_start) from where the trainer stands, up to the plan's
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
        evaluation = jobs.measure_strength(plan, network, None, progress)
        state.elapsed_s += time.monotonic() - started
        state.records.append(GenerationRecord.first(network, evaluation, state.elapsed_s))
        _finish_generation(directory, state)
        on_record(state.records[-1])
    while generations is None or state.generation < generations:
        last = state.records[-1]
        measured = _measured(plan, state.generation + 1, generations)
        # Network 0's record knows no self-play or training time yet, only its matches': those stand in.
        matches_s = next(r.eval_s for r in reversed(state.records) if r.vs_random is not None)
        expected_s = last.selfplay_s + last.train_s + (matches_s if measured or last.generation == 0 else 0.0)
        if time.monotonic() + expected_s > deadline:
            break
        try:
            network = _generation(directory, state, network, deadline, progress, jobs, measured)
        except Stopped:
            break
        on_record(state.records[-1])
    return state


def _measured(plan: LoopPlan, generation: int, limit: int | None) -> bool:
    """Whether network ``generation`` plays the strength matches."""
    return generation % plan.eval_every == 0 or generation == limit


def _generation(
    directory: LoopDirectory,
    state: LoopState,
    network: Network,
    deadline: float,
    progress: bool,
    jobs,
    measured: bool,
) -> Network:
    """Play, train and, when ``measured``, evaluate generation ``state.generation``; returns the next
    network. Its match against a predecessor is against the network measured last."""
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
    figures: dict[str, Any] = {f.name: None for f in fields(Strength)}
    if measured:
        rival = next(r for r in reversed(state.records) if r.vs_random is not None).generation
        measured_last = (
            network if rival == generation else Network.load(run, directory.network_name(rival), plan.engine.dim)
        )
        figures = jobs.measure_strength(plan, successor, measured_last, progress).figures()
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
        **figures,
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
        window = trainer.value_targets(window)  # after the unseen figures, which stay against the payoffs
        # The held-out figures ride on each of the generation's lines, so that the curve shows them.
        heldout = {f"heldout_{name}": unseen[name] for name in ("policy_loss", "value_loss")} if unseen else {}
        train_on_window(
            trainer,
            window,
            target,
            files,
            plan.training,
            extra={"generation": generation, **heldout},
            progress=progress,
            title=f"loop {files.out.parent}",
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

    def measure_strength(self, plan: LoopPlan, network: Network, previous: Network | None, progress: bool) -> Strength:
        return measure_strength(plan, network, previous, progress, self._onnx_dir)


def _finish_generation(directory: LoopDirectory, state: LoopState) -> None:
    directory.write_state(state)
    record = state.records[-1]
    figures = {figure.name: getattr(record, figure.name) for figure in fields(Strength)}
    write_strength(directory.path / "tensorboard", record.generation, figures)
    plot_summary(state.records, directory.summary_png, directory.random_vs_heuristic(state.plan))
    write_atomically(directory.results_md, results_table(state.records).encode())
    # Derived from the records, so a crash between the writes is mended by the next generation.
    best = (directory.run / directory.network_name(best_generation(state.records))).read_bytes()
    if not directory.best_path.exists() or directory.best_path.read_bytes() != best:
        write_atomically(directory.best_path, best)


# ---- the pipeline's three jobs ------------------------------------------------------------------


def count_games(run: Path, digest: str) -> Played:
    """Games (and their positions) stored in ``run`` that the network ``digest`` played."""
    import pyarrow.compute as pc

    games = positions = 0
    stored = Run(run)
    for shard in stored.shards():
        table = read_shard(shard, stored.dim)
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
