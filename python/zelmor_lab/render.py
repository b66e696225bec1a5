"""Pictures of a board with matplotlib (no display needed)."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from .errors import WriteError

# Empty, then players 0 to 3, in the colours of the engine's text board.
COLOURS = ("#f2f2f2", "#d62728", "#1f77b4", "#f1c40f", "#2ca02c")


def draw_board(game, path: str | Path, title: str = "") -> Path:
    """Write a PNG of ``game``'s board (a zelmor_lab.Game) to ``path``, one square per tile, with the
    players' scores in the legend. WriteError when the file cannot be written."""
    from matplotlib.colors import ListedColormap
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    owners = np.asarray(game.cells()) & 0x0F  # 0 empty, p + 1 for player p
    dim = game.dim
    figure = Figure(figsize=(6, 6.8))  # no pyplot: the caller's backend and figures stay untouched
    axes = figure.subplots()
    axes.imshow(owners, cmap=ListedColormap(COLOURS), vmin=0, vmax=4)
    axes.set_xticks(np.arange(-0.5, dim), minor=True)
    axes.set_yticks(np.arange(-0.5, dim), minor=True)
    axes.grid(which="minor", color="white", linewidth=1)
    axes.tick_params(which="both", bottom=False, left=False, labelbottom=False, labelleft=False)
    scores = game.scores()
    axes.legend(handles=[Patch(color=COLOURS[p + 1], label=f"player {p}: {scores[p]}") for p in range(4)],
                loc="upper center", bbox_to_anchor=(0.5, -0.01), ncol=2, frameon=False)
    if title:
        axes.set_title(title)
    figure.tight_layout()
    path = Path(path)
    try:
        figure.savefig(path, dpi=100)
    except OSError as error:
        raise WriteError(f"cannot write {path}: {error.strerror}") from None
    return path
