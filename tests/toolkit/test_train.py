"""Training on stored positions: the losses fall, the state resumes exactly, the command's files."""

from __future__ import annotations

import dataclasses
import io
import json
import math
import pickle
import random
import shutil
import subprocess

import numpy as np
import pytest
import torch

from zelmor_lab import Game
from zelmor_lab.errors import WriteError
from zelmor_lab.play.payoffs import PayoffSummary
from zelmor_lab.runs.store import RunWriter, session_record
from zelmor_lab.training.dataset import load_window
from zelmor_lab.training.events import write_strength
from zelmor_lab.training.model import Architecture, CheckpointError, PolicyValueNet, load_checkpoint, save_checkpoint
from zelmor_lab.training.train import (
    TrainingError,
    TrainingFiles,
    TrainingSettings,
    new_trainer,
    plot_learning_curve,
    read_metrics,
    resume_training,
    save_training,
    train,
    train_on_window,
)

DIM = 6
TINY = Architecture(blocks=1, channels=8, value_hidden=16, ownership=True)
SETTINGS = TrainingSettings(batch_size=32, learning_rate=3e-3, window=10, log_every=10)


def greedy_game(choose) -> tuple[list, list, list]:
    """A finished game where choose(legal) picks each tile; its policy targets put 0.7 on the chosen
    tile and 0.3 on the legal tile next to it in order."""
    game, policies = Game(DIM), []
    while not game.is_terminal():
        legal = game.legal_tiles()
        tile = choose(legal)
        other = legal[(legal.index(tile) + 1) % len(legal)]
        policies.append([(tile, 0.7), (other, 0.3)] if other != tile else [(tile, 1.0)])
        game.apply(tile)
    return game.history, policies, game.payoff()


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    path = tmp_path_factory.mktemp("train") / "run"
    with RunWriter(path, DIM, session_record("test", {}, {}), 10) as writer:
        for choose in (lambda legal: legal[0], lambda legal: legal[-1], lambda legal: legal[len(legal) // 2]):
            writer.add(0, *greedy_game(choose), "hand-made", 0.0)
        writer.flush()
    return path


@pytest.fixture(scope="module")
def window(run_dir):
    return load_window(run_dir, 10)


def torch_bytes(payload) -> bytes:
    buffer = io.BytesIO()
    torch.save(payload, buffer)
    return buffer.getvalue()


def tiny_trainer(settings=SETTINGS):
    torch.manual_seed(0)
    return new_trainer(DIM, settings, architecture=TINY)


def test_training_lowers_every_loss(tmp_path, window):
    trainer = tiny_trainer()
    files = TrainingFiles(tmp_path / "model.pt")
    train_on_window(trainer, window, 150, files, SETTINGS)
    lines = read_metrics(files.metrics)
    assert [line["step"] for line in lines] == list(range(10, 151, 10))
    first, last = lines[0], lines[-1]
    assert last["policy_loss"] < 0.8 * first["policy_loss"]
    assert last["value_loss"] < 0.8 * first["value_loss"]
    assert last["policy_top1"] > first["policy_top1"]
    assert last["value_error"] < first["value_error"]
    assert last["squares_loss"] < 0.5 * first["squares_loss"]
    assert last["squares_error"] < first["squares_error"]
    assert last["ownership_loss"] < 0.7 * first["ownership_loss"]
    assert last["ownership_error"] < first["ownership_error"]
    assert (first["games"], first["positions"]) == (3, window.positions)
    assert files.curve.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_lambda_zero_trains_each_value_on_the_networks_value_at_the_next_turn(window):
    """The network judges turn starts, and its values enter in each position's own frame: every action of a
    turn bootstraps from the next turn's start as its player sees it; a game's last turn keeps the payoff."""
    trainer = tiny_trainer(dataclasses.replace(SETTINGS, value_lambda=0.0))
    judged, targets = trainer.values(window), trainer.value_targets(window).value
    starts = window.turn_starts()
    after = np.append(starts, window.positions)[np.searchsorted(starts, np.arange(window.positions), side="right")]
    inside = (after < window.positions) & (
        window.position_game[np.minimum(after, window.positions - 1)] == window.position_game
    )
    assert inside.any() and not inside.all()
    assert np.array_equal(targets[~inside], window.value[~inside])
    t, s = np.flatnonzero(inside), after[inside]
    seen_from_t = (window.position_player[t, None] + np.arange(4) - window.position_player[s, None]) % 4
    assert np.allclose(targets[t], judged[s[:, None], seen_from_t], atol=1e-6)
    assert np.allclose(targets.sum(1), 1, atol=1e-5)
    assert tiny_trainer().value_targets(window) is window


def test_positions_without_policy_target_train_the_value_only(window):
    """The policy loss and top-1 average over the positions with a target; the value loss over all. A batch
    without any target still trains, on finite losses."""
    trainer = tiny_trainer()
    batch = window.batch(np.arange(window.positions))
    fast = np.arange(window.positions) % 3 == 0
    mixed = dataclasses.replace(batch, policy=np.where(fast[:, None], 0.0, batch.policy).astype(np.float32))
    targeted = trainer.measure(window.batch(np.flatnonzero(~fast)))
    measured = trainer.measure(mixed)
    assert measured["policy_loss"] == pytest.approx(targeted["policy_loss"], rel=1e-5)
    assert measured["policy_top1"] == pytest.approx(targeted["policy_top1"], rel=1e-5)
    assert measured["value_loss"] == pytest.approx(trainer.measure(batch)["value_loss"], rel=1e-5)

    none = dataclasses.replace(batch, policy=np.zeros_like(batch.policy))
    metrics = trainer.train_step(none)
    assert metrics["policy_loss"] == metrics["policy_top1"] == 0.0
    assert all(math.isfinite(value) for value in metrics.values())
    assert all(torch.isfinite(p).all() for p in trainer.model.parameters())


class TestResume:
    def test_resumed_training_continues_exactly(self, tmp_path, window):
        """The saved state holds the step, the weights and the optimizer's moments: the resumed trainer
        and the original take the same next step."""
        trainer = tiny_trainer()
        files = TrainingFiles(tmp_path / "model.pt")
        train_on_window(trainer, window, 20, files, SETTINGS)
        resumed = resume_training(files, DIM, SETTINGS)
        assert resumed.step == trainer.step == 20
        original_state, resumed_state = trainer.optimizer.state_dict(), resumed.optimizer.state_dict()
        assert original_state["param_groups"] == resumed_state["param_groups"]
        for k, moments in original_state["state"].items():
            for name, tensor in moments.items():
                assert torch.equal(tensor, resumed_state["state"][k][name]), (k, name)

        batch = window.sample(np.random.default_rng(1), 16)
        assert trainer.train_step(batch) == resumed.train_step(batch)
        for a, b in zip(trainer.model.state_dict().values(), resumed.model.state_dict().values()):
            assert torch.equal(a, b)

    def test_output_checkpoint_is_the_saved_network(self, tmp_path, window):
        trainer = tiny_trainer()
        files = TrainingFiles(tmp_path / "model.pt")
        train_on_window(trainer, window, 5, files, SETTINGS)
        checkpoint = load_checkpoint(files.out, dim=DIM, architecture=TINY)
        assert checkpoint.step == 5
        for a, b in zip(checkpoint.model.state_dict().values(), trainer.model.state_dict().values()):
            assert torch.equal(a, b)

    def test_ctrl_c_saves_the_steps_taken(self, tmp_path, window):
        class InterruptedWindow:
            games, positions, draws = window.games, window.positions, 0

            def sample(self, rng, size):
                self.draws += 1
                if self.draws > 7:
                    raise KeyboardInterrupt
                return window.sample(rng, size)

        files = TrainingFiles(tmp_path / "model.pt")
        with pytest.raises(KeyboardInterrupt):
            train_on_window(tiny_trainer(), InterruptedWindow(), 100, files, SETTINGS)
        assert resume_training(files, DIM, SETTINGS).step == 7
        assert read_metrics(files.metrics)[-1]["step"] == 7

    def test_a_metrics_line_that_cannot_be_written_does_not_lose_the_steps(self, tmp_path, window):
        files = TrainingFiles(tmp_path / "model.pt")
        files.metrics.mkdir()  # in the way of the metrics file
        with pytest.raises(WriteError) as error:
            train_on_window(tiny_trainer(), window, 3, files, SETTINGS)
        assert str(error.value) == f"cannot write {files.metrics}: Is a directory"
        assert resume_training(files, DIM, SETTINGS).step == 3

    def test_a_learning_curve_that_cannot_be_written_is_named(self, tmp_path):
        with pytest.raises(WriteError) as error:
            plot_learning_curve(tmp_path / "absent.jsonl", tmp_path / "absent" / "curve.png")
        assert str(error.value) == f"cannot write {tmp_path / 'absent' / 'curve.png'}: No such file or directory"
        assert list(tmp_path.iterdir()) == []

    def test_state_for_another_board_is_refused(self, tmp_path, window):
        files = TrainingFiles(tmp_path / "model.pt")
        save_training(tiny_trainer(), files)
        with pytest.raises(CheckpointError, match=r"is for a 6 x 6 board, not 8 x 8$"):
            resume_training(files, 8, SETTINGS)

    def test_damaged_state_is_refused(self, tmp_path):
        files = TrainingFiles(tmp_path / "model.pt")
        save_training(tiny_trainer(), files)
        files.state.write_bytes(files.state.read_bytes()[:100])
        with pytest.raises(TrainingError, match=r"^training state .*model\.pt\.state is unreadable: "):
            resume_training(files, DIM, SETTINGS)

    @pytest.mark.parametrize(
        "content, message",
        [
            (random.Random(0).randbytes(3000), "{state} is not a zelmor-lab training state"),
            (pickle.dumps({"format": "zelmor-lab training state 1"}), "{state} is not a zelmor-lab training state"),
            (
                torch_bytes({"format": "zelmor-lab training state 1", "step": 3}),
                "training state {state} is damaged: it needs the checkpoint's bytes and the step",
            ),
            (
                torch_bytes({"format": "zelmor-lab training state 1", "checkpoint": b"x", "step": "3"}),
                "training state {state} is damaged: it needs the checkpoint's bytes and the step",
            ),
        ],
        ids=["random bytes", "plain pickle", "no checkpoint", "step as text"],
    )
    def test_a_foreign_state_is_refused_in_one_line(self, tmp_path, content, message):
        files = TrainingFiles(tmp_path / "model.pt")
        files.state.write_bytes(content)
        with pytest.raises(TrainingError) as error:
            resume_training(files, DIM, SETTINGS)
        assert str(error.value) == message.format(state=files.state)


class TestTrainCommand:
    def test_train_starts_from_a_checkpoint_and_resumes_its_own_state(self, tmp_path, run_dir):
        torch.manual_seed(0)
        start = save_checkpoint(PolicyValueNet(DIM, TINY), tmp_path / "start.pt", step=40)
        out = tmp_path / "trained.pt"
        first = train(run_dir, out, 12, model=start, settings=SETTINGS)
        assert (first.start_step, first.step, first.games) == (40, 52, 3)
        assert load_checkpoint(out, dim=DIM).step == 52

        second = train(run_dir, out, 8, settings=SETTINGS)
        assert (second.start_step, second.step) == (52, 60)
        steps = [json.loads(line)["step"] for line in TrainingFiles(out).metrics.read_text().splitlines()]
        assert steps == [50, 52, 60]

        with pytest.raises(
            TrainingError,
            match=r"trained\.pt already has a training state to resume; leave out "
            r"--model or choose another --out$",
        ):
            train(run_dir, out, 8, model=start, settings=SETTINGS)

    def test_default_output_lives_in_the_run(self, run_dir):
        summary = train(run_dir, None, 1, settings=TrainingSettings(batch_size=4, window=1))
        assert summary.out == run_dir / "training" / "model.pt"
        assert summary.games == 1
        assert load_checkpoint(summary.out, dim=DIM, architecture=Architecture()).step == 1

    def test_an_output_that_cannot_be_written_is_refused_before_any_step(self, tmp_path, run_dir):
        (tmp_path / "file").write_text("x")
        with pytest.raises(TrainingError) as error:
            train(run_dir, tmp_path / "file" / "model.pt", 5, settings=SETTINGS)
        assert str(error.value) == f"cannot write the training's files in {tmp_path / 'file'}: File exists"
        (tmp_path / "ro").mkdir()
        if (
            shutil.which("mount") is None
            or subprocess.run(
                ["mount", "-t", "tmpfs", "-o", "ro,size=64k", "tmpfs", tmp_path / "ro"], capture_output=True
            ).returncode
        ):
            pytest.skip("cannot mount a read-only tmpfs here")
        try:
            with pytest.raises(TrainingError) as error:
                train(run_dir, tmp_path / "ro" / "model.pt", 5, settings=SETTINGS)
            assert str(error.value) == f"cannot write the training's files in {tmp_path / 'ro'}: Read-only file system"
        finally:
            subprocess.run(["umount", tmp_path / "ro"], check=True)

    def test_bad_values_are_refused(self, run_dir):
        with pytest.raises(TrainingError, match=r"^--steps must be at least 1, got 0$"):
            train(run_dir, None, 0)
        wrong_device = r"^device must be \"cpu\" or a CUDA device such as \"cuda:0\", got 'tpu'$"
        with pytest.raises(TrainingError, match=wrong_device):
            train(run_dir, None, 1, device="tpu")
        if not torch.cuda.is_available():
            with pytest.raises(TrainingError, match=r"^device is 'cuda:0', but CUDA is not available$"):
                train(run_dir, None, 1, device="cuda:0")
        with pytest.raises(TrainingError, match=r"^training setting batch_size must be greater than 0, got 0$"):
            TrainingSettings(batch_size=0)
        with pytest.raises(TrainingError, match=r"^training setting window must be an integer, got 2.5$"):
            TrainingSettings(window=2.5)
        with pytest.raises(TrainingError, match=r"^training setting value_lambda must be between 0 and 1, got 1.5$"):
            TrainingSettings(value_lambda=1.5)


def test_train_command_line(tmp_path, run_dir, capsys):
    from zelmor_lab.cli import build_parser

    parser = build_parser()
    torch.manual_seed(0)
    start = save_checkpoint(PolicyValueNet(DIM, TINY), tmp_path / "start.pt")
    args = parser.parse_args(
        [
            "train",
            str(run_dir),
            "--model",
            str(start),
            "--steps",
            "3",
            "--out",
            str(tmp_path / "out.pt"),
            "--window",
            "2",
        ]
    )
    assert args.command(args) == 0
    printed = capsys.readouterr().out.splitlines()
    assert printed[0].startswith("steps 0 -> 3 on ") and " positions of the latest 2 games; policy loss " in printed[0]
    assert printed[1] == f"network: {tmp_path / 'out.pt'}"

    with pytest.raises(SystemExit):
        parser.parse_args(["train", str(run_dir), "--steps", "0"])
    assert "argument --steps: must be at least 1, got 0" in capsys.readouterr().err


def test_a_seed_gives_the_same_network_and_another_seed_another(tmp_path, run_dir):
    from zelmor_lab.cli import main

    def trained(name: str, seed: str) -> dict:
        out = tmp_path / name
        assert main(["train", str(run_dir), "--steps", "2", "--out", str(out), "--seed", seed, "--threads", "1"]) == 0
        return load_checkpoint(out, dim=DIM).model.state_dict()

    threads = torch.get_num_threads()
    try:
        first, again, other = trained("a.pt", "7"), trained("b.pt", "7"), trained("c.pt", "8")
    finally:
        torch.set_num_threads(threads)
    assert all(torch.equal(first[name], again[name]) for name in first)
    assert not all(torch.equal(first[name], other[name]) for name in first)


def test_the_metrics_and_a_generations_strength_reach_tensorboard(tmp_path, window):
    accumulator = pytest.importorskip(
        "tensorboard.backend.event_processing.event_accumulator", reason="the tensorboard extra (CI installs it)"
    )
    files = TrainingFiles(tmp_path / "model.pt")
    train_on_window(tiny_trainer(), window, 20, files, SETTINGS)
    events = accumulator.EventAccumulator(str(files.events))
    events.Reload()
    lines = read_metrics(files.metrics)
    for name in ("policy_loss", "value_loss", "policy_top1"):
        scalars = events.Scalars(f"train/{name}")
        assert [s.step for s in scalars] == [line["step"] for line in lines] == [10, 20]
        assert [s.value for s in scalars] == pytest.approx([line[name] for line in lines], rel=1e-6)

    write_strength(
        tmp_path / "loop",
        3,
        {"vs_random": PayoffSummary(40, 0.5, 0.1), "vs_previous": None, "few": PayoffSummary(1, 1.0, math.nan)},
    )
    events = accumulator.EventAccumulator(str(tmp_path / "loop"))
    events.Reload()
    values = {tag: [(s.step, round(s.value, 6)) for s in events.Scalars(tag)] for tag in events.Tags()["scalars"]}
    assert values == {
        "strength/vs_random/mean": [(3, 0.5)],
        "strength/vs_random/low95": [(3, 0.4)],
        "strength/vs_random/high95": [(3, 0.6)],
        "strength/few/mean": [(3, 1.0)],
    }
