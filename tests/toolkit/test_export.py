"""The command line's export of a run for other tools, and its picture of a board: what they write, and
the bad paths they refuse with one message and nothing written."""

import csv
import errno
import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from import_path import IMPORT_PATH
from played_runs import write_run
from zelmor_lab import Game, pieces
from zelmor_lab.cli import main
from zelmor_lab.runs.store import read_games
from zelmor_lab.web.render import coordinate, timeline

DIM = 7


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    return write_run(tmp_path_factory.mktemp("export") / "run", games=5, dim=DIM, per_shard=3)


def run_cli(*args, capsys):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def test_jsonl_holds_every_game_with_its_record_and_scores(run_dir, tmp_path, capsys):
    code, out, err = run_cli("export", run_dir, "--out", tmp_path / "games.jsonl", capsys=capsys)
    lines = (tmp_path / "games.jsonl").read_text().splitlines()
    stored = list(read_games(run_dir))
    assert code == 0 and out == f"5 games written to {tmp_path / 'games.jsonl'}\n" and len(lines) == 5
    assert len({game.game_id for game in stored}) == 5
    for line, game in zip(lines, stored):
        record = json.loads(line)
        final = Game(DIM)
        for _, tile in game.history:
            final.apply(tile)
        assert record["game_id"] == game.game_id and record["node"] == "local"
        assert [tuple(pair) for pair in record["history"]] == game.history and record["dim"] == DIM
        assert record["scores"] == final.scores() and record["payoff"] == pytest.approx(game.payoff)
        exported = [(tile, p) for entry in record["policies"] for tile, p in entry]
        assert [t for t, _ in exported] == [t for entry in game.policies for t, _ in entry]
        assert np.allclose([p for _, p in exported], [p for entry in game.policies for _, p in entry], atol=1e-6)
        assert [len(entry) for entry in record["policies"]] == [len(entry) for entry in game.policies]
        assert record["finished_at"] == game.finished_at.isoformat()


def test_csv_to_standard_output_has_a_header_and_a_row_per_game(run_dir, capsys):
    code, out, _ = run_cli("export", run_dir, "--format", "csv", capsys=capsys)
    rows = list(csv.DictReader(io.StringIO(out)))
    stored = list(read_games(run_dir))
    assert code == 0 and len(rows) == 5
    assert list(rows[0]) == [
        "game_id",
        "node",
        "model",
        "worker",
        "finished_at",
        "dim",
        "length",
        "payoff_0",
        "payoff_1",
        "payoff_2",
        "payoff_3",
        "score_0",
        "score_1",
        "score_2",
        "score_3",
        "winners",
        "history",
    ]
    for row, game in zip(rows, stored):
        assert row["history"] == " ".join(f"{p}:{t}" for p, t in game.history)
        assert row["winners"] == " ".join(str(p) for p in range(4) if game.payoff[p] > 0)
        assert int(row["length"]) == len(game.history) and row["model"] == "f00d"


@pytest.mark.parametrize(
    "args, message",
    [
        (["export", "{run}", "--format", "xml"], "unknown export format 'xml'; use one of jsonl, csv"),
        (
            ["export", "{run}", "--out", "{tmp}/missing/games.csv"],
            "cannot write the export to {tmp}/missing/games.csv: there is no directory {tmp}/missing",
        ),
        (["export", "{run}", "--out", "{tmp}"], "cannot write the export to {tmp}: it is a directory"),
        (
            ["show", "{run}", "--png", "{tmp}/missing/board.png"],
            "cannot write the picture to {tmp}/missing/board.png: there is no directory {tmp}/missing",
        ),
        (["show", "{run}", "--png", "{tmp}"], "cannot write the picture to {tmp}: it is a directory"),
    ],
)
def test_bad_paths_and_formats_are_one_message_and_exit_2_with_nothing_written(
    run_dir, tmp_path, capsys, args, message
):
    code, out, err = run_cli(*[a.format(run=run_dir, tmp=tmp_path) for a in args], capsys=capsys)
    assert code == 2 and out == "" and list(tmp_path.iterdir()) == []
    assert err == f"zelmor-lab: error: {message.format(tmp=tmp_path)}\n"


def test_an_export_that_finds_no_room_is_a_failed_write_with_nothing_left(run_dir, tmp_path, capsys, monkeypatch):
    def full(fd):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "fsync", full)
    out = tmp_path / "games.jsonl"
    assert run_cli("export", run_dir, "--out", out, capsys=capsys) == (
        1,
        "",
        f"zelmor-lab: error: cannot write the export to {out}: No space left on device\n",
    )
    assert list(tmp_path.iterdir()) == []


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_standard_output_closed_by_its_reader_or_full(run_dir):
    env = dict(os.environ, PYTHONPATH=IMPORT_PATH)
    command = [sys.executable, "-m", "zelmor_lab"]
    closed = subprocess.Popen([*command, "export", run_dir], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    closed.stdout.close()  # as head does once it has read enough
    assert (closed.wait(timeout=60), closed.stderr.read()) == (141, b"")
    with open("/dev/full", "w") as full:
        for args in (["export", run_dir], ["show", run_dir, "--every-move"]):
            ended = subprocess.run(
                [*command, *args], env=env, stdout=full, stderr=subprocess.PIPE, text=True, timeout=60
            )
            assert (ended.returncode, ended.stderr) == (
                1,
                "zelmor-lab: error: cannot write to standard output: No space left on device\n",
            ), args


def test_the_timeline_groups_actions_into_the_pieces_they_lay():
    rng = np.random.default_rng(5)
    game = Game(DIM)
    while not game.is_terminal():
        legal = game.legal_tiles()
        game.apply(int(legal[rng.integers(len(legal))]))
    laid = timeline([t for _, t in game.history], DIM)
    sizes = {p.piece_id: p.size for p in pieces(DIM)}
    assert laid.players == [p for p, _ in game.history] and laid.final.scores() == game.scores()
    assert laid.piece == sorted(laid.piece) and laid.piece[0] == 0
    for number in range(laid.piece[-1] + 1):
        actions = [i for i, n in enumerate(laid.piece) if n == number]
        assert [laid.placed[i] >= 0 for i in actions] == [False] * (len(actions) - 1) + [True]
        assert len(actions) == sizes[laid.placed[actions[-1]]]
    grid = laid.piece_grid()
    assert (grid >= 0).sum() == len(game.history) and grid.shape == (DIM, DIM)
    with pytest.raises(ValueError, match="^action 1: Invalid move - Player 0, Tile 48$"):
        timeline([game.history[0][1], 48], DIM)
    assert [coordinate(t, DIM) for t in (0, 6, 7, 48)] == ["a1", "g1", "a2", "g7"]


def test_show_draws_the_final_board_with_outlines_into_a_png(run_dir, tmp_path, capsys):
    code, out, _ = run_cli("show", run_dir, "--png", tmp_path / "board.png", capsys=capsys)
    assert code == 0 and out.endswith(f"board drawn in {tmp_path / 'board.png'}\n")
    assert (tmp_path / "board.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert [p.name for p in tmp_path.iterdir()] == ["board.png"]  # no temporary file left behind
