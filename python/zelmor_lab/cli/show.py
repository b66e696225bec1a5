"""zelmor-lab show: one stored game replayed, as text and optionally as a picture."""

from __future__ import annotations

from pathlib import Path

from ..errors import InputError
from .arguments import add_run_command


def register(commands) -> None:
    show = add_run_command(commands, run, "show", help="replay one stored game")
    show.add_argument(
        "--game",
        type=int,
        default=0,
        help="which game, in order of writing from 0; negative counts from the end (default: 0)",
    )
    show.add_argument("--every-move", action="store_true", help="print the board after every piece")
    show.add_argument("--png", type=Path, metavar="FILE", help="also draw the final board into FILE")


def run(args) -> int:
    from ..runs.replay import ReplayError, replay
    from ..runs.store import Run
    from ..web.render import coordinate, text_board

    if args.png is not None:
        from ..web.render import check_picture_path

        check_picture_path(args.png)
        if args.png.suffix.lower() != ".png":
            raise InputError(f"--png {args.png}: the board is drawn as a PNG image; name a file ending in .png")
    run = Run(args.run)
    games = list(run.games())
    if not -len(games) <= args.game < len(games):
        raise InputError(f"{args.run} holds {len(games)} games; there is no game {args.game}")
    index = args.game % len(games)
    game = games[index]
    print(
        f"game {index} of {len(games)}: id {game.game_id}, node {game.node}, worker {game.worker}, "
        f"network {game.model}, "
        f"finished {game.finished_at:%Y-%m-%d %H:%M:%S} UTC, {len(game.history)} actions"
    )

    piece: list[int] = []

    def print_piece(position) -> None:
        player, tile = position.history[-1]
        piece.append(tile)
        if not position.turn_tiles:  # the piece is complete
            print(f"player {player} lays tiles {', '.join(coordinate(t, run.dim) for t in piece)}")
            print(text_board(position), end="")
            piece.clear()

    try:
        final = replay(game.history, run.dim, print_piece if args.every_move else None)
    except ReplayError as error:
        raise ReplayError(f"game {index} does not replay: {error}") from None
    if not args.every_move:
        print(text_board(final), end="")
    print("scores:  " + "  ".join(f"player {p}: {s}" for p, s in enumerate(final.scores())))
    print("payoffs: " + "  ".join(f"player {p}: {x:.3f}" for p, x in enumerate(game.payoff)))
    if args.png is not None:
        from ..web.render import draw_board

        draw_board(final, args.png, title=f"{args.run.name}, game {index}")
        print(f"board drawn in {args.png}")
    return 0
