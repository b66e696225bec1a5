"""The one base class of the failures that are the user's input's fault (a bad setting, checkpoint or
run directory): the command line reports their message alone and exits with status 2."""


class InputError(Exception):
    """Input that cannot be used; the message says which and why."""
