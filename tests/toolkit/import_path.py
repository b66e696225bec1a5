"""Where a test's child processes import the package from: wherever this process did, the source tree in
development, site-packages when installed."""

import os
from pathlib import Path

import zelmor_lab
import zelmor_self_play

IMPORT_PATH = os.pathsep.join(
    dict.fromkeys(
        str(Path(module.__file__).resolve().parents[levels])
        for module, levels in ((zelmor_lab, 1), (zelmor_self_play, 0))
    )
)
