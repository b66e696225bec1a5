"""How the inference service runs a network: the backends it can run a checkpoint with.

A runner takes a batch of positions exactly as the workers send them, uint8 planes in the layout of the
``rep`` setting, (B, 5, dim, dim) for 1 or (B, dim, dim, 5) for 2, and returns float32 logits
(B, dim * dim + 4): the policy logits followed by the 4 value logits. The conversion to float and to
planes-first happens inside the network, so a backend sees one graph from the bytes to the logits.

Backends:
  onnxruntime  the network exported to ONNX and run by ONNX Runtime (its CUDA provider for a CUDA
               device). Eager PyTorch spends most of a small network's time outside the convolutions
               (unfused batch norm, allocation, dispatch); ONNX Runtime folds those away. The export
               costs time at every start, so it is kept in a directory by checkpoint digest and layout.
  torch        the network traced and frozen by TorchScript: batch norm folded into the convolutions,
               and no Python between the layers.
  torch-eager  the PyTorch module as written: the reference the others are checked against.
Each runs with the thread count it is given; the service gives one intra-op thread unless the run has
cores to spare beyond its workers.
"""

from __future__ import annotations

import contextlib
import importlib.util
import io
import sys
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

BACKENDS = ("onnxruntime", "torch", "torch-eager")
ONNX_DIR = "onnx"  # the directory of a run where its networks' exports are kept
VALUE_LOGITS = 4


@dataclass(frozen=True)
class Runner:
    """A network of board side ``dim`` as its backend runs it; see the module doc string."""

    dim: int
    run: Callable[[np.ndarray], np.ndarray]  # uint8 (B, *layout) -> float32 (B, dim * dim + 4)

    def __call__(self, planes: np.ndarray) -> np.ndarray:
        return self.run(planes)

    def evaluator(self) -> Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]:
        """This runner, made with rep 1, as a search's network: bool planes (B, 5, dim, dim) -> policy logits
        (B, dim * dim) and value logits (B, 4)."""

        def evaluate(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
            logits = self.run(np.ascontiguousarray(planes).view(np.uint8))
            return logits[:, :-VALUE_LOGITS], logits[:, -VALUE_LOGITS:]

        return evaluate


class BackendError(Exception):
    """A backend that cannot run here as asked (a missing package or execution provider)."""


def onnxruntime_installed() -> bool:
    return importlib.util.find_spec("onnxruntime") is not None


def onnxruntime_runs_on(device: str) -> bool:
    """Whether ONNX Runtime is installed and can run on ``device`` ("cpu" or "cuda:N")."""
    if not onnxruntime_installed():
        return False
    if device == "cpu":
        return True
    import onnxruntime

    return "CUDAExecutionProvider" in onnxruntime.get_available_providers()


def default_backend(device: str) -> str:
    """ONNX Runtime where it can run on ``device``, else the traced PyTorch network."""
    return "onnxruntime" if onnxruntime_runs_on(device) else "torch"


def make_runner(
    model, digest: str, backend: str, rep: int, device: str, threads: int, onnx_dir: str | Path | None = None
) -> Runner:
    """A runner of ``model`` (a PolicyValueNet in evaluation mode on the CPU, whose checkpoint has
    ``digest``). onnx_dir: where exported networks are kept for the next start (None: not kept)."""
    import torch

    torch.set_num_threads(threads)
    if backend == "onnxruntime":
        return Runner(model.dim, _onnxruntime_run(onnx_bytes(model, digest, rep, onnx_dir), device, threads))
    if backend in ("torch", "torch-eager"):
        from ..training.model import RequestNetwork

        return Runner(model.dim, _torch_run(RequestNetwork(model, rep).to(device), device, frozen=backend == "torch"))
    raise BackendError(f"unknown backend {backend!r}; the service has {', '.join(BACKENDS)}")


def _example(model, rep: int, batch: int = 2):
    import torch

    dim = model.dim
    shape = (batch, 5, dim, dim) if rep == 1 else (batch, dim, dim, 5)
    return torch.zeros(shape, dtype=torch.uint8)


def _torch_run(network, device: str, frozen: bool) -> Callable[[np.ndarray], np.ndarray]:
    import torch

    if frozen:
        with torch.no_grad(), warnings.catch_warnings():
            # TorchScript is deprecated in favour of torch.compile, which needs a compiler at run time
            # and takes far longer to start than a service runs for in a loop's evaluation.
            warnings.simplefilter("ignore", DeprecationWarning)
            network = torch.jit.freeze(torch.jit.trace(network, _example(network.model, network.rep).to(device)))

    def run(planes: np.ndarray) -> np.ndarray:
        with torch.inference_mode():
            logits = network(torch.from_numpy(planes).to(device))
            return logits.to(device="cpu", dtype=torch.float32).numpy()

    return run


def onnx_bytes(model, digest: str, rep: int, onnx_dir: str | Path | None = None) -> bytes:
    """The ONNX export of ``model`` taking requests in layout ``rep``; read from ``onnx_dir`` when an
    earlier start kept it there, else exported (and kept there when a directory is given). A kept file
    that does not load is a stale cache: it is exported again. The directory is only a cache: one that
    cannot be written is a warning on standard error, never the end of the service."""
    path = None if onnx_dir is None else Path(onnx_dir) / f"{digest}-rep{rep}.onnx"
    if path is not None and path.is_file():
        with contextlib.suppress(OSError):  # unreadable: as stale
            data = path.read_bytes()
            if _loads(data):
                return data
    data = export_onnx(model, rep)
    if path is not None:
        from ..errors import WriteError
        from ..runs.atomic import write_atomically

        with contextlib.suppress(OSError):  # a directory that cannot be made fails the write, which says why
            path.parent.mkdir(parents=True, exist_ok=True)
        try:
            write_atomically(path, data)
        except WriteError as error:
            print(f"zelmor-lab: warning: the ONNX export is not kept: {error}", file=sys.stderr, flush=True)
    return data


def export_onnx(model, rep: int) -> bytes:
    """``model`` as an ONNX graph from uint8 requests (any batch size) to the logits."""
    import torch

    from ..training.model import RequestNetwork

    network = RequestNetwork(model, rep)
    buffer = io.BytesIO()
    with warnings.catch_warnings():
        # The TorchScript exporter is deprecated in favour of one that needs onnxscript; this network
        # has no control flow, which is all the older one cannot handle.
        warnings.simplefilter("ignore")
        # The exporter writes to any binary file object, though its annotation names paths only.
        torch.onnx.export(
            network,
            (_example(model, rep),),
            buffer,  # type: ignore[arg-type]
            dynamo=False,
            input_names=["planes"],
            output_names=["logits"],
            dynamic_axes={"planes": {0: "batch"}, "logits": {0: "batch"}},
            opset_version=17,
        )
    return buffer.getvalue()


def _loads(data: bytes) -> bool:
    import onnx

    try:
        onnx.checker.check_model(onnx.load_from_string(data))
    except Exception:  # onnx reports a damaged file with many exception types
        return False
    return True


def _onnxruntime_run(data: bytes, device: str, threads: int) -> Callable[[np.ndarray], np.ndarray]:
    if not onnxruntime_installed():
        raise BackendError("the onnxruntime backend needs ONNX Runtime: pip install 'zelmor-lab[torch]'")
    import onnxruntime

    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    options.execution_mode = onnxruntime.ExecutionMode.ORT_SEQUENTIAL
    if device == "cpu":
        providers: list[str | tuple[str, dict[str, int]]] = ["CPUExecutionProvider"]
    else:
        if "CUDAExecutionProvider" not in onnxruntime.get_available_providers():
            raise BackendError(
                f"the onnxruntime backend runs on {device} only with ONNX Runtime's CUDA "
                f"provider (onnxruntime-gpu); use the torch backend"
            )
        index = int(device.split(":")[1]) if ":" in device else 0
        providers = [("CUDAExecutionProvider", {"device_id": index}), "CPUExecutionProvider"]
    session = onnxruntime.InferenceSession(data, options, providers=providers)

    def run(planes: np.ndarray) -> np.ndarray:
        return session.run(None, {"planes": planes})[0]

    return run
