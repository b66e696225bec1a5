"""Progress where standard error is a log file: plain lines at a slow pace, never carriage returns."""

import io

from zelmor_lab.progress import progress_bar


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


def test_outside_a_terminal_progress_is_a_plain_line_per_period_and_one_at_the_end(monkeypatch):
    clock = Clock()
    monkeypatch.setattr("zelmor_lab.progress.time.monotonic", clock)
    log = io.StringIO()  # no terminal
    with progress_bar(total=10, unit="game", desc="self-play", file=log, period=30.0) as bar:
        for step in range(10):
            clock.now += 10.0
            bar.update(1)
            if step == 4:
                bar.set_postfix({"pos/s": "3.0"})
    lines = log.getvalue().splitlines()
    assert "\r" not in log.getvalue()
    # At 30 s, 60 s and 90 s, then the end once more.
    assert [line.split(",")[0] for line in lines] == [
        "self-play: 3/10 games",
        "self-play: 6/10 games",
        "self-play: 9/10 games",
        "self-play: 10/10 games",
    ]
    assert " left" in lines[0] and lines[1].endswith("pos/s=3.0")

    quick = io.StringIO()
    with progress_bar(total=3, unit="game", file=quick) as bar:
        bar.update(3)
    assert quick.getvalue() == ""  # a task shorter than a period leaves the log as it was
    with progress_bar(total=3, file=io.StringIO(), disable=True) as bar:
        assert bar.disable
