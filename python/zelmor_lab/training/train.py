"""Training the policy/value network on the positions of a run.

Losses, per position, averaged over a batch:
  policy: cross-entropy of the policy head's softmax over the legal tiles (the engine ignores the
          others) against the search's visit distribution, averaged over the positions that have one
          (a fast search's position has none; a batch without any has a policy loss of 0);
  value:  cross-entropy of the value head's softmax against the payoff shares, both relative to the
          player to act (with the "squares" value head it is measured and adds to ``loss``, but no
          weight learns from it: the value is read off the predicted squares);
  squares (networks with the "pooled" or "squares" value head): squared error of the predicted final
          squares shares, summed over the four players, times ``squares_weight``;
  ownership (networks with the ownership head): cross-entropy of each cell's predicted final owner,
          averaged over the cells, times ``ownership_weight``.
Weight decay is the optimizer's (AdamW). Reported with them: policy_top1, the share of positions with a
policy target whose most probable legal tile is the most visited one (what greedy play would take; 0
for a batch without targets), and value_error, the total variation distance between the predicted and
the actual payoff shares (0 exact, 1 all wrong), and squares_error, the mean absolute error of the
predicted final squares, in squares, and ownership_error, the share of cells whose most probable final
owner is not the actual one.

Files of a training, all derived from the output checkpoint OUT (see TrainingFiles):
  OUT                  the network in the checkpoint format every command reads
  OUT.state            OUT's bytes together with the optimizer state and the step: what a resumed
                       training starts from; written after OUT, so it never names a network that is
                       not on disk
  OUT.metrics.jsonl    one line of averaged metrics every ``log_every`` steps
  OUT.curve.png        the learning curve drawn from those lines
  OUT.tensorboard/     the same lines as TensorBoard event files, with the tensorboard extra installed
"""

from __future__ import annotations

import io
import json
import math
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import torch

from ..constants import HAND_SQUARES
from ..errors import InputError, WriteError
from ..runs.atomic import write_atomically
from ..runs.store import Run
from ..validation import check_kinds, load_json, require
from .dataset import Batch, Window, lambda_targets, load_window
from .events import add_scalars, event_writer
from .model import (
    Architecture,
    CheckpointError,
    PolicyValueNet,
    decode_checkpoint,
    encode_checkpoint,
    load_checkpoint,
    load_plain,
)

STATE_FORMAT = "zelmor-lab training state 1"
_ILLEGAL_LOGIT = -1e9  # far enough below any logit that an illegal tile's probability is exactly 0


class TrainingError(InputError):
    """A training that cannot start or resume as asked."""


@dataclass(frozen=True)
class TrainingSettings:
    """batch_size: positions per step; learning_rate, weight_decay: AdamW's; window: how many of the run's
    latest games the positions come from; log_every: steps per metrics line; save_every_s: seconds
    between saves of the state during a long training (it is saved at the end in any case);
    squares_weight: weight of the final-squares term (shares are small numbers: an error of 9 squares
    per player costs 0.4 at the default); ownership_weight: weight of the ownership term (a cell's loss is
    log 5 = 1.6 for a network that knows nothing); value_lambda: 1 trains the value on the game's payoff
    alone; below 1, on the lambda-return of the network's own values of the game's later turn starts, read
    once per training session when its window is built (see dataset.lambda_targets)."""

    batch_size: int = 256
    learning_rate: float = 2e-3
    weight_decay: float = 1e-4
    window: int = 400
    log_every: int = 25
    save_every_s: float = 120.0
    squares_weight: float = 10.0
    ownership_weight: float = 1.0
    value_lambda: float = 1.0

    def __post_init__(self):
        check_kinds(self, "training setting", TrainingError)
        for name in ("batch_size", "learning_rate", "window", "log_every", "save_every_s"):
            require(self, "training setting", TrainingError, getattr(self, name) > 0, name, "must be greater than 0")
        for name in ("weight_decay", "squares_weight", "ownership_weight"):
            require(self, "training setting", TrainingError, getattr(self, name) >= 0, name, "must be at least 0")
        lam = self.value_lambda
        require(self, "training setting", TrainingError, 0 <= lam <= 1, "value_lambda", "must be between 0 and 1")


@dataclass(frozen=True)
class TrainingFiles:
    """Where a training keeps its files; see the module doc string."""

    out: Path

    @property
    def state(self) -> Path:
        return self.out.with_name(self.out.name + ".state")

    @property
    def metrics(self) -> Path:
        return self.out.with_name(self.out.name + ".metrics.jsonl")

    @property
    def curve(self) -> Path:
        return self.out.with_name(self.out.name + ".curve.png")

    @property
    def events(self) -> Path:
        return self.out.with_name(self.out.name + ".tensorboard")


def check_device(device: str) -> None:
    """Refuse a device that training cannot use here."""
    if device == "cpu":
        return
    if device.split(":")[0] != "cuda":
        raise TrainingError(f'device must be "cpu" or a CUDA device such as "cuda:0", got {device!r}')
    if not torch.cuda.is_available():
        raise TrainingError(f"device is {device!r}, but CUDA is not available")


class Trainer:
    """A network in training with its optimizer, on ``device``; ``step`` counts the optimizer steps
    taken so far, over every session that trained this network."""

    def __init__(self, model: PolicyValueNet, settings: TrainingSettings, step: int = 0, device: str = "cpu"):
        self.device = torch.device(device)
        self.model = model.to(self.device)
        if self.device.type == "cpu":
            # A convolution of few channels trains about a fifth faster with the channels last in memory
            # (bench/train_bench.py); a checkpoint stores its weights in the usual order all the same.
            self.model.to(memory_format=torch.channels_last)  # type: ignore[call-overload]  # stubs lack it
        self.step = step
        self.settings = settings
        self.optimizer = torch.optim.AdamW(
            model.parameters(), lr=settings.learning_rate, weight_decay=settings.weight_decay
        )

    def train_step(self, batch: Batch) -> dict[str, float]:
        """One optimizer step on ``batch``; returns the batch's metrics (see the module doc string)."""
        self.model.train()
        loss, metrics = _losses(self.model, batch, self.settings, self.device)
        self.optimizer.zero_grad(set_to_none=True)
        loss.backward()
        self.optimizer.step()
        self.step += 1
        return metrics

    def measure(self, batch: Batch) -> dict[str, float]:
        """The metrics of the network as it plays (evaluation mode) on ``batch``, without learning."""
        self.model.eval()
        with torch.no_grad():
            return _losses(self.model, batch, self.settings, self.device)[1]

    def values(self, window: Window, positions: np.ndarray | None = None, batch_size: int = 1024) -> np.ndarray:
        """The network's payoff shares (softmax of its value logits) at ``positions`` of ``window`` (int (J,);
        all of them when None): float32 (J, 4), relative to the player to act."""
        if positions is None:
            positions = np.arange(window.positions)
        self.model.eval()
        shares = []
        with torch.no_grad():
            for start in range(0, len(positions), batch_size):
                planes = torch.from_numpy(window.inputs(positions[start : start + batch_size]))
                shares.append(torch.softmax(self.model(planes.to(self.device))[1], dim=1).float().cpu().numpy())
        return np.concatenate(shares) if shares else np.zeros((0, 4), dtype=np.float32)

    def value_targets(self, window: Window) -> Window:
        """``window`` with the value targets its settings ask for: the payoffs, or their lambda-return. The
        network judges turn starts only: a piece's squares change a position's value little, and judging
        every action costs more than a 20 x 20 generation's training."""
        if self.settings.value_lambda == 1:
            return window
        starts = window.turn_starts()
        judged = self.values(window, starts)
        return window.with_value(lambda_targets(window, judged, self.settings.value_lambda, starts))

    def checkpoint_bytes(self) -> bytes:
        """The network as a checkpoint file's bytes (evaluation mode, current step)."""
        self.model.eval()
        return encode_checkpoint(self.model, self.step)


def _losses(
    model: PolicyValueNet, batch: Batch, settings: TrainingSettings, device: torch.device
) -> tuple[torch.Tensor, dict[str, float]]:
    """The training loss of ``batch`` and its metrics (see the module doc string)."""
    planes = torch.from_numpy(batch.planes).to(device)
    policy_target = torch.from_numpy(batch.policy).to(device)
    value_target = torch.from_numpy(batch.value).to(device)
    policy_logits, value_logits, squares, ownership = model.heads(planes)
    legal = planes[:, 4].flatten(1) > 0
    policy_log_p = torch.log_softmax(policy_logits.masked_fill(~legal, _ILLEGAL_LOGIT), dim=1)
    targeted = policy_target.sum(1) > 0  # a fast search's position has an all-zero row
    targets = targeted.sum().clamp(min=1)
    policy_loss = -(policy_target * policy_log_p).sum() / targets
    value_log_p = torch.log_softmax(value_logits, dim=1)
    value_loss = -(value_target * value_log_p).sum(1).mean()
    loss = policy_loss + value_loss
    with torch.no_grad():
        top1 = ((policy_log_p.argmax(1) == policy_target.argmax(1)) & targeted).sum() / targets
        value_error = 0.5 * (value_log_p.exp() - value_target).abs().sum(1).mean()
    metrics = {
        "policy_loss": policy_loss.item(),
        "value_loss": value_loss.item(),
        "policy_top1": top1.item(),
        "value_error": value_error.item(),
    }
    if squares is not None:
        squares_error = squares - torch.from_numpy(batch.squares).to(device)
        squares_loss = settings.squares_weight * squares_error.square().sum(1).mean()
        loss = loss + squares_loss
        metrics["squares_loss"] = squares_loss.item()
        metrics["squares_error"] = squares_error.detach().abs().mean().item() * HAND_SQUARES
    if ownership is not None:
        owner_target = torch.from_numpy(batch.ownership).to(device)
        ownership_loss = settings.ownership_weight * torch.nn.functional.cross_entropy(ownership, owner_target)
        loss = loss + ownership_loss
        metrics["ownership_loss"] = ownership_loss.item()
        metrics["ownership_error"] = (ownership.detach().argmax(1) != owner_target).float().mean().item()
    return loss, {"loss": loss.item(), **metrics}


def new_trainer(
    dim: int,
    settings: TrainingSettings,
    model_path: str | Path | None = None,
    architecture: Architecture = Architecture(),
    device: str = "cpu",
) -> Trainer:
    """A trainer for a fresh network of ``architecture``, or for the network of the checkpoint at
    ``model_path`` (which must be for a ``dim`` board), continuing that checkpoint's step count."""
    if model_path is None:
        return Trainer(PolicyValueNet(dim, architecture), settings, device=device)
    checkpoint = load_checkpoint(model_path, dim=dim)
    return Trainer(checkpoint.model, settings, checkpoint.step, device)


def save_training(trainer: Trainer, files: TrainingFiles) -> bytes:
    """Write the network to ``files.out`` and then the training state; returns the checkpoint bytes."""
    data = trainer.checkpoint_bytes()
    files.out.parent.mkdir(parents=True, exist_ok=True)
    write_atomically(files.out, data)
    state = {
        "format": STATE_FORMAT,
        "checkpoint": data,
        "step": trainer.step,
        "optimizer": trainer.optimizer.state_dict(),
    }
    buffer = io.BytesIO()
    torch.save(state, buffer)
    write_atomically(files.state, buffer.getvalue())
    return data


def resume_training(files: TrainingFiles, dim: int, settings: TrainingSettings, device: str = "cpu") -> Trainer:
    """The trainer saved in ``files.state``: its network, step and optimizer state (the learning rate
    and weight decay stored with the optimizer included), on ``device``. The network must be for a
    ``dim`` board."""
    try:
        state = load_plain(files.state.read_bytes(), "training state", str(files.state))
    except FileNotFoundError:
        raise TrainingError(f"training state {files.state} does not exist") from None
    except OSError as error:
        raise TrainingError(f"training state {files.state} is unreadable: {error.strerror}") from None
    except CheckpointError as error:
        raise TrainingError(str(error)) from None
    if not isinstance(state, dict) or state.get("format") != STATE_FORMAT:
        raise TrainingError(f"{files.state} is not a zelmor-lab training state")
    step = state.get("step")
    if not isinstance(state.get("checkpoint"), bytes) or isinstance(step, bool) or not isinstance(step, int):
        raise TrainingError(f"training state {files.state} is damaged: it needs the checkpoint's bytes and the step")
    checkpoint = decode_checkpoint(state["checkpoint"], str(files.state), dim=dim)
    trainer = Trainer(checkpoint.model, settings, step, device)
    try:
        trainer.optimizer.load_state_dict(state["optimizer"])
    except (ValueError, KeyError, RuntimeError) as error:
        raise TrainingError(
            f"training state {files.state} has an optimizer state that does not fit its network: {error}"
        ) from None
    return trainer


class MetricsLog:
    """Averages step metrics over ``every`` steps and appends one JSON line per average to ``path``.

    Each line: step, time (seconds since the epoch), the averaged metrics, and ``extra`` (for example
    the window's games and positions, or the generation)."""

    def __init__(self, path: Path, every: int, extra: dict[str, Any], events: Any = None):
        """events: a SummaryWriter that gets each line's figures too, or None."""
        self.path = path
        self.every = every
        self.extra = extra
        self.events = events
        self._sums: dict[str, float] = {}
        self._count = 0

    def add(self, step: int, metrics: dict[str, float]) -> dict[str, Any] | None:
        """Record one step; returns the line written when this step completed an average."""
        for name, value in metrics.items():
            self._sums[name] = self._sums.get(name, 0.0) + value
        self._count += 1
        if self._count < self.every:
            return None
        return self.flush(step)

    def flush(self, step: int) -> dict[str, Any] | None:
        """Write the average of the steps added since the last line, if any."""
        if self._count == 0:
            return None
        line = {
            "step": step,
            "time": round(time.time(), 3),
            **{k: round(v / self._count, 6) for k, v in self._sums.items()},
            **self.extra,
        }
        try:
            with open(self.path, "a") as f:
                f.write(json.dumps(line) + "\n")
        except OSError as error:
            raise WriteError(f"cannot write {self.path}: {error.strerror}") from None
        add_scalars(self.events, "train", step, {k: v for k, v in line.items() if k not in ("step", "time")})
        self._sums.clear()
        self._count = 0
        return line


def read_metrics(path: Path) -> list[dict[str, Any]]:
    """The lines of a metrics file; a last line cut short by a crash is left out."""
    if not path.exists():
        return []
    lines = []
    for text in path.read_text().splitlines():
        try:
            lines.append(load_json(text))
        except ValueError:
            continue
    return lines


def plot_learning_curve(metrics_path: Path, png_path: Path, title: str | None = None) -> None:
    """Draw the losses (with the held-out ones a line has) and the two agreement measures of a metrics file
    against the step, under ``title`` and the steps drawn."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    lines = read_metrics(metrics_path)
    steps = [line["step"] for line in lines]
    figure, (losses, agreement) = plt.subplots(1, 2, figsize=(11, 4))
    for name in ("policy_loss", "value_loss", "squares_loss", "ownership_loss"):
        if lines and name in lines[-1]:
            losses.plot(steps, [line.get(name) for line in lines], label=name.replace("_", " "))
    for name in ("heldout_policy_loss", "heldout_value_loss"):
        if any(name in line for line in lines):
            held = [(line["step"], line[name]) for line in lines if name in line]
            label = name.replace("heldout_", "held-out ").replace("_", " ") + " (new games, before training)"
            losses.plot(*zip(*held), linestyle="--", marker=".", label=label)
    losses.set_xlabel("step")
    losses.set_ylabel("loss")
    if losses.lines:  # a metrics file with no line yet draws empty axes
        losses.legend()
    agreement.plot(steps, [line["policy_top1"] for line in lines], label="policy top-1 agreement")
    agreement.plot(steps, [line["value_error"] for line in lines], label="value error (total variation)")
    agreement.set_xlabel("step")
    agreement.set_ylim(0, 1)
    agreement.legend()
    if steps:
        title = f"{title}, " if title else ""
        figure.suptitle(f"{title}network {png_path.name.removesuffix('.curve.png')}, steps {steps[0]} to {steps[-1]}")
    figure.tight_layout()
    image = io.BytesIO()  # drawn whole, then written as every file of a run is (WriteError on failure)
    figure.savefig(image, format="png", dpi=100)
    plt.close(figure)
    write_atomically(png_path, image.getvalue())


def train_on_window(
    trainer: Trainer,
    window: Window,
    until_step: int,
    files: TrainingFiles,
    settings: TrainingSettings,
    extra: dict[str, Any] | None = None,
    progress: bool = False,
    deadline: float = math.inf,
    rng: np.random.Generator | None = None,
    label: str | None = None,
    title: str | None = None,
) -> None:
    """Train until ``trainer.step`` reaches ``until_step`` or time.monotonic() passes ``deadline``, drawing
    batches uniformly from ``window`` with ``rng`` (default: unseeded). label: the progress bar's; title:
    the learning curve's, before the network and the steps.

    Appends metrics to ``files.metrics``, saves the training every ``settings.save_every_s`` seconds and
    at the end, and redraws the learning curve at the end. On Ctrl-C it saves what it has and re-raises,
    so a resumed training loses no step."""
    from ..progress import progress_bar

    files.out.parent.mkdir(parents=True, exist_ok=True)
    events = event_writer(files.events)
    log = MetricsLog(
        files.metrics,
        settings.log_every,
        {"games": window.games, "positions": window.positions, **(extra or {})},
        events,
    )
    rng = rng if rng is not None else np.random.default_rng()
    last_save = time.monotonic()
    bar = progress_bar(
        total=max(0, until_step - trainer.step), unit="step", desc=label, disable=not progress, leave=False
    )
    try:
        while trainer.step < until_step and time.monotonic() < deadline:
            metrics = trainer.train_step(window.sample(rng, settings.batch_size))
            line = log.add(trainer.step, metrics)
            bar.update(1)
            if line is not None:
                bar.set_postfix(
                    policy=f"{line['policy_loss']:.3f}",
                    value=f"{line['value_loss']:.3f}",
                    top1=f"{line['policy_top1']:.2f}",
                )
            if time.monotonic() - last_save >= settings.save_every_s:
                save_training(trainer, files)
                last_save = time.monotonic()
    finally:
        bar.close()
        try:
            log.flush(trainer.step)
        finally:
            if events is not None:
                events.close()
            save_training(trainer, files)  # the steps taken outweigh a lost metrics line
    plot_learning_curve(files.metrics, files.curve, title)


def _check_writable(files: TrainingFiles) -> None:
    """TrainingError unless the training's files can be written, found before the first step is taken
    rather than at the first save. Creates their directory."""
    try:
        files.out.parent.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=files.out.parent):
            pass
    except OSError as error:
        raise TrainingError(f"cannot write the training's files in {files.out.parent}: {error.strerror}") from None


@dataclass(frozen=True)
class TrainingSummary:
    out: Path
    start_step: int
    step: int
    games: int
    positions: int
    last_metrics: dict[str, Any] | None


def train(
    run: str | Path,
    out: str | Path | None,
    steps: int,
    model: str | Path | None = None,
    settings: TrainingSettings = TrainingSettings(),
    progress: bool = False,
    device: str = "cpu",
    seed: int | None = None,
) -> TrainingSummary:
    """``zelmor-lab train``: ``steps`` more optimizer steps on the latest ``settings.window`` games of
    ``run``.

    out: the output checkpoint (default RUN/training/model.pt). When it has a training state, the training
    resumes from it (``model`` must then be left out); otherwise it starts from ``model``'s checkpoint,
    or from a fresh network of the default architecture. device: where the network trains. seed: of a fresh
    network's first weights and of the batches drawn (None: fresh); the same seed, data, threads and device
    give the same network."""
    if steps < 1:
        raise TrainingError(f"--steps must be at least 1, got {steps}")
    check_device(device)
    run_dir = Run(run)
    files = TrainingFiles(Path(out) if out is not None else run_dir.path / "training" / "model.pt")
    if files.state.exists():
        if model is not None:
            raise TrainingError(
                f"{files.out} already has a training state to resume; leave out --model or choose another --out"
            )
        trainer = resume_training(files, run_dir.dim, settings, device)
    else:
        if seed is not None:
            torch.manual_seed(seed)
        trainer = new_trainer(run_dir.dim, settings, model, device=device)
    window = trainer.value_targets(load_window(run_dir.path, settings.window))
    _check_writable(files)
    start = trainer.step
    rng = np.random.default_rng(seed)
    train_on_window(
        trainer, window, start + steps, files, settings, progress=progress, rng=rng, title=f"run {run_dir.path}"
    )
    lines = read_metrics(files.metrics)
    return TrainingSummary(
        out=files.out,
        start_step=start,
        step=trainer.step,
        games=window.games,
        positions=window.positions,
        last_metrics=lines[-1] if lines else None,
    )
