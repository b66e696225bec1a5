"""A run written by version 0.1.0 (data/run-0.1.0: a 7 x 7 loop of one generation, its games, networks
and trainer) still reads: a later version that moves code must not change what a stored file means."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest

from zelmor_lab import read_games
from zelmor_lab.cli import main
from zelmor_lab.runs.replay import RunSummary

torch = pytest.importorskip("torch")

from zelmor_lab.loop.generations import run_loop  # noqa: E402
from zelmor_lab.training.model import load_checkpoint  # noqa: E402
from zelmor_lab.training.train import TrainingFiles, TrainingSettings, resume_training  # noqa: E402

EARLIER_RUN = Path(__file__).with_name("data") / "run-0.1.0"


@pytest.fixture
def run(tmp_path: Path) -> Path:
    return shutil.copytree(EARLIER_RUN, tmp_path / "run")


def test_an_earlier_runs_games_and_networks_read(run, capsys):
    games = list(read_games(run))
    summary = RunSummary(7)
    for index, game in enumerate(games):
        summary.add(game, index)
    assert summary.games == len(games) == 2
    for name in ("gen-0000.pt", "gen-0001.pt", "best.pt"):
        assert load_checkpoint(run / "loop" / name, dim=7).step > 0
    trainer = resume_training(TrainingFiles(run / "loop" / "trainer.pt"), 7, TrainingSettings(batch_size=8))
    assert trainer.step == 8
    assert main(["info", str(run)]) == 0
    assert "games: 2" in capsys.readouterr().out


def test_an_earlier_loop_resumes_where_it_stood(run):
    state = run_loop(run, generations=1)
    assert state.generation == 1
    assert [record.generation for record in state.records] == [0, 1]
