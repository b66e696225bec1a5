"""Self-play through a Ray cluster against the local pipeline on the same CPUs, and what a game costs on
the wire.

    PYTHONPATH=python python bench/cluster_bench.py [--seconds 60] [--rounds 2] [--dim 20] [--sims 32]

A local cluster (ray.cluster_utils.Cluster) of a head without CPUs and two self-play nodes of one CPU
each runs on this machine; each node plays with four workers, the local pipeline with four per CPU of
the two nodes (eight), both with the default network and settings. In alternating rounds each plays
without a game limit; the rate is the games stored in a window of ``seconds`` that opens at the first
stored game (start-up is reported apart), with the driver writing the store as the command line does.
Printed per round and as medians: games per hour, the driver's CPU seconds per stored game (what bounds
the nodes one driver can serve), and for the cluster the bytes of one game as Ray serializes it for the
driver next to its bytes in a Parquet shard.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from pathlib import Path

from zelmor_lab.selfplay.settings import Settings
from zelmor_lab.selfplay.workers import WorkerConfig

WORKERS_PER_CPU = 4
NODES = 2


def default_network(dim: int) -> tuple[bytes, str]:
    from zelmor_lab.training.model import Architecture, PolicyValueNet, checkpoint_digest, encode_checkpoint

    data = encode_checkpoint(PolicyValueNet(dim, Architecture()))
    return data, checkpoint_digest(data)


class Window:
    """Counts stored games from the first one on, for ``seconds``."""

    def __init__(self, seconds: float):
        self.seconds = seconds
        self.started = time.monotonic()
        self.first: float | None = None
        self.games = 0
        self.cpu_start = 0.0
        self.cpu = 0.0

    def stored(self) -> None:
        now = time.monotonic()
        if self.first is None:
            self.first, self.cpu_start = now, time.process_time()
        else:
            self.games += 1
            self.cpu = time.process_time() - self.cpu_start

    def closed(self) -> bool:
        return self.first is not None and time.monotonic() - self.first >= self.seconds

    def result(self) -> dict:
        elapsed = time.monotonic() - self.first
        return {
            "games_per_hour": 3600 * self.games / elapsed,
            "startup_s": self.first - self.started,
            "driver_cpu_ms_per_game": 1000 * self.cpu / max(1, self.games),
            "games": self.games,
        }


def writer_in(directory: str, settings: Settings):
    from zelmor_lab.runs.store import RunWriter, session_record

    return RunWriter(Path(directory) / "run", settings.dim, session_record("bench", {}, {}), settings.flush_every)


def local_round(settings: Settings, network: tuple[bytes, str], seconds: float) -> dict:
    from zelmor_lab.selfplay.pipeline import FinishedGame, Pipeline

    config = WorkerConfig(settings.with_values(workers=WORKERS_PER_CPU * NODES))
    with tempfile.TemporaryDirectory() as directory, writer_in(directory, settings) as writer:
        window = Window(seconds)
        with Pipeline(config, (network[0],), None) as pipeline:
            for event in pipeline.events():
                if isinstance(event, FinishedGame):
                    history, policies, payoff = event.game.history, event.game.policies, event.game.payoff
                    writer.add(event.worker, history, policies, payoff, network[1], event.finished_at)
                    window.stored()
                if window.closed():
                    pipeline.stop()
        writer.flush()
        return window.result()


def cluster_round(settings: Settings, network: tuple[bytes, str], seconds: float) -> dict:
    import ray.cloudpickle

    from zelmor_lab.cluster import ClusterSelfPlay, NodeGame

    config = WorkerConfig(settings)
    wire, disk = [], 0
    with tempfile.TemporaryDirectory() as directory, writer_in(directory, settings) as writer:
        window = Window(seconds)
        with ClusterSelfPlay(NODES, WORKERS_PER_CPU) as cluster:
            for event in cluster.play(config, network[0], network[1], None):
                if isinstance(event, NodeGame):
                    event.store(writer)
                    window.stored()
                    if len(wire) < 50:
                        wire.append(event.game)  # measured after the window, outside the driver's CPU count
                if window.closed():
                    cluster.stop()
        writer.flush()
        disk = sum(p.stat().st_size for p in (Path(directory) / "run" / "games").glob("*.parquet"))
        stored = window.games + 1
        return {
            **window.result(),
            "wire_bytes_per_game": statistics.mean(len(ray.cloudpickle.dumps(g)) for g in wire),
            "parquet_bytes_per_game": disk / stored,
        }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--sims", type=int, default=32)
    args = parser.parse_args()

    from ray.cluster_utils import Cluster

    from zelmor_lab.cluster import SELFPLAY_RESOURCE, connect, disconnect

    settings = Settings(dim=args.dim, sims_per_move=args.sims)
    network = default_network(args.dim)
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 0})
    try:
        for _ in range(NODES):
            cluster.add_node(num_cpus=1, resources={SELFPLAY_RESOURCE: 1})
        cluster.wait_for_nodes(timeout=120)
        connect(cluster.address)
        results = {"local": [], "cluster": []}
        for round_ in range(args.rounds):
            for kind, measure in (("local", local_round), ("cluster", cluster_round)):
                result = measure(settings, network, args.seconds)
                results[kind].append(result)
                print(
                    f"round {round_ + 1} {kind}: " + ", ".join(f"{k} {v:,.1f}" for k, v in result.items()), flush=True
                )
    finally:
        disconnect()  # before the nodes go: Ray refuses to remove the node a driver is connected to
        cluster.shutdown()
    print(
        f"\nmedians over {args.rounds} rounds of {args.seconds:.0f} s, dim {args.dim}, sims {args.sims}, "
        f"{os.cpu_count()} CPUs on this machine:"
    )
    for kind, rows in results.items():
        print(f"  {kind}: " + ", ".join(f"{k} {statistics.median(r[k] for r in rows):,.1f}" for k in rows[0]))
    ratios = [
        cluster["games_per_hour"] / local["games_per_hour"]
        for local, cluster in zip(results["local"], results["cluster"])
    ]
    print(
        f"  cluster / local games per hour, per round: {', '.join(f'{r:.2f}' for r in ratios)}; "
        f"median {statistics.median(ratios):.2f}"
    )


if __name__ == "__main__":
    main()
