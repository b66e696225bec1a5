"""The zelmor-lab command: bad input, info and show on stored games, and whole runs with real processes
(self-play, evaluation, Ctrl-C, a killed inference service, appending)."""

import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from import_path import IMPORT_PATH
from zelmor_lab import Game, read_games
from zelmor_lab.cli import main
from zelmor_lab.cli.selfplay import selfplay_network
from zelmor_lab.errors import InputError
from zelmor_lab.runs.store import Run, RunWriter, session_record

torch = pytest.importorskip("torch")
from zelmor_lab.training.model import Architecture, PolicyValueNet, load_checkpoint, save_checkpoint  # noqa: E402

TINY = Architecture(blocks=1, channels=8, value_hidden=8)
SMALL_RUN = ["--dim", "7", "--sims", "4", "--workers", "2"]


def tiny_checkpoint(path: Path, dim: int) -> Path:
    return save_checkpoint(PolicyValueNet(dim, TINY), path)


def random_game(dim: int, seed: int) -> dict:
    """A legal game of random play as the engine would post it."""
    rng = np.random.default_rng(seed)
    game = Game(dim)
    while not game.is_terminal():
        game.apply(int(rng.choice(game.legal_tiles())))
    history = [tuple(pair) for pair in game.history]
    return dict(
        worker=seed % 2,
        history=history,
        policies=[[(tile, 1.0)] for _, tile in history],
        payoff=game.payoff(),
        model="f00d",
        finished_at=1_700_000_000.0 + seed,
        game_id=f"game-{seed}",
    )


def stored_run(path: Path, games: list[dict], dim: int = 6) -> Path:
    with RunWriter(path, dim, session_record("selfplay", {}, {"digest": "f00d"}), flush_every=2) as writer:
        for game in games:
            writer.add(**game)
        writer.flush()
    return path


def run_cli(*args, capsys):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


# ---- bad input -------------------------------------------------------------------------------------


def test_bad_flag_values_are_refused_by_the_parser(tmp_path, capsys):
    for flags, message in (
        (["--games", "0"], "argument --games: must be at least 1, got 0"),
        (["--sims", "many"], "argument --sims: not an integer: 'many'"),
    ):
        with pytest.raises(SystemExit) as exit_:
            main(["selfplay", str(tmp_path / "run"), *flags])
        assert exit_.value.code == 2
        assert capsys.readouterr().err.splitlines()[-1] == f"zelmor-lab selfplay: error: {message}"
    assert list(tmp_path.iterdir()) == []


@pytest.fixture
def inputs(tmp_path):
    """Files a user might pass by mistake, in a directory the tests check for new files."""
    (tmp_path / "bad.toml").write_text("sims_per_move = 0\n")
    tiny_checkpoint(tmp_path / "net7.pt", 7)
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "todo.txt").write_text("x")
    stored_run(tmp_path / "run6", [random_game(6, 1)])
    stored_run(tmp_path / "lost", [random_game(6, 1)])
    (tmp_path / "lost" / "run.json").write_text('{"format": "zelmor-lab run 1", "dim": 6, "sessions": {}}')
    stored_run(tmp_path / "deep", [random_game(6, 1)])
    (tmp_path / "deep" / "run.json").write_text("[" * 200_000)
    os.mkfifo(tmp_path / "pipe.pt")  # a checkpoint no writer will ever fill
    meta = json.loads((stored_run(tmp_path / "piped", [random_game(6, 1)]) / "run.json").read_text())
    meta["sessions"][-1]["model"] = {"path": str(tmp_path / "pipe.pt"), "digest": "f00d"}
    (tmp_path / "piped" / "run.json").write_text(json.dumps(meta))
    return tmp_path


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["selfplay", "{d}/new", "--config", "{d}/bad.toml"],
            "{d}/bad.toml: setting sims_per_move must be at least 1, got 0",
        ),
        (["selfplay", "{d}/new", "--model", "{d}/absent.pt"], "checkpoint {d}/absent.pt does not exist"),
        (["selfplay", "{d}/new", "--model", "{d}/bad.toml"], "{d}/bad.toml is not a zelmor-lab checkpoint"),
        (
            ["selfplay", "{d}/new", "--model", "{d}/net7.pt", "--dim", "8"],
            "checkpoint {d}/net7.pt is for a 7 x 7 board, not 8 x 8",
        ),
        (["selfplay", "{d}/new", "--dim", "40"], "setting dim must be between 4 and 32, got 40"),
        (
            ["selfplay", "{d}/new", "--device", "tpu"],
            'setting device must be "cpu" or a CUDA device such as "cuda:0", got \'tpu\'',
        ),
        (["selfplay", "{d}/notes"], "{d}/notes is not a zelmor-lab run (no run.json) and is not empty"),
        (["selfplay", "{d}/run6", "--dim", "7"], "{d}/run6 holds games on a 6 x 6 board, not 7 x 7"),
        (
            ["selfplay", "{d}/run6", "--dim", "7", "--model", "{d}/net7.pt"],
            "{d}/run6 holds games on a 6 x 6 board, not 7 x 7",
        ),
        (["eval", "--vs", "{d}/net7.pt", "--dim", "20"], "checkpoint {d}/net7.pt is for a 7 x 7 board, not 20 x 20"),
        (["eval", "--model", "{d}/net7.pt", "--dim", "6"], "checkpoint {d}/net7.pt is for a 7 x 7 board, not 6 x 6"),
        (["selfplay", "{d}/run6", "--model", "{d}/net7.pt"], "checkpoint {d}/net7.pt is for a 7 x 7 board, not 6 x 6"),
        (["eval", "--vs", "heuristc"], "--vs takes random, heuristic or a checkpoint file; 'heuristc' is none of them"),
        (["eval", "--sims", "-1"], "--sims must be at least 0, got -1"),
        (["info", "{d}/notes"], "{d}/notes is not a zelmor-lab run (no run.json)"),
        (["info", "{d}/lost"], "{d}/lost/run.json is damaged: sessions must be a list, got dict"),
        (["selfplay", "{d}/lost", "--dim", "6"], "{d}/lost/run.json is damaged: sessions must be a list, got dict"),
        (["info", "{d}/deep"], "{d}/deep/run.json is damaged: JSON nested too deeply"),
        (["export", "{d}/deep"], "{d}/deep/run.json is damaged: JSON nested too deeply"),
        (["serve", "{d}/deep", "--port", "0"], "{d}/deep/run.json is damaged: JSON nested too deeply"),
        (["selfplay", "{d}/new", "--model", "/dev/zero"], "checkpoint /dev/zero is not a regular file"),
        (["selfplay", "{d}/piped", "--dim", "6"], "checkpoint {d}/pipe.pt is not a regular file"),
        (["show", "{d}/run6", "--game", "1"], "{d}/run6 holds 1 games; there is no game 1"),
        (
            ["show", "{d}/run6", "--png", "{d}/board.jpg"],
            "--png {d}/board.jpg: the board is drawn as a PNG image; name a file ending in .png",
        ),
        (
            ["show", "{d}/run6", "--png", "{d}/absent/board.png"],
            "cannot write the picture to {d}/absent/board.png: there is no directory {d}/absent",
        ),
        (
            ["eval", "--vs", "{d}/notes"],
            "--vs takes random, heuristic or a checkpoint file; '{d}/notes' is none of them",
        ),
    ],
)
def test_bad_input_is_one_message_and_exit_code_2_with_nothing_written(inputs, capsys, args, message):
    before = sorted(str(p) + str(p.stat().st_mtime_ns) for p in inputs.rglob("*"))
    code, out, err = run_cli(*[a.format(d=inputs) for a in args], capsys=capsys)
    assert code == 2 and out == ""
    assert len(err.splitlines()) == 1 and err.startswith("zelmor-lab: error: " + message.format(d=inputs))
    assert sorted(str(p) + str(p.stat().st_mtime_ns) for p in inputs.rglob("*")) == before


JSON = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(2**40), 2**40)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=4),
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from(["model", "path", "digest"]), inner, max_size=3)
    ),
    max_leaves=6,
)


@settings(
    max_examples=200, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(dim=st.just(6) | JSON, sessions=st.lists(st.fixed_dictionaries({"model": JSON}), max_size=2) | JSON)
def test_any_run_json_is_used_or_refused_in_one_message(tmp_path, capsys, dim, sessions):
    run = tmp_path / "run"
    run.mkdir(exist_ok=True)
    (run / "run.json").write_text(json.dumps({"format": "zelmor-lab run 1", "dim": dim, "sessions": sessions}))
    code, _, err = run_cli("info", run, capsys=capsys)
    assert code == 0 or (code == 2 and len(err.splitlines()) == 1)
    try:
        selfplay_network(run, None, 6)  # what a self-play session that goes on reads of its run
    except InputError:
        pass


# ---- info and show ---------------------------------------------------------------------------------


def test_info_counts_games_positions_scores_and_wins_per_seat(tmp_path, capsys):
    games = [random_game(6, seed) for seed in range(5)]
    run = stored_run(tmp_path / "run", games)
    code, out, _ = run_cli("info", run, capsys=capsys)
    assert code == 0
    positions = sum(len(g["history"]) for g in games)
    lines = out.splitlines()
    assert lines[0] == f"run {run}: 6 x 6 board, sessions: 1, shards: 3"
    assert lines[1] == f"games: 5, positions: {positions}, mean game length: {positions / 5:.1f} actions"
    for seat, line in enumerate(lines[3:7]):
        finals = [Game(6) for _ in games]
        for final, game in zip(finals, games):
            for _, tile in game["history"]:
                final.apply(tile)
        wins = sum(g["payoff"][seat] > 0 for g in games)
        assert line.split()[:3] == [str(seat), f"{np.mean([f.scores()[seat] for f in finals]):.2f}", str(wins)]
        assert line.split()[-1] == f"{np.mean([g['payoff'][seat] for g in games]):.3f}"


def test_show_replays_a_game_to_its_final_board_and_scores(tmp_path, capsys):
    games = [random_game(6, seed) for seed in range(3)]
    run = stored_run(tmp_path / "run", games)
    code, out, _ = run_cli("show", run, "--game", "-1", "--png", tmp_path / "board.png", capsys=capsys)
    final = Game(6)
    for _, tile in games[2]["history"]:
        final.apply(tile)
    assert code == 0
    assert out.startswith(
        "game 2 of 3: id game-2, node local, worker 0, network f00d, "
        f"finished 2023-11-14 22:13:22 UTC, {len(games[2]['history'])} actions\n"
        "   a b c d e f\n"
        + "".join(f" {row + 1} {squares} {row + 1}\n" for row, squares in enumerate(final.render().split("\n")[:6]))
        + "   a b c d e f\n"
    )
    assert "scores:  " + "  ".join(f"player {p}: {s}" for p, s in enumerate(final.scores())) in out
    assert (tmp_path / "board.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_show_names_a_picture_it_cannot_write(tmp_path, capsys):
    run = stored_run(tmp_path / "run", [random_game(6, 0)])
    (tmp_path / "taken.png").mkdir()
    code, _, err = run_cli("show", run, "--png", tmp_path / "taken.png", capsys=capsys)
    assert code == 2
    assert err == f"zelmor-lab: error: cannot write the picture to {tmp_path / 'taken.png'}: it is a directory\n"


def test_show_every_move_prints_each_piece_with_its_board(tmp_path, capsys):
    game = random_game(6, 4)
    run = stored_run(tmp_path / "run", [game])
    code, out, _ = run_cli("show", run, "--every-move", capsys=capsys)
    pieces = [line for line in out.splitlines() if line.startswith("player ") and " lays tiles " in line]
    replayed, expected = Game(6), []
    for player, tile in game["history"]:
        replayed.apply(tile)
        if not replayed.turn_tiles:
            expected.append(player)
    assert code == 0 and [int(line.split()[1]) for line in pieces] == expected
    assert sum(int(line.count(",")) + 1 for line in pieces) == len(game["history"])
    named = [name for line in pieces for name in line.split(" lays tiles ")[1].split(", ")]
    assert named == [f"{'abcdef'[tile % 6]}{tile // 6 + 1}" for _, tile in game["history"]]


def test_a_stored_game_that_does_not_replay_is_named(tmp_path, capsys):
    bad = random_game(6, 2)
    bad["history"] = [(1, 0)] + bad["history"][1:]
    run = stored_run(tmp_path / "run", [random_game(6, 1), bad])
    code, _, err = run_cli("info", run, capsys=capsys)
    assert code == 2
    assert err == "zelmor-lab: error: game 1 does not replay: action 0: player 1 is not the player to act (0)\n"


def test_a_damaged_shard_is_named_with_the_way_on_and_check_moves_it_aside(tmp_path, capsys):
    run = stored_run(tmp_path / "run", [random_game(6, seed) for seed in range(5)])  # shards of 2, 2 and 1 games
    shards = Run(run).shards()
    damaged = shards[1].read_bytes()[:-20]
    shards[1].write_bytes(damaged)
    code, _, err = run_cli("export", run, capsys=capsys)
    assert code == 2 and err.startswith(f"zelmor-lab: error: corrupt shard {shards[1]}: ")
    assert err.endswith(f"; zelmor-lab check {run} --move-aside moves damaged shards aside, and the rest reads\n")

    code, out, err = run_cli("check", run, capsys=capsys)
    assert code == 1 and out.startswith(f"damaged: corrupt shard {shards[1]}: ") and len(out.splitlines()) == 1
    assert err == f"zelmor-lab: error: 1 damaged shard in {run}; zelmor-lab check {run} --move-aside moves them aside\n"
    assert Run(run).shards() == shards  # nothing moved without --move-aside

    code, out, _ = run_cli("check", run, "--move-aside", capsys=capsys)
    assert code == 0
    assert out.splitlines()[-1] == f"2 shards read, 3 games; 1 damaged shard moved to {run / 'damaged'}"
    assert (run / "damaged" / shards[1].name).read_bytes() == damaged
    assert [game.game_id for game in read_games(run)] == ["game-0", "game-1", "game-4"]
    assert run_cli("check", run, capsys=capsys)[:2] == (0, "2 shards read, 3 games; no damaged shard\n")


def test_info_names_a_corrupt_shard(tmp_path, capsys):
    run = stored_run(tmp_path / "run", [random_game(6, seed) for seed in range(3)])
    shard = Run(run).shards()[0]
    shard.write_bytes(shard.read_bytes()[:-20])
    code, _, err = run_cli("info", run, capsys=capsys)
    assert code == 2 and err.startswith(f"zelmor-lab: error: corrupt shard {shard}: ")


def test_a_shard_from_another_board_is_refused_by_every_reader(tmp_path, capsys):
    from zelmor_lab.loop.generations import count_games
    from zelmor_lab.runs.index import GameIndex
    from zelmor_lab.training.dataset import load_window

    run = stored_run(tmp_path / "run", [random_game(6, 1)])
    other = Run(stored_run(tmp_path / "other", [random_game(7, 2)], dim=7)).shards()[0]
    stray = run / "games" / other.name  # named after the run's own shards: it is read last
    shutil.copy(other, stray)
    message = f"shard {stray} holds games on a 7 x 7 board, not the run's 6 x 6"
    way_on = f"; zelmor-lab check {run} --move-aside moves damaged shards aside, and the rest reads"
    for command in ("info", "show", "export"):  # export streams the games before the stray one
        assert run_cli(command, run, capsys=capsys)[::2] == (2, f"zelmor-lab: error: {message}{way_on}\n")
    for reader in (lambda: GameIndex(Run(run)).entries(), lambda: load_window(run, 10), lambda: count_games(run, "")):
        with pytest.raises(InputError, match=f"^{re.escape(message)}$"):
            reader()


def test_reading_a_run_needs_no_torch_and_self_play_and_a_served_network_say_they_do(tmp_path):
    run = stored_run(tmp_path / "run", [random_game(6, 1)])
    script = (
        "import sys; sys.modules['torch'] = None\n"
        "from zelmor_lab.cli import main\n"
        "codes = [main(['info', sys.argv[1]]), main(['show', sys.argv[1]]), main(['selfplay', sys.argv[2]]),\n"
        "         main(['serve', sys.argv[1], '--model', sys.argv[3], '--port', '0'])]\n"
        "assert 'torch' not in sys.modules or sys.modules['torch'] is None\n"
        "print(codes)\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script, str(run), str(tmp_path / "new"), str(tmp_path / "n.pt")],
        text=True,
        capture_output=True,
        env=dict(os.environ, PYTHONPATH=IMPORT_PATH),
        timeout=60,
    )
    assert result.stdout.splitlines()[-1] == "[0, 0, 2, 2]"
    assert result.stderr.splitlines()[-2:] == [
        "zelmor-lab: error: the inference service needs PyTorch: pip install 'zelmor-lab[torch]'",
        "zelmor-lab: error: the page's network needs PyTorch: pip install 'zelmor-lab[torch]'",
    ]
    assert not (tmp_path / "new").exists()


def test_a_worker_process_starts_without_torch_or_the_record_store():
    # Dozens of workers start per loop generation; each of these imports would cost every one of them.
    script = (
        "import sys, zelmor_lab.selfplay.workers, zelmor_lab.selfplay.channel, zelmor_self_play\n"
        "print(sorted(m for m in ('torch', 'pyarrow') if m in sys.modules))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script],
        text=True,
        capture_output=True,
        env=dict(os.environ, PYTHONPATH=IMPORT_PATH),
        timeout=60,
    )
    assert result.stdout.strip() == "[]", result.stderr


# ---- whole runs with real processes -----------------------------------------------------------------


def start_cli(*args, **kwargs) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=IMPORT_PATH)
    return subprocess.Popen(
        [sys.executable, "-m", "zelmor_lab", *map(str, args)],
        env=env,
        text=True,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        **kwargs,
    )


def cli(*args, timeout=60) -> subprocess.CompletedProcess:
    process = start_cli(*args)
    out, err = process.communicate(timeout=timeout)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def children(pid: int) -> set[int]:
    found = set()
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1]) == pid:
                found.add(int(entry.name))
        except (OSError, IndexError):
            continue
    return found


def alive(pid: int) -> bool:
    try:
        return (Path("/proc") / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_for(condition, timeout: float, what: str):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def check_games_replay(run: Path) -> list:
    """The run's games, each replayed; every policy a distribution over legal tiles holding the tile played,
    or empty (a fast search's)."""
    games = list(read_games(run))
    dim = Run(run).dim
    for game in games:
        replayed = Game(dim)
        assert len(game.history) == len(game.policies)
        for (player, tile), policy in zip(game.history, game.policies):
            assert player == replayed.current_player
            if not policy:
                replayed.apply(tile)
                continue
            assert {t for t, _ in policy} <= set(replayed.legal_tiles()) and tile in {t for t, _ in policy}
            assert sum(p for _, p in policy) == pytest.approx(1, abs=1e-5)
            replayed.apply(tile)
        assert replayed.is_terminal() and replayed.payoff() == game.payoff
    return games


@pytest.mark.parametrize("transport", ["shm", "queue"])
def test_selfplay_on_the_default_network_stores_legal_games_and_appends(tmp_path, transport):
    run = tmp_path / "run"
    result = cli("selfplay", run, "--games", "3", *SMALL_RUN, "--transport", transport)
    assert result.returncode == 0, result.stderr
    games = check_games_replay(run)
    assert result.stdout == f"3 games, {sum(len(g.history) for g in games)} positions stored in {run}\n"
    session = json.loads((run / "run.json").read_text())["sessions"][0]
    assert session["settings"]["sims_per_move"] == 4 and session["settings"]["dim"] == 7
    assert session["settings"]["transport"] == transport
    assert session["settings"]["backend"] == "onnxruntime"
    assert [p.name for p in (run / "onnx").iterdir()] == [f"{session['model']['digest']}-rep1.onnx"]
    assert {g.model for g in games} == {session["model"]["digest"]}
    assert load_checkpoint(run / session["model"]["path"], dim=7).digest == session["model"]["digest"]

    again = cli("selfplay", run, "--games", "2", "--sims", "4", "--workers", "1")  # the run's board side
    assert again.returncode == 0, again.stderr
    assert again.stdout.endswith(f" positions stored in {run}; the run now holds 5 games (3 before this session)\n")
    sessions = json.loads((run / "run.json").read_text())["sessions"]
    assert len(sessions) == 2 and sessions[1]["model"] == sessions[0]["model"]  # the run keeps its network
    assert len(check_games_replay(run)) == 5


def test_fast_searches_are_stored_with_empty_policies_that_every_reader_takes(tmp_path, capsys):
    from zelmor_lab.training.train import TrainingSettings, train

    run = tmp_path / "run"
    flags = ["--full-search-share", "0.5", "--fast-sims", "2"]
    result = cli("selfplay", run, "--games", "2", *SMALL_RUN, "--transport", "queue", *flags)
    assert result.returncode == 0, result.stderr
    settings = json.loads((run / "run.json").read_text())["sessions"][0]["settings"]
    assert (settings["full_search_share"], settings["fast_sims"]) == (0.5, 2)
    entries = [policy for game in check_games_replay(run) for policy in game.policies]
    assert [] in entries and any(entries)

    assert run_cli("check", run, capsys=capsys)[0] == 0
    assert run_cli("export", run, "--out", tmp_path / "games.jsonl", capsys=capsys)[0] == 0
    exported = [json.loads(line)["policies"] for line in (tmp_path / "games.jsonl").read_text().splitlines()]
    assert [] in [entry for policies in exported for entry in policies]
    summary = train(run, tmp_path / "net.pt", 2, settings=TrainingSettings(batch_size=16, log_every=1))
    assert summary.games == 2 and all(math.isfinite(value) for value in summary.last_metrics.values())


EVAL_ROW_WITHOUT_INTERVAL = r"{:>4}  {:>5}  \d\.\d{{3}}\s+\d\.\d{{3}}"


def test_eval_plays_every_seat_in_turn_beside_random_play(tmp_path):
    tiny_checkpoint(tmp_path / "net.pt", 7)
    result = cli(
        "eval",
        "--model",
        tmp_path / "net.pt",
        "--games",
        "8",
        "--dim",
        "7",
        "--sims",
        "3",
        "--vs",
        "heuristic",
        "--seed",
        "5",
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "network with 3 simulations against 3 heuristic players on a 7 x 7 board, 8 games, seats in turn"
    assert lines[1].split() == ["seat", "games", "network", "random", "play", "in", "the", "seat"]
    for seat, line in enumerate(lines[2:6]):
        assert re.fullmatch(EVAL_ROW_WITHOUT_INTERVAL.format(seat, 2), line), line
    assert re.fullmatch(EVAL_ROW_WITHOUT_INTERVAL.format("all", 8), lines[6]), lines[6]
    assert re.fullmatch(r"mean payoff \d\.\d{3} over 8 games \(too few for a 95% interval, which takes 10\)", lines[7])
    assert len(lines) == 8


def test_eval_says_when_the_network_is_untrained_and_plays_a_checkpoint_on_its_own_board(tmp_path):
    tiny_checkpoint(tmp_path / "old.pt", 7)
    result = cli("eval", "--vs", tmp_path / "old.pt", "--games", "4", "--boards")  # its board side from --vs
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "note: no --model given, so this is a fresh, untrained default network\n"
        f"sampling network against 3 sampling copies of {tmp_path / 'old.pt'} on a 7 x 7 "
    )
    assert result.stdout.count("game over, network in seat ") == 4
    assert "repeated an earlier one" not in result.stdout
    assert " over 4 games " in result.stdout.splitlines()[-1]


def own_lines(stderr: str) -> list[str]:
    """The run's own lines of ``stderr``. multiprocessing's resource tracker may warn after the run ends:
    about what a killed service left behind, or, when a run fails at once, about a queue's semaphore that
    was removed but not yet struck from its list."""
    return [line for line in stderr.splitlines() if "resource_tracker" not in line]


def test_games_the_engine_abandons_make_the_run_fail(tmp_path):
    network = PolicyValueNet(5, TINY)
    with torch.no_grad():
        network.value_head.value[-1].bias.fill_(float("nan"))  # every search fails on NaN values
    save_checkpoint(network, tmp_path / "nan.pt")
    result = cli(
        "selfplay",
        tmp_path / "run",
        "--games",
        "2",
        "--dim",
        "5",
        "--sims",
        "4",
        "--workers",
        "2",
        "--model",
        tmp_path / "nan.pt",
    )
    assert result.returncode == 1
    assert result.stdout == f"0 games, 0 positions stored in {tmp_path / 'run'}; 2 abandoned\n"
    assert own_lines(result.stderr)[-1] == (
        "zelmor-lab: error: the engine abandoned 2 games (a search failed, as it does when the network answers NaN)"
    )


@pytest.fixture
def small_disk(tmp_path):
    """A 64 KiB file system at tmp_path / "disk" (a tmpfs; mounting it needs root), and a function that
    gives it more room."""
    disk = tmp_path / "disk"
    disk.mkdir()
    if (
        shutil.which("mount") is None
        or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk], capture_output=True).returncode
        != 0
    ):
        pytest.skip("cannot mount a tmpfs here")
    yield disk, lambda: subprocess.run(["mount", "-o", "remount,size=4m", disk], check=True)
    subprocess.run(["umount", disk], check=True)


def test_a_new_run_on_a_full_disk_fails_leaving_nothing_and_starts_once_there_is_room(small_disk):
    disk, make_room = small_disk
    run = disk / "run"
    full = cli("selfplay", run, "--games", "2", *SMALL_RUN)
    assert full.returncode == 1 and full.stdout == ""
    assert re.fullmatch(
        rf"zelmor-lab: error: cannot write {run}/models/[0-9a-f]{{16}}\.pt: No space left on device",
        full.stderr.splitlines()[-1],
    )
    assert list(disk.iterdir()) == []
    make_room()
    again = cli("selfplay", run, "--games", "2", *SMALL_RUN)
    assert again.returncode == 0, again.stderr
    assert len(check_games_replay(run)) == 2


def selfplay_until_shards(run: Path, shards: int, tmp_path: Path, *flags) -> tuple[subprocess.Popen, set[int]]:
    """A self-play run without a game limit, flushing every game, once ``shards`` shards are written."""
    (tmp_path / "flush.toml").write_text("flush_every = 1\n")
    process = start_cli(
        "selfplay", run, *SMALL_RUN, "--config", tmp_path / "flush.toml", *flags, start_new_session=True
    )
    wait_for(lambda: len(list(run.glob("games/[!.]*.parquet"))) >= shards, 60, f"{shards} shards")
    return process, children(process.pid)


def test_ctrl_c_stops_every_process_keeps_finished_games_and_the_run_goes_on(tmp_path):
    run = tmp_path / "run"
    process, spawned = selfplay_until_shards(run, 2, tmp_path)
    assert len(spawned) >= 3  # the service and two workers
    os.killpg(process.pid, signal.SIGINT)  # as a terminal does: the whole foreground group
    out, err = process.communicate(timeout=30)
    assert process.returncode == 130
    assert err.splitlines()[-1] == "zelmor-lab: interrupted"
    wait_for(lambda: not any(alive(pid) for pid in spawned), 10, "the children to end")
    stored = int(re.match(r"(\d+) games", out).group(1))
    assert len(check_games_replay(run)) == stored >= 2
    assert not list((run / "games").glob(".*"))

    resumed = cli("selfplay", run, "--games", "1", *SMALL_RUN)
    assert resumed.returncode == 0, resumed.stderr
    assert len(check_games_replay(run)) == stored + 1


def test_sigterm_stops_as_ctrl_c_does_however_often_it_comes(tmp_path):
    run = tmp_path / "run"
    process, spawned = selfplay_until_shards(run, 2, tmp_path)
    deadline = time.monotonic() + 60
    while process.poll() is None and time.monotonic() < deadline:  # through every phase of the stop
        process.send_signal(signal.SIGTERM)
        time.sleep(0.05)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 130
    assert err.splitlines()[-1] == "zelmor-lab: interrupted"
    wait_for(lambda: not any(alive(pid) for pid in spawned), 10, "the children to end")
    assert len(check_games_replay(run)) == int(re.match(r"(\d+) games", out).group(1)) >= 2


def writing_to_a_full_pipe(pid: int) -> bool:
    """Whether a thread of ``pid`` waits to write to a pipe that nobody reads (its kernel wait channel)."""
    try:
        return any("pipe_w" in (task / "wchan").read_text() for task in (Path("/proc") / str(pid) / "task").iterdir())
    except OSError:
        return False


@pytest.mark.slow
def test_every_child_ends_when_the_main_process_is_killed_however_it_stood(tmp_path):
    """kill -9 of the main process: once while it reads the workers' games, once after it stopped reading
    them for so long that a worker waits to write into the full pipe."""
    for stopped in (False, True):
        run = tmp_path / f"run-{stopped}"
        process, spawned = selfplay_until_shards(run, 1, tmp_path)
        assert len(spawned) >= 3  # the service and two workers
        if stopped:
            os.kill(process.pid, signal.SIGSTOP)
            wait_for(lambda: any(writing_to_a_full_pipe(pid) for pid in spawned), 60, "a worker to fill the pipe")
        process.kill()
        assert process.wait(timeout=30) == -signal.SIGKILL
        wait_for(lambda: not any(alive(pid) for pid in spawned), 10, "the children to end")
        process.stdout.close()
        process.stderr.close()


@pytest.mark.parametrize("transport, services", [("shm", 1), ("queue", 1), ("shm", 2), ("queue", 2)])
def test_a_killed_inference_service_ends_the_run_with_a_failure(tmp_path, transport, services):
    run = tmp_path / "run"
    process, spawned = selfplay_until_shards(run, 1, tmp_path, "--transport", transport, "--services", str(services))

    def services_loaded() -> list[int]:
        # One service's workers may write the first shard while another is still importing torch.
        return [pid for pid in children(process.pid) if "libtorch" in (Path("/proc") / str(pid) / "maps").read_text()]

    wait_for(lambda: len(services_loaded()) == services, 30, "every service to load its network")
    service = services_loaded()
    os.kill(service[-1], signal.SIGKILL)  # the other service, if any, still answers its workers
    out, err = process.communicate(timeout=30)
    assert process.returncode == 1
    named = "the inference service" if services == 1 else r"inference service \d"
    assert re.fullmatch(f"zelmor-lab: error: {named} died \\(exit code -9\\)", own_lines(err)[-1])
    wait_for(lambda: not any(alive(pid) for pid in spawned), 10, "the children to end")
    assert len(check_games_replay(run)) == int(re.match(r"(\d+) games", out).group(1))


def test_a_script_without_a_main_guard_gets_a_failure_not_a_hang(tmp_path):
    """Its service process runs the script again, which may not start processes while the service starts,
    and dies there: the run must say so, though the service never read the network it was sent."""
    script = tmp_path / "script.py"
    script.write_text(
        "from pathlib import Path\n"
        "from zelmor_lab.cli.selfplay import selfplay_network\n"
        "from zelmor_lab.selfplay.session import play_games\n"
        "from zelmor_lab.selfplay.settings import Settings\n"
        f"run = Path({str(tmp_path / 'run')!r})\n"
        "network, _ = selfplay_network(run, None, 20)\n"
        "assert len(network.data) > 1 << 17  # more than a pipe holds\n"
        "outcome = play_games(run, Settings(workers=1, sims_per_move=2), network, 1, {}, progress=False)\n"
        "print(outcome.failure)\n"
    )
    env = {**os.environ, "PYTHONPATH": IMPORT_PATH}
    done = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=120, env=env)
    # The workers run the script again too; whichever death is seen first is the failure.
    assert re.fullmatch(r"(the inference service|worker 0) died \(exit code 1\)", done.stdout.splitlines()[-1])
