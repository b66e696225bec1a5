"""Worker processes: each plays whole training games with the engine (``zelmor_self_play``), one after
another.

A worker claims a game from the shared count of games left, plays it with its own id, pipe and the
shared request queue, and posts what came of it on the message queue:
  (GAME, worker, finished_at, game)     game: the TrainingGame the engine posted
  (ABANDONED, worker)                   the engine gave the game up (a search failed)
  (WORKER_ENDED, worker, reason)        the worker's last message; reason None when it ran out of games
                                        or was asked to stop, else why it could not go on
  (WORKER_FAILED, worker, text)         the engine raised (a broken invariant); the worker has stopped
Messages of one worker arrive in the order they were posted, so WORKER_ENDED comes after its games.
"""

from __future__ import annotations

import multiprocessing
import os
import time
from dataclasses import dataclass

from .settings import Settings
from .spawning import end_with_parent
from .training_game import TrainingGame
from .transports import WorkerEnd

GAME, ABANDONED, WORKER_ENDED, WORKER_FAILED = "game", "abandoned", "worker ended", "worker failed"
UNLIMITED = -1  # games left when the run goes on until it is stopped


@dataclass(frozen=True)
class WorkerConfig:
    """engine_output: let the engine's own standard output through (its error lines) instead of discarding
    it."""

    settings: Settings
    engine_output: bool = False


class _ResultQueue:
    """The engine's result queue: each result becomes a TrainingGame, stamped with the time it was posted."""

    def __init__(self, messages, worker: int):
        self._messages = messages
        self._worker = worker

    def put(self, record) -> None:
        self._messages.put((GAME, self._worker, time.time(), TrainingGame.from_engine(record)))


def claim_game(games_left) -> bool:
    """Take one game from the shared count; False when none is left."""
    with games_left.get_lock():
        if games_left.value == 0:
            return False
        if games_left.value != UNLIMITED:
            games_left.value -= 1
        return True


def work(worker: int, config: WorkerConfig, end: WorkerEnd, messages, games_left, active_workers, stop) -> None:
    """Process entry point of worker ``worker`` (also its id towards the engine and the service); ``end``:
    its side of the transport."""
    end_with_parent()
    try:
        if not config.engine_output:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)
            os.close(devnull)
        queue, pipe = end.open(worker, config.settings.reply_timeout_s)
        reason = _play(worker, config, queue, pipe, messages, games_left, stop)
        messages.put((WORKER_ENDED, worker, reason))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the engine's panic derives from BaseException
        messages.put((WORKER_FAILED, worker, f"{type(error).__name__}: {error}"))
    finally:
        with active_workers.get_lock():
            active_workers.value -= 1
        end.release()


def _play(worker: int, config: WorkerConfig, model_queue, pipe, messages, games_left, stop) -> str | None:
    """pipe.failure: None while the service answers, else why it was given up."""
    import zelmor_self_play as engine

    settings = config.settings
    results = _ResultQueue(messages, worker)
    parent = multiprocessing.parent_process()
    while not stop.is_set():
        if parent is not None and not parent.is_alive():
            return "the main process has gone"
        if not claim_game(games_left):
            return None
        finished = engine.play_training_game(worker, settings, results, model_queue, pipe) == 0
        if pipe.failure is not None:
            return None if stop.is_set() else str(pipe.failure)
        if not finished:
            messages.put((ABANDONED, worker))
    return None
