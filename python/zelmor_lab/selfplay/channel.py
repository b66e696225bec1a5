"""The shared-memory transport between the workers and the inference service (Linux).

Each worker owns one slot of a block mapped into every process of the run (``zelmor_lab._channel``).
The engine's inference queue and pipe are the slot's ``queue(slot, network)`` and ``pipe(slot, timeout)``
objects. The engine recognises them and writes the encoded position into the slot as bytes; called from
Python, ``put`` copies the nested lists of a request into the slot. ``recv`` sleeps without the GIL
until the reply is in the slot, and raises TimeoutError, or ConnectionError as soon as the service has
gone, so a worker never hangs on a dead service. The service takes the waiting slots as one numpy gather
over the block, runs each network once on its part of the batch, writes the logits back into the block
and wakes the workers. Made with a ``cache_bytes`` budget, the block also holds a reply table that the
service fills as it answers: a worker that asks for a position the table holds takes the reply from
there at once, and the service never sees the request (``cache_hits`` counts them).

The block is an anonymous memory file: it has no name in /dev/shm, so nothing is left behind however
the run ends, even under SIGKILL.
"""

from __future__ import annotations

import sys

try:
    from .._channel import Channel
except ImportError:  # not built on this platform
    Channel = None  # type: ignore[assignment,misc]


def available() -> bool:
    """Whether the shared-memory transport can be used here."""
    return Channel is not None and sys.platform.startswith("linux")
