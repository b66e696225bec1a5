"""The policy/value network and its checkpoint file.

The network sees a position as the five boolean planes of the player to act, shape (B, 5, dim, dim):
planes 0-3 the squares of the player to act and of the next three players in turn order, plane 4 the
tiles the player to act may take. It answers
  policy logits, shape (B, dim * dim): one per tile, tile = row * dim + column;
  value logits, shape (B, 4): one per player, relative to the player to act (entry 0 is the player to
  act, entry 1 the next player in turn order, ...).
Networks with the pooled value head also predict, for training only, each player's squares on the board
at the end of the game as a share of the 89 squares of a hand, shape (B, 4), in the same relative order;
networks with the ownership head, also for training only, the final owner of every cell, logits of shape
(B, 5, dim * dim): class 0 no one, class k the player k - 1 seats after the player to act.

A checkpoint is one file (``torch.save`` of plain types and tensors, loaded with ``weights_only``)
holding the weights, the architecture and the metadata (step, board side, creation time). Loading checks
all three against what the caller needs, so a network is never silently run on a board or with a shape
it was not made for.

torch is imported here and nowhere in the package's import path, so the rules, the store and the
command line's read-only commands work without it.
"""

from __future__ import annotations

import hashlib
import io
import os
import pickle
import stat
import time
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, NamedTuple

import torch
from torch import nn

from ..constants import HAND_SQUARES, PLANES, PLAYERS
from ..errors import InputError
from ..runs.atomic import write_atomically
from ..validation import check_kinds, require

CHECKPOINT_FORMAT = "zelmor-lab checkpoint 1"
POLICY_HEADS = ("conv", "dense")
VALUE_HEADS = ("pooled", "squares", "dense")
# Value logits per predicted share of the hand under the "squares" head: one logit for every four squares
# of lead, so a lead of ten squares makes the leader the likely winner, as it is near the end of a game.
SQUARES_LOGIT_SCALE = HAND_SQUARES / 4
_ZIP_MAGIC = b"PK\x03\x04"  # what every file torch.save writes starts with


# What checkpoints and loops from before the choice of each head have.
OLDER_HEADS = {"value_head": "dense", "policy_head": "dense", "ownership": False}
OWNERSHIP_CLASSES = PLAYERS + 1  # no owner, then the four players relative to the player to act


class CheckpointError(InputError):
    """A checkpoint that cannot be read or does not fit what the caller needs."""


@dataclass(frozen=True)
class Architecture:
    """Shape of the network apart from the board side.

    blocks: residual blocks in the tower; channels: width of the tower; value_hidden: width of the
    value head's hidden layer. policy_head: "conv" gives each tile the logit of a 1 x 1 convolution of
    its features plus a bias of its own; "dense" (the layout of older checkpoints) reads all logits from
    a dense layer over two feature planes of the whole board. The dense layer has a weight for every
    pair of tiles and learns each placement anew, where the convolution's features carry over from one
    placement to the next (docs/experiments.md compares them). value_head: "pooled" reads the value from
    the board-wide mean and maximum of each feature and shares that summary with the final-squares head;
    "squares" has no value layers
    of its own: the value logits are the final-squares head's prediction times SQUARES_LOGIT_SCALE, and
    the value's loss is measured but trains nothing; "dense" (the layout of older checkpoints) reads it
    from a 1 x 1 convolution flattened into a dense layer. A run of a few hundred games holds only a few
    hundred outcomes, and a value head fitted to them learns them by heart; the final squares, four
    numbers per game rather than one winner, carry over to unseen games far better (docs/experiments.md
    gives the losses). ownership: whether the network has the ownership head, a 1 x 1 convolution of
    the tower's features that gives every cell the logits of its final owner; it only shapes the tower's
    features during training (the searches never read it). The default is small enough for self-play on a
    CPU.
    """

    blocks: int = 4
    channels: int = 32
    value_hidden: int = 64
    value_head: str = "pooled"
    policy_head: str = "conv"
    ownership: bool = False

    def __post_init__(self):
        check_kinds(self, "architecture", ValueError)
        for name in ("blocks", "channels", "value_hidden"):
            require(self, "architecture", ValueError, getattr(self, name) >= 1, name, "must be a positive integer")
        if self.value_head not in VALUE_HEADS:
            raise ValueError(
                f"architecture value_head must be one of {', '.join(VALUE_HEADS)}, got {self.value_head!r}"
            )
        if self.policy_head not in POLICY_HEADS:
            raise ValueError(
                f"architecture policy_head must be one of {', '.join(POLICY_HEADS)}, got {self.policy_head!r}"
            )


class _ResidualBlock(nn.Module):
    def __init__(self, channels: int):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x):
        y = torch.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        return torch.relu(x + y)


class _ConvPolicyHead(nn.Module):
    """Tile logits (B, dim * dim) from each tile's own features, plus a learnt bias per tile: what a
    placement is worth depends on its surroundings, and where it lies on the board only through the bias."""

    def __init__(self, channels: int, dim: int):
        super().__init__()
        self.conv = nn.Sequential(
            nn.Conv2d(channels, channels, 1, bias=False), nn.BatchNorm2d(channels), nn.ReLU(), nn.Conv2d(channels, 1, 1)
        )
        self.tile_bias = nn.Parameter(torch.zeros(dim * dim))

    def forward(self, x):
        return self.conv(x).flatten(1) + self.tile_bias


class _PooledHeads(nn.Module):
    """Value logits and final-squares shares from the board-wide mean and maximum of each feature.

    With ``value_from_squares`` the value logits are the predicted shares times SQUARES_LOGIT_SCALE, so
    the value ranks the players by the squares they are expected to end with."""

    def __init__(self, channels: int, hidden: int, value_from_squares: bool):
        super().__init__()
        self.conv = nn.Sequential(nn.Conv2d(channels, channels, 1, bias=False), nn.BatchNorm2d(channels), nn.ReLU())
        self.value = (
            None
            if value_from_squares
            else nn.Sequential(nn.Linear(2 * channels, hidden), nn.ReLU(), nn.Linear(hidden, PLAYERS))
        )
        self.squares = nn.Sequential(nn.Linear(2 * channels, hidden), nn.ReLU(), nn.Linear(hidden, PLAYERS))

    def forward(self, x):
        y = self.conv(x)
        summary = torch.cat([y.mean((2, 3)), y.amax((2, 3))], 1)
        squares = self.squares(summary)
        # The value's loss must not reach the squares: it would teach them the few outcomes of the
        # window by heart (the scale makes its gradient twenty times the squares' own).
        value = SQUARES_LOGIT_SCALE * squares.detach() if self.value is None else self.value(summary)
        return value, squares


class Heads(NamedTuple):
    """Everything a network predicts for a batch of B positions (see the module doc string); squares and
    ownership are None for networks without those heads."""

    policy: torch.Tensor  # (B, dim * dim)
    value: torch.Tensor  # (B, 4)
    squares: torch.Tensor | None  # (B, 4)
    ownership: torch.Tensor | None  # (B, 5, dim * dim)


class PolicyValueNet(nn.Module):
    """Residual convolutional tower with a policy head and a value head (AlphaZero layout)."""

    def __init__(self, dim: int, architecture: Architecture = Architecture()):
        super().__init__()
        self.dim = dim
        self.architecture = architecture
        c = architecture.channels
        self.stem = nn.Sequential(nn.Conv2d(PLANES, c, 3, padding=1, bias=False), nn.BatchNorm2d(c), nn.ReLU())
        self.tower = nn.Sequential(*(_ResidualBlock(c) for _ in range(architecture.blocks)))
        self.policy_head = (
            _ConvPolicyHead(c, dim)
            if architecture.policy_head == "conv"
            else nn.Sequential(
                nn.Conv2d(c, 2, 1, bias=False),
                nn.BatchNorm2d(2),
                nn.ReLU(),
                nn.Flatten(),
                nn.Linear(2 * dim * dim, dim * dim),
            )
        )
        self.value_head: nn.Module
        if architecture.value_head != "dense":
            self.value_head = _PooledHeads(c, architecture.value_hidden, architecture.value_head == "squares")
        else:
            self.value_head = nn.Sequential(
                nn.Conv2d(c, 1, 1, bias=False),
                nn.BatchNorm2d(1),
                nn.ReLU(),
                nn.Flatten(),
                nn.Linear(dim * dim, architecture.value_hidden),
                nn.ReLU(),
                nn.Linear(architecture.value_hidden, PLAYERS),
            )
        self.ownership_head = (
            nn.Sequential(
                nn.Conv2d(c, c, 1, bias=False), nn.BatchNorm2d(c), nn.ReLU(), nn.Conv2d(c, OWNERSHIP_CLASSES, 1)
            )
            if architecture.ownership
            else None
        )

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """planes: float (B, 5, dim, dim) -> (policy logits (B, dim*dim), value logits (B, 4))."""
        x = self.tower(self.stem(planes))
        return self.policy_head(x), self._value_and_squares(x)[0]

    def heads(self, planes: torch.Tensor) -> Heads:
        """forward's two outputs and the training-only predictions of the network's other heads."""
        x = self.tower(self.stem(planes))
        ownership = None if self.ownership_head is None else self.ownership_head(x).flatten(2)
        return Heads(self.policy_head(x), *self._value_and_squares(x), ownership)

    def _value_and_squares(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor | None]:
        if self.architecture.value_head != "dense":
            return self.value_head(x)
        return self.value_head(x), None


def planes_first(batch: torch.Tensor, rep: int) -> torch.Tensor:
    """A batch in the layout of the ``rep`` setting, (B, 5, dim, dim) for 1 or (B, dim, dim, 5) for 2,
    as the network's (B, 5, dim, dim)."""
    if rep == 1:
        return batch
    if rep == 2:
        return batch.permute(0, 3, 1, 2).contiguous()  # same memory order, so the same sums to the bit
    raise ValueError(f"rep must be 1 or 2, got {rep!r}")


def network_evaluator(model: PolicyValueNet, device: str = "cpu"):
    """``model`` as a search's network: evaluate(planes bool (B, 5, dim, dim)) -> (policy logits float32
    (B, dim * dim), value logits float32 (B, 4)), numpy arrays, values relative to the player to act."""
    model = model.to(device).eval()

    @torch.inference_mode()
    def evaluate(planes):
        policy, value = model(torch.from_numpy(planes).to(device=device, dtype=torch.float32))
        return policy.float().cpu().numpy(), value.float().cpu().numpy()

    return evaluate


class RequestNetwork(nn.Module):
    """A network in evaluation mode taking the service's requests: uint8 planes (B, 5, dim, dim) for
    rep 1 or (B, dim, dim, 5) for rep 2, returning its logits as one tensor (B, dim * dim + 4), policy
    then value. What the service's backends trace and export."""

    def __init__(self, model: PolicyValueNet, rep: int):
        super().__init__()
        self.model = model
        self.rep = rep
        self.eval()

    def forward(self, planes: torch.Tensor) -> torch.Tensor:
        policy, value = self.model(planes_first(planes.float(), self.rep))
        return torch.cat([policy, value], 1)


@dataclass(frozen=True)
class Checkpoint:
    """A network as stored: ``model`` in evaluation mode, its metadata and the digest of the file."""

    model: PolicyValueNet
    step: int
    created_at: float  # seconds since the epoch
    digest: str  # see checkpoint_digest


def encode_checkpoint(model: PolicyValueNet, step: int = 0) -> bytes:
    """The checkpoint file's bytes for ``model``; step: the training step the weights belong to."""
    payload = {
        "format": CHECKPOINT_FORMAT,
        "architecture": asdict(model.architecture),
        "metadata": {"step": int(step), "dim": model.dim, "created_at": time.time()},
        "state_dict": {k: v.detach().cpu().contiguous() for k, v in model.state_dict().items()},
    }
    buffer = io.BytesIO()
    torch.save(payload, buffer)
    return buffer.getvalue()


def save_checkpoint(model: PolicyValueNet, path: str | Path, step: int = 0) -> Path:
    """Write ``model`` to ``path`` atomically: a reader sees the old file or the complete new one."""
    path = Path(path)
    write_atomically(path, encode_checkpoint(model, step))
    return path


def read_checkpoint_file(path: str | Path) -> bytes:
    """The bytes of a checkpoint file. Only a regular file is read: a device never ends and a FIFO may
    never answer, so either is refused at once (the open does not wait for a FIFO's writer)."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            if not stat.S_ISREG(os.fstat(descriptor).st_mode):
                raise CheckpointError(f"checkpoint {path} is not a regular file")
            with open(descriptor, "rb", closefd=False) as file:
                return file.read()
        finally:
            os.close(descriptor)
    except FileNotFoundError:
        raise CheckpointError(f"checkpoint {path} does not exist") from None
    except OSError as error:
        raise CheckpointError(f"checkpoint {path} is unreadable: {error.strerror}") from None


def load_checkpoint(path: str | Path, dim: int | None = None, architecture: Architecture | None = None) -> Checkpoint:
    """Read a checkpoint file; see decode_checkpoint."""
    return decode_checkpoint(read_checkpoint_file(path), str(path), dim, architecture)


def decode_checkpoint(
    data: bytes, name: str, dim: int | None = None, architecture: Architecture | None = None
) -> Checkpoint:
    """The network in a checkpoint's bytes, in evaluation mode on the CPU.

    name: how messages call the checkpoint (its path). dim, architecture: when given, the checkpoint
    must have been made for this board side and this architecture. Every failure raises
    CheckpointError naming the checkpoint."""
    payload = load_plain(data, "checkpoint", name)
    if not isinstance(payload, dict) or payload.get("format") != CHECKPOINT_FORMAT:
        raise CheckpointError(f"{name} is not a zelmor-lab checkpoint")
    try:
        stored_architecture = Architecture(**{**OLDER_HEADS, **payload["architecture"]})
        metadata = payload["metadata"]
        stored_dim, step, created_at = int(metadata["dim"]), int(metadata["step"]), float(metadata["created_at"])
        state_dict = payload["state_dict"]
    except (KeyError, TypeError, ValueError) as error:
        raise CheckpointError(f"checkpoint {name} has a damaged header: {_first_line(error)}") from None
    if dim is not None and stored_dim != dim:
        raise CheckpointError(f"checkpoint {name} is for a {stored_dim} x {stored_dim} board, not {dim} x {dim}")
    if architecture is not None and stored_architecture != architecture:
        raise CheckpointError(
            f"checkpoint {name} has architecture {_describe(stored_architecture)}, not {_describe(architecture)}"
        )
    try:
        model = PolicyValueNet(stored_dim, stored_architecture)
        model.load_state_dict(state_dict)
    except (RuntimeError, ValueError, TypeError) as error:
        # torch lists every mismatched tensor on a line of its own under a general first line.
        details = "; ".join(line.strip() for line in str(error).splitlines()[1:] if line.strip())
        raise CheckpointError(
            f"checkpoint {name} does not match its own architecture: {details or _first_line(error)}"
        ) from None
    model.eval()
    return Checkpoint(model=model, step=step, created_at=created_at, digest=checkpoint_digest(data))


def load_plain(data: bytes, kind: str, name: str) -> Any:
    """What torch.save wrote into the bytes of a zelmor-lab file of ``kind`` (checkpoint, training
    state) named ``name``. Only plain values and tensors are loaded (weights_only), so no file can run
    code; CheckpointError, in one line, for a file that holds anything else or is damaged."""
    foreign = CheckpointError(f"{name} is not a zelmor-lab {kind}")
    if not data.startswith(_ZIP_MAGIC):
        raise foreign
    try:
        return torch.load(io.BytesIO(data), map_location="cpu", weights_only=True)
    except pickle.UnpicklingError:  # objects that only a full unpickler would make
        raise foreign from None
    except Exception as error:  # torch reports a damaged file with many exception types
        raise CheckpointError(f"{kind} {name} is unreadable: {_first_line(error)}") from None


def checkpoint_digest(data: bytes) -> str:
    """The identity of a checkpoint as stored with every game it played: the first 16 hex digits of
    the SHA-256 of the file's bytes."""
    return hashlib.sha256(data).hexdigest()[:16]


def _describe(architecture: Architecture) -> str:
    return ", ".join(f"{k} {v}" for k, v in asdict(architecture).items())


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
