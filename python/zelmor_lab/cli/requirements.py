"""Refusals made before a command writes anything: what it needs that is not installed or not there."""

from __future__ import annotations

import importlib.util

from ..errors import InputError
from ..selfplay.transports import check_transport


def require_torch(needed_by: str) -> None:
    if importlib.util.find_spec("torch") is None:
        raise InputError(f"{needed_by} needs PyTorch: pip install 'zelmor-lab[torch]'")


def require_cuda(device: str) -> None:
    if device != "cpu":
        import torch

        if not torch.cuda.is_available():
            raise InputError(f"setting device is {device!r}, but CUDA is not available")


def require_pipeline(settings) -> None:
    """Refuse early, before anything is written, when the engine or PyTorch (or the device) is missing."""
    if importlib.util.find_spec("zelmor_self_play") is None:
        raise InputError("the engine module zelmor_self_play is not installed (pip install . builds it)")
    require_torch("the inference service")
    require_cuda(settings.device)
    check_transport(settings)
    if settings.device != "cpu":
        from ..selfplay.backends import onnxruntime_runs_on

        if settings.backend == "onnxruntime" and not onnxruntime_runs_on(settings.device):
            raise InputError(
                f"setting backend onnxruntime runs on {settings.device!r} only with ONNX Runtime's "
                f"CUDA provider (onnxruntime-gpu); use --backend torch"
            )
