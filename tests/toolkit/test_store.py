"""The run directory: Parquet shards of games, run.json, appending, and damaged shards."""

import errno
import json
import os
import struct
import subprocess
import sys
import types
from datetime import datetime, timezone

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from import_path import IMPORT_PATH
from zelmor_lab import read_games
from zelmor_lab.errors import WriteError
from zelmor_lab.runs.atomic import write_atomically
from zelmor_lab.runs.store import CorruptShardError, Run, RunError, RunWriter, read_shard, session_record

ONE_THIRD = float(np.float32(1 / 3))

# Three games as the engine posts them; the values are exact in 32 bits, so they must come back equal.
GAMES = [
    dict(
        worker=0,
        history=[(0, 0), (0, 1), (1, 6)],
        policies=[[(0, 0.75), (1, 0.25)], [(1, 1.0)], [(6, 0.5), (5, 0.5)]],
        payoff=[1.0, 0.0, 0.0, 0.0],
        model="aaaa",
        finished_at=1_700_000_000.25,
        game_id="g0",
        node="local",
    ),
    dict(
        worker=3,
        history=[(0, 2)],
        policies=[[(2, 1.0), (3, 0.0)]],
        payoff=[ONE_THIRD, ONE_THIRD, ONE_THIRD, 0.0],
        model="aaaa",
        finished_at=1_700_000_001.5,
        game_id="g1",
        node="a1b2",
    ),
    dict(
        worker=1,
        history=[(0, 35)],
        policies=[[(35, 0.125), (34, 0.875)]],
        payoff=[0.0, 0.5, 0.0, 0.5],
        model="bbbb",
        finished_at=1_700_000_002.0,
        game_id="g2",
        node="c3d4",
    ),
]


def write_run(path, games, flush_every=2, dim=6, command="selfplay"):
    with RunWriter(path, dim, session_record(command, {"dim": dim}, {"digest": "aaaa"}), flush_every) as writer:
        for game in games:
            writer.add(**game)
        writer.flush()


def as_written(game) -> dict:
    stored = dict(game)
    stored["finished_at"] = datetime.fromtimestamp(game["finished_at"], timezone.utc)
    return stored


def test_games_come_back_as_written_in_order_across_shards(tmp_path):
    write_run(tmp_path / "run", GAMES, flush_every=2)
    run = Run(tmp_path / "run")
    assert len(run.shards()) == 2  # two games by the flush count, the last one by the final flush
    games = list(read_games(tmp_path / "run"))
    assert [vars(g) for g in games] == [as_written(g) for g in GAMES]
    assert all(isinstance(p, float) and isinstance(t, int) for g in games for entry in g.policies for t, p in entry)


def test_shards_have_the_documented_column_types(tmp_path):
    write_run(tmp_path / "run", GAMES[:1])
    schema = pq.read_schema(Run(tmp_path / "run").shards()[0])
    types = {field.name: field.type for field in schema}
    assert types["worker"] == pa.int32()
    assert types["history"].value_type == pa.struct([("player", pa.int8()), ("tile", pa.int16())])
    assert types["policies"].value_type.value_type == pa.struct([("tile", pa.int16()), ("p", pa.float32())])
    assert types["payoff"] == pa.list_(pa.float32(), 4)
    assert types["model"] == pa.string() and types["finished_at"] == pa.timestamp("us", tz="UTC")
    assert types["game_id"] == pa.string() and types["node"] == pa.string()


def test_a_game_is_stored_once_by_its_id_and_a_game_without_one_gets_a_fresh_id(tmp_path):
    with RunWriter(tmp_path / "run", 6, session_record("selfplay", {}, {}), flush_every=1) as writer:
        assert writer.add(**GAMES[0])
        assert not writer.add(**dict(GAMES[1], game_id=GAMES[0]["game_id"]))  # delivered twice
        assert writer.add(**dict(GAMES[1], game_id=None)) and writer.add(**dict(GAMES[2], game_id=None))
    games = list(read_games(tmp_path / "run"))
    assert [g.worker for g in games] == [0, 3, 1]
    fresh = [g.game_id for g in games[1:]]
    assert games[0].game_id == "g0" and fresh[0] != fresh[1] and all(len(i) == 32 for i in fresh)


def test_shards_written_before_game_ids_read_as_local_games_with_ids_from_shard_and_row(tmp_path):
    write_run(tmp_path / "run", GAMES[:2])
    shard = Run(tmp_path / "run").shards()[0]
    table = pq.read_table(shard)
    pq.write_table(table.drop_columns(["game_id", "node"]), shard)
    write_run(tmp_path / "run", GAMES[2:])  # a later session appends shards of the new kind
    games = list(read_games(tmp_path / "run"))
    assert [(g.game_id, g.node) for g in games] == [
        (f"{shard.name}:0", "local"),
        (f"{shard.name}:1", "local"),
        ("g2", "c3d4"),
    ]
    assert [g.history for g in games] == [g["history"] for g in GAMES]


def test_appending_adds_a_session_and_keeps_earlier_games(tmp_path):
    write_run(tmp_path / "run", GAMES[:2])
    write_run(tmp_path / "run", GAMES[2:], command="selfplay again")
    meta = json.loads((tmp_path / "run" / "run.json").read_text())
    assert [s["command"] for s in meta["sessions"]] == ["selfplay", "selfplay again"]
    assert {"python", "torch", "numpy", "pyarrow"} <= set(meta["sessions"][0]["versions"])
    assert [g.worker for g in read_games(tmp_path / "run")] == [0, 3, 1]


def test_a_run_on_another_board_is_refused_and_left_alone(tmp_path):
    write_run(tmp_path / "run", GAMES[:1], dim=6)
    before = (tmp_path / "run" / "run.json").read_bytes()
    with pytest.raises(RunError) as error:
        write_run(tmp_path / "run", GAMES[1:], dim=8)
    assert str(error.value) == f"{tmp_path / 'run'} holds games on a 6 x 6 board, not 8 x 8"
    assert (tmp_path / "run" / "run.json").read_bytes() == before
    assert len(list(read_games(tmp_path / "run"))) == 1


def test_a_directory_that_is_not_a_run_is_refused_without_writing(tmp_path):
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "todo.txt").write_text("x")
    with pytest.raises(RunError) as error:
        write_run(tmp_path / "notes", GAMES)
    assert str(error.value) == f"{tmp_path / 'notes'} is not a zelmor-lab run (no run.json) and is not empty"
    assert [p.name for p in (tmp_path / "notes").iterdir()] == ["todo.txt"]
    with pytest.raises(RunError) as error:
        list(read_games(tmp_path / "notes"))
    assert str(error.value) == f"{tmp_path / 'notes'} is not a zelmor-lab run (no run.json)"


def test_an_empty_directory_becomes_a_run(tmp_path):
    write_run(tmp_path, GAMES[:1])
    assert len(list(read_games(tmp_path))) == 1


def test_two_writers_never_share_a_run(tmp_path):
    session = session_record("selfplay", {}, {})
    with RunWriter(tmp_path / "run", 6, session, 1):
        with pytest.raises(RunError) as error:
            RunWriter(tmp_path / "run", 6, session, 1)
    assert str(error.value) == f"{tmp_path / 'run'} is in use by another zelmor-lab process"
    assert len(json.loads((tmp_path / "run" / "run.json").read_text())["sessions"]) == 1


def test_a_shard_cut_short_by_a_crash_is_invisible_and_cleaned_up(tmp_path):
    write_run(tmp_path / "run", GAMES[:1])
    half = tmp_path / "run" / "games" / ".20990101T000000000000Z-1-00001.parquet.tmp"
    half.write_bytes(Run(tmp_path / "run").shards()[0].read_bytes()[:100])
    assert len(list(read_games(tmp_path / "run"))) == 1
    write_run(tmp_path / "run", GAMES[1:2])
    assert not half.exists()
    assert len(list(read_games(tmp_path / "run"))) == 2


def _truncate(data: bytes) -> bytes:
    return data[: len(data) // 2]


def _flip_a_data_byte(data: bytes) -> bytes:
    # Parquet files start with the 4-byte magic and data pages follow it; byte 40 is inside the first page.
    return data[:40] + bytes([data[40] ^ 0xFF]) + data[41:]


@pytest.mark.parametrize(
    "damage", [_truncate, _flip_a_data_byte, lambda data: b"garbage"], ids=["truncated", "flipped byte", "garbage"]
)
def test_a_damaged_shard_is_detected_and_named(tmp_path, damage):
    write_run(tmp_path / "run", GAMES, flush_every=1)
    victim = Run(tmp_path / "run").shards()[1]
    victim.write_bytes(damage(victim.read_bytes()))
    with pytest.raises(CorruptShardError) as error:
        list(read_games(tmp_path / "run"))
    assert str(error.value).startswith(f"corrupt shard {victim}: ")


def test_a_parquet_file_of_other_columns_is_not_taken_for_games(tmp_path):
    write_run(tmp_path / "run", GAMES[:1])
    stranger = tmp_path / "run" / "games" / "20991231T000000000000Z-1-00001.parquet"
    pq.write_table(pa.table({"worker": [1]}), stranger)
    with pytest.raises(CorruptShardError) as error:
        list(read_games(tmp_path / "run"))
    assert str(error.value) == f"corrupt shard {stranger}: unexpected columns ['worker']"


@settings(
    max_examples=300, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(place=st.floats(0, 1, exclude_max=True), mask=st.integers(1, 255))
def test_a_damaged_footer_is_a_corrupt_shard_or_a_readable_one(tmp_path, place, mask):
    # The footer (schema, column names, offsets) has no checksum; a damaged one must still be reported as
    # the shard's damage, never as a decoding error of its own.
    if not (tmp_path / "run").exists():
        write_run(tmp_path / "run", GAMES, flush_every=3)
    shard = Run(tmp_path / "run").shards()[0]
    data = shard.read_bytes()
    footer = struct.unpack("<I", data[-8:-4])[0]
    at = len(data) - 8 - footer + int(place * footer)
    damaged = tmp_path / "damaged.parquet"
    damaged.write_bytes(data[:at] + bytes([data[at] ^ mask]) + data[at + 1 :])
    try:
        read_shard(damaged)
    except CorruptShardError as error:
        assert str(error).startswith(f"corrupt shard {damaged}: ")


@pytest.mark.parametrize(
    "content, problem",
    [
        ("{", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
        ("[]", "not a JSON object"),
        (
            '{"format": "zelmor-lab run 2", "dim": 6, "sessions": [{}]}',
            "format 'zelmor-lab run 2', not 'zelmor-lab run 1'",
        ),
        (
            '{"format": "zelmor-lab run 1", "dim": 99, "sessions": [{}]}',
            "dim must be a board side from 4 to 32, got 99",
        ),
        (
            '{"format": "zelmor-lab run 1", "dim": true, "sessions": [{}]}',
            "dim must be a board side from 4 to 32, got True",
        ),
        ('{"format": "zelmor-lab run 1", "dim": 6, "sessions": {"model": {}}}', "sessions must be a list, got dict"),
        (
            '{"format": "zelmor-lab run 1", "dim": 6, "sessions": []}',
            "sessions is empty; a run records the session that created it",
        ),
        ('{"format": "zelmor-lab run 1", "dim": 6, "sessions": [{}, 3]}', "session 1 is int, not an object"),
        (
            '{"format": "zelmor-lab run 1", "dim": 6, "sessions": [{"model": ["a"]}]}',
            "session 0 has a model that is list, not an object",
        ),
        (
            '{"format": "zelmor-lab run 1", "dim": 6, "sessions": [{"model": {"path": 7}}]}',
            "session 0 has a model path 7, not a text",
        ),
        (
            '{"format": "zelmor-lab run 1", "dim": 6, "sessions": [{"model": {"path": "a\\u0000"}}]}',
            "session 0 has a model path 'a\\x00' that no file can have",
        ),
        ("[" * 200_000, "JSON nested too deeply"),
    ],
)
def test_a_damaged_run_json_is_named_with_what_is_wrong(tmp_path, content, problem):
    write_run(tmp_path / "run", GAMES[:1])
    (tmp_path / "run" / "run.json").write_text(content)
    for open_run in (lambda: Run(tmp_path / "run"), lambda: write_run(tmp_path / "run", GAMES[1:])):
        with pytest.raises(RunError) as error:
            open_run()
        assert str(error.value) == f"{tmp_path / 'run' / 'run.json'} is damaged: {problem}"
    assert (tmp_path / "run" / "run.json").read_text() == content


# ---- a full disk ---------------------------------------------------------------------------------


@pytest.fixture
def disk(monkeypatch):
    """A disk that is full while ``disk.full`` holds: every fsync fails with ENOSPC, as the write-back of
    data that found no room does."""
    state = types.SimpleNamespace(full=False)
    fsync = os.fsync

    def fsync_on_the_disk(fd):
        if state.full:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        fsync(fd)

    monkeypatch.setattr(os, "fsync", fsync_on_the_disk)
    return state


def test_a_failed_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path, disk):
    path = tmp_path / "file"
    path.write_bytes(b"old")
    disk.full = True
    with pytest.raises(WriteError) as error:
        write_atomically(path, b"new")
    assert str(error.value) == f"cannot write {path}: No space left on device"
    assert path.read_bytes() == b"old" and list(tmp_path.iterdir()) == [path]


WRITER = """
import sys
from pathlib import Path
from zelmor_lab.runs.atomic import write_atomically
mark = sys.argv[2].encode()
for n in range(100):
    write_atomically(Path(sys.argv[1]), mark * 50_000)
"""


def test_processes_writing_one_path_at_once_each_leave_a_whole_file(tmp_path):
    path = tmp_path / "network.onnx"
    env = dict(os.environ, PYTHONPATH=IMPORT_PATH)
    writers = [
        subprocess.Popen([sys.executable, "-c", WRITER, str(path), mark], env=env, stderr=subprocess.PIPE, text=True)
        for mark in "abcdef"
    ]
    assert [(writer.wait(timeout=120), writer.stderr.read()) for writer in writers] == [(0, "")] * len(writers)
    data = path.read_bytes()
    assert len(data) == 50_000 and data == data[:1] * 50_000
    assert list(tmp_path.iterdir()) == [path]


def test_games_whose_shard_finds_no_room_stay_queued_and_are_written_later(tmp_path, disk):
    games_dir = tmp_path / "run" / "games"
    with RunWriter(tmp_path / "run", 6, session_record("selfplay", {}, {}), flush_every=2) as writer:
        disk.full = True
        for game in GAMES[:2]:
            writer.add(**game)  # the shard of these two fails, and no error stops the session
        assert writer.pending == 2 and list(games_dir.iterdir()) == []
        disk.full = False
        writer.add(**GAMES[2])  # the next try waits for two more games
        assert writer.pending == 3 and list(games_dir.iterdir()) == []
        disk.full = True
        with pytest.raises(WriteError) as error:
            writer.flush()
        assert str(error.value).startswith(f"3 finished games are not stored: cannot write {games_dir}/")
        assert str(error.value).endswith(".parquet: No space left on device")
        disk.full = False
        writer.flush()
    assert [vars(g) for g in read_games(tmp_path / "run")] == [as_written(g) for g in GAMES]
    assert len(list(games_dir.iterdir())) == 1


@pytest.mark.parametrize("exists", [False, True], ids=["absent", "empty directory"])
def test_a_new_run_whose_network_finds_no_room_is_not_created(tmp_path, disk, exists):
    path = tmp_path / "run"
    if exists:
        path.mkdir()
    session = session_record("selfplay", {}, {"digest": "abcd", "path": "models/abcd.pt"})
    disk.full = True
    with pytest.raises(WriteError) as error:
        RunWriter(path, 6, session, 1, {"models/abcd.pt": b"network"})
    assert str(error.value) == f"cannot write {path / 'models' / 'abcd.pt'}: No space left on device"
    assert list(tmp_path.iterdir()) == ([path] if exists else []) and list(path.glob("*")) == []
    disk.full = False
    RunWriter(path, 6, session, 1, {"models/abcd.pt": b"network"}).close()
    assert Run(path).meta["sessions"][0]["model"]["path"] == "models/abcd.pt"
    assert (path / "models" / "abcd.pt").read_bytes() == b"network"


def test_a_game_of_the_wrong_shape_is_refused_alone(tmp_path):
    with RunWriter(tmp_path / "run", 6, session_record("selfplay", {}, {}), flush_every=2) as writer:
        with pytest.raises(ValueError) as error:
            writer.add(**dict(GAMES[0], policies=GAMES[0]["policies"][:2]))
        assert str(error.value) == "a game needs one policy entry per action, got 3 actions and 2 entries"
        with pytest.raises(ValueError) as error:
            writer.add(**dict(GAMES[0], payoff=[1.0]))
        assert str(error.value) == "a game's payoff holds 4 values, got 1"
        for game in GAMES[:2]:
            writer.add(**game)
    assert [g.worker for g in read_games(tmp_path / "run")] == [0, 3]
