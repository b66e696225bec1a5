"""The policy/value network and its checkpoint file."""

import io
import pickle
import random

import pytest

torch = pytest.importorskip("torch")

from zelmor_lab import Game  # noqa: E402
from zelmor_lab.training.model import (  # noqa: E402
    SQUARES_LOGIT_SCALE,
    Architecture,
    CheckpointError,
    PolicyValueNet,
    checkpoint_digest,
    load_checkpoint,
    planes_first,
    save_checkpoint,
)

TINY = Architecture(blocks=1, channels=8, value_hidden=8)


def positions(dim: int, channels_last: bool) -> torch.Tensor:
    """A small batch of real positions: a new game and the same game a few actions on."""
    game = Game(dim)
    states = [game.state(channels_last)]
    for _ in range(6):
        game.apply(game.legal_tiles()[-1])
        states.append(game.state(channels_last))
    return torch.tensor([s.tolist() for s in states], dtype=torch.float32)


def test_outputs_one_logit_per_tile_and_four_values():
    model = PolicyValueNet(7, TINY).eval()
    with torch.inference_mode():
        policy, value = model(positions(7, channels_last=False))
    assert policy.shape == (7, 49) and value.shape == (7, 4)


def test_planes_last_input_gives_the_same_answer_once_permuted():
    model = PolicyValueNet(6, TINY).eval()
    with torch.inference_mode():
        first = model(planes_first(positions(6, channels_last=False), 1))
        last = model(planes_first(positions(6, channels_last=True), 2))
    assert torch.equal(first[0], last[0]) and torch.equal(first[1], last[1])


def test_a_checkpoint_restores_weights_architecture_and_metadata(tmp_path):
    model = PolicyValueNet(8, Architecture(blocks=2, channels=12, value_hidden=16)).eval()
    path = save_checkpoint(model, tmp_path / "net.pt", step=1234)
    checkpoint = load_checkpoint(path, dim=8, architecture=Architecture(blocks=2, channels=12, value_hidden=16))
    assert (checkpoint.step, checkpoint.model.dim, checkpoint.model.architecture) == (1234, 8, model.architecture)
    assert not checkpoint.model.training
    assert checkpoint.digest == checkpoint_digest(path.read_bytes())
    batch = positions(8, channels_last=False)
    with torch.inference_mode():
        assert all(torch.equal(a, b) for a, b in zip(model(batch), checkpoint.model(batch)))
    assert [p.name for p in tmp_path.iterdir()] == ["net.pt"]  # no temporary file left


def test_a_checkpoint_from_before_the_choice_of_heads_loads_with_the_dense_ones(tmp_path):
    dense = Architecture(blocks=1, channels=8, value_hidden=8, value_head="dense", policy_head="dense")
    model = PolicyValueNet(6, dense).eval()
    path = save_checkpoint(model, tmp_path / "old.pt")
    payload = torch.load(path, weights_only=True)
    del payload["architecture"]["value_head"], payload["architecture"]["policy_head"]
    del payload["architecture"]["ownership"]
    torch.save(payload, path)
    checkpoint = load_checkpoint(path, dim=6, architecture=dense)
    batch = positions(6, channels_last=False)
    with torch.inference_mode():
        assert all(torch.equal(a, b) for a, b in zip(model(batch), checkpoint.model(batch)))
    with pytest.raises(ValueError, match="value_head must be one of pooled, squares, dense, got 'flat'"):
        Architecture(value_head="flat")
    with pytest.raises(ValueError, match="policy_head must be one of conv, dense, got 'flat'"):
        Architecture(policy_head="flat")
    with pytest.raises(ValueError, match="ownership must be true or false, got 1"):
        Architecture(ownership=1)


def test_the_ownership_head_predicts_every_cell_and_leaves_play_alone(tmp_path):
    """Its logits (B, 5, cells) exist for training only: the answers the searches read are those of the
    same network without it, and its weights travel with the checkpoint."""
    torch.manual_seed(3)
    owning = PolicyValueNet(6, Architecture(blocks=1, channels=8, value_hidden=8, ownership=True)).eval()
    plain = PolicyValueNet(6, TINY).eval()
    plain.load_state_dict({k: v for k, v in owning.state_dict().items() if not k.startswith("ownership_head")})
    batch = positions(6, channels_last=False)
    with torch.inference_mode():
        heads = owning.heads(batch)
        assert heads.ownership.shape == (7, 5, 36)
        assert all(torch.equal(a, b) for a, b in zip(owning(batch), plain(batch)))
        path = save_checkpoint(owning, tmp_path / "net.pt")
        loaded = load_checkpoint(path, dim=6, architecture=owning.architecture).model
        assert torch.equal(loaded.heads(batch).ownership, heads.ownership)


def test_the_convolutional_policy_head_scores_a_tile_by_its_surroundings_and_its_place():
    model = PolicyValueNet(12, Architecture(blocks=1, channels=8, value_hidden=8)).eval()
    boards = torch.zeros(2, 5, 12, 12)
    boards[0, 0, 5, 4] = boards[1, 0, 5, 7] = 1  # the same cell, three columns apart
    bias = torch.arange(144.0)
    with torch.no_grad():
        model.policy_head.tile_bias.copy_(bias)
    with torch.inference_mode():
        logits, _ = model(boards)
    logits = (logits - bias).reshape(2, 12, 12)
    # Within the reach of the tower and away from the edges, the logits move with the cell.
    assert torch.allclose(logits[0, 3:8, 3:6], logits[1, 3:8, 6:9], atol=1e-4)
    assert not torch.allclose(logits[0, 3:8, 3:6], logits[0, 3:8, 6:9], atol=1e-4)


def test_the_squares_head_values_players_by_their_predicted_final_squares(tmp_path):
    architecture = Architecture(blocks=1, channels=8, value_hidden=8, value_head="squares")
    path = save_checkpoint(PolicyValueNet(6, architecture).eval(), tmp_path / "net.pt")
    model = load_checkpoint(path, dim=6, architecture=architecture).model
    with torch.inference_mode():
        _, value, squares, _ = model.heads(positions(6, channels_last=False))
    # A lead of four squares is one logit, whatever the network predicts.
    assert torch.equal(value, SQUARES_LOGIT_SCALE * squares)
    assert SQUARES_LOGIT_SCALE * 4 / 89 == pytest.approx(1.0)
    # In training the value's loss must reach no weight: it would teach the squares the window's winners.
    _, value, squares, _ = model.train().heads(positions(6, channels_last=False))
    assert squares.requires_grad and not value.requires_grad


def test_saving_over_a_checkpoint_replaces_it_whole(tmp_path):
    path = tmp_path / "net.pt"
    save_checkpoint(PolicyValueNet(8, TINY), path, step=1)
    save_checkpoint(PolicyValueNet(8, TINY), path, step=2)
    assert load_checkpoint(path).step == 2


def _torch_bytes(payload) -> bytes:
    buffer = io.BytesIO()
    torch.save(payload, buffer)
    return buffer.getvalue()


class Exploit:
    """Anything a pickle can run when it is loaded without restriction."""

    def __reduce__(self):
        return (print, ("code ran while loading",))


def test_a_checkpoint_for_another_board_or_architecture_is_refused(tmp_path):
    path = save_checkpoint(PolicyValueNet(8, TINY), tmp_path / "net.pt")
    with pytest.raises(CheckpointError) as error:
        load_checkpoint(path, dim=20)
    assert str(error.value) == f"checkpoint {path} is for a 8 x 8 board, not 20 x 20"
    with pytest.raises(CheckpointError) as error:
        load_checkpoint(path, architecture=Architecture())
    assert str(error.value) == (
        f"checkpoint {path} has architecture blocks 1, channels 8, value_hidden 8, "
        f"value_head pooled, policy_head conv, ownership False, not blocks 4, channels 32, "
        f"value_hidden 64, value_head pooled, policy_head conv, ownership False"
    )


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "{path} is not a zelmor-lab checkpoint"),
        (_torch_bytes({"weights": torch.zeros(3)})[:300], "checkpoint {path} is unreadable: "),
        (b"not a checkpoint at all", "{path} is not a zelmor-lab checkpoint"),
        (random.Random(0).randbytes(3000), "{path} is not a zelmor-lab checkpoint"),
        (_torch_bytes({"weights": torch.zeros(3)}), "{path} is not a zelmor-lab checkpoint"),
        (
            _torch_bytes({"format": "zelmor-lab checkpoint 1", "architecture": {"blocks": 1}}),
            "checkpoint {path} has a damaged header: 'metadata'",
        ),
        (
            _torch_bytes(
                {
                    "format": "zelmor-lab checkpoint 1",
                    "architecture": {"blocks": 0, "channels": 8},
                    "metadata": {"step": 0, "dim": 8, "created_at": 0.0},
                    "state_dict": {},
                }
            ),
            "checkpoint {path} has a damaged header: architecture blocks must be a positive integer, got 0",
        ),
        (pickle.dumps(Exploit(), protocol=2), "{path} is not a zelmor-lab checkpoint"),
        (
            _torch_bytes({"format": "zelmor-lab checkpoint 1", "metadata": Exploit()}),
            "{path} is not a zelmor-lab checkpoint",
        ),
    ],
    ids=[
        "empty",
        "truncated",
        "text",
        "random bytes",
        "foreign",
        "no metadata",
        "bad architecture",
        "code in a pickle",
        "code in a torch file",
    ],
)
def test_a_damaged_or_foreign_file_is_refused_naming_it(tmp_path, capfd, content, message):
    path = tmp_path / "net.pt"
    path.write_bytes(content)
    with pytest.raises(CheckpointError) as error:
        load_checkpoint(path)
    assert str(error.value).startswith(message.format(path=path)) and "\n" not in str(error.value)
    assert "code ran" not in capfd.readouterr().out


def test_weights_that_do_not_fit_the_stored_architecture_are_refused(tmp_path):
    path = save_checkpoint(PolicyValueNet(8, TINY), tmp_path / "net.pt")
    payload = torch.load(path, weights_only=True)
    payload["state_dict"]["stem.0.weight"] = torch.zeros(3, 3)
    path.write_bytes(_torch_bytes(payload))
    with pytest.raises(CheckpointError) as error:
        load_checkpoint(path)
    assert str(error.value).startswith(f"checkpoint {path} does not match its own architecture: ")
    assert "size mismatch for stem.0.weight" in str(error.value)


def test_a_missing_checkpoint_is_named(tmp_path):
    with pytest.raises(CheckpointError) as error:
        load_checkpoint(tmp_path / "absent.pt")
    assert str(error.value) == f"checkpoint {tmp_path / 'absent.pt'} does not exist"
