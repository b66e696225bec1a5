"""
Shared-memory request/reply slots between self-play workers and the inference service.
"""

from typing import Annotated

import numpy
from numpy.typing import NDArray

class SlotQueue:
    def put(self, request: object) -> None: ...

class SlotPipe:
    def recv(self) -> tuple: ...
    @property
    def failure(self) -> object:
        """Why the service was given up, or None while it answers."""

class Channel:
    @staticmethod
    def create(slots: int, dim: int, rep: int, cache_bytes: int = 0, lanes: int = 1) -> Channel: ...
    @staticmethod
    def attach(path: str) -> Channel: ...
    @property
    def path(self) -> str: ...
    @property
    def slots(self) -> int: ...
    @property
    def dim(self) -> int: ...
    @property
    def rep(self) -> int: ...
    @property
    def lanes(self) -> int: ...
    def serve(self, lane: int = 0) -> None: ...
    @property
    def cache_hits(self) -> int:
        """Requests answered from the reply table so far."""

    @property
    def served_hits(self) -> int:
        """
        Requests of the served lane's workers answered from the reply table so far.
        """

    @property
    def cache_capacity(self) -> int:
        """How many replies the reply table holds at most."""

    def wait_batch(self, gather: float, timeout: float, max_batch: int = 0) -> list: ...
    def complete(
        self,
        slots: Annotated[NDArray[numpy.int64], dict(shape=(None,), order="C", device="cpu")],
        logits: Annotated[NDArray[numpy.float32], dict(shape=(None, None), order="C", device="cpu", writable=False)],
    ) -> None: ...
    def close(self) -> None: ...
    def service_trouble(self, slot: int = 0) -> str:
        """
        Why the service of `slot` can no longer answer (closed, or its process gone); empty while it can.
        """

    def worker_id(self, slot: int) -> int: ...
    def queue(self, slot: int, front: int = 0) -> SlotQueue:
        """The inference queue of one worker slot for one network."""

    def pipe(self, slot: int, timeout: float) -> SlotPipe:
        """The pipe of one worker slot; recv() waits at most `timeout` s."""

    def requests(self) -> NDArray[numpy.uint8]: ...
