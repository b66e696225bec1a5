"""Throughput of the whole self-play pipeline (workers, transport, inference service with its backend and
reply cache) and, in the same run, of the backend alone on batches of the size the pipeline formed.

    PYTHONPATH=python python bench/pipeline_bench.py [--seconds 10] [--rounds 5] [--dim 20] [--sims 32]
        [--workers W] [--services S] [--max-batch M] [--backend B] [--cache-mb C] [--networks default,trivial]
    PYTHONPATH=python python bench/pipeline_bench.py --compare [--seconds 10] [--rounds 5]
    PYTHONPATH=python python bench/pipeline_bench.py --sweep [--networks loop,default]
        [--sweep-workers 8,16,24,32] [--sweep-batches 4,8,16,24,32] [--seconds 6] [--rounds 2]
    PYTHONPATH=python python bench/pipeline_bench.py --pairs 24/16,16/12,16/4/2 [--networks loop]
        [--seconds 10] [--rounds 4]

Networks: default (the selfplay command's), trivial (one block of one channel: the network costs almost
nothing and the exchange shows), loop (the loop's). Per network the plain run prints evaluations per
second, games per hour (the evaluation rate divided by simulations per action times the mean length of
random-play games, which an untrained network's games resemble; a window rarely sees enough finished
games to average), the share answered by the reply cache, the mean batch the network ran on, the
workers' CPU µs per evaluation, the backend alone on batches of that size, and the machine's limit with
the pipeline's share of it (medians over the rounds; the lowest and highest round's share follow):

    limit = cores / (network CPU per evaluation x share not answered by the cache + workers' CPU per evaluation)

the most evaluations per second the cores could give if they did nothing but run the network and the
workers' searches. The network's CPU per evaluation is the backend alone on one thread in batches of 16
(the same at 8 to 64), measured after each pipeline window; the cores are those this process may use
(taskset narrows them).

--compare runs the loop's network twice over, interleaved in windows of --seconds: "old", the service
as it was before the backends and the cache (eager PyTorch, no cache, eight workers per core in batches
of half of them), and "new", the loop's defaults. Its last line is
    new/old evaluations per second: R (workers CPU µs per evaluation: A -> B)

--sweep measures every workers x max_batch pair of the grid for each network, with the default backend,
cache and services, and names the fastest. A pipeline of its own is at the start of its games for its
whole measurement and moves with the load of the moment, so the sweep measures its fastest pairs again,
interleaved; --pairs measures the pairs given that way ("workers/batch" or "workers/batch/services"),
without the grid.
"""

from __future__ import annotations

import argparse
import functools
import multiprocessing
import os
import random
import signal
import statistics
import time
from dataclasses import dataclass, replace

from zelmor_lab import Game
from zelmor_lab.selfplay.pipeline import FinishedGame, Pipeline
from zelmor_lab.selfplay.settings import Settings, usable_cores
from zelmor_lab.selfplay.workers import WorkerConfig

# torch is imported inside the functions: the workers start by importing this file, and like the
# command line's workers they should not carry torch.
NETWORKS = ("default", "trivial", "loop")
_TICKS = os.sysconf("SC_CLK_TCK")
_SETTLE_S = 3.0  # after the first batch, for the workers still starting
_PAUSED_REPLY_TIMEOUT_S = 3600.0
_REFERENCE_BATCH = 16  # the network's CPU per evaluation for the machine's limit


def architecture_of(network: str):
    from zelmor_lab.loop.plan import LoopPlan
    from zelmor_lab.training.model import Architecture

    return {
        "default": Architecture(),
        "trivial": Architecture(blocks=1, channels=1, value_hidden=1),
        "loop": LoopPlan().architecture,
    }[network]


@functools.cache
def _game_length(dim: int) -> float:
    return random_game_length(dim)


def random_game_length(dim: int, games: int = 20) -> float:
    total = 0
    for _ in range(games):
        game = Game(dim)
        while not game.is_terminal():
            game.apply(random.choice(game.legal_tiles()))
        total += len(game.history)
    return total / games


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / _TICKS


@dataclass(frozen=True)
class Window:
    """What a pipeline did in one measured stretch of time."""

    seconds: float
    evaluations: int
    cache_hits: int
    batches: int
    worker_cpu_s: float
    finished: int

    @property
    def rate(self) -> float:
        return self.evaluations / self.seconds

    @property
    def run_rate(self) -> float:
        """Evaluations per second that went through the network."""
        return (self.evaluations - self.cache_hits) / self.seconds

    @property
    def hit_rate(self) -> float:
        return self.cache_hits / self.evaluations if self.evaluations else 0.0

    @property
    def network_batch(self) -> float:
        """Mean rows per batch that the network ran on (repeats answered from the cache left out)."""
        return (self.evaluations - self.cache_hits) / self.batches if self.batches else 0.0

    @property
    def worker_us(self) -> float:
        return 1e6 * self.worker_cpu_s / self.evaluations if self.evaluations else float("nan")

    def limit(self, network_rate_alone: float) -> float:
        """The machine's limit in evaluations per second at this window's cache share and workers' CPU, for a
        network that runs ``network_rate_alone`` evaluations per second on one core."""
        cpu_per_evaluation = (1 - self.hit_rate) / network_rate_alone + self.worker_us / 1e6
        return usable_cores() / cpu_per_evaluation


class RunningPipeline:
    """A pipeline playing training games until closed, that can be paused (SIGSTOP) between windows so
    that another pipeline or the backend alone has the machine."""

    def __init__(self, settings: Settings, checkpoint: bytes):
        # A worker whose reply was due when its pipeline was paused must not count the pause against it.
        settings = replace(settings, reply_timeout_s=_PAUSED_REPLY_TIMEOUT_S)
        before = {p.pid for p in multiprocessing.active_children()}
        self.pipeline = Pipeline(WorkerConfig(settings), (checkpoint,)).__enter__()
        self.services = self.pipeline.services
        children = [p for p in multiprocessing.active_children() if p.pid not in before]
        self.pids = [p.pid for p in children]
        self.worker_pids = [p.pid for p in children if p.name.startswith("zelmor-worker")]
        self.events = self.pipeline.events()
        self.finished = 0
        self.paused = False
        self._step_until(lambda: self.pipeline.stats.evaluations > 0)
        settle = time.monotonic() + _SETTLE_S
        self._step_until(lambda: time.monotonic() >= settle)

    def _step_until(self, done) -> None:
        while not done():
            if isinstance(next(self.events), FinishedGame):
                self.finished += 1

    def window(self, seconds: float) -> Window:
        self.resume()
        counts, finished = self.pipeline.stats, self.finished
        cpu = sum(cpu_seconds(pid) for pid in self.worker_pids)
        started = time.monotonic()
        self._step_until(lambda: time.monotonic() - started >= seconds)
        now, after = time.monotonic(), self.pipeline.stats
        return Window(
            now - started,
            after.evaluations - counts.evaluations,
            after.cache_hits - counts.cache_hits,
            after.batches - counts.batches,
            sum(cpu_seconds(pid) for pid in self.worker_pids) - cpu,
            self.finished - finished,
        )

    def pause(self) -> None:
        if not self.paused:
            for pid in self.pids:
                os.kill(pid, signal.SIGSTOP)
            self.paused = True

    def resume(self) -> None:
        if self.paused:
            for pid in self.pids:
                os.kill(pid, signal.SIGCONT)
            self.paused = False

    def close(self) -> None:
        self.resume()
        self.pipeline.stop()
        for _ in self.events:
            pass
        self.pipeline.__exit__(None, None, None)


def backend_alone_rate(settings: Settings, checkpoint: bytes, batch: int, seconds: float) -> float:
    """Evaluations per second of the service's backend alone in this process, one thread, on real
    positions of a game in progress, over the whole window: the statistic of the pipeline's windows, so
    that a burst of load from elsewhere weighs on both alike."""
    import numpy as np

    from zelmor_lab.selfplay.backends import make_runner
    from zelmor_lab.training.model import decode_checkpoint

    loaded = decode_checkpoint(checkpoint, "alone")
    runner = make_runner(loaded.model, loaded.digest, settings.backend, settings.rep, settings.device, 1)
    game = Game(settings.dim)
    for _ in range(40):  # a position well into a game, or the last one of a small board's game
        legal = game.legal_tiles()
        if not legal:
            break
        game.apply(legal[len(legal) // 2])
    planes = np.stack([game.state().astype(np.uint8)] * batch)
    for _ in range(3):
        runner(planes)
    runs, started = 0, time.perf_counter()
    while time.perf_counter() - started < seconds:
        runner(planes)
        runs += 1
    return runs * batch / (time.perf_counter() - started)


def new_checkpoint(dim: int, network: str) -> bytes:
    from zelmor_lab.training.model import PolicyValueNet, encode_checkpoint

    return encode_checkpoint(PolicyValueNet(dim, architecture_of(network)))


def games_per_hour(evaluations_per_s: float, settings: Settings, game_length: float) -> float:
    return evaluations_per_s * 3600 / (settings.sims_per_move * game_length)


def measure(network: str, settings: Settings, rounds: int, seconds: float, game_length: float) -> str:
    """The pipeline and the backend alone in alternating windows: ``rounds`` times, ``seconds`` of the
    pipeline, then, with the pipeline paused, ``seconds / 4`` each of the backend alone on batches of the
    size the network ran on and of the reference size. This machine's speed drifts by 20% within a minute,
    so each pipeline window is compared with the limit measured right after it: the share is the median
    of the rounds'."""
    checkpoint = new_checkpoint(settings.dim, network)
    running = RunningPipeline(settings, checkpoint)
    windows, alone, limits = [], [], []
    try:
        for _ in range(rounds):
            window = running.window(seconds)
            windows.append(window)
            running.pause()
            batch = max(1, round(window.network_batch))
            alone.append(backend_alone_rate(settings, checkpoint, batch, seconds / 4))
            reference = backend_alone_rate(settings, checkpoint, _REFERENCE_BATCH, seconds / 4)
            limits.append(window.limit(reference))
    finally:
        running.close()
    shares = [w.rate / limit for w, limit in zip(windows, limits)]
    rate = statistics.median(w.rate for w in windows)
    batch = statistics.median(w.network_batch for w in windows)
    return (
        f"{network:<8} {running.services:>8} {rate:>8.0f} {games_per_hour(rate, settings, game_length):>8.1f} "
        f"{sum(w.finished for w in windows):>8} {statistics.median(w.hit_rate for w in windows):>6.1%} "
        f"{batch:>6.2f} {statistics.median(w.worker_us for w in windows):>10.1f} "
        f"{statistics.median(alone):>8.0f} (B={max(1, round(batch))}) {statistics.median(limits):>8.0f} "
        f"{statistics.median(shares):>6.1%} (rounds {min(shares):.0%} to {max(shares):.0%})"
    )


def interleaved(
    subjects: dict[str, Settings], checkpoint: bytes, rounds: int, seconds: float
) -> tuple[dict[str, list[Window]], list[float]]:
    """Windows of ``seconds`` of each subject's pipeline, all started at once and each paused while
    another is measured, in an order that turns round every round: the machine's drift and the load
    from elsewhere fall on all of them alike, and each pipeline's games go on from window to window.
    Also the backend alone in batches of the reference size after every round (for the limit)."""
    running, windows, reference = {}, {name: [] for name in subjects}, []
    settings = next(iter(subjects.values()))
    try:
        for name, subject in subjects.items():
            running[name] = RunningPipeline(subject, checkpoint)
            running[name].pause()
        for round_ in range(rounds):
            for name in list(subjects) if round_ % 2 == 0 else list(reversed(subjects)):
                windows[name].append(running[name].window(seconds))
                running[name].pause()
            reference.append(backend_alone_rate(settings, checkpoint, _REFERENCE_BATCH, seconds / 4))
    finally:
        for pipeline in running.values():
            pipeline.close()
    return windows, reference


def compare(rounds: int, seconds: float, game_length: float) -> None:
    """Old and new service on the loop's network, alternating windows of ``seconds``."""
    from zelmor_lab.loop.plan import LoopPlan

    new = LoopPlan().engine
    cores = os.cpu_count() or 1
    old = replace(new, backend="torch-eager", cache_mb=0.0, workers=8 * cores, max_batch=4 * cores)
    subjects = {"old": old, "new": new}
    windows, _ = interleaved(subjects, new_checkpoint(new.dim, "loop"), rounds, seconds)
    print(
        f"{'':<4} {'backend':<12} {'cache MiB':>9} {'workers':>7} {'batch':>5} {'evals/s':>8} {'games/h':>8} "
        f"{'cached':>6} {'worker µs/eval':>14}"
    )
    rates, worker_us = {}, {}
    for name, settings in subjects.items():
        rates[name] = statistics.median(w.rate for w in windows[name])
        worker_us[name] = statistics.median(w.worker_us for w in windows[name])
        print(
            f"{name:<4} {settings.backend:<12} {settings.cache_mb:>9g} {settings.workers:>7} "
            f"{settings.batch_limit(settings.workers, settings.service_count()):>5} {rates[name]:>8.0f} "
            f"{games_per_hour(rates[name], settings, game_length):>8.1f} "
            f"{statistics.median(w.hit_rate for w in windows[name]):>6.1%} {worker_us[name]:>14.1f}"
        )
    ratios = [n.rate / o.rate for n, o in zip(windows["new"], windows["old"])]
    print(f"rounds' new/old: {', '.join(f'{r:.2f}' for r in ratios)}")
    print(
        f"new/old evaluations per second: {rates['new'] / rates['old']:.2f} "
        f"(workers CPU µs per evaluation: {worker_us['old']:.0f} -> {worker_us['new']:.0f})"
    )


def sweep(
    networks: list[str],
    base: Settings,
    workers: list[int],
    batches: list[int],
    rounds: int,
    seconds: float,
    game_length: float,
    finalists: int,
) -> None:
    """Every workers x max_batch pair (max_batch up to workers) for each network, each pair its own
    pipeline measured ``rounds`` windows after it settled; then the ``finalists`` fastest measured again,
    interleaved (see interleaved), for twice as many rounds."""
    print(
        f"{'network':<8} {'workers':>7} {'batch':>5} {'evals/s':>8} {'games/h':>8} {'cached':>6} "
        f"{'net batch':>9} {'worker µs/eval':>14}"
    )
    for network in networks:
        checkpoint = new_checkpoint(base.dim, network)
        results = []
        for count in workers:
            for batch in [b for b in batches if b <= count]:
                settings = replace(base, workers=count, max_batch=batch)
                running = RunningPipeline(settings, checkpoint)
                try:
                    windows = [running.window(seconds) for _ in range(rounds)]
                finally:
                    running.close()
                rate = statistics.median(w.rate for w in windows)
                results.append((rate, count, batch))
                print(
                    f"{network:<8} {count:>7} {batch:>5} {rate:>8.0f} "
                    f"{games_per_hour(rate, settings, game_length):>8.1f} "
                    f"{statistics.median(w.hit_rate for w in windows):>6.1%} "
                    f"{statistics.median(w.network_batch for w in windows):>9.2f} "
                    f"{statistics.median(w.worker_us for w in windows):>14.1f}",
                    flush=True,
                )
        final = {
            f"{count}/{batch}": replace(base, workers=count, max_batch=batch)
            for _, count, batch in sorted(results, reverse=True)[:finalists]
        }
        interleaved_finals(network, final, checkpoint, 2 * rounds, seconds)


def interleaved_finals(
    network: str, subjects: dict[str, Settings], checkpoint: bytes, rounds: int, seconds: float
) -> None:
    """The pipelines of ``subjects`` (named "workers/batch[/services]") measured interleaved, each with its
    share of the machine's limit; names the fastest."""
    windows, reference = interleaved(subjects, checkpoint, rounds, seconds)
    rates = {name: statistics.median(w.rate for w in windows[name]) for name in subjects}
    for name in sorted(subjects, key=rates.get, reverse=True):
        shares = [w.rate / w.limit(r) for w, r in zip(windows[name], reference)]
        print(
            f"final {network:<8} {name:>9} workers/batch[/services] {rates[name]:>8.0f} evaluations/s "
            f"{games_per_hour(rates[name], subjects[name], _game_length(subjects[name].dim)):>7.0f} games/h "
            f"{statistics.median(w.hit_rate for w in windows[name]):>6.1%} cached "
            f"{statistics.median(w.worker_us for w in windows[name]):>7.1f} worker µs/eval "
            f"{statistics.median(w.network_batch for w in windows[name]):>5.1f} batch "
            f"{statistics.median(shares):>6.1%} of the limit (rounds {min(shares):.0%} to {max(shares):.0%})"
        )
    best = max(subjects, key=rates.get)
    print(
        f"fastest for {network}: {subjects[best].workers} workers in batches of {subjects[best].max_batch}, "
        f"services {subjects[best].service_count()}, {rates[best]:.0f} evaluations/s",
        flush=True,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="pipeline window of each round")
    parser.add_argument("--rounds", type=int, default=5, help="pipeline windows per network")
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--sims", type=int, default=Settings().sims_per_move)
    parser.add_argument("--workers", type=int, default=Settings().workers)
    parser.add_argument("--services", type=int, default=Settings().services, help="0: one per core")
    parser.add_argument("--max-batch", type=int, default=Settings().max_batch, help="0: half of each service's workers")
    parser.add_argument("--backend", default=Settings().backend)
    parser.add_argument("--cache-mb", type=float, default=Settings().cache_mb)
    parser.add_argument("--networks", default="default,trivial", help=f"comma-separated, of {', '.join(NETWORKS)}")
    parser.add_argument("--compare", action="store_true", help="old and new service on the loop's network")
    parser.add_argument("--sweep", action="store_true", help="workers x max_batch for each network")
    parser.add_argument("--sweep-workers", default="8,16,24,32")
    parser.add_argument("--sweep-batches", default="4,8,16,24,32")
    parser.add_argument("--finalists", type=int, default=4, help="pairs measured again, interleaved")
    parser.add_argument("--pairs", help="workers/batch pairs, comma-separated, measured interleaved")
    args = parser.parse_args()
    networks = args.networks.split(",")
    if not set(networks) <= set(NETWORKS):
        parser.error(f"--networks takes {', '.join(NETWORKS)}")
    settings = Settings(
        dim=args.dim,
        sims_per_move=args.sims,
        workers=args.workers,
        services=args.services,
        max_batch=args.max_batch,
        backend=args.backend,
        cache_mb=args.cache_mb,
    )
    game_length = _game_length(settings.dim)
    print(
        f"{usable_cores()} cores, board {settings.dim}, {settings.sims_per_move} simulations per action, "
        f"{args.rounds} rounds of {args.seconds:g} s, random-play game length {game_length:.0f} actions"
    )
    if args.compare:
        compare(args.rounds, args.seconds, game_length)
        return
    if args.pairs:
        for network in networks:
            subjects = {}
            for pair in args.pairs.split(","):
                count, batch, *services = (int(n) for n in pair.split("/"))
                services_given = services[0] if services else 0
                subjects[pair] = replace(settings, workers=count, max_batch=batch, services=services_given)
            interleaved_finals(network, subjects, new_checkpoint(settings.dim, network), args.rounds, args.seconds)
        return
    if args.sweep:
        sweep(
            networks,
            settings,
            [int(w) for w in args.sweep_workers.split(",")],
            [int(b) for b in args.sweep_batches.split(",")],
            args.rounds,
            args.seconds,
            game_length,
            args.finalists,
        )
        return
    services = min(settings.service_count(), settings.workers)
    print(
        f"{settings.workers} workers, {services} services, batches of at most "
        f"{settings.batch_limit(settings.workers, services)} each, backend {settings.backend}, "
        f"cache {settings.cache_mb:g} MiB, {usable_cores()} cores to use"
    )
    print(
        f"{'network':<8} {'services':>8} {'evals/s':>8} {'games/h':>8} {'finished':>8} {'cached':>6} {'batch':>6} "
        f"{'worker µs':>10} {'alone evals/s':>13} {'limit':>8} {'share':>6}"
    )
    for name in networks:
        print(measure(name, settings, args.rounds, args.seconds, game_length), flush=True)


if __name__ == "__main__":
    main()
