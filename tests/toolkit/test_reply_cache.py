"""The service's reply cache: what it answers is what the network computed, and it stays within
its memory bound, dropping the least recently used positions."""

import numpy as np
import pytest

from zelmor_lab.selfplay.reply_cache import ReplyCache

DIM = 5


class CountingNetwork:
    """A deterministic stand-in network that records the batches it is run on."""

    def __init__(self, offset=0.0):
        self.calls = []
        self.offset = offset

    def __call__(self, planes):
        self.calls.append(planes.copy())
        flat = planes.reshape(len(planes), -1).astype(np.float32)
        return np.concatenate(
            [flat[:, : DIM * DIM] * 0.5 + self.offset, flat[:, :4] + flat.sum(1, keepdims=True)], axis=1
        )


def positions(seed, count):
    return np.random.default_rng(seed).integers(0, 2, size=(count, 5, DIM, DIM), dtype=np.uint8)


def test_repeats_are_answered_from_memory_with_the_computed_bytes():
    cache, network = ReplyCache(2**20), CountingNetwork()
    first = positions(1, 4)
    computed, hits = cache.evaluate(0, first, network)
    assert hits == 0 and len(network.calls) == 1 and len(cache) == 4

    # Two repeats, one new position, and that new position twice in the same batch.
    new = positions(2, 1)
    batch = np.concatenate([first[2:3], new, first[0:1], new])
    logits, hits = cache.evaluate(0, batch, network)
    assert hits == 3
    np.testing.assert_array_equal(network.calls[-1], new)  # only the new position was run, once
    fresh = CountingNetwork()(new)
    assert logits.tobytes() == np.concatenate([computed[2:3], fresh, computed[0:1], fresh]).tobytes()

    logits, hits = cache.evaluate(0, first, network)  # all from memory: no run at all
    assert hits == 4 and len(network.calls) == 2 and logits.tobytes() == computed.tobytes()


def test_the_networks_of_a_match_have_their_own_entries():
    cache, model, baseline = ReplyCache(2**20), CountingNetwork(), CountingNetwork(offset=1.0)
    planes = positions(3, 2)
    from_model, _ = cache.evaluate(0, planes, model)
    from_baseline, hits = cache.evaluate(1, planes, baseline)
    assert hits == 0 and len(baseline.calls) == 1
    assert cache.evaluate(0, planes, model)[0].tobytes() == from_model.tobytes()
    assert cache.evaluate(1, planes, baseline)[0].tobytes() == from_baseline.tobytes()
    assert not np.array_equal(from_model, from_baseline)


def test_the_least_recently_used_position_goes_first_when_memory_runs_out():
    probe = ReplyCache(2**20)
    probe.evaluate(0, positions(4, 1), CountingNetwork())
    entry = probe.size_bytes
    cache, network = ReplyCache(3 * entry), CountingNetwork()
    a, b, c, d = positions(5, 4)
    cache.evaluate(0, np.stack([a, b, c]), network)
    cache.evaluate(0, a[None], network)  # a is used again, so b is now the oldest
    cache.evaluate(0, d[None], network)
    assert len(cache) == 3 and cache.size_bytes <= 3 * entry
    for kept in (a, c, d):
        assert cache.evaluate(0, kept[None], network)[1] == 1
    assert cache.evaluate(0, b[None], network)[1] == 0


@pytest.mark.parametrize("capacity", [0, 10])
def test_a_cache_too_small_for_one_entry_only_passes_batches_through(capacity):
    cache, network = ReplyCache(capacity), CountingNetwork()
    planes = positions(6, 3)
    for _ in range(2):
        logits, hits = cache.evaluate(0, planes, network)
        assert hits == 0 and logits.tobytes() == CountingNetwork()(planes).tobytes()
    assert len(cache) == 0 and cache.size_bytes == 0
