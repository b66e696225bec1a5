"""The shared-memory channel between workers and the inference service: what crosses it, how a worker
learns that the service is gone, and that nothing is left behind."""

import multiprocessing
import os
import signal
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zelmor_lab import Game
from zelmor_lab.selfplay.channel import Channel, available

pytestmark = pytest.mark.skipif(not available(), reason="the shared-memory channel is Linux only")


def random_state(rng, dim, rep):
    shape = (5, dim, dim) if rep == 1 else (dim, dim, 5)
    return rng.integers(0, 2, size=shape).astype(bool).tolist()


def zero_logits(channel, slots):
    return np.zeros((len(slots), channel.dim**2 + 4), dtype=np.float32)


def exchange(channel, slot, request, policy, value, front=0):
    """One request and reply through the channel, the service's side played inline."""
    channel.queue(slot, front).put(request)
    ((got_front, ready),) = channel.wait_batch(0.0, 1.0)
    assert list(ready) == [slot] and got_front == front and channel.worker_id(slot) == request[0]
    seen = channel.requests()[slot].copy()
    channel.complete(ready, np.concatenate([policy, value])[None].astype(np.float32))
    return seen, channel.pipe(slot, 1.0).recv()


@pytest.mark.parametrize("rep", [1, 2])
def test_states_and_replies_cross_bit_for_bit_like_the_queue_path(rep):
    from zelmor_lab.selfplay.inference import ReplyPipe, RequestQueue

    dim, rng = 7, np.random.default_rng(7)
    channel = Channel.create(3, dim, rep)
    requests, (reader, writer) = multiprocessing.Queue(), multiprocessing.Pipe(duplex=False)
    for trial in range(20):
        slot = trial % 3
        state = random_state(rng, dim, rep)
        policy = (rng.normal(size=dim * dim) * 10.0 ** rng.integers(-30, 30)).astype(np.float32)
        value = rng.normal(size=4).astype(np.float32)
        seen, reply = exchange(channel, slot, (slot, state), policy, value, front=trial % 2)

        RequestQueue(requests, trial % 2).put((slot, state))
        _, _, queued = requests.get(timeout=5)
        writer.send_bytes(np.concatenate([policy, value]))
        queue_reply = ReplyPipe(reader, 5).recv()

        assert seen.tobytes() == queued == np.asarray(state, dtype=np.uint8).tobytes()
        assert reply == queue_reply
        assert reply[0] == policy.tolist() and reply[1] == value.tolist()


def test_the_engine_plays_a_whole_game_over_the_channel():
    import zelmor_self_play

    class Settings:
        dim, rep, sims_per_move, sample_moves = 5, 2, 8, 4
        c_base, c_init, dirichlet_alpha, exploration_fraction = 19652.0, 1.25, 0.3, 0.25

    channel, stop = Channel.create(1, 5, 2), threading.Event()

    def service():
        while not stop.is_set():
            for _, ready in channel.wait_batch(0.0, 0.05):
                channel.complete(ready, zero_logits(channel, ready))

    thread = threading.Thread(target=service)
    thread.start()
    records = []
    try:
        status = zelmor_self_play.play_training_game(
            3, Settings(), type("R", (), {"put": staticmethod(records.append)}), channel.queue(0), channel.pipe(0, 5)
        )
    finally:
        stop.set()
        thread.join()
    assert status == 0
    history = records[0][1][0]
    game = Game(5)
    for player, tile in history:
        assert player == game.current_player
        game.apply(tile)
    assert game.is_terminal()


def engine_settings(dim, rep, sims):
    return type(
        "Settings",
        (),
        dict(
            dim=dim,
            rep=rep,
            sims_per_move=sims,
            sample_moves=0,
            c_base=19652.0,
            c_init=1.25,
            dirichlet_alpha=0.3,
            exploration_fraction=0.25,
        ),
    )()


@pytest.mark.parametrize("rep", [1, 2])
def test_the_engine_meets_its_channel_with_bytes_and_floats(rep):
    """A channel made for the game's board: the engine's requests land in the slot exactly as the position's
    encoding, and the policy read back steers the game (only the smallest legal tile is offered)."""
    import zelmor_self_play

    dim, channel, stop, seen = 5, Channel.create(1, 5, rep), threading.Event(), []

    def service():
        while not stop.is_set():
            for _, ready in channel.wait_batch(0.0, 0.05):
                planes = channel.requests()[ready[0]].copy()
                seen.append(planes)
                legal = (planes[4] if rep == 1 else planes[..., 4]).reshape(-1)
                policy = np.where(np.arange(dim * dim) == np.argmax(legal), 0.0, -1e30)
                channel.complete(ready, np.concatenate([policy, [0.0, 1.0, 2.0, 3.0]])[None].astype(np.float32))

    thread = threading.Thread(target=service)
    thread.start()
    records = []
    try:
        status = zelmor_self_play.play_training_game(
            7,
            engine_settings(dim, rep, 3),
            type("R", (), {"put": staticmethod(records.append)}),
            channel.queue(0),
            channel.pipe(0, 5),
        )
    finally:
        stop.set()
        thread.join()
    assert status == 0 and channel.worker_id(0) == 7
    game = Game(dim)
    for (_player, tile), planes in zip(records[0][1][0], seen):
        assert tile == game.legal_tiles()[0]
        assert np.array_equal(planes, game.state(channels_last=rep == 2))
        game.apply(tile)
    assert game.is_terminal() and len(seen) == len(records[0][1][0])


def test_a_channel_for_another_board_gets_the_usual_request_and_refuses_it():
    import zelmor_self_play

    channel, results = Channel.create(1, 6, 1), []
    status = zelmor_self_play.play_training_game(
        1, engine_settings(5, 1, 2), type("R", (), {"put": results.append}), channel.queue(0), channel.pipe(0, 1)
    )
    assert status == 1 and results == []  # the search failed on the channel's refusal
    with pytest.raises(ValueError, match="^request state: expected 6 entries at depth 1, got 5$"):
        channel.queue(0).put((1, Game(5).state().tolist()))


def test_malformed_requests_raise_and_leave_the_slot_free():
    channel = Channel.create(1, 5, 1)
    queue = channel.queue(0)
    good = Game(5).state().tolist()
    with pytest.raises(TypeError, match=r"a request is a tuple \(id, state\)"):
        queue.put(good)
    with pytest.raises(ValueError, match="expected 5 entries at depth 0, got 4"):
        queue.put((0, good[:4]))
    with pytest.raises(ValueError, match="expected 5 entries at depth 2, got 4"):
        queue.put((0, [[row[:4] for row in plane] for plane in good]))
    bad = [[list(row) for row in plane] for plane in good]
    bad[2][1][3] = 1
    with pytest.raises(TypeError, match="expected nested lists of bool"):
        queue.put((0, bad))
    with pytest.raises(TypeError, match="expected nested lists of bool"):
        queue.put((0, np.asarray(good)))
    with pytest.raises(ValueError, match="recv without a request outstanding"):
        channel.pipe(0, 0.1).recv()
    queue.put((0, good))
    with pytest.raises(ValueError, match="already has a request outstanding"):
        queue.put((0, good))
    with pytest.raises(IndexError):
        channel.queue(1).put((0, good))
    with pytest.raises(ValueError, match=r"front must be 0 \(the model\) or 1 \(the baseline\)"):
        channel.queue(0, 2)


def test_a_batch_closes_when_the_last_slot_asks_or_when_the_gathering_time_is_up():
    channel, state = Channel.create(3, 5, 1), Game(5).state().tolist()
    channel.queue(0, 1).put((0, state))
    channel.queue(2, 0).put((2, state))
    started = time.monotonic()
    groups = channel.wait_batch(0.3, 1.0)
    assert 0.3 <= time.monotonic() - started < 2
    assert [(front, list(slots)) for front, slots in groups] == [(0, [2]), (1, [0])]
    for _, slots in groups:
        channel.complete(slots, zero_logits(channel, slots))
    for slot in (0, 2):
        channel.pipe(slot, 1.0).recv()

    # The last request wakes a gathering service at once, however long it was ready to wait.
    channel.queue(0).put((0, state))
    late = threading.Timer(0.2, lambda: [channel.queue(s).put((s, state)) for s in (1, 2)])
    late.start()
    started = time.monotonic()
    groups = channel.wait_batch(30.0, 5.0)
    late.join()
    assert time.monotonic() - started < 5
    assert [(front, list(slots)) for front, slots in groups] == [(0, [0, 1, 2])]


def test_a_capped_batch_closes_at_its_size_and_takes_the_slots_in_turn():
    channel, state = Channel.create(5, 5, 1), Game(5).state().tolist()

    def batch(*asking, cap=2):
        for slot in asking:
            channel.queue(slot).put((slot, state))
        ((_, slots),) = channel.wait_batch(30.0, 5.0, cap)
        channel.complete(slots, zero_logits(channel, slots))
        for slot in slots:
            channel.pipe(slot, 1.0).recv()
        return list(slots)

    # Every slot waits; each batch starts after the last one's last slot, so none waits twice.
    assert batch(0, 1, 2, 3, 4) == [0, 1]
    assert batch(0, 1) == [2, 3]
    assert batch(2, 3) == [0, 4]
    assert batch(4) == [1, 2]
    assert batch(0, 1, 2, cap=5) == [0, 1, 2, 3, 4]

    # The request that fills the cap wakes a gathering service, however long it was ready to wait.
    channel.queue(0).put((0, state))
    late = threading.Timer(0.2, lambda: channel.queue(3).put((3, state)))
    late.start()
    started = time.monotonic()
    ((_, slots),) = channel.wait_batch(30.0, 5.0, 2)
    late.join()
    assert time.monotonic() - started < 5 and list(slots) == [0, 3]


def test_every_sleeping_worker_of_a_batch_wakes_and_none_for_another_slot_on_its_bit():
    # Slots 0 and 32 sleep on the same bit; the service wakes one sleeper and leaves the rest to it.
    channel, state = Channel.create(40, 5, 1), Game(5).state().tolist()
    asleep, replied = (0, 5, 32), {}

    def ask(slot):
        channel.queue(slot).put((slot, state))
        replied[slot] = channel.pipe(slot, 10.0).recv()

    threads = [threading.Thread(target=ask, args=(slot,)) for slot in asleep]
    for thread in threads:
        thread.start()
    assert [list(slots) for _, slots in channel.wait_batch(30.0, 5.0, 3)] == [list(asleep)]
    time.sleep(0.2)  # long past every worker's spin
    channel.complete(np.array([0, 5]), zero_logits(channel, [0, 5]))
    threads[0].join(2.0)
    threads[1].join(2.0)
    time.sleep(0.1)
    assert sorted(replied) == [0, 5] and threads[2].is_alive()
    channel.complete(np.array([32]), zero_logits(channel, [32]))
    threads[2].join(2.0)
    assert sorted(replied) == [0, 5, 32]


def test_the_logits_must_have_a_row_of_the_board_for_each_slot():
    channel = Channel.create(2, 5, 1)
    channel.queue(0).put((0, Game(5).state().tolist()))
    for shape in ((2, 29), (1, 28)):
        with pytest.raises(ValueError) as error:
            channel.complete(np.array([0]), np.zeros(shape, dtype=np.float32))
        assert str(error.value) == f"logits: expected shape (1, 29), got ({shape[0]}, {shape[1]})"
    channel.complete(np.array([0]), zero_logits(channel, [0]))
    assert channel.pipe(0, 1.0).recv() == ([0.0] * 25, [0.0] * 4)


def test_the_service_waits_for_no_more_requests_than_workers_are_left():
    from zelmor_lab.selfplay.inference import InferenceService, ServiceConfig
    from zelmor_lab.selfplay.transports import ChannelSource

    channel, state = Channel.create(3, 5, 1), Game(5).state().tolist()
    active, stop = multiprocessing.Value("i", 1), threading.Event()  # two of three workers have ended
    config = ServiceConfig(checkpoints=(), rep=1, device="cpu", threads=1, batch_wait_s=60.0, max_batch=3)
    service = threading.Thread(
        target=InferenceService(config, ChannelSource(channel), None, stop, active, networks=[None]).run
    )
    service.start()
    try:
        channel.queue(0).put((0, state))  # the last worker's request must not wait for theirs
        policy, value = channel.pipe(0, 10.0).recv()
        assert policy == [0.0] * 25 and value == [0.0] * 4
    finally:
        stop.set()
        service.join()


def test_a_worker_finds_a_repeated_position_in_the_reply_table_without_asking_the_service():
    dim, rng = 5, np.random.default_rng(3)
    channel = Channel.create(4, dim, 1, 2**20)
    seen, new = random_state(rng, dim, 1), random_state(rng, dim, 1)

    def reply():
        return rng.normal(size=dim * dim).astype(np.float32), rng.normal(size=4).astype(np.float32)

    _, computed = exchange(channel, 0, (0, seen), *reply())

    # The repeat is answered at once; the service's batch holds only the new position, and the same
    # position asked of the other network, which is new to that network.
    channel.queue(1).put((1, seen))
    assert channel.cache_hits == 1 and channel.pipe(1, 1.0).recv() == computed
    channel.queue(2).put((2, new))
    channel.queue(3, 1).put((3, seen))
    groups = channel.wait_batch(0.0, 1.0)
    assert [(front, list(slots)) for front, slots in groups] == [(0, [2]), (1, [3])]
    replies = {}
    for _, slots in groups:
        channel.complete(slots, np.stack([np.concatenate(reply()) for _ in slots]).astype(np.float32))
        for slot in slots:
            replies[int(slot)] = channel.pipe(int(slot), 1.0).recv()

    # Both are in the table once completed, each for its own network, and so for every process.
    worker = Channel.attach(channel.path)
    worker.queue(0).put((0, new))
    worker.queue(1, 1).put((1, seen))
    assert channel.wait_batch(0.0, 0.2) == [] and channel.cache_hits == 3
    assert worker.pipe(0, 1.0).recv() == replies[2] and worker.pipe(1, 1.0).recv() == replies[3]


def test_services_answer_their_own_lanes_and_share_one_reply_table():
    dim, rng = 5, np.random.default_rng(5)
    block = Channel.create(4, dim, 1, 2**20, lanes=2)
    services = [Channel.attach(block.path) for _ in range(2)]
    for lane, service in enumerate(services):
        service.serve(lane)
    states = [random_state(rng, dim, 1) for _ in range(5)]
    for slot in range(4):
        block.queue(slot).put((slot, states[slot]))
    replies = {}
    for service, lane_slots in zip(services, ([0, 2], [1, 3])):
        ((_, slots),) = service.wait_batch(0.0, 1.0)
        assert list(slots) == lane_slots
        service.complete(slots, rng.normal(size=(2, dim * dim + 4)).astype(np.float32))
        replies.update({slot: block.pipe(slot, 1.0).recv() for slot in lane_slots})

    # What one service computed answers the other's worker, counted for the worker's lane.
    block.queue(1).put((1, states[0]))
    assert block.pipe(1, 1.0).recv() == replies[0]
    assert (services[0].served_hits, services[1].served_hits, block.cache_hits) == (0, 1, 1)

    # A service that closes its lane fails its own workers only.
    services[0].close()
    block.queue(2).put((2, states[4]))
    with pytest.raises(ConnectionError, match="the inference service closed the channel"):
        block.pipe(2, 30).recv()
    assert block.service_trouble(3) == ""
    block.queue(3).put((3, states[4]))
    assert [(front, list(slots)) for front, slots in services[1].wait_batch(0.0, 1.0)] == [(0, [3])]


def test_the_reply_table_forgets_the_least_recently_used_position_of_a_set_first():
    dim, rng = 5, np.random.default_rng(4)
    entry = 2**20 // Channel.create(1, dim, 1, 2**20).cache_capacity
    channel = Channel.create(1, dim, 1, 4 * entry + entry // 2)
    assert channel.cache_capacity == 4  # one set
    a, b, c, d, e = (random_state(rng, dim, 1) for _ in range(5))

    def computed(state):
        """Whether the service had to compute ``state``'s reply."""
        channel.queue(0).put((0, state))
        groups = channel.wait_batch(0.0, 0.2)
        for _, slots in groups:
            channel.complete(slots, zero_logits(channel, slots))
        channel.pipe(0, 1.0).recv()
        return bool(groups)

    assert [computed(s) for s in (a, b, c, d, a, e)] == [True] * 4 + [False, True]  # a used again: b goes
    assert [computed(s) for s in (a, c, d, e, b)] == [False] * 4 + [True]
    assert Channel.create(1, dim, 1, 3 * entry).cache_capacity == 0  # too small for a set: no table


def test_the_service_counts_the_repeats_the_workers_find():
    from zelmor_lab.selfplay.inference import InferenceService, ServiceConfig, ServiceStats
    from zelmor_lab.selfplay.transports import ChannelSource

    def network(planes):
        flat = planes.reshape(len(planes), -1).astype(np.float32)
        return np.concatenate([flat[:, :25] * 2.0, flat[:, :4] + 1.0], axis=1)

    channel, state = Channel.create(2, 5, 1, 2**20), Game(5).state().tolist()
    stats, stop = ServiceStats(multiprocessing.get_context()), threading.Event()
    config = ServiceConfig(checkpoints=(), rep=1, device="cpu", threads=1, batch_wait_s=0.0, max_batch=2)
    service = InferenceService(config, ChannelSource(channel), stats, stop, None, networks=[network])
    thread = threading.Thread(target=service.run)
    thread.start()
    try:
        replies = []
        for slot in (0, 1):
            channel.queue(slot).put((slot, state))
            replies.append(channel.pipe(slot, 10.0).recv())
        deadline = time.monotonic() + 10
        while stats.snapshot().evaluations < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        stop.set()
        thread.join()
    assert replies[0] == replies[1]
    assert replies[0][0] == (2.0 * np.asarray(state, dtype=np.float32).reshape(-1)[:25]).tolist()
    counts = stats.snapshot()
    assert (counts.evaluations, counts.cache_hits, counts.batches, counts.mean_batch) == (2, 1, 1, 1.0)


def test_a_silent_service_times_out_and_a_closed_one_is_reported_at_once():
    channel = Channel.create(1, 5, 1)
    channel.serve()  # the service is this process: alive, but it never answers
    channel.queue(0).put((0, Game(5).state().tolist()))
    pipe = channel.pipe(0, 0.3)
    assert pipe.failure is None
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="no reply from the inference service within"):
        pipe.recv()
    assert 0.3 <= time.monotonic() - started < 2
    # Given up for good: the slot still holds its request, so waiting again would only repeat the wait.
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="no reply from the inference service within"):
        pipe.recv()
    assert time.monotonic() - started < 0.1
    assert pipe.failure == "no reply from the inference service within 0.3 s"
    channel.close()
    started = time.monotonic()
    with pytest.raises(ConnectionError, match="the inference service closed the channel"):
        channel.pipe(0, 30).recv()
    assert time.monotonic() - started < 1
    assert channel.service_trouble() == "the inference service closed the channel"


def _serve_then_hang(path, ready):
    channel = Channel.attach(path)
    channel.serve()
    ready.set()
    time.sleep(60)


def test_a_killed_service_makes_recv_raise_well_within_its_timeout():
    context = multiprocessing.get_context("spawn")
    channel, ready = Channel.create(1, 5, 1), context.Event()
    service = context.Process(target=_serve_then_hang, args=(channel.path, ready), daemon=True)
    service.start()
    try:
        assert ready.wait(30)
        channel.queue(0).put((0, Game(5).state().tolist()))
        threading.Timer(0.2, os.kill, (service.pid, signal.SIGKILL)).start()
        started = time.monotonic()
        with pytest.raises(ConnectionError, match=rf"the inference service \(pid {service.pid}\) has exited"):
            channel.pipe(0, 30).recv()
        assert time.monotonic() - started < 3
    finally:
        service.kill()
        service.join()


def _ask_forever(path, slot, answered):
    channel = Channel.attach(path)
    queue, pipe = channel.queue(slot), channel.pipe(slot, 10)
    state = Game(5).state().tolist()
    while True:
        queue.put((slot, state))
        pipe.recv()
        with answered.get_lock():
            answered.value += 1


def test_a_killed_worker_does_not_stall_the_others():
    context = multiprocessing.get_context("spawn")
    channel = Channel.create(2, 5, 1)
    counts = [context.Value("q", 0) for _ in range(2)]
    workers = [context.Process(target=_ask_forever, args=(channel.path, s, counts[s]), daemon=True) for s in range(2)]
    for worker in workers:
        worker.start()
    try:
        deadline = time.monotonic() + 30
        killed_at = None
        while time.monotonic() < deadline:
            for _, ready in channel.wait_batch(0.01, 0.1):
                channel.complete(ready, zero_logits(channel, ready))
            if killed_at is None and counts[0].value >= 50 and counts[1].value >= 50:
                workers[0].kill()
                workers[0].join()
                killed_at = counts[1].value
            if killed_at is not None and counts[1].value >= killed_at + 200:
                break
        assert killed_at is not None and counts[1].value >= killed_at + 200
    finally:
        for worker in workers:
            worker.kill()
            worker.join()


def test_the_block_leaves_nothing_behind():
    shm_before = set(os.listdir("/dev/shm"))
    fds_before = len(os.listdir("/proc/self/fd"))
    channel = Channel.create(4, 20, 1)
    other = Channel.attach(channel.path)
    assert other.slots == 4 and other.dim == 20 and other.rep == 1
    del other, channel
    assert set(os.listdir("/dev/shm")) == shm_before
    assert len(os.listdir("/proc/self/fd")) == fds_before
    with pytest.raises(ValueError, match="not a channel"):
        Channel.attach("/proc/self/cmdline")


# ---- a channel file from elsewhere ----------------------------------------------------------------

MAGIC = 0x5A4C4D43


def block_bytes(slots: int, dim: int) -> int:
    """The size a channel of this shape takes, as the creating process makes it."""
    channel = Channel.create(slots, dim, 1)
    return os.stat(channel.path).st_size


def channel_file(tmp_path, slots: int, dim: int, rep: int, size: int, sets: int = 0, lanes: int = 1):
    path = tmp_path / "channel"
    header = np.array([MAGIC, slots, dim, rep, lanes, sets], dtype="<u4").tobytes()
    path.write_bytes(header + bytes(max(0, size - len(header))))
    return path


@pytest.mark.parametrize(
    "slots, dim, rep, size, message",
    [
        (
            4096,
            32,
            1,
            64,
            "channel {path} holds 64 bytes; its header (4096 slots, dim 32, 1 lane, 0 reply sets) needs {needed}",
        ),
        (
            4,
            8,
            1,
            -1,
            "channel {path} holds {short} bytes; its header (4 slots, dim 8, 1 lane, 0 reply sets) needs {needed}",
        ),
        (2**32 - 1, 2**32 - 1, 1, 64, "channel {path} has a damaged header: slots must be in 1..4096"),
        (4, 2**32 - 1, 1, 64, "channel {path} has a damaged header: dim must be in 4..32"),
        (4, 8, 3, 2**20, "channel {path} has a damaged header: rep must be 1 or 2"),
    ],
    ids=["header larger than the file", "one byte short", "overflowing shape", "overflowing dim", "bad rep"],
)
def test_a_header_that_does_not_fit_its_file_is_refused(tmp_path, slots, dim, rep, size, message):
    needed = block_bytes(slots, dim) if slots <= 4096 and dim <= 32 else 0
    path = channel_file(tmp_path, slots, dim, rep, needed - 1 if size == -1 else size)
    with pytest.raises(ValueError) as error:
        Channel.attach(str(path))
    assert str(error.value) == message.format(path=path, needed=needed, short=needed - 1)


@settings(
    max_examples=200, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    slots=st.one_of(st.integers(0, 4097), st.integers(0, 2**32 - 1)),
    dim=st.one_of(st.integers(0, 33), st.integers(0, 2**32 - 1)),
    rep=st.integers(0, 3),
    size=st.integers(16, 1 << 22),
    sets=st.one_of(st.integers(0, 64), st.integers(0, 2**32 - 1)),
    lanes=st.one_of(st.integers(0, 5), st.integers(0, 2**32 - 1)),
)
def test_any_attached_header_gives_views_inside_the_file(tmp_path, slots, dim, rep, size, sets, lanes):
    # A channel that attaches at all must let every view, every lane and every set of its reply table be
    # used to its end: memory past the file's end dies with SIGBUS, which no Python code can catch.
    path = channel_file(tmp_path, slots, dim, rep, size, sets, lanes)
    try:
        channel = Channel.attach(str(path))
    except ValueError:
        return
    assert (channel.slots, channel.dim, channel.rep, channel.cache_capacity) == (slots, dim, rep, 4 * sets)
    assert 1 <= channel.lanes == lanes <= slots
    assert int(channel.requests().reshape(-1)[-1]) == 0
    rng = np.random.default_rng(sets)
    last = slots - 1  # its reply rows end the reply regions
    channel.serve(last % lanes)
    for request in range(min(sets, 8) * 4 + 1):  # a miss, then the reply stored in whichever set it hashes to
        channel.queue(last).put((0, random_state(rng, dim, rep)))
        if request == 0:
            assert [(front, waiting.tolist()) for front, waiting in channel.wait_batch(0.0, 0.0)] == [(0, [last])]
        channel.complete(np.array([last]), zero_logits(channel, [last]))
        channel.pipe(last, 1.0).recv()


def test_a_nan_timeout_is_refused():
    channel = Channel.create(2, 8, 1)
    with pytest.raises(ValueError) as error:
        channel.pipe(0, float("nan"))
    assert str(error.value) == "timeout must be a number of seconds, got nan"
    for gather, timeout, name in ((float("nan"), 0.01, "gather"), (0.0, float("nan"), "timeout")):
        with pytest.raises(ValueError) as error:
            channel.wait_batch(gather, timeout)
        assert str(error.value) == f"{name} must be a number of seconds, got nan"
