"""The reply cache: the inference service's memory of positions it has evaluated, so that a repeat costs
no network run; the queue transport's counterpart of the channel's reply table.

A third of a game's requests at 32 simulations per action (half at 200) repeat a position the game has
already sent: the search of the next action goes through the positions of the last one, and the same
squares taken in another order meet again. The cache keeps the logits of the positions evaluated last,
keyed by network index and the position's planes, within a bound on the memory its entries take, and
drops the least recently used first. A reply from the cache is the bytes the network computed for
that position, so it is exactly the reply the computation gave.

This is the cache of the queue transport. Over the shared-memory channel the same budget goes to the
channel's reply table instead, where the workers look a position up themselves (src/channel/reply_table.hpp).
"""

from __future__ import annotations

import sys
from collections import OrderedDict
from collections.abc import Callable
from typing import cast

import numpy as np

# What an entry costs beyond its key and value objects: the ordered dict's slot and link.
_ENTRY_OVERHEAD = 112


class ReplyCache:
    """LRU map (network, planes) -> logits, holding at most ``capacity_bytes`` of entries (0: none)."""

    def __init__(self, capacity_bytes: int):
        self.capacity_bytes = capacity_bytes
        self.size_bytes = 0
        self._entries: OrderedDict[bytes, bytes] = OrderedDict()

    def __len__(self) -> int:
        return len(self._entries)

    def evaluate(
        self, network: int, planes: np.ndarray, run: Callable[[np.ndarray], np.ndarray]
    ) -> tuple[np.ndarray, int]:
        """Logits float32 (B, L) of planes uint8 (B, ...) of network ``network``, and how many of the B
        came without a run: from the cache, or as a repeat of another row of the batch. ``run`` is
        called at most once, on the rows that are new, in their order, and only if there are any."""
        if self.capacity_bytes == 0:
            return run(planes), 0
        count = len(planes)
        prefix = network.to_bytes(2, "little")
        packed = np.packbits(planes.reshape(count, -1), axis=1)
        keys = [prefix + row.tobytes() for row in packed]
        entries = self._entries
        found: list[bytes | None] = [None] * count
        new_rows: dict[bytes, int] = {}  # key -> row of the batch that computes it
        for i, key in enumerate(keys):
            entry = entries.get(key)
            if entry is not None:
                entries.move_to_end(key)
                found[i] = entry
            elif key not in new_rows:
                new_rows[key] = i
        computed = run(planes[list(new_rows.values())]) if new_rows else None
        if computed is not None and len(new_rows) == count:
            self._add(keys, computed)
            return computed, 0
        width = computed.shape[1] if computed is not None else len(cast(bytes, found[0])) // 4
        logits = np.empty((count, width), dtype=np.float32)
        if computed is not None:
            index = dict(zip(new_rows, range(len(new_rows))))
            for i, key in enumerate(keys):
                if found[i] is None:
                    logits[i] = computed[index[key]]
            self._add(list(new_rows), computed)
        for i, entry in enumerate(found):
            if entry is not None:
                logits[i] = np.frombuffer(entry, dtype=np.float32)
        return logits, count - len(new_rows)

    def _add(self, keys: list[bytes], logits: np.ndarray) -> None:
        entries = self._entries
        for key, row in zip(keys, logits):
            value = row.tobytes()
            entries[key] = value
            self.size_bytes += sys.getsizeof(key) + sys.getsizeof(value) + _ENTRY_OVERHEAD
        while self.size_bytes > self.capacity_bytes and entries:
            key, value = entries.popitem(last=False)
            self.size_bytes -= sys.getsizeof(key) + sys.getsizeof(value) + _ENTRY_OVERHEAD
