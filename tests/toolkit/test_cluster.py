"""Self-play on a Ray cluster: a head and two self-play nodes of one CPU each, started on this machine
once for the module and stopped by its own handle (never `ray stop`, which would end every Ray process
of the machine). The tests that change the cluster come last."""

import importlib.util
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("ray", reason="the cluster tests need the ray extra (CI installs it)")

from ray.cluster_utils import Cluster  # noqa: E402

from import_path import IMPORT_PATH  # noqa: E402
from test_loop import TINY_PLAN  # noqa: E402
from test_selfplay_cli import alive, check_games_replay, cli, wait_for  # noqa: E402
from zelmor_lab.cli import main  # noqa: E402
from zelmor_lab.cluster import SELFPLAY_RESOURCE, ClusterJobs, connect, disconnect  # noqa: E402
from zelmor_lab.loop.generations import LoopDirectory, run_loop  # noqa: E402
from zelmor_lab.runs.store import read_games  # noqa: E402
from zelmor_lab.training.model import load_checkpoint  # noqa: E402
from zelmor_lab.training.train import read_metrics  # noqa: E402

SMALL = ["--dim", "6", "--sims", "4", "--workers-per-node", "2"]
# A removed node is seen dead within about two seconds instead of Ray's default half minute.
FAST_HEALTH_CHECKS = {
    "health_check_period_ms": 500,
    "health_check_failure_threshold": 3,
    "health_check_initial_delay_ms": 0,
}


@pytest.fixture(scope="module")
def cluster():
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1, "_system_config": FAST_HEALTH_CHECKS})
    try:
        nodes = [cluster.add_node(num_cpus=1, resources={SELFPLAY_RESOURCE: 1}) for _ in range(2)]
        cluster.wait_for_nodes(timeout=60)
        yield cluster, nodes
    finally:
        cluster.shutdown()


@pytest.fixture
def flush_each_game(tmp_path) -> Path:
    config = tmp_path / "flush.toml"
    config.write_text("flush_every = 1\n")
    return config


def start_driver(tmp_path, *args) -> tuple[subprocess.Popen, Path, Path]:
    """The CLI in its own session (as a terminal's foreground job), its output in files to read while
    it runs."""
    out, err = tmp_path / "out.txt", tmp_path / "err.txt"
    with open(out, "w") as out_file, open(err, "w") as err_file:
        process = subprocess.Popen(
            [sys.executable, "-m", "zelmor_lab", *map(str, args)],
            stdout=out_file,
            stderr=err_file,
            env=dict(os.environ, PYTHONPATH=IMPORT_PATH),
            start_new_session=True,
            text=True,
        )
    return process, out, err


def stored_nodes(run: Path) -> set[str]:
    try:
        return {game.node for game in read_games(run)}
    except Exception:  # no run.json yet
        return set()


def node_processes() -> set[int]:
    """The processes the self-play actors run: the actors and their pipelines' processes, all below the
    Ray processes this test process started (its own children, such as a resource tracker of an earlier
    test's pipeline, are not the nodes')."""
    parents = {}
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit():
                parents[int(entry.name)] = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError):
            continue
    children = {pid for pid, parent in parents.items() if parent == os.getpid()}
    found, frontier = set(), children
    while frontier:
        frontier = {pid for pid, parent in parents.items() if parent in frontier}
        found |= frontier
    return {pid for pid in found if any(word in command_of(pid) for word in ("SelfPlayNode", "multiprocessing"))}


def command_of(pid: int) -> str:
    try:
        return (Path("/proc") / str(pid) / "cmdline").read_bytes().decode(errors="replace").replace("\0", " ")
    except OSError:
        return ""


def test_games_from_both_nodes_replay_legally_and_none_is_stored_twice(cluster, tmp_path):
    _, nodes = cluster
    run = tmp_path / "run"
    result = cli("selfplay", run, "--ray", cluster[0].address, "--games", "8", *SMALL, timeout=180)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("8 games, ") and f" stored in {run} from " in result.stdout
    # Both nodes play; which of them finishes the eight games first depends on how fast each one starts.
    assert {f"zelmor-lab: node {node.node_id} playing" for node in nodes} <= set(result.stderr.splitlines())
    games = check_games_replay(run)
    assert len({game.game_id for game in games}) == len(games) == 8
    assert {game.node for game in games} <= {node.node_id for node in nodes}


@pytest.mark.parametrize(("where", "games"), [("local", 1), ("local", 4), ("cluster", 3)])
def test_as_few_games_as_the_nodes_have_workers_are_all_played_and_stored(request, tmp_path, where, games):
    # Workers still starting once counted as games in progress: a node was told to finish before any
    # game was claimed, ended with none, and was started again, forever. "local" runs four workers per CPU.
    address = "local" if where == "local" else request.getfixturevalue("cluster")[0].address
    run = tmp_path / "run"
    small = SMALL if where == "cluster" else SMALL[:4]
    result = cli("selfplay", run, "--ray", address, "--games", str(games), *small, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"{games} games, ")
    assert len(check_games_replay(run)) == games


def test_asking_for_more_nodes_than_offer_self_play_is_refused_with_nothing_written(cluster, tmp_path):
    run = tmp_path / "run"
    result = cli("selfplay", run, "--ray", cluster[0].address, "--nodes", "3", *SMALL, timeout=120)
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == (
        f"zelmor-lab: error: --nodes 3: only 2 nodes of the Ray cluster at "
        f"{cluster[0].address} offer the resource zelmor_selfplay"
    )
    assert not run.exists()


def test_an_unreachable_cluster_is_one_message_and_exit_code_2(tmp_path):
    run = tmp_path / "run"
    result = cli("selfplay", run, "--ray", "127.0.0.1:1", *SMALL, timeout=60)
    assert (result.returncode, result.stderr) == (
        2,
        "zelmor-lab: error: cannot reach the Ray cluster at 127.0.0.1:1: Connection refused\n",
    )
    assert not run.exists()


def test_the_loop_plays_on_the_nodes_and_trains_and_evaluates_in_the_learner(cluster, tmp_path):
    run = tmp_path / "run"
    connect(cluster[0].address)
    try:
        with ClusterJobs(nodes=2, workers_per_node=1) as jobs:
            state = run_loop(run, generations=1, plan=TINY_PLAN, jobs=jobs)
    finally:
        disconnect()
    assert state.generation == 1 and [r.generation for r in state.records] == [0, 1]
    assert state.records[1].step == TINY_PLAN.steps_per_generation
    assert state.records[1].vs_random.games == TINY_PLAN.random_games
    assert state.records[1].vs_previous.games == TINY_PLAN.baseline_games
    games = check_games_replay(run)
    assert len(games) == TINY_PLAN.games_per_generation and "local" not in {game.node for game in games}
    # The learner's files came back to the driver's disk.
    files = LoopDirectory(run).trainer_files
    assert [line["generation"] for line in read_metrics(files.metrics)] == [0, 0]
    assert load_checkpoint(run / LoopDirectory.network_name(1), dim=20).step == TINY_PLAN.steps_per_generation
    if importlib.util.find_spec("tensorboard") is not None:  # the extra that writes the event files
        assert any(files.events.iterdir())


@pytest.mark.parametrize("command", ["selfplay", "loop"])
def test_cluster_flags_without_a_cluster_are_refused_with_nothing_written(tmp_path, capsys, command):
    assert main([command, str(tmp_path / "run"), "--workers-per-node", "2"]) == 2
    assert capsys.readouterr().err == "zelmor-lab: error: --nodes and --workers-per-node need --ray ADDRESS\n"
    assert not (tmp_path / "run").exists()


def test_ctrl_c_stops_every_node_keeps_the_finished_games_and_leaves_no_process(cluster, tmp_path, flush_each_game):
    run = tmp_path / "run"
    process, out, err = start_driver(
        tmp_path, "selfplay", run, "--ray", cluster[0].address, *SMALL, "--config", flush_each_game
    )
    try:
        wait_for(lambda: len(stored_nodes(run)) == 2, 120, "games from both nodes")
        spawned = node_processes()
        assert len(spawned) >= 8  # per node: the actor, the service, two workers, the resource tracker
        os.killpg(process.pid, signal.SIGINT)
        process.wait(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130
    assert err.read_text().splitlines()[-1] == "zelmor-lab: interrupted"
    stored = int(re.match(r"(\d+) games", out.read_text()).group(1))
    games = check_games_replay(run)
    assert len(games) == len({game.game_id for game in games}) == stored >= 2
    wait_for(
        lambda: not any(alive(pid) for pid in spawned),
        30,
        f"the nodes' processes to end: {[command_of(pid) for pid in spawned if alive(pid)]}",
    )
    assert not list((run / "games").glob(".*"))


def test_a_removed_node_loses_only_its_games_in_progress_and_a_new_node_rejoins(cluster, tmp_path, flush_each_game):
    head, nodes = cluster
    run = tmp_path / "run"
    process, out, err = start_driver(
        tmp_path, "selfplay", run, "--ray", head.address, *SMALL, "--config", flush_each_game
    )
    try:
        wait_for(lambda: len(stored_nodes(run)) == 2, 120, "games from both nodes")
        removed = nodes.pop(0)
        head.remove_node(removed, allow_graceful=False)
        wait_for(lambda: "lost with" in err.read_text(), 60, "the driver to see the node go")
        before = len(list(read_games(run)))
        nodes.append(head.add_node(num_cpus=1, resources={SELFPLAY_RESOURCE: 1}))
        wait_for(lambda: nodes[-1].node_id in stored_nodes(run), 120, "games from the new node")
        os.killpg(process.pid, signal.SIGINT)
        process.wait(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130
    lost = re.search(
        rf"zelmor-lab: node {removed.node_id} lost with (\d+) games in progress; its actor waits "
        rf"for a node to rejoin\n",
        err.read_text(),
    )
    assert lost is not None and 0 <= int(lost.group(1)) <= 2
    games = check_games_replay(run)
    assert len(games) == len({game.game_id for game in games}) > before
    assert {game.node for game in games} == {removed.node_id, *(node.node_id for node in nodes)}
    # Above it, Ray's own report of the node's end.
    assert re.fullmatch(
        rf"{len(games)} games, \d+ positions stored in {run} from 3 nodes; "
        rf"{lost.group(1)} games in progress lost with their nodes",
        out.read_text().splitlines()[-1],
    )
