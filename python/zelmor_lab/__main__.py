"""``python -m zelmor_lab``: the zelmor-lab command without the installed entry point."""

from .cli import main

raise SystemExit(main())
