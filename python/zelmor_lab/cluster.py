"""Self-play and training on a Ray cluster, for runs that outgrow one machine.

    driver (zelmor-lab: RUN on its own disk)                node with resource zelmor_selfplay (one actor each)
      ClusterSelfPlay.play()  <--- NodeReport: finished games ---  SelfPlayNode: the local Pipeline
      ray.put(network)        ---- object ref: network bytes -->     (workers, inference service, channel)
      Learner actor (a GPU node when the cluster has one, else the driver's node): training, evaluation

A node offers itself for self-play with the custom resource ``zelmor_selfplay`` (``ray start --resources
'{"zelmor_selfplay": 1}'``); each self-play actor asks for one unit of it, so no node hosts two. The actor
runs the same pipeline as a local run, on its node's CPUs, and the driver polls it for finished games,
which it stores. Only games travel to the driver and only networks travel to the nodes: the nodes need
no shared filesystem.

Faults: an actor whose node dies is given up with its games in progress (counted as lost) and replaced
by a new actor, which Ray starts as soon as a node offers the resource again; nothing stored is lost, and
a game reaches the store at most once since each is stored by its id. An actor that reports a failed
pipeline fails the run (the same network would fail again anywhere).
"""

from __future__ import annotations

import logging
import signal
import socket
import threading
import time
import uuid
from collections.abc import Iterator
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

from .errors import InputError
from .selfplay.pipeline import Pipeline, PipelineError
from .selfplay.training_game import TrainingGame
from .selfplay.workers import WorkerConfig

SELFPLAY_RESOURCE = "zelmor_selfplay"
LOCAL_ADDRESS = "local"
_REPORT_WAIT_S = 0.5  # how long a node's report waits for a finished game before it answers empty
_STOP_GRACE_S = 20.0  # how long stopped actors may take to end their pipelines before they are killed
_PROBE_TIMEOUT_S = 5.0


class ClusterError(InputError):
    """A cluster that cannot be reached or used as asked."""


def connect(address: str) -> None:
    """Join the Ray cluster at ``address`` as its driver: "auto" (the cluster this machine belongs to),
    "host:port" (its head node), or "local" (a one-node cluster started here, with every CPU for
    self-play). ClusterError, before any Ray call that could hang, when it cannot be reached."""
    try:
        import ray
    except ImportError:
        raise ClusterError("running on a Ray cluster needs Ray: pip install 'zelmor-lab[ray]'") from None
    options: dict[str, Any] = dict(logging_level=logging.WARNING, log_to_driver=False, include_dashboard=False)
    if address == LOCAL_ADDRESS:
        # Named, so that a cluster already running on this machine is not joined instead.
        ray.init(address="local", resources={SELFPLAY_RESOURCE: 1}, **options)
        return
    if address != "auto":
        _probe(address)
    try:
        ray.init(address=address, **options)
    except (ConnectionError, ValueError, RuntimeError) as error:
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise ClusterError(f"cannot reach the Ray cluster at {address}: {reason}") from None


def _probe(address: str) -> None:
    """Ray waits minutes, retrying, on a head node that does not answer: refuse one that takes no
    connection at all right away."""
    host, _, port = address.removeprefix("ray://").rpartition(":")
    if not host or not port.isdigit():
        raise ClusterError(f"cannot reach the Ray cluster at {address}: not auto, local or host:port")
    try:
        socket.create_connection((host, int(port)), timeout=_PROBE_TIMEOUT_S).close()
    except OSError as error:
        reason = error.strerror or str(error) or type(error).__name__
        raise ClusterError(f"cannot reach the Ray cluster at {address}: {reason}") from None


def disconnect() -> None:
    """Leave the cluster; a "local" one ends with its processes."""
    import ray

    ray.shutdown()


def selfplay_nodes() -> int:
    """How many nodes of the cluster offer themselves for self-play."""
    import ray

    return int(ray.cluster_resources().get(SELFPLAY_RESOURCE, 0))


# ---- what crosses the network --------------------------------------------------------------------


@dataclass(frozen=True)
class PlayedGame:
    """A finished training game on its way from a node to the driver, in flat arrays.

    history: int16 (A, 2), player and tile of each action; candidates: int16 (A,), how many (tile, p)
    entries each action's policy has; tiles: int16 (C,) and p: float32 (C,), those entries in order;
    payoff: float32 (4,); model: digest of the network that played it; finished_at: seconds since the
    epoch."""

    game_id: str
    worker: int
    finished_at: float
    model: str
    history: np.ndarray
    candidates: np.ndarray
    tiles: np.ndarray
    p: np.ndarray
    payoff: np.ndarray

    @staticmethod
    def pack(worker: int, finished_at: float, model: str, game: TrainingGame) -> PlayedGame:
        history, policies, payoff = game.history, game.policies, game.payoff
        return PlayedGame(
            game_id=uuid.uuid4().hex,
            worker=worker,
            finished_at=finished_at,
            model=model,
            history=np.array(history, dtype=np.int16).reshape(-1, 2),
            candidates=np.array([len(entry) for entry in policies], dtype=np.int16),
            tiles=np.array([t for entry in policies for t, _ in entry], dtype=np.int16),
            p=np.array([p for entry in policies for _, p in entry], dtype=np.float32),
            payoff=np.array(payoff, dtype=np.float32),
        )

    def unpack(self) -> tuple[list, list, list]:
        """(history [(player, tile)], policies per action [(tile, p)], payoff [4 floats])."""
        tiles, p = self.tiles.tolist(), self.p.tolist()
        policies, start = [], 0
        for count in self.candidates.tolist():
            policies.append(list(zip(tiles[start : start + count], p[start : start + count])))
            start += count
        return [tuple(pair) for pair in self.history.tolist()], policies, self.payoff.tolist()


@dataclass(frozen=True)
class NodeReport:
    """What a node's actor has to tell since its previous report. playing: games in progress now (a play of
    limited games counts the games its workers have claimed, not the workers, some of which may still be
    starting);
    failure: why its pipeline stopped, None unless it failed; ended: no pipeline runs (played its
    share, stopped or failed)."""

    node: str
    games: tuple[PlayedGame, ...]
    abandoned: int
    playing: int
    failure: str | None
    ended: bool


# ---- on each node --------------------------------------------------------------------------------


class SelfPlayNode:
    """The actor on one node: runs the local pipeline in a thread, one network at a time, and keeps
    what it produces until the driver's next report(). A plain (single-threaded) actor, so that its
    calls run in the order the driver made them: play, then the reports, finish or stop of that play."""

    def __init__(self, workers: int | None):
        """workers: worker processes; None: four per CPU that Ray counts on this node."""
        import ray

        self._node = ray.get_runtime_context().get_node_id()
        if workers is None:
            cpus = next(n["Resources"].get("CPU", 1) for n in ray.nodes() if n["NodeID"] == self._node)
            workers = 4 * max(1, int(cpus))
        self._workers = workers
        self._changed = threading.Condition()
        self._games: list[PlayedGame] = []
        self._abandoned = 0
        self._failure: str | None = None
        self._pipeline: Pipeline | None = None
        self._ended_games = 0  # games of the current play finished or abandoned
        self._thread: threading.Thread | None = None
        self._finish = self._stop = False

    def node(self) -> str:
        return self._node

    def play(self, config: WorkerConfig, network: bytes, digest: str, games: int | None = None) -> None:
        """Play at most ``games`` games (None: no limit) with this network (checkpoint bytes) until finish() or
        stop(), with this node's number of workers. The driver starts a play only once the previous one has
        reported its end."""
        config = replace(config, settings=replace(config.settings, workers=self._workers))
        with self._changed:
            self._finish = self._stop = False
            self._failure = None
            self._ended_games = 0
            self._thread = threading.Thread(target=self._run, args=(config, network, digest, games), daemon=True)
            self._thread.start()

    def finish(self) -> None:
        """Start no new game; the games in progress are played to the end."""
        with self._changed:
            self._finish = True
            if self._pipeline is not None:
                self._pipeline.finish()

    def stop(self) -> None:
        """End the play now: games in progress are lost, finished ones are still reported."""
        with self._changed:
            self._stop = True
            if self._pipeline is not None:
                self._pipeline.stop()

    def close(self, timeout_s: float) -> None:
        """Stop and wait until the pipeline's processes have ended, before the actor is killed."""
        self.stop()
        if self._thread is not None:
            self._thread.join(timeout_s)

    def report(self, wait_s: float = _REPORT_WAIT_S) -> NodeReport:
        """Games finished since the last report, waiting up to ``wait_s`` for one while play runs."""
        with self._changed:
            self._changed.wait_for(lambda: self._games or not self._running(), timeout=wait_s)
            games, self._games = tuple(self._games), []
            abandoned, self._abandoned = self._abandoned, 0
            running = self._running()
            return NodeReport(
                node=self._node,
                games=games,
                abandoned=abandoned,
                playing=self._playing() if running else 0,
                failure=self._failure,
                ended=not running,
            )

    def _running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def _playing(self) -> int:
        pipeline = self._pipeline
        if pipeline is None:
            return 0
        started = pipeline.started
        return pipeline.playing if started is None else max(0, started - self._ended_games)

    def _run(self, config: WorkerConfig, network: bytes, digest: str, games: int | None) -> None:
        from .selfplay.pipeline import AbandonedGame, FinishedGame, Pipeline, PipelineError

        try:
            with Pipeline(config, (network,), games) as pipeline:
                with self._changed:
                    self._pipeline = pipeline
                    if self._stop:
                        pipeline.stop()
                    elif self._finish:
                        pipeline.finish()
                for event in pipeline.events():
                    if isinstance(event, FinishedGame):
                        game = PlayedGame.pack(event.worker, event.finished_at, digest, event.game)
                        with self._changed:
                            self._games.append(game)
                            self._ended_games += 1
                            self._changed.notify_all()
                    elif isinstance(event, AbandonedGame):
                        with self._changed:
                            self._abandoned += 1
                            self._ended_games += 1
        except PipelineError as error:
            self._failure = str(error)
        except Exception as error:  # the pipeline could not start here
            self._failure = f"{type(error).__name__}: {error}"
        finally:
            with self._changed:
                self._pipeline = None
                self._changed.notify_all()


# ---- on the driver -------------------------------------------------------------------------------


@dataclass(frozen=True)
class NodeGame:
    """A finished game from ``node``, to be stored."""

    node: str
    game: PlayedGame

    def store(self, writer) -> int:
        """Add the game to a store.RunWriter; returns its positions (0 when the writer had it already)."""
        history, policies, payoff = self.game.unpack()
        added = writer.add(
            self.game.worker,
            history,
            policies,
            payoff,
            self.game.model,
            self.game.finished_at,
            game_id=self.game.game_id,
            node=self.node,
        )
        return len(history) if added else 0


@dataclass(frozen=True)
class NodeJoined:
    node: str


@dataclass(frozen=True)
class NodeLost:
    """A node's actor died (its node was removed or failed) with ``games`` games in progress."""

    node: str
    games: int


@dataclass(frozen=True)
class Abandoned:
    """The engine gave up ``games`` games on ``node`` (a search failed)."""

    node: str
    games: int


@dataclass(frozen=True)
class Waiting:
    """Nothing new for a moment; lets the caller refresh its progress display."""


class ClusterFailed(PipelineError):
    """A node's pipeline failed or a self-play actor could not start; the message says which and why."""


class _Slot:
    """One wanted self-play actor: the live one, or its replacement waiting for a node."""

    def __init__(self, actor):
        self.actor = actor
        self.node: str | None = None  # known once the actor answers
        self.call = actor.node.remote()  # the one call in flight: node() or report()
        self.running = False  # a play was started and has not reported its end
        self.told: str | None = None  # "finish" or "stop", once sent for the running play
        self.playing = 0  # games in progress at the last report


class ClusterSelfPlay:
    """``nodes`` self-play actors, one per node offering the resource ``zelmor_selfplay``. Use as a
    context manager (it holds the actors); each play() is one session of play with one network.

    During a play on the main thread the first Ctrl-C (or SIGTERM) sets ``interrupted``: the play stops
    and hands over what was finished. A second Ctrl-C raises KeyboardInterrupt."""

    def __init__(self, nodes: int, workers_per_node: int | None):
        self._nodes = nodes
        self._workers_per_node = workers_per_node
        self._slots: list[_Slot] = []
        self._stop_asked = False
        self.interrupted = False

    def __enter__(self) -> ClusterSelfPlay:
        self._slots = [_Slot(self._new_actor()) for _ in range(self._nodes)]
        return self

    def _on_interrupt(self, signum, frame) -> None:
        self.interrupted = True
        signal.signal(signal.SIGINT, signal.default_int_handler)

    def stop(self) -> None:
        """End the play under way as Ctrl-C does, without counting as an interruption."""
        self._stop_asked = True

    def __exit__(self, *exc) -> None:
        import ray

        # Ending each pipeline in order ends its processes; killing the actor alone might not.
        closing = [slot.actor.close.remote(_STOP_GRACE_S) for slot in self._slots if slot.node is not None]
        ray.wait(closing, num_returns=len(closing), timeout=_STOP_GRACE_S + 5)
        for slot in self._slots:
            ray.kill(slot.actor)
        self._slots = []

    def _new_actor(self):
        import ray

        # num_cpus=0: the pipeline's processes use the node's CPUs outside Ray's accounting; the
        # resource alone places the actors, one per node.
        actor_class = ray.remote(SelfPlayNode).options(num_cpus=0, resources={SELFPLAY_RESOURCE: 1})
        return actor_class.remote(self._workers_per_node)

    def play(
        self, config: WorkerConfig, network: bytes, digest: str, games: int | None
    ) -> Iterator[NodeGame | NodeJoined | NodeLost | Abandoned | Waiting]:
        """Play ``games`` games (None: until interrupted) of ``config``'s settings (its workers replaced by
        each node's) with ``network`` (checkpoint bytes) over the nodes. Yields exactly ``games`` NodeGame
        events unless stopped or failed; games finished beyond them are dropped. Each play is limited to
        the games still missing, and nodes stop taking new games once the games in progress would make up
        the rest. Returns once every node's play has ended; raises ClusterFailed
        at the end when one failed (the games finished before are yielded first)."""
        previous_handlers = {}
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                previous_handlers[signum] = signal.signal(signum, self._on_interrupt)
        try:
            yield from self._play(config, network, digest, games)
        finally:
            for signum, handler in previous_handlers.items():
                signal.signal(signum, handler)

    def _play(
        self, config: WorkerConfig, network: bytes, digest: str, games: int | None
    ) -> Iterator[NodeGame | NodeJoined | NodeLost | Abandoned | Waiting]:
        import ray
        from ray.exceptions import ObjectLostError, RayActorError

        network_ref = ray.put(network)  # one copy in the object store; each node fetches it from there
        stored, failure, stop_started = 0, None, None
        self._stop_asked = False

        def tell(slot: _Slot, what: str) -> None:
            getattr(slot.actor, what).remote()
            slot.told = what

        while True:
            if stop_started is None and (
                self.interrupted or self._stop_asked or failure is not None or (games is not None and stored >= games)
            ):
                stop_started = time.monotonic()
            live = [s for s in self._slots if s.node is not None]
            if stop_started is not None:
                for slot in live:
                    if slot.running and slot.told != "stop":
                        tell(slot, "stop")
                if not any(s.running for s in live) or time.monotonic() - stop_started > _STOP_GRACE_S:
                    break
            else:
                in_progress = sum(s.playing for s in live if s.running)
                for slot in live:
                    # A play of no more than the games missing: a node whose workers outnumber them starts
                    # only as many, and none is finished before its workers have claimed their games.
                    wanted = None if games is None else games - stored - in_progress
                    if not slot.running and (wanted is None or wanted > 0):
                        slot.actor.play.remote(config, network_ref, digest, wanted)
                        slot.running, slot.told, slot.playing = True, None, 0
                        slot.call = slot.actor.report.remote()
                    elif slot.running and slot.told is None and games is not None and stored + in_progress >= games:
                        tell(slot, "finish")
            waiting = {s.call: s for s in self._slots if s.call is not None}
            ready, _ = ray.wait(list(waiting), num_returns=1, timeout=0.2) if waiting else ([], [])
            if not ready:
                if not waiting:
                    time.sleep(0.2)
                yield Waiting()
                continue
            slot = waiting[ready[0]]
            slot.call = None
            try:
                answer = ray.get(ready[0])
            # A report too large to travel inline stays in its node's object store until fetched: when that node
            # goes in between, the report is lost with it, as the actor is.
            except (RayActorError, ObjectLostError) as error:
                if slot.node is None:
                    failure = failure or f"a self-play actor could not start: {_first_line(error)}"
                    self._slots.remove(slot)
                    continue
                self._slots[self._slots.index(slot)] = _Slot(self._new_actor())  # waits for a node
                yield NodeLost(slot.node, slot.playing if slot.running else 0)
                continue
            if isinstance(answer, str):
                slot.node = answer
                yield NodeJoined(answer)
                continue
            slot.playing, slot.running = answer.playing, not answer.ended
            if answer.abandoned:
                yield Abandoned(answer.node, answer.abandoned)
            for game in answer.games:
                if games is None or stored < games:
                    stored += 1
                    yield NodeGame(answer.node, game)
            if answer.failure is not None and failure is None:
                failure = f"node {answer.node}: {answer.failure}"
            if slot.running:
                slot.call = slot.actor.report.remote()
        if failure is not None:
            raise ClusterFailed(failure)


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


# ---- the training loop on the cluster -------------------------------------------------------------


class Learner:
    """The actor that trains and evaluates the loop's networks. It sits on a GPU node when the cluster
    has one (its training and evaluation then run there), else on the driver's node. The training files
    travel to it and back as bytes, so it needs no access to the run directory."""

    def __init__(self, gpu: bool):
        self._device = "cuda:0" if gpu else None

    def _on_device(self, plan):
        return plan if self._device is None else replace(plan, engine=replace(plan.engine, device=self._device))

    def train(
        self, files: dict[str, bytes], window, plan, network, generation: int, fresh_positions: int
    ) -> tuple[dict[str, float] | None, dict[str, bytes], dict[str, bytes]]:
        """loop.train_generation on a copy of the training files (TrainingFiles attribute -> bytes);
        returns its result, the files as they are after it, and the TensorBoard event files it wrote (by
        name; each training writes files of its own)."""
        import tempfile
        from pathlib import Path

        from .loop.generations import train_generation
        from .training.train import TrainingFiles

        with tempfile.TemporaryDirectory(prefix="zelmor-learner-") as directory:
            local = TrainingFiles(Path(directory) / "trainer.pt")
            for name, data in files.items():
                getattr(local, name).write_bytes(data)
            unseen = train_generation(local, window, self._on_device(plan), network, generation, fresh_positions, False)
            events = {path.name: path.read_bytes() for path in local.events.glob("*") if path.is_file()}
            return unseen, _training_files(local), events

    def measure_strength(self, plan, network, previous):
        from .loop.strength import measure_strength

        return measure_strength(self._on_device(plan), network, previous, False)


_TRAINING_FILES = ("out", "state", "metrics", "curve")  # in the order they are written back


def _training_files(files) -> dict[str, bytes]:
    return {name: getattr(files, name).read_bytes() for name in _TRAINING_FILES if getattr(files, name).exists()}


class ClusterJobs:
    """The loop's three jobs (see loop.generations.LocalJobs) on a Ray cluster: self-play on ``nodes`` nodes, training
    and evaluation in the Learner. Use as a context manager around loop.run_loop(jobs=...)."""

    def __init__(self, nodes: int, workers_per_node: int | None):
        self._nodes = nodes
        self._workers_per_node = workers_per_node
        self._selfplay: ClusterSelfPlay | None = None
        self._learner: Any = None  # the Learner actor's handle while entered

    def __enter__(self) -> ClusterJobs:
        import ray
        from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

        gpu = ray.cluster_resources().get("GPU", 0) >= 1
        options: dict[str, Any]
        if gpu:
            options = dict(num_cpus=0, num_gpus=1)
        else:
            driver_node = ray.get_runtime_context().get_node_id()
            options = dict(num_cpus=0, scheduling_strategy=NodeAffinitySchedulingStrategy(driver_node, soft=False))
        self._learner = ray.remote(Learner).options(**options).remote(gpu)
        self._selfplay = ClusterSelfPlay(self._nodes, self._workers_per_node).__enter__()
        return self

    def __exit__(self, *exc) -> None:
        import ray

        assert self._selfplay is not None, "left without being entered"
        try:
            self._selfplay.__exit__(*exc)
        finally:
            ray.kill(self._learner)

    def self_play(self, run, plan, network, games: int, deadline: float, progress: bool):
        """Play up to ``games`` games with ``network`` over the nodes into ``run``, until the deadline."""

        from .loop.generations import Played
        from .progress import progress_bar
        from .runs.store import RunWriter, session_record

        selfplay = self._selfplay
        assert selfplay is not None, "used outside its with block"
        played = Played(0, 0)
        session = dict(
            session_record("loop", plan.as_dict(), network.record()),
            cluster={"nodes": self._nodes, "workers_per_node": self._workers_per_node},
        )
        with (
            RunWriter(run, plan.engine.dim, session, plan.engine.flush_every) as writer,
            progress_bar(total=games, unit="game", desc="self-play", disable=not progress, leave=False) as bar,
        ):
            try:
                for event in selfplay.play(WorkerConfig(plan.engine), network.data, network.digest, games):
                    if isinstance(event, NodeGame):
                        positions = event.store(writer)
                        if positions:
                            played = Played(played.games + 1, played.positions + positions)
                            bar.update(1)
                    if time.monotonic() > deadline:
                        selfplay.stop()
            finally:
                writer.flush()
        if selfplay.interrupted:
            raise KeyboardInterrupt
        return played

    def train(
        self, files, window, plan, network, generation: int, fresh_positions: int, progress: bool
    ) -> dict[str, float] | None:
        import ray

        from .runs.atomic import write_atomically

        unseen, trained, events = ray.get(
            self._learner.train.remote(
                _training_files(files), ray.put(window), plan, network, generation, fresh_positions
            )
        )
        for name in _TRAINING_FILES:
            if name in trained:
                write_atomically(getattr(files, name), trained[name])
        for name, data in events.items():
            files.events.mkdir(exist_ok=True)
            write_atomically(files.events / name, data)
        return unseen

    def measure_strength(self, plan, network, previous, progress: bool):
        import ray

        return ray.get(self._learner.measure_strength.remote(plan, network, previous))
