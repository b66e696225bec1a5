"""Progress bars that also serve a log: on a terminal tqdm's bar as usual; where standard error is a file
or a pipe (nohup, a job's log), a plain line every half minute and one at the end, instead of a bar
redrawn with carriage returns or nothing at all. A task shorter than that prints no line."""

from __future__ import annotations

import sys
import time
from typing import Any

LINE_EVERY_S = 30.0


class _Lines:
    """The file tqdm draws on when it is no terminal: each redrawn status becomes a line of its own,
    one every ``period`` seconds, and the last status when the bar closes after having written any."""

    def __init__(self, stream, period: float):
        self._stream = stream
        self._period = period
        self._pending: str | None = None
        self._written_at = time.monotonic()
        self._wrote = False

    def write(self, text: str) -> None:
        status = text.replace("\r", "").strip()
        if status:
            self._pending = status
            if time.monotonic() - self._written_at >= self._period:
                self._write_pending()
        elif "\n" in text and self._wrote:  # the bar is closing
            self._write_pending()

    def _write_pending(self) -> None:
        if self._pending is not None:
            self._stream.write(self._pending + "\n")
            self._stream.flush()
            self._pending = None
            self._written_at = time.monotonic()
            self._wrote = True

    def flush(self) -> None:
        pass


def progress_bar(iterable=None, *, disable: bool | None = None, period: float = LINE_EVERY_S, **options: Any):
    """tqdm(iterable, **options) on standard error (or ``options["file"]``); disable: True for none, else a
    bar on a terminal and plain lines elsewhere."""
    from tqdm import tqdm

    stream = options.pop("file", None) or sys.stderr
    if disable or stream.isatty():
        return tqdm(iterable, file=stream, disable=bool(disable), **options)
    unit = options.get("unit", "it")
    desc = options.pop("desc", None)
    options.update(leave=True, dynamic_ncols=False, mininterval=0)
    head = f"{desc}: " if desc else ""
    bar_format = head + "{n_fmt}/{total_fmt} " + unit + "s, {rate_fmt}, {elapsed} elapsed, {remaining} left{postfix}"
    return tqdm(iterable, file=_Lines(stream, period), bar_format=bar_format, **options)
