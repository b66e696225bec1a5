"""Texts as the engine renders them, and the interpreters and memory its tests measure with."""

from __future__ import annotations

import ctypes
import io
import os
import subprocess
import sys

# ----------------------------------------------------------------------------------------------------------
# Texts as the module renders them


def debug_text(text: str) -> str:
    """A text in the debug rendering the module uses: in double quotes, with quotes, backslashes and
    control characters escaped by a backslash."""
    escapes = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}
    out = []
    for ch in text:
        if ch in escapes:
            out.append(escapes[ch])
        elif not ch.isprintable():
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


_print_traceback = ctypes.pythonapi.PyTraceBack_Print
_print_traceback.argtypes = [ctypes.py_object, ctypes.py_object]
_print_traceback.restype = ctypes.c_int


def traceback_text(tb) -> str:
    """The traceback as the interpreter prints it (PyTraceBack_Print)."""
    out = io.StringIO()
    _print_traceback(tb, out)
    return out.getvalue()


_OWN = object()


def pyerr_text(error: BaseException, tb=_OWN) -> str:
    """The module's rendering of a Python error: "PyErr { type: ..., value: ..., traceback: ... }".

    tb: the traceback the module saw (None for none); by default the error's own."""
    tb = error.__traceback__ if tb is _OWN else tb
    shown = "None" if tb is None else f"Some({debug_text(traceback_text(tb))})"
    return f"PyErr {{ type: {type(error)!r}, value: {error!r}, traceback: {shown} }}"


def mcts_error_line(failure: str) -> str:
    """The line a greedy match writes when a decision of the network seat fails."""
    return f"Error running MCTS: {debug_text(failure)}\n"


def root_error_line(error: BaseException) -> str:
    return mcts_error_line("Error evaluating root node: " + pyerr_text(error))


def unwrap_message(error: BaseException, tb=_OWN) -> str:
    """The panic text for a settings object that could not be read."""
    return "called `Result::unwrap()` on an `Err` value: " + pyerr_text(error, tb)


# ----------------------------------------------------------------------------------------------------------
# Other interpreters and memory


def run_python(script: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs `script` in a fresh interpreter that imports what this one imports; output captured as text."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout, env=env)


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
