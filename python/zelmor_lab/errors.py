"""The failures the command line reports by their message alone: InputError, the user's input's fault (a
bad setting, checkpoint or run directory), exit status 2; WriteError, a file that could not be written
(a full disk, an I/O error), exit status 1."""


class InputError(Exception):
    """Input that cannot be used; the message says which and why."""


class WriteError(Exception):
    """A file that could not be written; the message names it and says why. The file's earlier
    contents, if any, are intact and no temporary file is left behind."""
