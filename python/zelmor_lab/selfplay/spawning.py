"""Starting the toolkit's own processes (the inference service, the loop's evaluation processes) with
'spawn': Ctrl-C reaches only the main process, and what a process needs travels by queue.

Why by queue: Process.start() writes the arguments into a pipe the child reads as it starts. A child that
dies first (a script without a __main__ guard, which 'spawn' runs again in the child) would leave start()
blocked for ever on a payload larger than a pipe holds, such as a network's checkpoint.

Every such process dies with the one that started it (end_with_parent): a parent killed outright cannot
stop its children, and a child left alone can wait for ever, for a reply or to write into a pipe that
nobody reads any more (its queue's feeder thread holds up its exit).
"""

from __future__ import annotations

import ctypes
import multiprocessing
import os
import signal
import sys
import threading
import time

_PR_SET_PDEATHSIG = 1
_PARENT_POLL_S = 0.5

PAYLOAD_WAIT_S = 60.0  # the parent sends the payload as the process starts; longer, and the parent is gone


def process_with_payload(context, target, payload, *args, name: str):
    """A daemon process that runs ``target(payload, *args)``, and the queue that carries ``payload`` to it;
    close the queue once the process is gone. ``args`` stay arguments: shared objects (queues, events,
    values) may only pass that way."""
    inbox = context.Queue()
    inbox.cancel_join_thread()  # a payload nobody took must not hold up this process's exit
    inbox.put(payload)
    return context.Process(target=_receive_payload, args=(target, inbox, *args), name=name, daemon=True), inbox


def _receive_payload(target, inbox, *args) -> None:
    end_with_parent()
    target(inbox.get(timeout=PAYLOAD_WAIT_S), *args)


def end_with_parent() -> None:
    """In a spawned process: be killed as soon as the process that started it is gone, however it ended.
    On Linux the kernel sends SIGKILL (the starting thread must outlive the process, as it does: it also
    joins it); elsewhere a thread watches the parent. A process that runs no Python code (a wait inside the
    engine) or whose exit is held up is killed all the same."""
    parent = multiprocessing.parent_process()
    if parent is None:
        return
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) == 0:
            if os.getppid() != parent.pid:  # it was gone before the kernel knew to tell
                os._exit(1)
            return
    threading.Thread(target=_watch_parent, args=(parent.pid,), name="zelmor-parent-watch", daemon=True).start()


def _watch_parent(pid: int) -> None:
    while os.getppid() == pid:
        time.sleep(_PARENT_POLL_S)
    os._exit(1)


def start_ignoring_ctrl_c(processes) -> None:
    """Starts ``processes`` with SIGINT ignored, which they inherit, so that Ctrl-C reaches only this
    process. Only the main thread may change signal handling; processes started from another thread (a
    cluster node's actor) are stopped by their owner, not by Ctrl-C."""
    main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main_thread else None
    try:
        for process in processes:
            process.start()
    finally:
        if main_thread:
            signal.signal(signal.SIGINT, previous)
