"""How long the browser page takes to load a run of many games, and to open one of them.

Writes a run of random and heuristic games (no engine or network needed), starts the page's server on a
free port and loads the page in headless Chromium several times, timing from navigation until the game
list's table holds every game, then opening a game from the list until its board is drawn.

  python bench/serve_load.py [--games 1000] [--dim 20] [--loads 5] [--run DIR]
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "toolkit"))
from chromium import Chromium  # noqa: E402
from played_runs import write_run  # noqa: E402
from zelmor_lab.web.serve import make_server  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=1000)
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--loads", type=int, default=5)
    parser.add_argument("--run", type=Path, help="reuse (or write) the run here")
    args = parser.parse_args()

    run = args.run or Path(tempfile.mkdtemp(prefix="zelmor-serve-load-")) / "run"
    if not (run / "run.json").exists():
        started = time.perf_counter()
        write_run(run, args.games, args.dim, per_shard=100)
        print(f"wrote {args.games} games on {args.dim} x {args.dim} in {time.perf_counter() - started:.1f} s: {run}")

    started = time.perf_counter()
    server = make_server(run, None, port=0)
    print(f"server ready (game list built) in {time.perf_counter() - started:.2f} s")
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with urllib.request.urlopen(server.url + "api/games") as response:
        listing = response.read()
    print(f"game list: {len(json.loads(listing))} games, {len(listing) / 1024:.0f} KiB of JSON")

    loads, opens = [], []
    with Chromium() as browser:
        for _ in range(args.loads):
            browser.goto("about:blank")
            browser.wait_for("document.readyState === 'complete'")
            started = time.perf_counter()
            browser.goto(server.url)
            browser.wait_for(
                f"document.body.dataset.ready && document.querySelectorAll('#games tbody tr').length === {args.games}",
                timeout=120,
            )
            loads.append(time.perf_counter() - started)
            started = time.perf_counter()
            browser.evaluate("document.querySelector('#games tbody tr:last-child').click()")
            browser.wait_for("document.getElementById('step-label').textContent.startsWith('action 0 of')")
            opens.append(time.perf_counter() - started)
    server.shutdown()
    print(
        f"page load until the list shows all {args.games} games: median {statistics.median(loads):.3f} s "
        f"(each: {', '.join(f'{t:.3f}' for t in loads)})"
    )
    print(
        f"opening a game from the list: median {statistics.median(opens):.3f} s "
        f"(each: {', '.join(f'{t:.3f}' for t in opens)})"
    )


if __name__ == "__main__":
    main()
