"""The ``zelmor-lab`` command line: one module per subcommand, ``main`` the entry point."""

from .main import build_parser, main

__all__ = ["build_parser", "main"]
