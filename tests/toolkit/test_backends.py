"""The service's backends: each runs the same network to the same logits, and the ONNX export is
kept by digest for the next start."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("onnxruntime")

from zelmor_lab.selfplay import backends  # noqa: E402
from zelmor_lab.selfplay.backends import BACKENDS, make_runner, onnx_bytes  # noqa: E402
from zelmor_lab.selfplay.settings import Settings, SettingsError  # noqa: E402
from zelmor_lab.training.model import Architecture, PolicyValueNet, decode_checkpoint, encode_checkpoint  # noqa: E402

DIM = 9


def checkpoint(architecture: Architecture, seed: int = 3):
    torch.manual_seed(seed)
    network = PolicyValueNet(DIM, architecture)
    # Batch norm with statistics of its own, so that folding it away is tested, not its identity.
    for module in network.modules():
        if isinstance(module, torch.nn.BatchNorm2d):
            module.running_mean.uniform_(-0.5, 0.5)
            module.running_var.uniform_(0.5, 2.0)
    return decode_checkpoint(encode_checkpoint(network), "test")


def random_planes(rng, batch, rep):
    shape = (batch, 5, DIM, DIM) if rep == 1 else (batch, DIM, DIM, 5)
    return rng.integers(0, 2, size=shape, dtype=np.uint8)


@pytest.mark.parametrize(
    "architecture",
    [
        Architecture(blocks=2, channels=16, value_hidden=8),
        Architecture(blocks=1, channels=8, value_hidden=8, value_head="squares"),
        Architecture(blocks=1, channels=4, value_head="dense", policy_head="dense"),
    ],
)
@pytest.mark.parametrize("rep", [1, 2])
def test_every_backend_gives_the_eager_networks_logits(architecture, rep):
    model = checkpoint(architecture)
    rng = np.random.default_rng(rep)
    runners = {backend: make_runner(model.model, model.digest, backend, rep, "cpu", 1) for backend in BACKENDS}
    for batch in (1, 7, 32):  # the traced and exported graphs take any batch size
        planes = random_planes(rng, batch, rep)
        reference = runners["torch-eager"](planes)
        first = planes if rep == 1 else planes.transpose(0, 3, 1, 2)
        with torch.inference_mode():
            policy, value = model.model(torch.from_numpy(np.ascontiguousarray(first, dtype=np.float32)))
        np.testing.assert_array_equal(reference, torch.cat([policy, value], 1).numpy())
        for backend in ("onnxruntime", "torch"):
            logits = runners[backend](planes)
            assert logits.dtype == np.float32 and logits.shape == (batch, DIM * DIM + 4)
            assert np.abs(logits - reference).max() <= 1e-4, backend
        if rep == 1:  # what a search asks: bool planes, the two heads apart
            policy, value = runners["onnxruntime"].evaluator()(planes.astype(bool))
            assert np.abs(policy - reference[:, :-4]).max() <= 1e-4 and np.abs(value - reference[:, -4:]).max() <= 1e-4


def test_the_export_is_kept_by_digest_and_a_damaged_copy_is_made_again(tmp_path, monkeypatch):
    model = checkpoint(Architecture(blocks=1, channels=4, value_hidden=4))
    data = onnx_bytes(model.model, model.digest, 1, tmp_path)
    kept = tmp_path / f"{model.digest}-rep1.onnx"
    assert kept.read_bytes() == data and sorted(p.name for p in tmp_path.iterdir()) == [kept.name]

    exports = []
    real_export = backends.export_onnx
    monkeypatch.setattr(backends, "export_onnx", lambda *args: exports.append(args) or real_export(*args))
    assert onnx_bytes(model.model, model.digest, 1, tmp_path) == data and exports == []
    kept.write_bytes(data[: len(data) // 2])  # a copy cut short
    assert onnx_bytes(model.model, model.digest, 1, tmp_path) == data and len(exports) == 1
    assert kept.read_bytes() == data
    onnx_bytes(model.model, model.digest, 2, tmp_path)  # the other layout is another graph
    assert (tmp_path / f"{model.digest}-rep2.onnx").exists() and len(exports) == 2


def test_an_export_that_cannot_be_kept_is_a_warning(tmp_path, capsys):
    model = checkpoint(Architecture(blocks=1, channels=4, value_hidden=4))
    (tmp_path / "onnx").write_text("a file where the cache's directory would be")
    assert onnx_bytes(model.model, model.digest, 1, tmp_path / "onnx") == onnx_bytes(model.model, model.digest, 1)
    assert capsys.readouterr().err == (
        f"zelmor-lab: warning: the ONNX export is not kept: cannot write {tmp_path}/onnx/{model.digest}-rep1.onnx: "
        "Not a directory\n"
    )


def test_the_backend_defaults_to_onnxruntime_where_it_can_run(monkeypatch):
    assert Settings().backend == "onnxruntime"
    assert Settings(backend="torch").with_values(device="cpu").backend == "torch"
    monkeypatch.setattr(backends, "onnxruntime_runs_on", lambda device: device == "cpu")
    # Without the CUDA provider a CUDA device gets the traced network, also when the device comes last.
    assert Settings(device="cuda:1").backend == "torch"
    assert Settings().with_values(device="cuda:0").backend == "torch"
    with pytest.raises(SettingsError) as error:
        Settings(backend="tensorflow")
    assert str(error.value) == "setting backend must be one of onnxruntime, torch, torch-eager, got 'tensorflow'"
    monkeypatch.setattr(backends, "onnxruntime_installed", lambda: False)
    monkeypatch.setattr("zelmor_lab.selfplay.settings.onnxruntime_installed", lambda: False)
    with pytest.raises(SettingsError) as error:
        Settings(backend="onnxruntime")
    assert str(error.value) == (
        "setting backend needs ONNX Runtime: pip install 'zelmor-lab[torch]', got 'onnxruntime'"
    )
