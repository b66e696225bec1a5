"""The page in headless Chromium against the real server: open a stored game and step through it, then play
a few tiles against random players with real mouse clicks, and see an illegal click refused."""

import threading
import time

import pytest

from chromium import Chromium, find_chromium
from played_runs import write_run
from zelmor_lab import Game
from zelmor_lab.web.serve import make_server

DIM = 7

pytestmark = pytest.mark.skipif(
    find_chromium() is None, reason="no Chromium on this machine (Debian: apt-get install chromium)"
)


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    run = write_run(tmp_path_factory.mktemp("page") / "run", games=4, dim=DIM)
    server = make_server(run, None, port=0, seed=1, say=lambda *_: None)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        with Chromium() as browser:
            browser.goto(server.url)
            browser.wait_for("document.body.dataset.ready")
            yield browser
    finally:
        server.shutdown()
        server.server_close()


def text(browser, element_id: str) -> str:
    return browser.evaluate(f"document.getElementById({element_id!r}).textContent")


def click_tile(browser, tile: int) -> None:
    """A real mouse click in the middle of the tile's square as the board is shown, drawn larger or smaller
    than the canvas's pixels."""
    box = browser.evaluate(
        "(() => { const c = document.getElementById('board'); const r = c.getBoundingClientRect();"
        " return {left: r.left + c.clientLeft, top: r.top + c.clientTop, scale: c.clientWidth / c.width,"
        " cell: +c.dataset.cell, margin: +c.dataset.margin}; })()"
    )
    row, column = divmod(tile, DIM)
    browser.click(
        box["left"] + (box["margin"] + (column + 0.5) * box["cell"]) * box["scale"],
        box["top"] + (box["margin"] + (row + 0.5) * box["cell"]) * box["scale"],
    )


def test_the_list_sorts_by_a_column_and_filters_by_words(page):
    rows = "[...document.querySelectorAll('#games tbody tr')]"
    page.evaluate("document.querySelector('th[data-key=\"length\"]').click()")
    lengths = page.evaluate(f"{rows}.map(r => +r.children[4].textContent)")
    assert len(lengths) == 4 and lengths == sorted(lengths)
    page.evaluate("document.querySelector('th[data-key=\"length\"]').click()")
    assert page.evaluate(f"{rows}.map(r => +r.children[4].textContent)") == sorted(lengths, reverse=True)
    game_id = page.evaluate("document.querySelector('#games tbody tr[data-index=\"2\"]').children[1].textContent")
    page.evaluate(
        f"{{ const f = document.getElementById('filter'); f.value = {game_id!r}; "
        "f.dispatchEvent(new Event('input')); }"
    )
    assert page.evaluate(f"{rows}.map(r => r.dataset.index)") == ["2"]
    assert text(page, "games-count") == "1 of 4 games"
    page.evaluate("{ const f = document.getElementById('filter'); f.value = ''; f.dispatchEvent(new Event('input')); }")


def test_a_stored_game_opens_from_the_list_and_steps_with_the_keys(page):
    assert page.evaluate("document.querySelectorAll('#games tbody tr').length") == 4
    page.evaluate("document.querySelector('#games tbody tr[data-index=\"2\"]').click()")
    page.wait_for("document.getElementById('step-label').textContent.startsWith('action 0 of')")
    length = int(text(page, "step-label").split()[-1])
    for _ in range(3):
        page.key("ArrowRight", 39)
    page.key("ArrowLeft", 37)
    assert text(page, "step-label") == f"action 2 of {length}"
    assert page.evaluate("document.getElementById('board').dataset.actions") == "2"
    page.key("End", 35)
    assert text(page, "step-label") == f"action {length} of {length}"
    assert text(page, "status").startswith("game over: scores ")


def new_game(browser, first_seat: str, pause_ms: int) -> None:
    """On the play tab, player 0 as ``first_seat``, the others random, each computer move ``pause_ms`` apart."""
    browser.evaluate(
        "document.querySelector('nav .tab[data-view=\"play\"]').click();"
        "for (const s of document.querySelectorAll('#seats select')) s.value = s.title === 'player 0' ? "
        f"{first_seat!r} : 'random'; document.getElementById('bot-pause').value = '{pause_ms}';"
        "document.getElementById('new-game').click()"
    )


def test_a_new_game_stops_the_computer_seats_of_the_game_before(page):
    new_game(page, "random", pause_ms=100)
    page.wait_for("document.getElementById('status').textContent.endsWith('is thinking…')")
    new_game(page, "human", pause_ms=0)
    page.wait_for("document.getElementById('status').textContent.startsWith('your turn')")
    time.sleep(1.0)  # long enough for a leftover computer seat to move several times
    assert text(page, "status").startswith("your turn, player 0")
    assert page.evaluate("document.getElementById('board').dataset.actions") == "0"
    assert page.evaluate("document.getElementById('save').disabled")


def test_playing_against_random_players_takes_only_legal_tiles(page, tmp_path):
    new_game(page, "human", pause_ms=0)
    for _ in range(4):  # four of the human's tiles, the random seats moving in between
        page.wait_for("document.getElementById('status').textContent.startsWith('your turn')")
        actions = int(page.evaluate("document.getElementById('board').dataset.actions"))
        legal = [int(t) for t in page.evaluate("document.getElementById('board').dataset.legal").split(",")]
        click_tile(page, legal[0])
        page.wait_for(f"+document.getElementById('board').dataset.actions > {actions}")

    page.wait_for("document.getElementById('status').textContent.startsWith('your turn')")
    actions = page.evaluate("document.getElementById('board').dataset.actions")
    legal = {int(t) for t in page.evaluate("document.getElementById('board').dataset.legal").split(",")}
    illegal = next(t for t in range(DIM * DIM) if t not in legal)
    click_tile(page, illegal)
    time.sleep(0.3)  # a refused click sends nothing; give a wrongly accepted one the time to show
    row, column = divmod(illegal, DIM)
    assert text(page, "status") == f"refused: {'abcdefg'[column]}{row + 1} is not a legal tile for player 0"
    assert page.evaluate("document.getElementById('board').dataset.actions") == actions
    shot = page.screenshot(tmp_path / "play.png")
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    # The tiles the page played replay as a legal game.
    tiles = page.evaluate("state.play.tiles")
    game = Game(DIM)
    for tile in tiles:
        game.apply(tile)  # raises on an illegal tile
    assert len(tiles) >= 4 and [p for p, _ in game.history].count(0) >= 4


@pytest.mark.parametrize(("width", "height"), [(1000, 1000), (1920, 1000)])
def test_at_any_window_size_clicks_land_on_their_square_and_the_play_view_fits(page, width, height):
    page.send("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=False)
    try:
        new_game(page, "human", pause_ms=0)
        # Drawn at another size than its pixels: the case where clicks once landed on the wrong square.
        assert page.evaluate("(c => c.clientWidth !== c.width)(document.getElementById('board'))")
        for _ in range(2):
            page.wait_for("document.getElementById('status').textContent.startsWith('your turn')")
            actions = int(page.evaluate("document.getElementById('board').dataset.actions"))
            legal = page.evaluate("document.getElementById('board').dataset.legal").split(",")
            click_tile(page, int(legal[-1]))
            page.wait_for(f"+document.getElementById('board').dataset.actions > {actions}")
        page.wait_for("document.getElementById('status').textContent.startsWith('your turn')")
        edges = page.evaluate(
            "Object.fromEntries(['board', 'play-controls', 'status', 'players'].map(id => "
            "[id, (r => [r.right, r.bottom])(document.getElementById(id).getBoundingClientRect())]))"
        )
        assert all(right <= width and bottom <= height for right, bottom in edges.values()), edges
        assert page.evaluate("document.documentElement.scrollWidth") <= width
    finally:
        page.send("Emulation.setDeviceMetricsOverride", width=1280, height=860, deviceScaleFactor=1, mobile=False)
