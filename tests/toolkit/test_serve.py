"""The page's server, reached over HTTP on a free port: the game list and stored games, positions, the
computer seats' moves, analysis, saving a played game, and what it refuses."""

import http.client
import json
import os
import socket
import threading
from pathlib import Path

import numpy as np
import pyarrow.parquet as pq
import pytest

from played_runs import write_run
from zelmor_lab import Game, pieces
from zelmor_lab.runs.store import Run, RunWriter, read_games, session_record
from zelmor_lab.web.serve import make_server

DIM = 7


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory) -> Path:
    return write_run(tmp_path_factory.mktemp("serve") / "run", games=6, dim=DIM, per_shard=4)


def started(run: Path, model: Path | None = None):
    server = make_server(run, model, port=0, seed=0, say=lambda *_: None)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return server, thread


@pytest.fixture
def server(run_dir):
    server, thread = started(run_dir)
    yield server
    server.shutdown()
    server.server_close()
    thread.join()


def call(server, path, body=None, host=None, content_type="application/json", raw=None):
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    headers = {"Host": host or f"127.0.0.1:{server.port}"}
    if body is not None or raw is not None:
        headers["Content-Type"] = content_type
        connection.request("POST", path, body=raw if raw is not None else json.dumps(body), headers=headers)
    else:
        connection.request("GET", path, headers=headers)
    response = connection.getresponse()
    data = response.read()
    connection.close()
    return response.status, (json.loads(data) if response.getheader("Content-Type") == "application/json" else data)


def replayed(tiles, dim=DIM) -> Game:
    game = Game(dim)
    for tile in tiles:
        game.apply(tile)
    return game


# ---- reading the run --------------------------------------------------------------------------------


def test_the_run_and_its_game_list(server, run_dir):
    status, run = call(server, "/api/run")
    assert status == 200 and run["dim"] == DIM and run["network"] is None and run["name"] == "run"
    assert [p["size"] for p in run["pieces"]] == [p.size for p in pieces(DIM)]
    status, games = call(server, "/api/games")
    stored = list(read_games(run_dir))
    assert status == 200 and len(games) == len(stored) == 6
    for listed, game in zip(games, stored):
        final = replayed([t for _, t in game.history])
        assert listed["id"] == game.game_id and listed["node"] == "local"
        assert listed["length"] == len(game.history) and listed["scores"] == final.scores()
        assert listed["winners"] == [p for p in range(4) if game.payoff[p] > 0] and listed["problem"] is None


def test_a_stored_game_comes_with_its_pieces_and_visit_shares(server, run_dir):
    for index in (5, 0, 3):  # the second shard's second game, then either end of the first shard
        stored = list(read_games(run_dir))[index]
        status, game = call(server, f"/api/games/{index}")
        position = game["position"]
        assert status == 200 and game["entry"]["index"] == index
        assert list(zip(position["players"], position["tiles"])) == stored.history
        assert game["policies"] == [[[t, round(p, 4)] for t, p in entry] for entry in stored.policies]
    sizes = {p.piece_id: p.size for p in pieces(DIM)}
    for number in set(position["piece"]):  # every piece's squares are as many as its catalogue piece's
        actions = [i for i, n in enumerate(position["piece"]) if n == number]
        completing = [position["placed"][i] for i in actions if position["placed"][i] >= 0]
        assert completing and len(actions) == sizes[completing[0]]
        assert len({position["players"][i] for i in actions}) == 1
    assert position["finished"] and position["legal"] == [] and position["current_player"] is None
    assert call(server, "/api/games/6") == (404, {"error": "the run holds 6 games; there is no game 6"})


def test_a_game_that_does_not_replay_is_listed_with_its_fault(tmp_path):
    good = Game(DIM)
    good.apply(good.legal_tiles()[0])
    with RunWriter(tmp_path / "run", DIM, session_record("test", {}, {}), flush_every=1) as writer:
        writer.add(0, [(0, 48)], [[(48, 1.0)]], [1, 0, 0, 0], "f00d", 0.0)
    server, thread = started(tmp_path / "run")
    try:
        _, games = call(server, "/api/games")
        problem = "does not replay: action 0: Invalid move - Player 0, Tile 48"
        assert games[0]["scores"] is None and games[0]["problem"] == problem
        assert call(server, "/api/games/0") == (422, {"error": f"game 0 {problem}"})
    finally:
        server.shutdown()
        server.server_close()


# ---- positions and computer seats ---------------------------------------------------------------------


def test_a_position_is_replayed_from_its_tiles_and_an_illegal_one_refused(server):
    first = Game(DIM).legal_tiles()[0]
    status, position = call(server, "/api/position", {"tiles": [first]})
    game = replayed([first])
    assert status == 200 and position["legal"] == game.legal_tiles() and position["turn_tiles"] == [first]
    assert position["remaining"] == [game.remaining_pieces(p) for p in range(4)]
    assert call(server, "/api/position", {"tiles": [first, 48]}) == (
        400,
        {"error": "action 1: Invalid move - Player 0, Tile 48"},
    )
    for tiles in ("0", [0.5], [True], list(range(DIM * DIM + 1))):
        assert call(server, "/api/position", {"tiles": tiles}) == (
            400,
            {"error": "tiles must be a list of at most dim * dim whole numbers"},
        )


def test_computer_seats_take_legal_tiles_until_the_game_ends(server):
    tiles = []
    for kind in ["random", "heuristic"] * 200:
        status, answer = call(server, "/api/move", {"tiles": tiles, "kind": kind})
        if status == 400:
            assert answer == {"error": "the game is over: there is no move to make"}
            break
        assert status == 200 and answer["tile"] in replayed(tiles).legal_tiles()
        tiles.append(answer["tile"])
        assert answer["position"]["tiles"] == tiles
    assert replayed(tiles).is_terminal()
    assert call(server, "/api/move", {"tiles": [], "kind": "greedy"}) == (
        400,
        {"error": "no network is loaded: start the server with --model CKPT"},
    )
    assert call(server, "/api/move", {"tiles": [], "kind": "human"}) == (
        400,
        {"error": "a computer seat is random, heuristic, greedy or search, not 'human'"},
    )


def test_analysis_without_a_network_searches_with_random_playouts(server):
    status, answer = call(server, "/api/analyse", {"tiles": [], "sims": 30})
    legal = Game(DIM).legal_tiles()
    assert status == 200 and answer["policy"] is None and answer["value"] is None
    assert answer["searched_by"] == "random playouts" and sum(answer["visits"]) == 30
    assert all(answer["visits"][t] == 0 for t in range(DIM * DIM) if t not in legal)
    assert call(server, "/api/analyse", {"tiles": [], "sims": 5001}) == (
        400,
        {"error": "sims must be a whole number from 0 to 5000, got 5001"},
    )


def test_analysis_with_a_network_gives_its_policy_and_value_in_players_order(run_dir, tmp_path):
    torch = pytest.importorskip("torch")
    from zelmor_lab.training.model import Architecture, PolicyValueNet, network_evaluator, save_checkpoint

    torch.manual_seed(0)
    model = PolicyValueNet(DIM, Architecture(blocks=1, channels=8, value_hidden=8))
    save_checkpoint(model, tmp_path / "net.pt")
    server, thread = started(run_dir, tmp_path / "net.pt")
    try:
        game = Game(DIM)
        while game.current_player != 2:  # two pieces laid: the value must be turned to absolute order
            game.apply(game.legal_tiles()[0])
        tiles = [t for _, t in game.history]
        status, answer = call(server, "/api/analyse", {"tiles": tiles, "sims": 8})
        logits, values = network_evaluator(model)(game.state()[None])
        legal = game.legal_tiles()
        expected = np.exp(logits[0][legal] - logits[0][legal].max())
        assert status == 200 and answer["searched_by"].startswith("network ") and sum(answer["visits"]) == 8
        assert np.allclose([answer["policy"][t] for t in legal], expected / expected.sum(), atol=1e-4)
        assert sum(answer["policy"]) == pytest.approx(1, abs=1e-3)
        relative = np.exp(values[0] - values[0].max())
        relative /= relative.sum()
        assert np.allclose(answer["value"], [relative[(p - 2) % 4] for p in range(4)], atol=1e-4)
        status, move = call(server, "/api/move", {"tiles": tiles, "kind": "greedy"})
        assert status == 200 and move["tile"] == legal[int(np.argmax(logits[0][legal]))]
        assert call(server, "/api/move", {"tiles": tiles, "kind": "search", "sims": 0}) == (
            400,
            {"error": "a search seat needs at least 1 simulation"},
        )
    finally:
        server.shutdown()
        server.server_close()


def test_without_a_model_the_network_is_the_last_one_a_session_played_with(tmp_path):
    pytest.importorskip("torch")
    from zelmor_lab.training.model import Architecture, PolicyValueNet, load_checkpoint, save_checkpoint

    run = write_run(tmp_path / "run", games=1, dim=DIM)
    save_checkpoint(PolicyValueNet(DIM, Architecture(blocks=1, channels=8, value_hidden=8)), run / "net.pt")
    for model in ({"digest": "d", "path": "net.pt"}, {}):  # then a session of the page, which names no file
        with RunWriter(run, DIM, session_record("test", {}, model), flush_every=1):
            pass
    server, thread = started(run)
    try:
        network = call(server, "/api/run")[1]["network"]
        assert network["digest"] == load_checkpoint(run / "net.pt").digest and network["source"] == str(run / "net.pt")
    finally:
        server.shutdown()
        server.server_close()
    os.mkfifo(tmp_path / "fifo.pt")  # no writer: reading it would wait for ever
    with RunWriter(run, DIM, session_record("test", {}, {"digest": "d", "path": str(tmp_path / "fifo.pt")}), 1):
        pass
    said = []
    make_server(run, None, port=0, say=said.append).server_close()
    assert said[0].endswith(f"no network: checkpoint {tmp_path / 'fifo.pt'} is not a regular file; pass --model")


# ---- saving -------------------------------------------------------------------------------------------


def test_a_finished_game_is_saved_to_the_run_and_listed(tmp_path):
    run = write_run(tmp_path / "run", games=2, dim=DIM)
    server, thread = started(run)
    try:
        game = Game(DIM)
        assert call(server, "/api/save", {"tiles": [], "seats": ["human"] * 4}) == (
            400,
            {"error": "only a finished game can be saved"},
        )
        rng = np.random.default_rng(3)
        while not game.is_terminal():
            legal = game.legal_tiles()
            game.apply(int(legal[rng.integers(len(legal))]))
        tiles = [t for _, t in game.history]
        seats = ["human", "random", "random", "heuristic"]
        assert call(server, "/api/save", {"tiles": tiles, "seats": ["human", "robot"] * 2})[0] == 400
        with RunWriter(run, DIM, session_record("test", {}, {}), flush_every=1):
            assert call(server, "/api/save", {"tiles": tiles, "seats": seats}) == (
                409,
                {"error": f"{run} is in use by another zelmor-lab process"},
            )
        status, saved = call(server, "/api/save", {"tiles": tiles, "seats": seats})
        assert status == 200 and saved["index"] == 2 and saved["model"] == "human" and saved["worker"] == -1
        stored = list(read_games(run))[2]
        assert stored.history == game.history and stored.payoff == game.payoff() and stored.node == "human"
        assert stored.policies == [[(t, 1.0)] for t in tiles]
        assert Run(run).meta["sessions"][-1]["settings"] == {"seats": seats}
        assert len(call(server, "/api/games")[1]) == 3
    finally:
        server.shutdown()
        server.server_close()


# ---- what the server refuses ------------------------------------------------------------------------


def test_requests_from_elsewhere_and_malformed_ones_are_refused(server):
    assert call(server, "/api/run", host="attacker.example:80") == (
        403,
        {"error": f"this server answers only to http://127.0.0.1:{server.port}/"},
    )
    assert call(server, "/api/position", raw="tiles=1", content_type="application/x-www-form-urlencoded") == (
        415,
        {"error": "the request body must be JSON (application/json)"},
    )
    assert call(server, "/api/position", raw="{") == (400, {"error": "the request body is not valid JSON"})
    nested = "[" * 100_000 + "]" * 100_000
    assert call(server, "/api/position", raw=nested) == (400, {"error": "the request body is not valid JSON"})
    assert call(server, "/api/position", raw="[]") == (400, {"error": "the request body must be a JSON object"})
    assert call(server, "/api/nothing", {}) == (404, {"error": "no such page: /api/nothing"})
    assert call(server, "/static/..%2Fserve.py") == (404, {"error": "no such file: ..%2Fserve.py"})
    assert call(server, "/static/../serve.py")[0] == 404
    status, page = call(server, "/")
    assert status == 200 and b'<script src="/static/app.js"' in page
    assert call(server, "/static/app.js")[0] == 200


def test_other_methods_and_broken_requests_get_the_host_check_and_a_json_error(server):
    def raw(request: bytes) -> tuple[bytes, dict]:
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as connection:
            connection.sendall(request)
            answer = b""
            while chunk := connection.recv(65536):
                answer += chunk
        head, _, body = answer.partition(b"\r\n\r\n")
        return (head.split(b"\r\n")[0], json.loads(body)) if body else (head, {})

    host = f"Host: 127.0.0.1:{server.port}\r\n".encode()
    for method in (b"PUT", b"DELETE", b"BREW"):
        assert raw(method + b" /api/games HTTP/1.1\r\n" + host + b"\r\n") == (
            b"HTTP/1.1 405 Method Not Allowed",
            {"error": f"the server answers GET and POST, not {method.decode()}"},
        )
    assert raw(b"DELETE /api/games HTTP/1.1\r\nHost: attacker.example\r\n\r\n") == (
        b"HTTP/1.1 403 Forbidden",
        {"error": f"this server answers only to http://127.0.0.1:{server.port}/"},
    )
    # A request line the server cannot take is answered as HTTP/0.9 was: the body alone.
    assert raw(b"GET / HTTP/2.0\r\n\r\n") == (b'{"error": "Invalid HTTP version (2.0)"}', {})


def test_the_list_and_the_files_answer_while_the_network_thinks_for_one_request_at_a_time(run_dir, monkeypatch):
    from zelmor_lab.web import serve
    from zelmor_lab.web.viewer import BUSY, Network, Viewer

    thinking, done = threading.Event(), threading.Event()

    def slow_network(planes):
        thinking.set()
        assert done.wait(60)
        return np.zeros((len(planes), DIM * DIM), np.float32), np.zeros((len(planes), 4), np.float32)

    monkeypatch.setattr(serve._Handler, "timeout", 0.5)
    server = serve.ViewerServer(Viewer(Run(run_dir), Network(slow_network, "slow", 0, "a test"), seed=0), 0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    analysis = []
    first = threading.Thread(target=lambda: analysis.append(call(server, "/api/analyse", {"tiles": []})))
    first.start()
    try:
        assert thinking.wait(60)
        assert [call(server, path)[0] for path in ("/api/games", "/api/games/0", "/static/app.js")] == [200] * 3
        assert call(server, "/api/position", {"tiles": [0]})[0] == 200
        assert call(server, "/api/move", {"tiles": [], "kind": "random"})[0] == 200
        assert call(server, "/api/analyse", {"tiles": [], "sims": 1}) == (503, {"error": BUSY})
        assert call(server, "/api/move", {"tiles": [], "kind": "greedy"}) == (503, {"error": BUSY})
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as silent:
            assert silent.recv(1) == b""  # a connection that sends nothing is closed, not kept for ever
    finally:
        done.set()
        first.join()
        server.shutdown()
        server.server_close()
    assert analysis[0][0] == 200


def test_a_taken_port_is_one_message(run_dir):
    from zelmor_lab.web.serve import ServeError

    server, thread = started(run_dir)
    try:
        with pytest.raises(ServeError, match=rf"^cannot listen on 127.0.0.1:{server.port}: Address already in use$"):
            make_server(run_dir, port=server.port, say=lambda *_: None)
    finally:
        server.shutdown()
        server.server_close()


def test_each_shard_names_its_board_side(run_dir):
    for shard in Run(run_dir).shards():
        metadata = pq.read_schema(shard).metadata
        assert metadata[b"zelmor-lab.dim"] == str(DIM).encode()
        assert metadata[b"zelmor-lab.format"] == b"zelmor-lab run 1"


def test_the_command_serves_until_ctrl_c_and_refuses_a_bad_port(run_dir, tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import urllib.request

    import zelmor_lab

    env = dict(os.environ, PYTHONPATH=str(Path(zelmor_lab.__file__).parents[1]))
    # As from a terminal: a shell's background job starts with Ctrl-C ignored, and so would the server.
    interactive = "import runpy, signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
    interactive += "runpy.run_module('zelmor_lab', run_name='__main__')"
    command = [sys.executable, "-c", interactive, "serve", str(run_dir), "--port"]
    refused = subprocess.run(command + ["70000"], capture_output=True, text=True, env=env, timeout=60)
    assert refused.returncode == 2 and "argument --port: must be from 0 to 65535, got 70000" in refused.stderr
    process = subprocess.Popen(command + ["0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert (
            process.stdout.readline() == f"run {run_dir}: 6 games on a 7 x 7 board; no network: no session of the "
            f"run names one; pass --model\n"
        )
        url = process.stdout.readline().split()[1]
        with urllib.request.urlopen(url + "api/games", timeout=30) as response:
            assert len(json.load(response)) == 6
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 130
        assert process.stderr.read() == "zelmor-lab: interrupted\n"
    finally:
        process.kill()
        process.wait()
