"""The benchmarks still run against the package as it is: a change to an interface they use (the channel's,
the service's) would otherwise break them silently, as no timed figure belongs in the tests. Each runs at
its smallest, and only its output's form is checked."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from import_path import IMPORT_PATH
from zelmor_lab.selfplay.channel import available

BENCH = Path(__file__).resolve().parents[2] / "bench"

pytestmark = pytest.mark.skipif(not available(), reason="the shared-memory channel needs Linux")


def run_bench(script: str, *args: str) -> str:
    result = subprocess.run(
        [sys.executable, str(BENCH / script), *args],
        env={**os.environ, "PYTHONPATH": IMPORT_PATH},
        capture_output=True,
        text=True,
        timeout=240,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


def test_the_worker_bench_compares_bytes_with_lists():
    out = run_bench("worker_bench.py", "--rounds", "1", "--games", "1", "--dim", "5", "--sims", "4")
    assert re.search(r"^lists/bytes: \d+\.\d\d$", out, re.MULTILINE)


def test_the_channel_bench_compares_the_transports():
    out = run_bench("channel_bench.py", "--seconds", "0.5", "--repeats", "1", "--workers", "2", "--dim", "5")
    assert re.search(r"^shm / queue: \d+\.\dx$", out, re.MULTILINE)


def test_the_pipeline_bench_measures_a_network_against_the_backend_alone():
    pytest.importorskip("torch")
    smallest = "--networks trivial --dim 5 --sims 4 --workers 2 --rounds 1 --seconds 1"
    out = run_bench("pipeline_bench.py", *smallest.split())
    assert re.search(r"^trivial .*%.*\(rounds \d+% to \d+%\)$", out, re.MULTILINE)


def test_the_strength_bench_compares_one_process_with_several():
    out = run_bench("strength_bench.py", "--scale", "0.01", "--dim", "7", "--processes", "2")
    assert re.search(r"^one/2 processes: \d+\.\d\d$", out, re.MULTILINE)


def test_the_training_bench_compares_the_layouts():
    pytest.importorskip("torch")
    out = run_bench("train_bench.py", "--steps", "1", "--repeats", "1", "--games", "1")
    assert re.search(r"^usual order / channels last: \d+\.\d\dx$", out, re.MULTILINE)
