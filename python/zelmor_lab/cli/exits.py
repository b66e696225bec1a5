"""The exit status of every ``zelmor-lab`` command.

0 done; 1 the run failed: the pipeline failed, the engine abandoned games or a file could not be written (the
message says why; finished games are stored, or the message says how many are not); 2 bad input (settings,
checkpoint, run directory), reported in one line with nothing written; 130 interrupted by Ctrl-C or SIGTERM
(finished games are stored); 141 standard output closed by its reader, ended quietly as a tool that SIGPIPE
ended (128 + SIGPIPE).
"""

EXIT_DONE, EXIT_FAILED, EXIT_BAD_INPUT, EXIT_INTERRUPTED, EXIT_OUTPUT_CLOSED = 0, 1, 2, 130, 141


class CommandFailed(Exception):
    """A command that ran and failed; its message is the one line printed (exit status 1)."""
