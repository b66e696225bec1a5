"""Types of the native self-play engine, for type checkers; written by hand from its calling contract.

Every entry point reads its settings by attribute (dim, rep, sims_per_move, sample_moves, c_base, c_init,
dirichlet_alpha, exploration_fraction), sends each request to an inference queue as
(worker, planes) and reads the reply from the pipe, and posts what it finished to the result queue.
"""

from typing import Any, Protocol

class _Queue(Protocol):
    def put(self, item: Any, /) -> object: ...

class _Pipe(Protocol):
    def recv(self) -> Any: ...

def play_training_game(id: int, config: object, result_queue: _Queue, inference_queue: _Queue, pipe: _Pipe) -> int:
    """Works with Pytorch model to generate self-play data"""

def play_test_against_random(
    id: int, config: object, result_queue: _Queue, inference_queue: _Queue, pipe: _Pipe
) -> int: ...
def play_test_game(
    id: int, config: object, result_queue: _Queue, model_queue: _Queue, baseline_queue: _Queue, pipe: _Pipe
) -> float: ...
